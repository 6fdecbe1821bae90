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
wineserver -p60
if [ ! -f "$WINEPREFIX/.zvcli-standin-installed" ]; then
  wine "$build/bin/ZelvarSvr.exe" /RegServer </dev/null >&2
  touch "$WINEPREFIX/.zvcli-standin-installed"
fi

# zvcli's output goes through files and is followed as it grows: a service
# that zvcli starts inherits its standard handles and would hold a pipe open.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
: >"$work/out"
: >"$work/err"
wine "$build/bin/zvcli.exe" "$@" >"$work/out" 2>"$work/err" </dev/null &
pid=$!
trap 'kill -INT $pid 2>/dev/null || true' INT TERM
tail -c +1 -s 0.1 --pid=$pid -f "$work/out" &
tail_out=$!
tail -c +1 -s 0.1 --pid=$pid -f "$work/err" >&2 &
tail_err=$!
set +e
wait $pid
rc=$?
# A wait cut short by Ctrl+C (forwarded to zvcli above) is waited again.
while [ $rc -gt 128 ] && kill -0 $pid 2>/dev/null; do
  wait $pid
  rc=$?
done
wait $tail_out $tail_err
exit $rc
