#!/usr/bin/env bash
# Builds everything on a fresh machine and runs every gate, in this order:
# the format check, the native tests, the native tests cross-built for Windows
# and run under wine, the stream core under ThreadSanitizer, the build and
# the native and Python tests in Debian 13, the Python tests (with the type
# checker and the browser driver they use; the wheel among them, also
# installed and run in Debian 13), the stream stress run, the remote soak
# run, the whole project (native and Python tests) under
# AddressSanitizer+UndefinedBehaviorSanitizer, and the fuzz targets.
#
# Extra arguments go to pytest (every Python run). Build folders:
# $VORN_BUILD_DIR (build), $VORN_MINGW_BUILD_DIR (build-mingw), $VORN_TSAN_BUILD_DIR (build-tsan),
# $VORN_DEBIAN13_DIR (build-debian13: the Debian 13 roots and their build),
# $VORN_ASAN_BUILD_DIR (build-asan), $VORN_FUZZ_BUILD_DIR (build-fuzz);
# $VORN_FUZZ_SECONDS is the fuzzing time per target (60), $VORN_STRESS_SECONDS
# the length of the stress run (60), $VORN_SOAK_SECONDS that of the remote soak (60).
set -euo pipefail
root="$(cd "$(dirname "$0")" && pwd)"
source "$root/scripts/bootstrap.sh"

echo "== format check [${SECONDS}s]"
"$root/scripts/format_check.sh"

echo "== native tests [${SECONDS}s]"
ctest --test-dir "$VORN_BUILD_DIR" --output-on-failure -j "$(nproc)"

echo "== Windows cross build (MinGW-w64), native tests under wine [${SECONDS}s]"
"$root/scripts/mingw.sh" "${VORN_MINGW_BUILD_DIR:-$root/build-mingw}"

echo "== stream core under ThreadSanitizer [${SECONDS}s]"
"$root/scripts/tsan.sh" "${VORN_TSAN_BUILD_DIR:-$root/build-tsan}"

echo "== Debian 13: build, native tests, Python tests [${SECONDS}s]"
export VORN_DEBIAN13_DIR="${VORN_DEBIAN13_DIR:-$root/build-debian13}"
"$root/scripts/debian13.sh" "$@"

echo "== type checker for the Python tests (tools/pyright) [${SECONDS}s]"
"$root/tools/pyright/install.sh"

echo "== browser driver for the view test (tools/browser: playwright-core, Debian's chromium) [${SECONDS}s]"
"$root/tools/browser/install.sh"

echo "== Python tests ($VORN_PYTHON) [${SECONDS}s]"
PYTHONPATH="$VORN_BUILD_DIR/python:$VORN_BUILD_DIR/pytest-path" \
  "$VORN_PYTHON" -m pytest -p no:cacheprovider "$root/tests/python" "$@"

echo "== stream stress: churn across threads and callbacks, then exit runs [${SECONDS}s]"
PYTHONPATH="$VORN_BUILD_DIR/python:$VORN_BUILD_DIR/pytest-path" \
  "$VORN_PYTHON" "$root/tests/stress/stress_streams.py" "${VORN_STRESS_SECONDS:-60}"

echo "== remote soak: 8 clients x 2 streams through a vorn-server, no loss, flat memory [${SECONDS}s]"
PYTHONPATH="$VORN_BUILD_DIR/python:$VORN_BUILD_DIR/pytest-path" \
  "$VORN_PYTHON" "$root/tests/soak/soak_remote.py" "${VORN_SOAK_SECONDS:-60}"

echo "== everything under AddressSanitizer+UndefinedBehaviorSanitizer [${SECONDS}s]"
"$root/scripts/asan.sh" "${VORN_ASAN_BUILD_DIR:-$root/build-asan}" "$@"

echo "== fuzz targets [${SECONDS}s]"
"$root/scripts/fuzz.sh" "${VORN_FUZZ_SECONDS:-60}"
echo "== all passed [${SECONDS}s]"
