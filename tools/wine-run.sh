#!/usr/bin/env bash
# Runs a Windows program under wine for CTest. The program's output goes
# through a file: a COM local server that the program starts inherits its
# standard handles, and on a pipe it would keep CTest waiting until that
# server ends.
out=$(mktemp)
wine "$@" >"$out" 2>&1 </dev/null
rc=$?
cat "$out"
rm -f "$out"
exit $rc
