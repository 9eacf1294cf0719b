#!/bin/sh
# The decodekey tests against a library holding only decodekey, built with
# AddressSanitizer and UndefinedBehaviorSanitizer (into build/asan-decodekey).
# Extra arguments go to pytest. tools/run_sanitized.sh runs the whole suite.
#   tests/run_sanitized.sh            (PYTHON=python3.13 tests/run_sanitized.sh)
set -eu
cd "$(dirname "$0")/.."
QRL_MODULES=decodekey exec tools/run_sanitized.sh tests/test_decodekey*.py "$@"
