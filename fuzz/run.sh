#!/usr/bin/env bash
# Builds the libFuzzer targets (CMake option LODEX_FUZZ, with AddressSanitizer
# and UBSan, in build/fuzz) and runs them:
#   fuzz/run.sh [SECONDS]   every fuzzer for SECONDS (default 60), JOBS (default 2)
#                           at a time; exit status 0 = nothing found
#   fuzz/run.sh seeds       rebuild the readers' committed seed corpora
# Each fuzzer starts from its committed seeds in fuzz/corpus/<name> (when there
# are any) and keeps what it finds in build/fuzz/corpus/<name>, never in the
# seeds. Its output goes to build/fuzz/<name>.log; a crash leaves the input in
# build/fuzz/ as <name>-crash-*, <name>-oom-* or <name>-timeout-*.
#
# Needs a clang whose C++23 support covers std::expected with the system's
# libstdc++ (clang 19 on Debian 12; clang 14 to 18 refuse that header). Set
# LODEX_FUZZ_CXX to choose one; as root with apt, clang-19 is installed if absent.
set -euo pipefail

# The fuzzers, each with its own libFuzzer flags: fuzz/<name>.cpp, built by
# its lodex_fuzzer(<name> <library>) line in CMakeLists.txt.
fuzzers=(
  # An input of at most max_len bytes may legitimately make the reader hold a
  # few MB (a block of 16 rows as wide as the input); anything near the malloc
  # limit means something was sized from the header's claims, not the input.
  "ldx_reader_fuzz -max_len=65536 -malloc_limit_mb=64"
  # The same bound for the mappable reader, which also maps every input and
  # searches what it serves.
  "mappable_reader_fuzz -max_len=65536 -malloc_limit_mb=64"
  # Every scan kernel level and the first pass against the scalar path on one
  # random store and query; any difference aborts.
  "scan_fuzz -max_len=4096"
)

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
out=${LODEX_FUZZ_BUILD:-$root/build/fuzz}
jobs=${JOBS:-2}

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

generator=()
ninja=$root/.venv/bin/ninja
[[ -x $ninja ]] || ninja=$(command -v ninja || true)
[[ -n $ninja ]] && generator=(-G Ninja -DCMAKE_MAKE_PROGRAM="$ninja")
# -O1 -g: quick to build, line numbers in every report; no NDEBUG, so the
# core's assertions are checked as well.
cmake -S "$root" -B "$out" "${generator[@]}" -DCMAKE_CXX_COMPILER="$(command -v "$cxx")" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g" \
  -DLODEX_FUZZ=ON -DLODEX_SANITIZE="address;undefined" -DLODEX_PYTHON=OFF -DLODEX_TESTS=OFF >/dev/null

if [[ ${1:-} == seeds ]]; then
  cmake --build "$out" -j "$jobs" --target make_corpus
  rm -rf "$root/fuzz/corpus/ldx_reader_fuzz" "$root/fuzz/corpus/mappable_reader_fuzz"
  "$out/make_corpus" "$root/fuzz/corpus/ldx_reader_fuzz" "$root/fuzz/corpus/mappable_reader_fuzz"
  exit 0
fi

seconds=${1:-60}
names=()
for entry in "${fuzzers[@]}"; do names+=("${entry%% *}"); done
cmake --build "$out" -j "$jobs" --target "${names[@]}"

if [[ -z ${ASAN_SYMBOLIZER_PATH:-} ]]; then
  for s in /usr/lib/llvm-19/bin/llvm-symbolizer /usr/bin/llvm-symbolizer; do
    if [[ -x $s ]]; then export ASAN_SYMBOLIZER_PATH=$s; break; fi
  done
fi

# Runs one fuzzer (name, then its flags) for `seconds`, its output in its log.
fuzz() {
  local name=$1
  shift
  local seeds=()
  [[ -d $root/fuzz/corpus/$name ]] && seeds=("$root/fuzz/corpus/$name")
  mkdir -p "$out/corpus/$name"
  "$out/$name" "$out/corpus/$name" "${seeds[@]}" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=20 \
    -artifact_prefix="$out/$name-" -print_final_stats=1 "$@" >"$out/$name.log" 2>&1
}

# Up to `jobs` fuzzers at once; each batch is waited for before the next.
status=0
for ((first = 0; first < ${#fuzzers[@]}; first += jobs)); do
  pids=()
  for entry in "${fuzzers[@]:first:jobs}"; do
    # shellcheck disable=SC2086  # the flags are separate words
    fuzz $entry &
    pids+=($!)
  done
  for i in "${!pids[@]}"; do
    entry=${fuzzers[first + i]}
    name=${entry%% *}
    if wait "${pids[i]}"; then
      echo "$name: nothing found in ${seconds} s ($(grep -m1 -o 'stat::number_of_executed_units: *[0-9]*' "$out/$name.log" | grep -o '[0-9]*$') runs)"
    else
      status=1
      echo "$name: FAILED (log: $out/$name.log)" >&2
      tail -n 60 "$out/$name.log" >&2
    fi
  done
done
exit "$status"
