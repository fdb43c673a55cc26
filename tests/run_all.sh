#!/usr/bin/env bash
# The whole test suite: a normal build and one with address and undefined-behaviour
# sanitizers, each running every CTest test. Exits non-zero on the first failure.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNORVANE_TESTS=ON -DNORVANE_SANITIZE=OFF
cmake --build build -j"$jobs"
ctest --test-dir build --no-tests=error --output-on-failure -j"$jobs"

cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DNORVANE_SANITIZE=ON -DNORVANE_TESTS=ON
cmake --build build-asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1 ctest --test-dir build-asan --no-tests=error --output-on-failure -j"$jobs"
