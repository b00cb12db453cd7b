#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need (only those
# that are missing).
set -euo pipefail
packages=(cmake make g++ ninja-build libgtest-dev googletest libbenchmark-dev
          nlohmann-json3-dev g++-mingw-w64-i686 g++-mingw-w64-x86-64
          binutils-mingw-w64-i686 binutils-mingw-w64-x86-64 wine wine64 clang libclang-rt-14-dev
          valgrind)
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y "${missing[@]}"
fi

# The 32-bit Wine beside the 64-bit one, for the Wine suite's runs of the
# shipped i686 exe (tests/wine): Debian's wine32 of the i386 architecture.
if [ "$(dpkg --print-architecture)" = amd64 ] && ! dpkg -s wine32:i386 >/dev/null 2>&1; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  dpkg --print-foreign-architectures | grep -qx i386 || $SUDO dpkg --add-architecture i386
  $SUDO apt-get update
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends wine32:i386
fi
