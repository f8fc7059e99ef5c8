#!/usr/bin/env bash
# Builds the package from source and runs the Python suite on the interpreters
# beyond the default one: the oldest CPython the package supports with the
# oldest NumPy it declares, and PyPy with the newest NumPy that still has
# wheels for it. Each gets a virtual environment of its own under build/.
#
#   PYTHON39=/path/to/python3.9  the CPython 3.9 to use (default: pyenv's)
#   PYPY=/path/to/pypy3          the PyPy to use (default: Debian's pypy3,
#                                installed when missing)
set -euo pipefail
cd "$(dirname "$0")/.."

PYTHON=${PYTHON:-python3}
PYPY_NUMPY=2.0.2

find_python39() {
  if [ -n "${PYTHON39:-}" ]; then echo "$PYTHON39"; return; fi
  local candidate
  for candidate in python3.9 "$(pyenv root 2>/dev/null)"/versions/3.9*/bin/python3.9 \
                   /root/.pyenv/versions/3.9*/bin/python3.9; do
    if "$candidate" -c 'import sys; assert sys.version_info[:2] == (3, 9)' 2>/dev/null; then
      command -v "$candidate"
      return
    fi
  done
  echo "test-interpreters: no CPython 3.9 found; set PYTHON39" >&2
  exit 1
}

find_pypy() {
  if [ -n "${PYPY:-}" ]; then echo "$PYPY"; return; fi
  if ! dpkg -s pypy3 pypy3-dev pypy3-venv >/dev/null 2>&1; then
    echo "test-interpreters: installing pypy3 pypy3-dev pypy3-venv" >&2
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get install -y --no-install-recommends pypy3 pypy3-dev pypy3-venv >/dev/null ||
      { $sudo apt-get update >/dev/null &&
        $sudo apt-get install -y --no-install-recommends pypy3 pypy3-dev pypy3-venv >/dev/null; }
  fi
  command -v pypy3
}

# The lowest NumPy release the package accepts at run time, as declared.
oldest_numpy() {
  "$PYTHON" - <<'EOF'
import re, tomllib
with open("pyproject.toml", "rb") as f:
    dependencies = tomllib.load(f)["project"]["dependencies"]
for dependency in dependencies:
    found = re.fullmatch(r"numpy\s*>=\s*([0-9.]+)(,.*)?", dependency.strip())
    if found:
        print(found.group(1))
        break
else:
    raise SystemExit("pyproject.toml declares no lowest NumPy")
EOF
}

# name, interpreter, NumPy requirement
build_and_test() {
  local name=$1 interpreter=$2 numpy=$3
  local venv=build/venv-$name
  local start=$SECONDS
  echo "test-interpreters: $name ($("$interpreter" -c 'import sys; print(sys.version.split()[0])'), $numpy)"
  rm -rf "$venv"
  "$interpreter" -m venv "$venv"
  "$venv/bin/python" -m pip install --quiet --disable-pip-version-check --upgrade pip
  "$venv/bin/python" -m pip install --quiet --disable-pip-version-check ".[test]" "$numpy"
  "$venv/bin/python" -m pytest tests/python -p no:cacheprovider
  echo "test-interpreters: $name done in $((SECONDS - start)) s"
}

build_and_test cpython3.9 "$(find_python39)" "numpy==$(oldest_numpy).*"
build_and_test pypy3.9 "$(find_pypy)" "numpy==$PYPY_NUMPY"
