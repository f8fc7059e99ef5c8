#!/usr/bin/env bash
# Runs the native suite and the whole Python suite under AddressSanitizer and
# UndefinedBehaviorSanitizer: the native tests and the module are built with
# both (CMake option TARNWEX_SANITIZE) into build/sanitize, and the Python
# tests import that module first on the path, in an interpreter that has the
# sanitizer runtimes preloaded. Installs whatever is missing first.
#
# Any report fails the run. Every report stops its process (exit status 1),
# which fails the test that ran it, also in a child process (the examples and
# the subprocess tests require their children to succeed). AddressSanitizer
# also writes each report to a file under build/sanitize/reports, and the run
# fails when that folder is not empty at the end, whatever the tests made of
# the dead process. (UndefinedBehaviorSanitizer's runtime, a library of its
# own with GCC, writes to standard error whatever log_path says once the
# address runtime is loaded too: its reports show in the test's output.)
set -euo pipefail
cd "$(dirname "$0")/.."

PYTHON=${PYTHON:-python3}
start=$SECONDS
scripts/setup.sh test
echo "sanitize: set up in $((SECONDS - start)) s"
# The interpreter itself, not a launcher script in front of it (pyenv's).
python=$("$PYTHON" -c 'import sys; print(sys.executable)')

build=build/sanitize
reports=$PWD/$build/reports

# -O1 keeps the instrumented code fast enough for the whole suite; NDEBUG is
# left out on purpose, so that Eigen's own bounds and size assertions are on.
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g" \
  -DTARNWEX_SANITIZE=ON -DTARNWEX_BUILD_TESTS=ON -DTARNWEX_BUILD_PYTHON=ON \
  -DPython_EXECUTABLE="$python" >/dev/null
rm -rf "$reports"
mkdir -p "$reports"
# Set before the build: test discovery runs the native test programs then.
# Options already in the environment come last and so win, e.g.
# ASAN_OPTIONS=fast_unwind_on_malloc=0 for whole stacks of where memory was
# allocated and freed, also through NumPy (much slower).
asan="halt_on_error=1:log_path=$reports/asan:check_initialization_order=1:detect_stack_use_after_return=1"
user_asan=${ASAN_OPTIONS:+:$ASAN_OPTIONS}
export ASAN_OPTIONS="$asan$user_asan"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"
cmake --build "$build" --parallel
echo "sanitize: built in $((SECONDS - start)) s"

fail=0
# The native programs carry the runtimes themselves; leaks are looked for.
ASAN_OPTIONS="$asan:detect_leaks=1$user_asan" ctest --test-dir "$build" --output-on-failure --parallel 2 || fail=1
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
  export ASAN_OPTIONS="$asan:detect_leaks=0$user_asan"
  export PYTHONMALLOC=malloc
  export PYTHONPATH=$module_dir${PYTHONPATH:+:$PYTHONPATH}
  # (&&: set -e does not act inside a subshell whose status is tested.)
  "$python" -c 'import sys, tarnwex; assert tarnwex.__file__.startswith(sys.argv[1]), tarnwex.__file__' "$module_dir" &&
    "$python" -m pytest tests/python -p no:cacheprovider
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
