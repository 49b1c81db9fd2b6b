#!/usr/bin/env bash
# Makes DIR a folder of links through which Debian's pytest and the packages
# it needs import under CPython 3.12:   scripts/pytest_path.sh DIR
set -euo pipefail
mkdir -p "$1"
for pkg in pytest _pytest attr pluggy iniconfig packaging py.py; do
  ln -sfn "/usr/lib/python3/dist-packages/$pkg" "$1/$pkg"
done
