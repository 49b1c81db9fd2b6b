#!/usr/bin/env bash
# Checks that the C++ sources are formatted as .clang-format says
# (clang-format-14). Lists the files and lines that differ; fix them with
#   clang-format-14 -i <file>...
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
formatter="${CLANG_FORMAT:-clang-format-14}"
command -v "$formatter" >/dev/null || { echo "format_check.sh needs $formatter (Debian: clang-format-14)" >&2; exit 1; }

dirs=(include src plugins programs tests bench examples fuzz)
pattern='\.(c|cc|cpp|cxx|h|hh|hpp|hxx)$'
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  mapfile -t files < <(git ls-files --cached --others --exclude-standard -- "${dirs[@]}" | grep -E "$pattern")
else
  mapfile -t files < <(find "${dirs[@]}" -type f | grep -E "$pattern" | sort)
fi
if ! "$formatter" --dry-run -Werror "${files[@]}"; then
  echo "FAILED: the files above are not formatted; run $formatter -i on them" >&2
  exit 1
fi
echo "formatting ok (${#files[@]} files)"
