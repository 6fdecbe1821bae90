#!/usr/bin/env bash
# Installs the build into an empty folder, builds the consumer project against
# that folder alone (find_package), and runs the consumer under wine.
# Arguments: build tree, consumer sources, toolchain file; optionally a second
# build tree and its toolchain (the other width), installed into the same
# folder, the consumer then built and run for both.
set -euo pipefail
build=$1 source=$2 toolchain=$3 other_build=${4:-} other_toolchain=${5:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work/prefix" >/dev/null
[ -z "$other_build" ] || cmake --install "$other_build" --prefix "$work/prefix" >/dev/null
consume() {
  local dir=$work/build-$1
  cmake -S "$source" -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$2" -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
  cmake --build "$dir" >/dev/null
  local out=$work/out-$1.txt rc=0
  WINEDEBUG=-all wine "$dir/ZelvarConsumer.exe" >"$out" 2>&1 </dev/null || rc=$?
  tr -d '\r' <"$out"
  return $rc
}
consume first "$toolchain"
[ -z "$other_build" ] || consume second "$other_toolchain"
