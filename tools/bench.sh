#!/usr/bin/env bash
# Builds and runs the benchmarks in the test prefix; prints the figures.
# Arguments choose parts, as for ZelvarBench.exe (all by default).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${ZV_BUILD_DIR:-$root/build}
"$root/tools/install-deps.sh"
ZV_BUILD_DIR=$build "$root/tools/build.sh" >/dev/null
export WINEPREFIX=$build/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
"$root/tools/wine-prefix.sh" "$WINEPREFIX"
wineserver -k 2>/dev/null || true
wineserver -p
trap 'wineserver -k 2>/dev/null || true' EXIT
wine cmd.exe /c exit >/dev/null 2>&1 </dev/null
out=$(mktemp)
wine "$build/bin/ZelvarBench.exe" "$@" >"$out" 2>&1 </dev/null || true
tr -d '\r' <"$out"
rm -f "$out"
