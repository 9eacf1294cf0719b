# quarlopro: make demo · make test · make check · make bench (each works from a clean clone)

PYTHON ?= python3
VENV ?= .venv
TEST_VENV = $(shell tools/test_suite.sh --venv-of $(PYTHON))

.PHONY: demo test check test-tsan bench bench-record install dev clean fuzz test-asan

## Install into .venv and walk through keygen, sign, show and a quarlo build.
demo: install
	$(VENV)/bin/python tools/demo.py

## The whole suite on $(PYTHON) (in a fresh virtual environment), then the
## engine's own tests with the constant-time check, and the DER code's tests.
test:
	tools/test_suite.sh $(PYTHON)
	$(MAKE) -C p256 unit ct isolation PYTHON=$(CURDIR)/$(TEST_VENV)/bin/python
	$(MAKE) -C der test

## The full matrix, as CI runs it: every interpreter (the default, the newest
## other, debug, free-threaded), the sanitizers, the engine's every build, the
## wheel on an emulated older CPU (tools/check.sh).
check:
	tools/check.sh

## The threaded tests under ThreadSanitizer on a free-threaded CPython built
## with it (cached outside the clone).
test-tsan:
	tools/test_tsan.sh

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

## Time every operation against its peers and print the table: with it, two
## threads against one on this build and on a free-threaded one, and the
## generic arithmetic forced against the dispatched one. The run's JSON goes
## to build/bench/latest.json; nothing in the tree changes.
bench: install
	$(VENV)/bin/python -m pip install -q ".[bench]"
	cmake -S . -B build/bench-generic -DQRL_ENGINE_ADX=OFF -DQRL_MODULES="jwt_es256" \
	    -DPython_EXECUTABLE=$(CURDIR)/$(VENV)/bin/python >/dev/null
	cmake --build build/bench-generic --parallel >/dev/null
	ft=$$(tools/free_threaded_python.sh | tail -n 1) && \
	  { [ -x .venv-bench-ft/bin/python ] || "$$ft" -m venv .venv-bench-ft; } && \
	  .venv-bench-ft/bin/python -m pip install -q .
	$(VENV)/bin/python bench/run.py --out build/bench/latest.json --generic-library build/bench-generic \
	    --free-threaded .venv-bench-ft/bin/python

## Keep the last `make bench` run in bench/results/ and its table in README.md.
bench-record:
	$(VENV)/bin/python bench/run.py --record build/bench/latest.json --readme README.md

install:
	$(PYTHON) -m venv $(VENV)
	$(VENV)/bin/python -m pip install -q --upgrade pip
	$(VENV)/bin/python -m pip install -q .

## Fast development build of the library into build/dev (use PYTHONPATH=build/dev:.).
dev:
	cmake -S . -B build/dev -DPython_EXECUTABLE=$$(command -v $(PYTHON)) >/dev/null
	cmake --build build/dev --parallel

## Remove everything the Makefiles create.
clean:
	rm -rf build dist .venv .venv-test-* .venv-fuzz .venv-asan .venv-tsan .venv-bench-ft p256/build der/build \
	    fuzz/corpus/*/ fuzz/corpus/_crashes
	find . -name __pycache__ -type d -prune -exec rm -rf {} + -o -name .hypothesis -type d -prune -exec rm -rf {} +
