#!/usr/bin/env bash
# Installs what building and running the project needs on Debian 12: the mingw-w64 cross compiler, Clang and lld
# (the second compiler, CodeView debug information and PDBs), Wine, and the tools the build and the tests call.
# The 32-bit library needs the i686 cross compiler and Wine's 32-bit half (wine32, from the i386 architecture).
set -euo pipefail
packages=(wine wine64 wine32:i386 g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix mingw-w64-tools
  binutils-mingw-w64-x86-64 binutils-mingw-w64-i686 cmake ninja-build python3 openssl googletest libboost-dev
  nlohmann-json3-dev libwine-dev clang lld llvm clang-format clang-tidy)
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo
# wine32 comes from the i386 architecture. A Wine prefix made before wine32 was installed cannot start programs
# afterwards: tools/wine-prefix.sh makes such a prefix anew.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
