#!/usr/bin/env bash
# Configures (once) and builds everything. The compiler is the first argument or ZV_COMPILER: gcc (the default,
# into ./build) or clang (into ./build-clang); ZV_BUILD_DIR names another folder. With ZV_ARCH=x86 (GCC) the 32-bit
# library, its clients and tests go into ./build-x86, after the 64-bit tree whose service the 32-bit tests use.
# Extra CMake options for the first configure go in ZV_CMAKE_OPTIONS (CI passes -DZV_WARNINGS_AS_ERRORS=ON).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
compiler=${1:-${ZV_COMPILER:-gcc}}
case $compiler in
  gcc) toolchain=mingw-w64-x86_64.cmake default_build=$root/build ;;
  clang) toolchain=clang-mingw-w64-x86_64.cmake default_build=$root/build-clang ;;
  *) echo "build.sh: unknown compiler '$compiler' (gcc or clang)" >&2; exit 2 ;;
esac
arch_options=()
if [ "${ZV_ARCH:-x64}" = x86 ]; then
  x64_build=${ZV_X64_BUILD_DIR:-$root/build}
  ZV_ARCH=x64 ZV_BUILD_DIR=$x64_build "$0" gcc
  toolchain=mingw-w64-i686.cmake default_build=$root/build-x86
  arch_options=(-DZV_X64_BIN_DIR="$x64_build/bin")
fi
build=${ZV_BUILD_DIR:-$default_build}
if [ ! -f "$build/build.ninja" ]; then
  # ccache, where the machine has it, makes rebuilds in several checkouts cheap; nothing depends on it.
  launcher=()
  if command -v ccache >/dev/null; then
    launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  fi
  read -r -a options <<<"${ZV_CMAKE_OPTIONS:-}"
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/$toolchain" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON "${launcher[@]}" \
    "${arch_options[@]}" "${options[@]}" >/dev/null
fi
cmake --build "$build" -j "$(nproc)"
