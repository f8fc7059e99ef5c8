#!/usr/bin/env bash
# Runs every test: the native GoogleTest suite through ctest, then the Python
# suite against the installed package. Installs whatever is missing first.
set -euo pipefail
cd "$(dirname "$0")/.."

PYTHON=${PYTHON:-python3}
scripts/setup.sh test examples tools dask

# Includes between the folders of src/fit run one way only.
"$PYTHON" scripts/check_includes.py

# The native tests and, beside them from the same objects, the module for
# this interpreter, which scripts/test-wheel.sh compares with the wheel's.
build=build/tests
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARNWEX_BUILD_TESTS=ON \
  -DTARNWEX_BUILD_PYTHON=ON -DPython_EXECUTABLE="$("$PYTHON" -c 'import sys; print(sys.executable)')" >/dev/null
cmake --build "$build" --parallel
ctest --test-dir "$build" --output-on-failure --parallel 2

"$PYTHON" -m pytest tests/python
