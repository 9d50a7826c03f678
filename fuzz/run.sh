#!/usr/bin/env bash
# Builds the .ldx reader fuzzer (libFuzzer + AddressSanitizer + UBSan) and runs
# it on the seed corpus:
#   fuzz/run.sh [SECONDS]   fuzz for SECONDS (default 60); exit status 0 = nothing found
#   fuzz/run.sh seeds       rebuild the committed seed corpus in fuzz/corpus
# New inputs go to build/fuzz/corpus, never into the committed seeds; a crash
# leaves its input in build/fuzz/ as crash-*, oom-* or timeout-*.
#
# Needs a clang whose C++23 support covers std::expected with the system's
# libstdc++ (clang 19 on Debian 12; clang 14 to 18 refuse that header). Set
# LODEX_FUZZ_CXX to choose one; as root with apt, clang-19 is installed if absent.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
out=${LODEX_FUZZ_BUILD:-$root/build/fuzz}
mkdir -p "$out/corpus"

usable() {
  command -v "$1" >/dev/null 2>&1 &&
    printf '#include <expected>\nstd::expected<int, int> f() { return 1; }\nint main() { return *f() - 1; }\n' |
      "$1" -std=c++23 -fsanitize=fuzzer-no-link -x c++ - -c -o /dev/null 2>/dev/null
}

cxx=${LODEX_FUZZ_CXX:-}
if [[ -z $cxx ]]; then
  for candidate in clang++-19 clang++-20 clang++-21 clang++; do
    if usable "$candidate"; then cxx=$candidate; break; fi
  done
fi
if [[ -z $cxx && $(id -u) == 0 ]] && command -v apt-get >/dev/null; then
  echo "installing clang-19 for the fuzzer" >&2
  apt-get install -y --no-install-recommends clang-19 libclang-rt-19-dev >/dev/null ||
    { apt-get update >/dev/null && apt-get install -y --no-install-recommends clang-19 libclang-rt-19-dev >/dev/null; }
  cxx=clang++-19
fi
[[ -n $cxx ]] || { echo "no usable clang for the fuzzer; install clang-19 and libclang-rt-19-dev" >&2; exit 1; }

flags=(-std=c++23 -O1 -g -fno-omit-frame-pointer -ffp-contract=off -I"$root/src")
core=("$root/src/errors.cpp" "$root/src/storage.cpp" "$root/src/index_file.cpp")

if [[ ${1:-} == seeds ]]; then
  "$cxx" "${flags[@]}" "${core[@]}" "$root/fuzz/make_corpus.cpp" -o "$out/make_corpus"
  rm -rf "$root/fuzz/corpus"
  "$out/make_corpus" "$root/fuzz/corpus"
  exit 0
fi

seconds=${1:-60}
"$cxx" "${flags[@]}" -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all \
  "${core[@]}" "$root/fuzz/ldx_reader_fuzz.cpp" -o "$out/ldx_reader_fuzz"

if [[ -z ${ASAN_SYMBOLIZER_PATH:-} ]]; then
  for s in /usr/lib/llvm-19/bin/llvm-symbolizer /usr/bin/llvm-symbolizer; do
    if [[ -x $s ]]; then export ASAN_SYMBOLIZER_PATH=$s; break; fi
  done
fi

# An input of at most max_len bytes may legitimately make the reader hold a
# few MB (a block of 16 rows as wide as the input); anything near the malloc
# limit means something was sized from the header's claims, not the input.
exec "$out/ldx_reader_fuzz" "$out/corpus" "$root/fuzz/corpus" \
  -max_total_time="$seconds" -max_len=65536 -malloc_limit_mb=64 -rss_limit_mb=2048 -timeout=20 \
  -artifact_prefix="$out/" -print_final_stats=1
