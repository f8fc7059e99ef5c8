#!/usr/bin/env bash
# Installs what a new machine lacks: the C++ toolchain pieces from Debian's
# packages, then the package itself with the extras asked for ("test",
# "examples", "bench"), e.g. scripts/setup.sh test examples.
set -euo pipefail
cd "$(dirname "$0")/.."

PYTHON=${PYTHON:-python3}

need=()
command -v g++ >/dev/null 2>&1 || need+=(g++)
command -v ninja >/dev/null 2>&1 || need+=(ninja-build)
command -v cmake >/dev/null 2>&1 || need+=(cmake)
[ -f /usr/include/eigen3/Eigen/Dense ] || need+=(libeigen3-dev)
[ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
if [ ${#need[@]} -gt 0 ]; then
  echo "setup: installing ${need[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get install -y --no-install-recommends "${need[@]}" >/dev/null ||
    { $sudo apt-get update >/dev/null && $sudo apt-get install -y --no-install-recommends "${need[@]}" >/dev/null; }
fi

extras=$(IFS=,; echo "$*")
spec="."
[ -n "$extras" ] && spec=".[${extras}]"
echo "setup: pip install ${spec}"
"$PYTHON" -m pip install --quiet --disable-pip-version-check "$spec"
