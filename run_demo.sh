#!/usr/bin/env bash
# Builds everything on a fresh machine and runs the demo against the
# simulator plug-in.
set -euo pipefail
root="$(cd "$(dirname "$0")" && pwd)"
source "$root/scripts/bootstrap.sh"
echo "== demo"
"$VORN_PYTHON" "$root/examples/quickstart.py" "$@"
