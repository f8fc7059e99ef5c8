#!/usr/bin/env bash
# Runs the benchmarks: installs the package with the benchmark extra (the
# tools it is compared with), builds and runs the native likelihood timing,
# then the side-by-side Python timing and the memory probe. Writes
# benchmarks/RESULTS.md and benchmarks/times.png. About ten minutes on 2 cores.
set -euo pipefail
cd "$(dirname "$0")/.."

PYTHON=${PYTHON:-python3}
scripts/setup.sh bench

build=build/bench
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARNWEX_BUILD_TESTS=OFF \
  -DTARNWEX_BUILD_BENCHMARKS=ON >/dev/null
cmake --build "$build" --target likelihood_floor_bench
"$build/benchmarks/native/likelihood_floor_bench" | tee "$build/native.txt"

# A second copy of the module that counts the likelihood's passes and the
# distinct points they visit; benchmarks/count_passes.py runs it in its own
# processes, apart from the installed module that is timed.
count=build/count
cmake -S . -B "$count" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARNWEX_BUILD_TESTS=OFF \
  -DTARNWEX_BUILD_PYTHON=ON -DTARNWEX_COUNT_PASSES=ON -DPython_EXECUTABLE="$(command -v "$PYTHON")" >/dev/null
cmake --build "$count" --target tarnwex_python

"$PYTHON" benchmarks/run.py --native "$build/native.txt" --counting-module "$count/src/python" "$@"

# tarnwex against the fastest workflows of iminuit and RooFit, in one process.
"$PYTHON" benchmarks/fastest.py
