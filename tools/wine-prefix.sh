#!/usr/bin/env bash
# Creates the private wine prefix given as $1 if it does not exist yet, and
# anew when the one there cannot start programs (made before wine32 was
# installed, it fails with "could not load kernel32.dll").
set -euo pipefail
prefix=$1
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
if [ -f "$prefix/system.reg" ] && ! timeout 120 wine cmd.exe /c exit >/dev/null 2>&1 </dev/null; then
  wineserver -k 2>/dev/null || true
  rm -rf "$prefix"
fi
if [ ! -f "$prefix/system.reg" ]; then
  mkdir -p "$prefix"
  wineboot -i >/dev/null 2>&1
  wineserver -w
fi
