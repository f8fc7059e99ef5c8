#!/usr/bin/env bash
# Tests the binary wheel as a user without a compiler gets it: builds the
# wheel for the default interpreter (scripts/wheel.sh), installs it with its
# `test` and `examples` extras by `pip install --no-index --only-binary=:all:`
# from a local wheelhouse into a fresh virtual environment outside the source
# tree, and runs the Python tests there with no C++ compiler on PATH, from a
# copy of the tests, the examples and the README in a temporary folder, so
# that `import tarnwex` can only find the installed wheel.
#
# Then the benchmark fits run twice in that environment, once with the
# wheel's module (Clang and libc++) and once with the module of the GCC build
# in build/tests (scripts/test.sh's, brought up to date here), and every
# output must agree bit for bit (benchmarks/build_agreement.py).
set -euo pipefail
cd "$(dirname "$0")/.."

PYTHON=${PYTHON:-python3}
wheel=$(scripts/wheel.sh "$PYTHON" | tail -n 1)
echo "test-wheel: $wheel ($(du -k "$wheel" | cut -f1) KiB)"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
venv=$scratch/venv
"$PYTHON" -m venv "$venv"
"$venv/bin/python" -m pip install --quiet --disable-pip-version-check --upgrade pip
# Everything the tests need, as binary wheels fetched beforehand; the install
# itself then reaches no index.
"$venv/bin/python" -m pip download --quiet --disable-pip-version-check --only-binary=:all: \
  -d "$scratch/wheelhouse" "$wheel[test,examples]"
start=$SECONDS
"$venv/bin/python" -m pip install --quiet --disable-pip-version-check --no-index --only-binary=:all: \
  --find-links "$scratch/wheelhouse" "$wheel[test,examples]"
echo "test-wheel: installed in $((SECONDS - start)) s"

mkdir -p "$scratch/tree/tests" "$scratch/bin"
cp -r tests/python "$scratch/tree/tests/"
cp -r examples README.md pyproject.toml "$scratch/tree/"
# Besides the environment's own programs, only the system tools a test uses
# (localedef, which reads its compressed tables through gzip, to make a
# comma-decimal locale): no compiler, no system Python.
for tool in localedef gzip; do
  if command -v "$tool" >/dev/null; then ln -s "$(command -v "$tool")" "$scratch/bin/"; fi
done
(
  cd "$scratch/tree"
  export PATH="$venv/bin:$scratch/bin"
  unset PYTHONPATH
  for compiler in c++ g++ gcc cc clang++; do
    if command -v "$compiler" >/dev/null; then echo "test-wheel: $compiler is on PATH" >&2; exit 1; fi
  done
  python -c 'import sys, tarnwex; assert tarnwex.__file__.startswith(sys.prefix), tarnwex.__file__'
  python -m pytest tests/python -p no:cacheprovider
)

# The GCC build for the same interpreter, run by the same NumPy as the wheel.
build=build/tests
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARNWEX_BUILD_TESTS=ON \
  -DTARNWEX_BUILD_PYTHON=ON -DPython_EXECUTABLE="$("$PYTHON" -c 'import sys; print(sys.executable)')" >/dev/null
cmake --build "$build" --parallel --target tarnwex_python >/dev/null
suffix=$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')
mkdir -p "$scratch/gcc"
cp "$build/src/python/tarnwex$suffix" "$scratch/gcc/"
(
  cd "$scratch"
  agreement=$OLDPWD/benchmarks/build_agreement.py
  "$venv/bin/python" "$agreement" save wheel.npz
  PYTHONPATH=$scratch/gcc "$venv/bin/python" "$agreement" save gcc.npz
  "$venv/bin/python" "$agreement" compare wheel.npz gcc.npz
)
