#!/usr/bin/env bash
# Installs the build into an empty folder, builds the consumer project against
# that folder alone (find_package), and runs the consumer under wine.
# Arguments: build tree, consumer sources, toolchain file.
set -euo pipefail
build=$1 source=$2 toolchain=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work/prefix" >/dev/null
cmake -S "$source" -B "$work/build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
  -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/build" >/dev/null
out=$work/out.txt
rc=0
WINEDEBUG=-all wine "$work/build/ZelvarConsumer.exe" >"$out" 2>&1 </dev/null || rc=$?
tr -d '\r' <"$out"
exit $rc
