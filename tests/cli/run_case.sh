#!/usr/bin/env bash
# Runs the built program on one transcript case of tests/cli/cases and compares its
# standard output, standard error and exit status byte for byte with the expected ones.
# The computation-time line is the one line matched by pattern (six decimals).
# Usage: run_case.sh PROGRAM CASE_DIR REPO_ROOT
set -u

program=$1
case_dir=$2
repo_root=$3
time_placeholder='Computation time: <seconds with six decimals>'
source "$(dirname "${BASH_SOURCE[0]}")/case_files.sh"

work=$(mktemp -d "${TMPDIR:-/tmp}/norvane-cli.XXXXXX") || exit 2
trap 'rm -rf "$work"' EXIT

stage_input "$case_dir" "$repo_root" "$work"

# A case on which a team can start must say which team sizes (or OpenMP settings) to try,
# or a team-only fault would pass unseen at the default size.
if [[ ! -f $case_dir/threads && ! -f $case_dir/settings && -f $work/input.gr ]]; then
    nodes=$(grep -a -m 1 '^p' "$work/input.gr" | awk '{ print $3 + 0 }')
    if (( $(stat -c %s "$work/input.gr") >= 1048576 || ${nodes:-0} >= 65536 )); then
        echo "case $(basename "$case_dir") can start a team: list its team sizes in a threads file"
        exit 1
    fi
fi

# Arguments: one per line of the args file; without one, the single operand input.gr.
args=(input.gr)
if [[ -f $case_dir/args ]]; then
    mapfile -t args < "$case_dir/args"
fi
stdout_target=$work/stdout
if [[ -f $case_dir/stdout.target ]]; then
    stdout_target=$(head -n 1 "$case_dir/stdout.target")
    : > "$work/stdout"
fi

(cd "$work" && exec "$program" ${args[@]+"${args[@]}"}) > "$stdout_target" 2> "$work/stderr.raw" < /dev/null
status=$?

# The time is the one varying value: a well-formed time line becomes the placeholder.
sed -E "s/^Computation time: [0-9]+\.[0-9]{6}\$/$time_placeholder/" "$work/stderr.raw" > "$work/stderr"

failed=0
compare_case "$case_dir" "$work" "$status" || failed=1
if [[ $failed == 0 ]]; then
    echo "ok: $(basename "$case_dir") (OMP_NUM_THREADS=${OMP_NUM_THREADS-unset})"
fi
exit $failed
