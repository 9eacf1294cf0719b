#!/usr/bin/env bash
# The full matrix (make check; what CI runs): the test suite on the default
# python3, on the newest other CPython here, on a debug build of CPython
# (python3-dbg) and on a free-threaded build (built from source and cached
# outside the clone when there is none), the key decoder under AddressSanitizer
# and UBSan, the threaded tests under ThreadSanitizer, the engine's and the
# DER code's own tests (every variant, the portable and sanitizer builds, the
# constant-time check), and the wheel on an emulated older CPU. The emulated
# CPUs (qemu-user) and a bounded fuzzing run (atheris) are part of the suite.
# Every step runs; a summary with the time of each closes the run, and any
# failed or missing step fails it.
set -uo pipefail
cd "$(dirname "$0")/.."

failed=0
summary=()
step() {  # name command...
  local name=$1 start=$SECONDS status
  shift
  echo
  echo "=== $name"
  "$@"
  status=$?
  [ $status -eq 0 ] || failed=1
  summary+=("$(printf '%-52s %-6s %5d s' "$name" "$([ $status -eq 0 ] && echo ok || echo FAILED)" $((SECONDS - start)))")
}
missing() {  # name why
  failed=1
  summary+=("$(printf '%-52s %-6s %s' "$1" MISSING "$2")")
}
started=$SECONDS

step "suite on python3" tools/test_suite.sh python3
first_venv=$PWD/$(tools/test_suite.sh --venv-of python3)
other=$(tools/find_python.sh)
if [ -n "$other" ]; then step "suite on $other" tools/test_suite.sh "$other"
else missing "suite on a second CPython" "no other CPython 3.11+ on this machine"; fi
debug=""
for candidate in python3-dbg python3.13-dbg python3.12-dbg python3.11-dbg; do
  if command -v "$candidate" >/dev/null 2>&1 && "$candidate" -c 'import sys; sys.exit(not hasattr(sys, "gettotalrefcount"))'; then
    debug=$candidate
    break
  fi
done
if [ -n "$debug" ]; then step "suite on the debug build ($debug)" tools/test_suite.sh "$debug"
else missing "suite on a debug build" "install python3-dbg"; fi
if free_threaded=$(tools/free_threaded_python.sh | tail -n 1); then
  step "suite on the free-threaded build" tools/test_suite.sh "$free_threaded"
else missing "suite on the free-threaded build" "tools/free_threaded_python.sh failed (see above)"; fi
step "key decoder under ASan and UBSan" env PYTHON="$first_venv/bin/python" tools/test_asan_decodekey.sh
step "threads under ThreadSanitizer" tools/test_tsan.sh
step "engine: every variant, portable, sanitizers, constant time" make -C p256 test PYTHON="$first_venv/bin/python"
step "DER reader and writer" make -C der test
step "the wheel on an emulated older CPU" env PYTHON="$first_venv/bin/python" tools/test_wheel.sh

echo
echo "=== make check: $(( (SECONDS - started) / 60 )) min $(( (SECONDS - started) % 60 )) s"
printf '%s\n' "${summary[@]}"
exit $failed
