#!/usr/bin/env bash
# Installs the Debian packages a command needs (only those that are
# missing), without the packages they merely recommend:
#   install-deps.sh dryrun   the host build of the dry-run tool: the host
#                            compiler, make, CMake and the JSON library
#   install-deps.sh          that, and what scripts/test.sh needs: GoogleTest,
#                            the i686 and x86_64 mingw compilers (win32 and
#                            win64 presets, the Wine test programs), Wine
#                            (the Wine scenarios), clang with its runtime
#                            libraries (the fuzz preset)
#   install-deps.sh bench    the dry run's packages, the i686 mingw compiler
#                            and Google Benchmark (scripts/bench.sh)
set -euo pipefail
dryrun=(cmake make gcc g++ nlohmann-json3-dev)
case "${1:-test}" in
  dryrun) packages=("${dryrun[@]}") ;;
  test) packages=("${dryrun[@]}" libgtest-dev g++-mingw-w64-i686 g++-mingw-w64-x86-64
                  wine wine64 clang libclang-rt-14-dev) ;;
  bench) packages=("${dryrun[@]}" g++-mingw-w64-i686 libbenchmark-dev) ;;
  *) echo "usage: install-deps.sh [dryrun|test|bench]" >&2; exit 2 ;;
esac
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
fi
