#!/usr/bin/env bash
# Runs clang-tidy with the checked-in .clang-tidy over every source file of src/, with the compile database of the
# Clang build (./build-clang, or ZV_BUILD_DIR), which it builds or brings up to date first: the database and the
# generated service headers come from it. Prints the findings and exits non-zero when there is any.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${ZV_BUILD_DIR:-$root/build-clang}
ZV_BUILD_DIR=$build "$root/tools/build.sh" clang >/dev/null
cd "$root"
log=$(mktemp)
trap 'rm -f "$log"' EXIT
rc=0
find src -name '*.cpp' -print0 | sort -z |
  xargs -0 -P "$(nproc)" -n 1 clang-tidy -p "$build" --quiet >"$log" 2>&1 || rc=1
# clang-tidy's own counts ("N warnings generated.") are noise beside the findings.
grep -vE '^[0-9]+ warnings? (and [0-9]+ errors? )?generated\.$' "$log" || true
if [ "$rc" -ne 0 ]; then
  echo "tidy.sh: clang-tidy has findings in src/" >&2
  exit 1
fi
echo "tidy.sh: src/ is clean"
