#!/usr/bin/env bash
# Formats the project's C and C++ sources with the checked-in style
# (--check: only report the files that differ).
set -euo pipefail
cd "$(dirname "$0")/.."
files=$(git ls-files '*.cpp' '*.h' '*.hpp' '*.c' | grep -v -E 'ZelvarSvrPS(Data|Proxy)\.c$')
if [ "${1:-}" = "--check" ]; then
  rc=0
  for f in $files; do clang-format --dry-run -Werror "$f" >/dev/null 2>&1 || { echo "$f"; rc=1; }; done
  exit $rc
fi
clang-format -i $files
