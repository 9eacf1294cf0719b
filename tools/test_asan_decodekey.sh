#!/bin/sh
# The decodekey tests against a library holding only decodekey, built with
# AddressSanitizer and UndefinedBehaviorSanitizer (into build/asan-decodekey).
# Extra arguments go to pytest. tools/test_asan.sh runs the whole suite.
#   tools/test_asan_decodekey.sh            (PYTHON=python3.13 tools/test_asan_decodekey.sh)
set -eu
cd "$(dirname "$0")/.."
QRL_MODULES=decodekey exec tools/test_asan.sh tests/test_decodekey*.py "$@"
