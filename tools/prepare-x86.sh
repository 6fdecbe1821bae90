#!/usr/bin/env bash
# Prepares the 32-bit phase of tools/test.sh: builds the 32-bit library, its
# clients and test programs into ./build-x86 (after the 64-bit tree, whose
# service they use) and makes its Wine prefix (build-x86/wineprefix).
#
# A machine whose kernel cannot run 32-bit programs ("Exec format error")
# cannot run the phase: this says so loudly and exits 3, or 1 with
# ZV_X86_REQUIRED=1.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${ZV_X86_BUILD_DIR:-$root/build-x86}
"$root/tools/install-deps.sh"

# Wine's 32-bit loader is a 32-bit ELF program: it is the probe.
loader=/usr/lib/wine/wine
probe=$("$loader" --version 2>&1) || {
  echo "=================================================================="
  echo "x86 PHASE DID NOT RUN: this machine cannot start 32-bit programs."
  echo "$loader --version: $probe"
  echo "(a kernel without 32-bit emulation gives \"Exec format error\")"
  echo "=================================================================="
  [ "${ZV_X86_REQUIRED:-0}" = 1 ] && exit 1
  exit 3
}

ZV_ARCH=x86 ZV_BUILD_DIR=$build "$root/tools/build.sh"

export WINEPREFIX=$build/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
"$root/tools/wine-prefix.sh" "$WINEPREFIX"
