# The two commands of a new user: `make demo` runs a real sPlot analysis,
# `make test` runs every test. Both install what the machine lacks.
PYTHON ?= python3

.PHONY: demo test bench

demo:
	PYTHON=$(PYTHON) scripts/demo.sh

test:
	PYTHON=$(PYTHON) scripts/test.sh

bench:
	PYTHON=$(PYTHON) scripts/bench.sh
