#!/usr/bin/env bash
# The first thing a new user runs: installs what the machine lacks, runs the
# quickstart sPlot analysis and says where its figure is.
set -euo pipefail
cd "$(dirname "$0")/.."

PYTHON=${PYTHON:-python3}
scripts/setup.sh examples

out=build/demo
mkdir -p "$out"
# No display is assumed: the figure goes to a file.
MPLBACKEND=Agg "$PYTHON" examples/quickstart.py --output "$out/quickstart.png"
echo "demo: figure saved to $PWD/$out/quickstart.png"
