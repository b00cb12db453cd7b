#!/usr/bin/env bash
# The benchmarks: builds the shipped exe (for its size) and an optimized host
# build of the benchmark program, generates the large inputs into
# build/bench-data (once; reused while unchanged) and prints one table.
# Progress and Google Benchmark's own report go to build/bench/zavbench.log.
# Options after the script name go to zavbench (e.g. --repetitions 3).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh bench
mkdir -p build
{
  cmake --preset win32
  cmake --build --preset win32
  cmake -S . -B build/bench -DCMAKE_BUILD_TYPE=Release -DCMAKE_INTERPROCEDURAL_OPTIMIZATION=ON \
        -DCMAKE_C_COMPILER=gcc -DCMAKE_CXX_COMPILER=g++
  cmake --build build/bench --target zavbench -j2
} > build/bench.build.log 2>&1 || { cat build/bench.build.log; exit 1; }
exec build/bench/bench/zavbench --data build/bench-data --exe build/win32/zavuninst.exe "$@" \
  2> build/bench/zavbench.log
