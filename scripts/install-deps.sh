#!/usr/bin/env bash
# Installs the Debian packages a command needs (only those that are
# missing), without the packages they merely recommend:
#   install-deps.sh dryrun   the host build of the dry-run tool: the host
#                            compiler, make, CMake and the JSON library
#   install-deps.sh          that, and what scripts/test.sh needs: GoogleTest,
#                            the i686 and x86_64 mingw compilers (win32 and
#                            win64 presets, the Wine test programs), Wine
#                            with its 32-bit half (wine32:i386, for the Wine
#                            suite's runs of the shipped i686 exe), clang
#                            with its runtime libraries (the fuzz preset),
#                            valgrind (the memcheck tests)
#   install-deps.sh bench    the dry run's packages, the i686 mingw compiler
#                            and Google Benchmark (scripts/bench.sh)
set -euo pipefail
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"

dryrun=(cmake make gcc g++ nlohmann-json3-dev)
case "${1:-test}" in
  dryrun) packages=("${dryrun[@]}") ;;
  test) packages=("${dryrun[@]}" libgtest-dev g++-mingw-w64-i686 g++-mingw-w64-x86-64
                  wine wine64 clang libclang-rt-14-dev valgrind libtsan2)
        # The 32-bit Wine of the i386 architecture beside the 64-bit one.
        if [ "$(dpkg --print-architecture)" = amd64 ]; then
          packages+=(wine32:i386)
        fi ;;
  bench) packages=("${dryrun[@]}" g++-mingw-w64-i686 libbenchmark-dev) ;;
  *) echo "usage: install-deps.sh [dryrun|test|bench]" >&2; exit 2 ;;
esac
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [[ " ${missing[*]} " == *":i386 "* ]] &&
   ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
fi
# A mirror caught mid-sync makes `apt-get update` fail on one index now and
# then ("File has unexpected size"): tried three times, then the lists it
# did fetch serve the install.
for attempt in 1 2 3; do
  $SUDO apt-get update && break
  [ $attempt -eq 3 ] && echo "install-deps.sh: apt-get update failed; installing from the lists at hand" >&2
  sleep $((attempt * 10))
done
# One transaction, so that the packages both architectures share (Multi-Arch:
# same) are chosen at one version. When an index of one architecture is
# missing (the mirror above), the security archive's version of such a
# package may exist for amd64 only; the second attempt then takes the
# release's own versions.
install() {
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends "$@" "${missing[@]}"
}
codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
install || { [ -n "$codename" ] && install -t "$codename" --allow-downgrades; }
