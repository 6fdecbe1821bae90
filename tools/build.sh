#!/usr/bin/env bash
# Configures (once) and builds everything into ./build.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${ZV_BUILD_DIR:-$root/build}
if [ ! -f "$build/build.ninja" ]; then
  # ccache, where the machine has it, makes rebuilds in several checkouts cheap; nothing depends on it.
  launcher=()
  if command -v ccache >/dev/null; then
    launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  fi
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" "${launcher[@]}" >/dev/null
fi
cmake --build "$build" -j "$(nproc)"
