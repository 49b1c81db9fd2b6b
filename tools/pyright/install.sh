#!/usr/bin/env bash
# Installs the pinned type checker of package-lock.json into node_modules
# with npm ci, unless that lock file is already installed. Needs Node.js
# with npm and the npm registry. Run by run_tests.sh; the Python tests run
# it (tests/python/test_stubs.py) when it is installed.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
stamp="$here/node_modules/.installed-package-lock.json"
if cmp -s "$here/package-lock.json" "$stamp"; then
  exit 0
fi
command -v npm >/dev/null || { echo "npm not found: the type check needs Node.js with npm" >&2; exit 1; }
npm ci --prefix "$here" --no-audit --no-fund --loglevel=error
cp "$here/package-lock.json" "$stamp"
