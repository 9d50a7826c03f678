#!/usr/bin/env bash
# Sanitizer runs, each in its own build directory (the normal build is left alone):
#   scripts/sanitize.sh asan   AddressSanitizer + UndefinedBehaviorSanitizer (+ LeakSanitizer):
#                              the C++ unit tests, then the pytest suite on the
#                              instrumented extension (build/asan)
#   scripts/sanitize.sh asan ARGS...   the same, passing ARGS to pytest (a test file, -k ...)
#   scripts/sanitize.sh tsan   ThreadSanitizer: the C++ unit tests that start threads,
#                              the lodex_threaded_tests target (build/tsan)
# Both leave out the tests that check arithmetic or tooling rather than memory:
# the batch search's matrix of paths and levels (the kernel tests still run
# every level's kernels here) and the type checker's run (pytest's
# plain_build_only mark).
# Any report fails the run. ASan, LSan and TSan reports also go to files under
# build/<kind>/reports, so one raised in a child process whose exit status
# nobody looks at (a multiprocessing worker) still fails it.
# Environment: PYTHON (default .venv/bin/python), JOBS (default 2).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
kind=${1:-}
python=${PYTHON:-$root/.venv/bin/python}
jobs=${JOBS:-2}
build=$root/build/$kind
reports=$build/reports

case $kind in
  asan) sanitize="address;undefined" ;;
  tsan) sanitize="thread" ;;
  *) echo "usage: $0 asan|tsan" >&2; exit 2 ;;
esac

ninja=$(dirname "$python")/ninja
[[ -x $ninja ]] || ninja=$(command -v ninja)

# -O1 -g1: quick to build, line numbers in every stack. No NDEBUG, so the
# core's assertions are checked as well.
python_module=OFF
[[ $kind == asan ]] && python_module=ON
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_MAKE_PROGRAM="$ninja" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1" \
  -DLODEX_SANITIZE="$sanitize" -DLODEX_TESTS=ON -DLODEX_PYTHON=$python_module \
  -DPython_EXECUTABLE="$python" >/dev/null
compiler=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$build/CMakeCache.txt")

# The tsan run needs only the core and the test files that start threads
# (lodex_threaded_tests, listed in CMakeLists.txt): building that one target
# spares compiling the rest with ThreadSanitizer. The asan run needs every
# C++ test and the extension module.
if [[ $kind == tsan ]]; then
  cmake --build "$build" -j "$jobs" --target lodex_threaded_tests
else
  cmake --build "$build" -j "$jobs" --target lodex_tests lodex
fi

rm -rf "$reports"
mkdir -p "$reports"

# The batch search's matrix of paths and levels: arithmetic, compared bit for
# bit in the plain build; at the sanitizers' pace it would take minutes.
arithmetic='*EveryPathAndLevel*'

# Runs a command; fails when it fails or when any process left a report.
checked() {
  local status=0
  "$@" || status=$?
  shopt -s nullglob
  local found=("$reports"/*)
  if ((${#found[@]})); then
    echo "sanitizer reports in $reports:" >&2
    cat "${found[@]}" >&2
    exit 1
  fi
  ((status == 0)) || exit "$status"
}

if [[ $kind == tsan ]]; then
  export TSAN_OPTIONS="halt_on_error=1:exitcode=66:second_deadlock_stack=1:log_path=$reports/tsan"
  # ThreadSanitizer cannot follow a child of a threaded process that starts
  # threads itself; the fork tests run in the asan build instead.
  checked "$build/lodex_threaded_tests" --gtest_brief=1 --gtest_filter="-*Fork*:$arithmetic"
  echo "tsan: no reports"
  exit 0
fi

# ---- asan: the C++ tests first (no interpreter: every leak is ours).
common="halt_on_error=1:detect_stack_use_after_return=1:check_initialization_order=1"
# UndefinedBehaviorSanitizer writes to stderr only (no log file in GCC's
# combined runtime); -fno-sanitize-recover makes the process exit non-zero.
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
checked env ASAN_OPTIONS="$common:detect_leaks=1:log_path=$reports/asan" "$build/lodex_tests" --gtest_brief=1 \
  --gtest_filter="-$arithmetic"

# ---- asan: the pytest suite on the instrumented extension, installed into
# its own directory and put first on the path.
site=$build/site
cmake --install "$build" --prefix "$site" >/dev/null
# Leak checking inside CPython:
# - PYTHONMALLOC=malloc puts every Python object on the instrumented heap, so
#   use-after-free and overflows on objects the binding touches are caught
#   too, and LeakSanitizer can follow pointers held inside objects.
# - CPython 3.13 does not free everything at exit. What it keeps is reached
#   from its own leaked objects, so indirect leaks are not reported; the
#   direct ones it always leaves are suppressed below by their allocation
#   site, all inside the interpreter. A block lodex allocates and loses (a
#   missed delete, an error path that drops a buffer, an Index never freed)
#   is a direct leak whose stack runs through lodex, and is reported.
# - A list, tuple or string that lodex forgets to release through its
#   refcount stays reachable (the collector's lists) or is suppressed (the
#   string allocator): tests/python/test_leaks.py counts the interpreter's
#   allocated blocks in the plain build to catch those.
suppressions=$build/lsan.supp
cat >"$suppressions" <<'EOF'
# Interned and immortal strings, kept until the process ends.
leak:PyUnicode_New
leak:resize_compact
# Exception info copied between interpreters (a sub-interpreter test).
leak:_PyXI_excinfo_InitFromException
EOF
# Set for the Python runs only: anything else started with the runtime
# preloaded would be leak-checked as well.
instrumented=(env LD_PRELOAD="$("$compiler" -print-file-name=libasan.so)" PYTHONMALLOC=malloc
  ASAN_OPTIONS="$common:detect_leaks=1:log_path=$reports/asan"
  LSAN_OPTIONS="report_indirect_leaks=0:print_suppressions=0:suppressions=$suppressions"
  PYTHONPATH="$site${PYTHONPATH:+:$PYTHONPATH}" "$python")
module=$("${instrumented[@]}" -c 'import lodex; print(lodex.__file__)') ||
  { echo "the instrumented module does not import" >&2; exit 1; }
if [[ $module != "$site"/* ]]; then
  echo "imported $module instead of the instrumented module in $site" >&2
  exit 1
fi
cd "$root"
# --capture=sys: pytest captures Python's output only, so a report that the
# runtime writes straight to stderr is seen even when it ends the process.
checked "${instrumented[@]}" -m pytest -q -p no:cacheprovider --capture=sys "${@:2}"
echo "asan: no reports"
