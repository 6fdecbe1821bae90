#!/usr/bin/env bash
# Runs a Windows program under wine for CTest. The program's output goes
# through a file: a COM local server that the program starts inherits its
# standard handles, and on a pipe it would keep CTest waiting until that
# server ends.
# Without a prefix given, the build tree's private one beside bin/ is used.
if [ -z "${WINEPREFIX:-}" ]; then
  WINEPREFIX=$(cd "$(dirname "$1")/.." && pwd)/wineprefix
fi
export WINEPREFIX
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
out=$(mktemp)
wine "$@" >"$out" 2>&1 </dev/null
rc=$?
cat "$out"
rm -f "$out"
exit $rc
