#!/usr/bin/env bash
# Installs the pinned playwright-core of package-lock.json into node_modules
# with npm ci, unless that lock file is already installed. It downloads no
# browser: the view test drives Debian's /usr/bin/chromium (scripts/bootstrap.sh
# installs it). Needs Node.js with npm and the npm registry. Run by
# run_tests.sh; tests/python/test_vorn_view.py runs check_view.mjs when it is
# installed.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
stamp="$here/node_modules/.installed-package-lock.json"
if cmp -s "$here/package-lock.json" "$stamp"; then
  exit 0
fi
command -v npm >/dev/null || { echo "npm not found: the browser test needs Node.js with npm" >&2; exit 1; }
PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 npm ci --prefix "$here" --no-audit --no-fund --loglevel=error
cp "$here/package-lock.json" "$stamp"
