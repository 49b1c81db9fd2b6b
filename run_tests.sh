#!/usr/bin/env bash
# Builds everything on a fresh machine and runs every test: the native tests,
# the stream core under ThreadSanitizer, and the Python tests.
set -euo pipefail
root="$(cd "$(dirname "$0")" && pwd)"
source "$root/scripts/bootstrap.sh"

echo "== native tests"
ctest --test-dir "$VORN_BUILD_DIR" --output-on-failure -j "$(nproc)"

echo "== stream core under ThreadSanitizer"
"$root/scripts/tsan.sh" "${VORN_TSAN_BUILD_DIR:-$root/build-tsan}"

echo "== type checker for the Python tests (tools/pyright)"
"$root/tools/pyright/install.sh"

echo "== Python tests ($VORN_PYTHON)"
PYTHONPATH="$VORN_BUILD_DIR/python:$VORN_BUILD_DIR/pytest-path" \
  "$VORN_PYTHON" -m pytest -p no:cacheprovider "$root/tests/python" "$@"
