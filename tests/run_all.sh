#!/usr/bin/env bash
# The whole test suite: a normal build; one with address and undefined-behaviour
# sanitizers; one with the thread sanitizer (clang, whose OpenMP runtime it understands);
# each runs every CTest test. Then a minute of fuzzing. Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNORVANE_TESTS=ON -DNORVANE_SANITIZE=OFF
cmake --build build -j"$jobs"
ctest --test-dir build --no-tests=error --output-on-failure -j"$jobs"

cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DNORVANE_SANITIZE=ON -DNORVANE_TESTS=ON
cmake --build build-asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1 ctest --test-dir build-asan --no-tests=error --output-on-failure -j"$jobs"

CC=clang CXX=clang++ cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DNORVANE_TSAN=ON -DNORVANE_TESTS=ON
cmake --build build-tsan -j"$jobs"
# The OpenMP runtime itself is not instrumented; its own synchronisation is known to the
# sanitizer through the runtime's tool interface.
TSAN_OPTIONS="ignore_noninstrumented_modules=1 halt_on_error=1" \
    ctest --test-dir build-tsan --no-tests=error --output-on-failure -j"$jobs"

bash fuzz/run.sh "${NORVANE_FUZZ_SECONDS:-60}"
