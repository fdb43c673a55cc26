#!/usr/bin/env bash
# Runs one transcript case of tests/cli/cases through norvane-mpi on K processes started
# by the launcher (or, with K = alone, on one process started without it) and compares
# standard output, the program's standard error and the exit status byte for byte with
# the case's expected files, as tests/cli/run_case.sh does for norvane.
# Under the launcher the listing reaches the caller through it, and the launcher ignores
# its own failed writes; a case whose standard output goes to a target (/dev/full) has
# every process write there directly, as norvane would. When the run fails, the launcher
# adds blocks of its own between lines of dashes, and sometimes warnings of its event
# library ("[warn] Epoll MOD(1) on fd 25 failed...") or, across hosts, of its process
# manager ("[host:pid] PMIX ERROR: UNREACHABLE ..."); they are left out of the comparison.
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
    command=("$program")
else
    # The launcher's session folder in this case's own: launchers started at once under
    # one folder race to make the same session directory.
    command=(env TMPDIR="$work" "${launcher[@]}" --allow-run-as-root --oversubscribe -np "$processes")
    if [[ -n $direct_target ]]; then
        command+=(sh -c 'target=$1; shift; exec "$@" > "$target"' sh "$direct_target" "$program")
    else
        command+=("$program")
    fi
fi
[[ -n $direct_target && $processes == alone ]] && stdout_target=$direct_target
(cd "$work" && exec "${command[@]}" ${args[@]+"${args[@]}"}) > "$stdout_target" 2> "$work/stderr.raw" < /dev/null
status=$?

if [[ $status != 0 && $processes != alone ]]; then
    # A block may follow a last line of the program's that has no newline.
    python3 -c 'import re, sys
text = open(sys.argv[1], "rb").read()
text = re.sub(rb"-{20,}\n.*?-{20,}\n", b"", text, flags=re.S)
text = re.sub(rb"\[[^\]\n]*:[0-9]+\] PMIX ERROR: [^\n]*\n", b"", text)
sys.stdout.buffer.write(re.sub(rb"\[warn\] [^\n]*\n", b"", text))' "$work/stderr.raw" > "$work/stderr.program"
else
    cp "$work/stderr.raw" "$work/stderr.program"
fi
sed -E "s/^Computation time: [0-9]+\.[0-9]{6}\$/$time_placeholder/" "$work/stderr.program" > "$work/stderr"

failed=0
compare_case "$case_dir" "$work" "$status" mpi || failed=1
if [[ $failed == 1 ]]; then
    echo "launcher's standard error as received:"
    head -c 3000 "$work/stderr.raw" | cat -A
fi
if [[ $failed == 0 ]]; then
    echo "ok: $(basename "$case_dir") on $processes processes (OMP_NUM_THREADS=${OMP_NUM_THREADS-unset})"
fi
exit $failed
