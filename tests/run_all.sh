#!/usr/bin/env bash
# The whole test suite: a normal build, with norvane-mpi and its tests on 1 to 4
# processes; one with address and undefined-behaviour sanitizers; one with the thread
# sanitizer (clang, whose OpenMP runtime it understands); each runs every CTest test.
# Then the benchmark programs against the reference, and a minute of fuzzing. Every build
# has a folder of its own: build/ stays as the user made it. Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
fuzz_seconds=${NORVANE_FUZZ_SECONDS:-60}
suite_start=$SECONDS
current=0

# Says what runs next and about how long it takes (measured from fresh build folders on a
# 2-core machine, idle and busy), so that a long quiet step does not look like a hang.
step() {
    ((current == 0)) || echo "==> step $current done in $((SECONDS - step_start)) s"
    current=$1
    step_start=$SECONDS
    echo "==> [$1/5] $2: about $3"
}

step 1 "normal build in build-tests with norvane-mpi (on one host and across two emulated hosts), every test" "300-400 s"
cmake -S . -B build-tests -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNORVANE_TESTS=ON -DNORVANE_MPI=ON
cmake --build build-tests -j"$jobs"
ctest --test-dir build-tests --no-tests=error --output-on-failure -j"$jobs" -LE mpi
# norvane-mpi's runs mostly wait for the launcher to start their processes: twice as many
# side by side take half the time.
ctest --test-dir build-tests --no-tests=error --output-on-failure -j"$((2 * jobs))" -L mpi

step 2 "address + undefined-behaviour sanitizer build in build-asan, every test" "60-100 s"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DNORVANE_SANITIZE=ON -DNORVANE_TESTS=ON
cmake --build build-asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1 ctest --test-dir build-asan --no-tests=error --output-on-failure -j"$jobs"

step 3 "thread sanitizer build (clang) in build-tsan, every test" "100-150 s"
CC=clang CXX=clang++ cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DNORVANE_TSAN=ON -DNORVANE_TESTS=ON
cmake --build build-tsan -j"$jobs"
# The OpenMP runtime itself is not instrumented; its own synchronisation is known to the
# sanitizer through the runtime's tool interface.
TSAN_OPTIONS="ignore_noninstrumented_modules=1 halt_on_error=1" \
    ctest --test-dir build-tsan --no-tests=error --output-on-failure -j"$jobs"

step 4 "benchmark programs (Release, build-bench) against the reference" "15 s"
bash bench/selftest.sh

step 5 "fuzzing for $fuzz_seconds s after building the target in build-fuzz" "$((fuzz_seconds + 10)) s"
bash fuzz/run.sh "$fuzz_seconds"
echo "==> step $current done in $((SECONDS - step_start)) s"
echo "==> the whole suite passed in $((SECONDS - suite_start)) s"
