# The two commands of a new user: `make demo` runs a real sPlot analysis,
# `make test` runs every test. Both install what the machine lacks.
# `make test-interpreters` also builds and tests on CPython 3.9 and PyPy.
PYTHON ?= python3

.PHONY: demo test test-interpreters bench

demo:
	PYTHON=$(PYTHON) scripts/demo.sh

test:
	PYTHON=$(PYTHON) scripts/test.sh

test-interpreters:
	PYTHON=$(PYTHON) scripts/test-interpreters.sh

bench:
	PYTHON=$(PYTHON) scripts/bench.sh
