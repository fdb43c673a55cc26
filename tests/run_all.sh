#!/usr/bin/env bash
# The whole test suite: a normal build, with norvane-mpi and its tests on 1 to 4
# processes; one with address and undefined-behaviour sanitizers; one with the thread
# sanitizer (clang, whose OpenMP runtime it understands); each runs every CTest test.
# Then the benchmark programs against the reference, and a minute of fuzzing. Every build
# has a folder of its own: build/ stays as the user made it. Every step runs even after
# one fails; a summary of all steps ends the run, whose status is non-zero if any failed.
# Emulated hosts and scratch files a run leaves (stopped by a limit or by the user) are
# removed on the way out and, if it was killed outright, at the start of the next run.
set -uo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
fuzz_seconds=${NORVANE_FUZZ_SECONDS:-60}
timeout_scale=${NORVANE_TEST_TIMEOUT_SCALE:-1}

# Step names, in order, and about how long each takes on 2 idle cores, measured from fresh
# build folders (a machine busy with other work takes several times longer: that is no hang).
step_names=(normal asan tsan bench fuzz)
step_titles=("normal build in build-tests with norvane-mpi (on one host and across two emulated hosts), every test"
             "address + undefined-behaviour sanitizer build in build-asan, every test (of norvane-mpi's, the differential ones on 2 processes)"
             "thread sanitizer build (clang) in build-tsan, every test (of norvane-mpi's, the differential ones on 2 processes)"
             "benchmark programs (Release, build-bench) against the reference"
             "fuzzing for $fuzz_seconds s after building the target in build-fuzz")
step_times=("450-550 s" "180-230 s" "200-260 s" "25 s" "$((fuzz_seconds + 10)) s")

usage() {
    cat << EOF
usage: bash tests/run_all.sh [quick | --step STEP | --from STEP | --help]

  (nothing)     every step below, in order; each runs even after an earlier one failed
  quick         the quick tier, after each change: the unit tests and the transcripts
                (ctest -L quick in build-tests), under 2 minutes on 2 idle cores
  --step STEP   that step alone (a number or a name)
  --from STEP   that step and those after it, to resume a run
  --help        this text

Steps:
EOF
    local i
    for i in "${!step_names[@]}"; do
        printf '  %d %-6s %s (about %s)\n' "$((i + 1))" "${step_names[i]}" "${step_titles[i]}" "${step_times[i]}"
    done
    cat << EOF

One test of a step: ctest --test-dir build-tests -R NAME --output-on-failure (build-asan,
build-tsan for the sanitizer steps). Environment: NORVANE_TEST_TIMEOUT_SCALE, a whole number
(1), multiplies every test's time limit (each detects a hang, with a wide margin already);
NORVANE_FUZZ_SECONDS (60) is the fuzzing time. The status is 0 when every step run passed.
EOF
}

# Prints the number (1-based) of step STEP, given as a number or a name; fails on neither.
step_number() {
    local i
    for i in "${!step_names[@]}"; do
        [[ $1 == "$((i + 1))" || $1 == "${step_names[i]}" ]] && { echo "$((i + 1))"; return 0; }
    done
    echo "tests/run_all.sh: no step $1 (steps 1-${#step_names[@]}: ${step_names[*]})" >&2
    return 1
}

# Leftovers of a run that ended early: emulated hosts whose maker has ended (hosts.sh names
# the set's switch after its maker's process) and the distributed tests' input files whose
# writing process has ended (named norvane_distributed_PID.gr in the temporary folder).
remove_leftovers() {
    local file pid
    bash tests/distributed/hosts.sh sweep
    for file in "${TMPDIR:-/tmp}"/norvane_distributed_*.gr; do
        [[ -e $file ]] || continue
        pid=${file##*_}
        pid=${pid%.gr}
        [[ $pid =~ ^[0-9]+$ ]] && ! kill -0 "$pid" 2> /dev/null && rm -f "$file"
    done
    return 0
}

# Runs CTest over build folder DIR with the remaining arguments; prints CTest's own closing lines.
run_ctest() {
    local dir=$1
    shift
    ctest --test-dir "$dir" --no-tests=error --output-on-failure "$@"
}

# Each step: its commands, the step failing when any of them fails (the later ones still
# run where they do not need the earlier).
step_normal() {
    cmake -S . -B build-tests -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNORVANE_TESTS=ON -DNORVANE_MPI=ON \
        -DNORVANE_TEST_TIMEOUT_SCALE="$timeout_scale" && cmake --build build-tests -j"$jobs" || return 1
    local status=0
    run_ctest build-tests -j"$jobs" -LE mpi || status=1
    # norvane-mpi's runs mostly wait for the launcher to start their processes: twice as
    # many side by side take half the time.
    run_ctest build-tests -j"$((2 * jobs))" -L mpi || status=1
    return $status
}

# The sanitizer builds take norvane-mpi's differential tests on 2 processes as well (its
# builder's and solver's teams); the launcher's own library leaks, so leaks are not sought there.
mpi_in_sanitizers=(-R '^distributed\.2\.')

step_asan() {
    cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DNORVANE_SANITIZE=ON -DNORVANE_TESTS=ON -DNORVANE_MPI=ON \
        -DNORVANE_TEST_TIMEOUT_SCALE="$timeout_scale" && cmake --build build-asan -j"$jobs" || return 1
    local status=0
    ASAN_OPTIONS=detect_leaks=1 run_ctest build-asan -j"$jobs" -LE mpi || status=1
    ASAN_OPTIONS=detect_leaks=0 run_ctest build-asan -j"$jobs" "${mpi_in_sanitizers[@]}" || status=1
    return $status
}

step_tsan() {
    CC=clang CXX=clang++ cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DNORVANE_TSAN=ON -DNORVANE_TESTS=ON \
        -DNORVANE_MPI=ON -DNORVANE_TEST_TIMEOUT_SCALE="$timeout_scale" && cmake --build build-tsan -j"$jobs" || return 1
    # The OpenMP runtime itself is not instrumented; its own synchronisation is known to the
    # sanitizer through the runtime's tool interface.
    local status=0
    TSAN_OPTIONS="ignore_noninstrumented_modules=1 halt_on_error=1" run_ctest build-tsan -j"$jobs" -LE mpi || status=1
    TSAN_OPTIONS="ignore_noninstrumented_modules=1 halt_on_error=1" run_ctest build-tsan -j"$jobs" \
        "${mpi_in_sanitizers[@]}" || status=1
    return $status
}

step_bench() { bash bench/selftest.sh; }

step_fuzz() { bash fuzz/run.sh "$fuzz_seconds"; }

# The quick tier: only what it needs is built, in the folder the normal step uses.
step_quick() {
    cmake -S . -B build-tests -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNORVANE_TESTS=ON -DNORVANE_MPI=ON \
        -DNORVANE_TEST_TIMEOUT_SCALE="$timeout_scale" &&
        cmake --build build-tests -j"$jobs" --target norvane norvane_unit_tests || return 1
    run_ctest build-tests -j"$jobs" -L quick
}

first=1
last=${#step_names[@]}
case ${1:-} in
    "") ;;
    quick) [[ $# == 1 ]] || { usage >&2; exit 2; } ;;
    --step) [[ $# == 2 ]] && first=$(step_number "$2") || { usage >&2; exit 2; }; last=$first ;;
    --from) [[ $# == 2 ]] && first=$(step_number "$2") || { usage >&2; exit 2; } ;;
    -h | --help) usage; exit 0 ;;
    *) usage >&2; exit 2 ;;
esac

trap remove_leftovers EXIT
trap 'echo "==> interrupted"; exit 130' INT
trap 'echo "==> terminated"; exit 143' TERM
remove_leftovers

suite_start=$SECONDS
if [[ ${1:-} == quick ]]; then
    echo "==> quick tier in build-tests: the unit tests and the transcripts (ctest -L quick): under 2 min idle," \
         "plus the build"
    step_quick
    status=$?
    echo "==> quick tier $( ((status == 0)) && echo passed || echo FAILED) in $((SECONDS - suite_start)) s"
    exit $status
fi

echo "==> load average $(cut -d ' ' -f 1-3 /proc/loadavg) on $jobs cores; step times below are for idle cores, a busy" \
     "machine takes several times longer; test time limits times $timeout_scale"
summary=()
failed=0
for ((n = first; n <= last; n++)); do
    i=$((n - 1))
    echo "==> [$n/${#step_names[@]}] ${step_names[i]}: ${step_titles[i]}: about ${step_times[i]} idle"
    step_start=$SECONDS
    "step_${step_names[i]}"
    status=$?
    result=passed
    ((status == 0)) || { result=FAILED; failed=1; }
    echo "==> step $n ${step_names[i]} $result in $((SECONDS - step_start)) s"
    summary+=("$(printf '%d %-6s %-6s %5d s' "$n" "${step_names[i]}" "$result" "$((SECONDS - step_start))")")
done

echo "==> summary (rerun one step with --step N, resume with --from N):"
printf '    %s\n' "${summary[@]}"
if ((failed)); then
    echo "==> the suite FAILED in $((SECONDS - suite_start)) s"
    exit 1
fi
echo "==> the suite passed in $((SECONDS - suite_start)) s"
