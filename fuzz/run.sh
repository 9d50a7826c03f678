#!/usr/bin/env bash
# Builds the fuzzers (libFuzzer + AddressSanitizer + UBSan) and runs them: the
# .ldx reader on its seed corpus for two thirds of the time, then the
# differential scan-kernel fuzzer (every kernel level and the first pass
# against the scalar path) for the rest:
#   fuzz/run.sh [SECONDS]   fuzz for SECONDS in all (default 60); exit status 0 = nothing found
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
kernel_seconds=$((seconds / 3))
reader_seconds=$((seconds - kernel_seconds))
sanitize=(-fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all)
rm -f "$out/ldx_reader_fuzz" "$out/scan_fuzz"
"$cxx" "${flags[@]}" "${sanitize[@]}" "${core[@]}" "$root/fuzz/ldx_reader_fuzz.cpp" -o "$out/ldx_reader_fuzz" &

# The kernel fuzzer: each instruction set's file with its own target flags,
# as the library builds them.
kernel_objects=()
compile() {  # source, extra flags...
  local source=$1 object=$out/kernels/$(basename "${1%.cpp}").o
  shift
  kernel_objects+=("$object")
  rm -f "$object"
  # Two compilers at a time; a failed one leaves its object missing, which
  # the link below reports.
  while (($(jobs -rp | wc -l) >= 2)); do wait -n || true; done
  "$cxx" "${flags[@]}" -DLODEX_X86=1 -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all \
    "$@" -c "$source" -o "$object" &
}
mkdir -p "$out/kernels"
avx512=(-mavx512f -mavx512bw -mavx512vl -mavx512dq -mbmi2)
for source in errors rotation codebook storage search first_pass pool cpu kernels/scan_scalar; do
  compile "$root/src/$source.cpp"
done
compile "$root/src/kernels/scan_avx2.cpp" -mavx2 -mbmi2
compile "$root/src/kernels/scan_avx512.cpp" "${avx512[@]}"
compile "$root/src/kernels/pass_avx512vbmi.cpp" "${avx512[@]}" -mavx512vbmi -mavx512vnni
wait  # every object, and the reader fuzzer
"$cxx" "${flags[@]}" -DLODEX_X86=1 "${sanitize[@]}" "${kernel_objects[@]}" "$root/fuzz/scan_fuzz.cpp" -pthread \
  -o "$out/scan_fuzz"
[[ -x $out/ldx_reader_fuzz ]] || { echo "the reader fuzzer did not build" >&2; exit 1; }

if [[ -z ${ASAN_SYMBOLIZER_PATH:-} ]]; then
  for s in /usr/lib/llvm-19/bin/llvm-symbolizer /usr/bin/llvm-symbolizer; do
    if [[ -x $s ]]; then export ASAN_SYMBOLIZER_PATH=$s; break; fi
  done
fi

# An input of at most max_len bytes may legitimately make the reader hold a
# few MB (a block of 16 rows as wide as the input); anything near the malloc
# limit means something was sized from the header's claims, not the input.
"$out/ldx_reader_fuzz" "$out/corpus" "$root/fuzz/corpus" \
  -max_total_time="$reader_seconds" -max_len=65536 -malloc_limit_mb=64 -rss_limit_mb=2048 -timeout=20 \
  -artifact_prefix="$out/" -print_final_stats=1

mkdir -p "$out/scan_corpus"
exec "$out/scan_fuzz" "$out/scan_corpus" -max_total_time="$kernel_seconds" -max_len=4096 -rss_limit_mb=2048 \
  -timeout=20 -artifact_prefix="$out/scan-" -print_final_stats=1
