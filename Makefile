# quarlopro: make demo · make test · make bench (each works from a clean clone)

PYTHON ?= python3
# The tests run on the default interpreter and on the newest other CPython
# found on the machine, so both older and newer module slots are exercised.
TEST_PYTHONS ?= $(PYTHON) $(shell tools/find_python.sh)
VENV ?= .venv

.PHONY: demo test bench bench-record install dev clean fuzz test-asan

## Install into .venv and walk through keygen, sign, show and a quarlo build.
demo: install
	$(VENV)/bin/python tools/demo.py

## Run the test suites (each interpreter gets a fresh virtual environment).
test:
	tools/run_tests.sh $(TEST_PYTHONS)

## Fuzz every parser longer than `make test` does ($$FUZZ_SECONDS each, default 60),
## growing the corpus in fuzz/corpus/.
fuzz:
	$(PYTHON) -m venv .venv-fuzz
	.venv-fuzz/bin/python -m pip install -q --upgrade pip
	.venv-fuzz/bin/python -m pip install -q ".[test]" atheris
	PYTHONPATH=tests .venv-fuzz/bin/python fuzz/run.py

## Run the whole test suite against the library built with AddressSanitizer and
## UndefinedBehaviorSanitizer (build/asan).
test-asan:
	$(PYTHON) -m venv .venv-asan
	.venv-asan/bin/python -m pip install -q --upgrade pip
	.venv-asan/bin/python -m pip install -q ".[test]"
	PYTHON=$(CURDIR)/.venv-asan/bin/python tools/test_asan.sh

## Time every operation against its peers and print the table (the run's
## JSON goes to build/bench/latest.json; nothing in the tree changes).
bench: install
	$(VENV)/bin/python -m pip install -q ".[bench]"
	$(VENV)/bin/python bench/run.py --out build/bench/latest.json

## Keep the last `make bench` run in bench/results/ and its table in README.md.
bench-record:
	$(VENV)/bin/python bench/run.py --record build/bench/latest.json --readme README.md

install:
	$(PYTHON) -m venv $(VENV)
	$(VENV)/bin/python -m pip install -q --upgrade pip
	$(VENV)/bin/python -m pip install -q .

## Fast development build of the library into build/dev (use PYTHONPATH=build/dev:.).
dev:
	cmake -S . -B build/dev -G Ninja -DPython_EXECUTABLE=$$(command -v $(PYTHON)) >/dev/null
	cmake --build build/dev

## Remove everything the Makefiles create.
clean:
	rm -rf build dist .venv .venv-test-* .venv-fuzz .venv-asan p256/build der/build fuzz/corpus/*/ fuzz/corpus/_crashes
	find . -name __pycache__ -type d -prune -exec rm -rf {} + -o -name .hypothesis -type d -prune -exec rm -rf {} +
