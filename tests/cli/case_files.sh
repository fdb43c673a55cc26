# Shared by the transcript runners (norvane's and norvane-mpi's): staging a case's input
# and comparing what a run produced with the case's expected files. Sourced, not run.

# Copies the case's input, byte for byte, into WORK/input.gr: a file in the case, a file
# of the repository, or generated. Usage: stage_input CASE_DIR REPO_ROOT WORK
stage_input() {
    local case_dir=$1 repo_root=$2 work=$3
    if [[ -f $case_dir/input.gr ]]; then
        cp "$case_dir/input.gr" "$work/input.gr"
    elif [[ -f $case_dir/input.from ]]; then
        cp "$repo_root/$(head -n 1 "$case_dir/input.from")" "$work/input.gr"
    elif [[ -f $case_dir/input.sh ]]; then
        bash "$case_dir/input.sh" > "$work/input.gr" || { echo "input.sh failed"; exit 2; }
    fi
}

# Compares status STATUS and WORK/stdout, WORK/stderr with the case's files (STREAM.VARIANT
# where the case has one: a program that names itself prints its own name); prints what
# differs and returns 1 when anything does. Usage: compare_case CASE_DIR WORK STATUS [VARIANT]
compare_case() {
    local case_dir=$1 work=$2 status=$3 variant=${4:-} failed=0 stream expected expected_status
    expected_status=$(tr -d '[:space:]' < "$case_dir/status")
    if [[ $status != "$expected_status" ]]; then
        echo "exit status: expected $expected_status, got $status"
        failed=1
    fi
    for stream in stdout stderr; do
        expected=$case_dir/$stream
        [[ -n $variant && -f $expected.$variant ]] && expected=$expected.$variant
        if ! cmp -s "$expected" "$work/$stream"; then
            echo "$stream differs (--- expected, +++ actual; cat -A notation):"
            diff -u --label expected --label actual \
                <(cat -A "$expected") <(cat -A "$work/$stream") | head -n 60 | cut -c 1-300
            failed=1
        fi
    done
    return $failed
}
