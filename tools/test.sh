#!/usr/bin/env bash
# Builds everything and runs every test under wine in the build tree's
# private prefix. Exits non-zero on any failure.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${ZV_BUILD_DIR:-$root/build}
"$root/tools/install-deps.sh"
ZV_BUILD_DIR=$build "$root/tools/build.sh"

export WINEPREFIX=$build/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
"$root/tools/wine-prefix.sh" "$WINEPREFIX"
# One wineserver for the whole run: a test program then starts in a fraction
# of the time. It is shut down however the run ends.
wineserver -k 2>/dev/null || true
wineserver -p
trap 'wineserver -k 2>/dev/null || true' EXIT
# Start wine's own background processes now, detached from any output pipe:
# started later by a test program they would inherit its pipe and keep CTest
# waiting for its end.
wine cmd.exe /c exit >/dev/null 2>&1 </dev/null
cd "$build"
ctest --output-on-failure --timeout 300 "$@"
