#!/usr/bin/env bash
# Builds the documentation site into build/docs/html: installs the package
# with the docs extra (Sphinx, MyST-NB, Furo, ipykernel, matplotlib), then
# runs Sphinx with every warning as an error and nitpicky references. The
# tutorials are notebooks executed during the build, in a python3 kernel of
# this same interpreter; nothing is fetched from the network.
set -euo pipefail
cd "$(dirname "$0")/.."

PYTHON=${PYTHON:-python3}
start=$SECONDS
scripts/setup.sh docs
echo "docs: set up in $((SECONDS - start)) s"

out=build/docs
rm -rf "$out"
# No display is assumed: the notebooks' figures are drawn without one.
MPLBACKEND=Agg "$PYTHON" -m sphinx -W --keep-going -n -q -b html docs "$out/html"
# The first tutorial ends on a result, which the notebook shows as its table.
grep -q '<th>Name</th><th>Value</th>' "$out/html/tutorials/first-splot.html" ||
  { echo "docs: the executed tutorial shows no result table" >&2; exit 1; }
echo "docs: built in $((SECONDS - start)) s"
echo "docs: open $PWD/$out/html/index.html"
