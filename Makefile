# The two commands of a new user: `make demo` runs a real sPlot analysis,
# `make test` runs every test. Both install what the machine lacks, and so
# does `make docs`, which builds the documentation into build/docs/html.
# `make test-interpreters` also builds and tests on CPython 3.9 and PyPy;
# `make wheel` builds binary wheels into dist/ for every interpreter found,
# `make test-wheel` tests one in a fresh environment without a compiler.
# `make sanitize` runs every test again under AddressSanitizer and
# UndefinedBehaviorSanitizer.
PYTHON ?= python3

.PHONY: demo test docs test-interpreters wheel test-wheel bench sanitize

demo:
	PYTHON=$(PYTHON) scripts/demo.sh

test:
	PYTHON=$(PYTHON) scripts/test.sh

docs:
	PYTHON=$(PYTHON) scripts/docs.sh

test-interpreters:
	PYTHON=$(PYTHON) scripts/test-interpreters.sh

wheel:
	PYTHON=$(PYTHON) scripts/wheel.sh

test-wheel:
	PYTHON=$(PYTHON) scripts/test-wheel.sh

bench:
	PYTHON=$(PYTHON) scripts/bench.sh

sanitize:
	PYTHON=$(PYTHON) scripts/sanitize.sh
