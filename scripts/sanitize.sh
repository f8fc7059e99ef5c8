#!/usr/bin/env bash
# Runs the native suite and the whole Python suite under AddressSanitizer and
# UndefinedBehaviorSanitizer: the native tests and the module are built with
# both (CMake option TARNWEX_SANITIZE) into build/sanitize, the Python tests
# import that module first on the path, in an interpreter that has the
# sanitizer runtimes preloaded. Any report fails the run, also one made in a
# child process that a test started (the examples, the subprocess tests):
# every report is written to a file under build/sanitize/reports, and the
# script fails when that folder is not empty at the end. Installs whatever is
# missing first.
set -euo pipefail
cd "$(dirname "$0")/.."

PYTHON=${PYTHON:-python3}
scripts/setup.sh test

build=build/sanitize
reports=$PWD/$build/reports
start=$SECONDS

# -O1 keeps the instrumented code fast enough for the whole suite; NDEBUG is
# left out on purpose, so that Eigen's own bounds and size assertions are on.
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g" \
  -DTARNWEX_SANITIZE=ON -DTARNWEX_BUILD_TESTS=ON -DTARNWEX_BUILD_PYTHON=ON \
  -DPython_EXECUTABLE="$("$PYTHON" -c 'import sys; print(sys.executable)')" >/dev/null
rm -rf "$reports"
mkdir -p "$reports"
# Test discovery runs the test programs at build time: it reports to the same folder.
common="halt_on_error=1:print_stacktrace=1:log_path=$reports/"
export ASAN_OPTIONS="${common}asan:check_initialization_order=1:detect_stack_use_after_return=1"
export UBSAN_OPTIONS="${common}ubsan"
cmake --build "$build" --parallel
echo "sanitize: built in $((SECONDS - start)) s"

fail=0
# The native programs carry the runtimes themselves; leaks are looked for.
ASAN_OPTIONS="$ASAN_OPTIONS:detect_leaks=1" ctest --test-dir "$build" --output-on-failure --parallel 2 || fail=1
echo "sanitize: native tests done after $((SECONDS - start)) s"

# The interpreter is not instrumented: the runtimes are preloaded into it.
# CPython keeps objects alive until exit by design, so no leak check there.
# PYTHONMALLOC=malloc sends every object through the instrumented allocator,
# so an object the module frees too early is a use after free, not a reuse
# of a pool slot.
module_dir=$PWD/$build/src/python
preload="$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libubsan.so)"
(
  export LD_PRELOAD=$preload
  export ASAN_OPTIONS="$ASAN_OPTIONS:detect_leaks=0"
  export PYTHONMALLOC=malloc
  export PYTHONPATH=$module_dir${PYTHONPATH:+:$PYTHONPATH}
  "$PYTHON" -c 'import sys, tarnwex; assert tarnwex.__file__.startswith(sys.argv[1]), tarnwex.__file__' "$module_dir"
  "$PYTHON" -m pytest tests/python -p no:cacheprovider
) || fail=1
echo "sanitize: Python tests done after $((SECONDS - start)) s"

if [ -n "$(ls -A "$reports")" ]; then
  for report in "$reports"/*; do
    echo "=== sanitizer report $report"
    cat "$report"
  done
  fail=1
fi
if [ "$fail" -ne 0 ]; then
  echo "sanitize: FAILED (sanitizer reports above, if any; they are kept in $reports)" >&2
  exit 1
fi
echo "sanitize: no sanitizer report, every test passed ($((SECONDS - start)) s)"
