#!/usr/bin/env bash
# Runs a Windows program under wine for CTest. The program's output goes
# through files: a COM local server that the program starts inherits its
# standard handles, and on a pipe it would keep CTest waiting until that
# server ends.
#
# A program that ends without writing a single line to its standard output
# never reached its own code (every test program prints a line first): Wine
# failed to start it. Such a start prints a marker line with Wine's exit code
# and Wine's own output, appends the same to silent-starts.log beside bin/,
# and exits with $silent_start_code; tools/test.sh runs only those tests again.
# The output files live in run-output/ beside bin/ while the program runs:
# when CTest kills a program at its time limit, its files stay, and
# tools/test.sh shows what the program had printed before it hung.
# Without a prefix given, the build tree's private one beside bin/ is used.
silent_start_code=97
build=$(cd "$(dirname "$1")/.." && pwd)
if [ -z "${WINEPREFIX:-}" ]; then
  WINEPREFIX=$build/wineprefix
fi
export WINEPREFIX
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
mkdir -p "$build/run-output"
out=$build/run-output/$(basename "$1" .exe)-$$.out
err=$build/run-output/$(basename "$1" .exe)-$$.err
echo "$*" >"$out.command"
wine "$@" >"$out" 2>"$err" </dev/null
rc=$?
cat "$out"
cat "$err" >&2
# Wine's launcher reports a start it could not make on the program's own
# standard output ("Application could not be started, ... ShellExecuteEx
# failed: Internal error."): that too is a start that never reached the program.
if [ ! -s "$out" ] || head -n 1 "$out" | grep -q '^Application could not be started'; then
  {
    echo "wine-run: silent start: $(basename "$1") ${*:2} ended without output of its own, exit code $rc," \
      "WINEDEBUG=$WINEDEBUG, $(date -u +%FT%TZ); Wine's output follows"
    cat "$out" "$err" | sed -e '$a\' # each entry ends with a line break
  } | tee -a "$build/silent-starts.log"
  rc=$silent_start_code
fi
rm -f "$out" "$err" "$out.command"
exit $rc
