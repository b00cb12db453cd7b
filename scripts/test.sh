#!/usr/bin/env bash
# Installs what is missing, builds every preset and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset host
cmake --build --preset host
cmake --preset win32
cmake --build --preset win32
cmake --preset win64
cmake --build --preset win64
ctest --preset host
