#!/usr/bin/env bash
# Runs zvcli.exe ARGS under wine on this machine: builds if needed, installs
# the stand-in service into the demo prefix once, and passes zvcli's standard
# output (raw bytes), standard error and exit code through. The exit code is
# the low byte of zvcli's (65531 shows as 251).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${ZV_BUILD_DIR:-$root/build}
"$root/tools/install-deps.sh" >&2
ZV_BUILD_DIR=$build "$root/tools/build.sh" >/dev/null

export WINEPREFIX=$build/demo-prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
"$root/tools/wine-prefix.sh" "$WINEPREFIX"
# A wineserver that outlives this run for a while, so that the next run starts fast.
wineserver -p60 2>/dev/null || true
if [ ! -f "$WINEPREFIX/.zvcli-standin-installed" ]; then
  wine "$build/bin/ZelvarSvr.exe" /RegServer </dev/null >&2
  touch "$WINEPREFIX/.zvcli-standin-installed"
fi

# zvcli's output goes through files, followed as they grow: a service that
# zvcli starts inherits its standard handles and would hold a pipe open.
# zvcli runs in the foreground, so that Ctrl+C reaches it (wine turns it into
# the console's Ctrl+C event); the followers end, after a last read, when the
# guard process ends.
work=$(mktemp -d)
: >"$work/out"
: >"$work/err"
sleep infinity &
guard=$!
trap 'kill $guard 2>/dev/null || true; rm -rf "$work"' EXIT
tail -c +1 -s 0.1 --pid=$guard -f "$work/out" &
tail_out=$!
tail -c +1 -s 0.1 --pid=$guard -f "$work/err" >&2 &
tail_err=$!
set +e
wine "$build/bin/zvcli.exe" "$@" >"$work/out" 2>"$work/err" </dev/null
rc=$?
kill $guard
wait $tail_out $tail_err
exit $rc
