#!/usr/bin/env bash
# Runs one transcript case of tests/cli/cases through norvane-mpi on K processes started
# by the launcher (or, with K = alone, on one process started without it) and compares
# standard output, standard error and the exit status byte for byte with the case's
# expected files, as tests/cli/run_case.sh does for norvane.
# Under the launcher each process writes to files of its own (rank_output.sh): rank 0's
# standard output through a pipe, as the launcher would take it, and its standard error
# are compared; the processes above rank 0 must write nothing; the launcher's own lines
# (its blocks after a failed run, its warnings on a busy machine) are shown only when the
# case fails. The status compared is the launcher's. A case whose standard output goes to
# a target (/dev/full) has every process write there directly, as norvane would, since
# the launcher ignores its own failed writes.
# LAUNCHER is the launcher's command (mpirun, or the emulated hosts' hosts.sh mpirun SET).
# Usage: run_case.sh PROGRAM K CASE_DIR REPO_ROOT LAUNCHER...
set -u

program=$1
processes=$2
case_dir=$3
repo_root=$4
shift 4
launcher=("$@")
time_placeholder='Computation time: <seconds with six decimals>'
source "$(dirname "${BASH_SOURCE[0]}")/../cli/case_files.sh"
source "$(dirname "${BASH_SOURCE[0]}")/rank_output.sh"
# The launcher waits a second before it kills what is left of a failed run; here every
# process has ended by then.
export OMPI_MCA_odls_base_sigkill_timeout=${OMPI_MCA_odls_base_sigkill_timeout-0}

work=$(mktemp -d "${TMPDIR:-/tmp}/norvane-mpi-cli.XXXXXX") || exit 2
trap 'rm -rf "$work"' EXIT

stage_input "$case_dir" "$repo_root" "$work"

args=(input.gr)
if [[ -f $case_dir/args ]]; then
    mapfile -t args < "$case_dir/args"
fi
stdout_target=$work/stdout
direct_target=
if [[ -f $case_dir/stdout.target ]]; then
    direct_target=$(head -n 1 "$case_dir/stdout.target")
    : > "$work/stdout"
fi

if [[ $processes == alone ]]; then
    [[ -n $direct_target ]] && stdout_target=$direct_target
    (cd "$work" && exec "$program" ${args[@]+"${args[@]}"}) > "$stdout_target" 2> "$work/stderr.0" < /dev/null
    status=$?
else
    # The launcher's session folder in this case's own: launchers started at once under
    # one folder race to make the same session directory.
    rank_wrapper "$work"
    command=(env TMPDIR="$work" "${launcher[@]}" --allow-run-as-root --oversubscribe -np "$processes" "${rank_wrap[@]}")
    if [[ -n $direct_target ]]; then
        command+=(sh -c 'target=$1; shift; exec "$@" > "$target"' sh "$direct_target")
    fi
    command+=("$program" ${args[@]+"${args[@]}"})
    cd "$work" || exit 2
    rank_run "$work" "${command[@]}" < /dev/null
    status=$rank_status
fi
sed -E "s/^Computation time: [0-9]+\.[0-9]{6}\$/$time_placeholder/" "$work/stderr.0" > "$work/stderr"

failed=0
compare_case "$case_dir" "$work" "$status" mpi || failed=1
[[ $processes == alone ]] || rank_check "$work" "$processes" || failed=1
if [[ $failed == 1 && $processes != alone ]]; then
    echo "what the launcher and each process wrote:"
    rank_report "$work"
fi
if [[ $failed == 0 ]]; then
    echo "ok: $(basename "$case_dir") on $processes processes (OMP_NUM_THREADS=${OMP_NUM_THREADS-unset})"
fi
exit $failed
