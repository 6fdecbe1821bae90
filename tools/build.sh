#!/usr/bin/env bash
# Configures (once) and builds everything into ./build; with ZV_ARCH=x86 the
# 32-bit library, its clients and tests into ./build-x86 (after the 64-bit
# tree, whose service the 32-bit tests use).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
arch_args=(-DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake")
if [ "${ZV_ARCH:-x64}" = x86 ]; then
  x64_build=${ZV_X64_BUILD_DIR:-$root/build}
  ZV_ARCH=x64 ZV_BUILD_DIR=$x64_build "$0"
  build=${ZV_BUILD_DIR:-$root/build-x86}
  arch_args=(-DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-i686.cmake" -DZV_X64_BIN_DIR="$x64_build/bin")
else
  build=${ZV_BUILD_DIR:-$root/build}
fi
if [ ! -f "$build/build.ninja" ]; then
  # ccache, where the machine has it, makes rebuilds in several checkouts cheap; nothing depends on it.
  launcher=()
  if command -v ccache >/dev/null; then
    launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  fi
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    "${arch_args[@]}" "${launcher[@]}" >/dev/null
fi
cmake --build "$build" -j "$(nproc)"
