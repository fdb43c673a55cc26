#!/usr/bin/env bash
# Faults that a transcript cannot stage, for norvane-mpi: input from a FIFO or a pipe (read
# by rank 0 alone), a file that one process cannot open or that is replaced while the
# processes open it, counts no host can hold, standard output closed, a limit on the tasks
# of the whole run; and the New York road graph, plain and gzip, on three processes against
# norvane. Each check asserts the program's output, messages and exit status; one that
# cannot be staged here exits 77 with the reason.
# Usage: check_fault.sh LAUNCHER PROGRAM NORVANE REPO_ROOT CHECK
set -u
launcher=$1
program=$2
norvane=$3
repo=$4
check=$5
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../faults/fault_setup.sh"
source "$here/rank_output.sh"
export OMPI_MCA_odls_base_sigkill_timeout=${OMPI_MCA_odls_base_sigkill_timeout-0}
# Each process's output in files of its own (rank_output.sh), in a folder every process
# reaches whatever folder it starts in.
ranks=$work/ranks
mkdir "$ranks" || exit 2
rank_wrapper "$ranks"
# run K PROGRAM ARGS...: the launcher on K processes.
run() {
    processes=$1
    shift
    rank_run "$ranks" "$launcher" --allow-run-as-root --oversubscribe -np "$processes" "${rank_wrap[@]}" "$@"
}
# alone PROGRAM ARGS...: one process without the launcher, its output in the same files.
alone() {
    processes=1
    rm -f "$ranks"/stderr.[0-9]*
    "$@" > "$ranks/stdout" 2> "$ranks/stderr.0"
    rank_status=$?
}
# gone PIDS_FILE: every process listed has ended (a zombie has), within 30 s; else each
# left is named, then ended here.
gone() {
    local pid left round
    for ((round = 0; round < 300; round++)); do
        left=
        for pid in $(cat "$1" 2> /dev/null); do
            [[ -r /proc/$pid/stat && $(sed 's/.*) //' "/proc/$pid/stat" | cut -d ' ' -f 1) != Z ]] && left+=" $pid"
        done
        [[ -z $left ]] && return 0
        sleep 0.1
    done
    echo "left running:$left"
    kill -9 $left 2> /dev/null
    return 1
}
time_fixed() { sed -E 's/^Computation time: [0-9]+\.[0-9]{6}$/Computation time: T/' "$1"; }
# expect WANT_STATUS WANT_STDOUT WANT_STDERR: the last run's status (the launcher's), rank
# 0's standard output and standard error (its time line made fixed), the other ranks silent.
expect() {
    local why
    why=$(rank_check "$ranks" "$processes") || fail "$why; $(rank_report "$ranks")"
    [[ $rank_status == "$1" ]] || fail "status $rank_status, expected $1; $(rank_report "$ranks")"
    [[ $(cat "$ranks/stdout"; printf x) == "$2"x ]] || fail "stdout differs: $(head -c 200 "$ranks/stdout" | cat -A)"
    [[ $(time_fixed "$ranks/stderr.0"; printf x) == "$3"x ]] || fail "stderr differs: $(rank_report "$ranks")"
}
# expect_files STATUS STDOUT_FILE STDERR_FILE WANT_STATUS WANT_STDOUT WANT_STDERR: norvane's own run.
expect_files() {
    [[ $1 == "$4" ]] || fail "status $1, expected $4; stderr: $(head -c 600 "$3")"
    [[ $(cat "$2"; printf x) == "$5"x ]] || fail "stdout differs: $(head -c 200 "$2" | cat -A)"
    [[ $(time_fixed "$3"; printf x) == "$6"x ]] || fail "stderr differs: $(head -c 600 "$3" | cat -A)"
}

case $check in
fifo)
    mkfifo graph.fifo
    (sleep 0.2; cat path3.gr) > graph.fifo &
    writer=$!
    run 3 "$program" graph.fifo
    # A launcher that never started rank 0 leaves the writer waiting for a reader.
    kill "$writer" 2> /dev/null
    wait "$writer"
    expect 0 "$path3_listing" "$ok_stderr"
    ;;
stdin_pipe)
    # The launcher hands its standard input to rank 0.
    run 2 "$program" /dev/stdin < <(cat path3.gr)
    expect 0 "$path3_listing" "$ok_stderr"
    ;;
missing_for_one_process)
    # Each process starts in a folder of its own, and only rank 0's holds the file: the one
    # message, once, and status 255 from every process.
    mkdir rank0 rank1 rank2
    cp path3.gr rank0/
    run 3 sh -c 'cd "rank$OMPI_COMM_WORLD_RANK" && exec "$0" path3.gr' "$program"
    expect 255 "" $'Graph contains 3 nodes and 2 edges\nFile path3.gr not found.\n'
    ;;
renamed_while_opened)
    # Another file of the same size renamed over the path once rank 0 has opened it, while
    # rank 1's open of the path is held back (strace delays it): every process must read
    # the file rank 0 opened, or end with the read message; never list a mix of the two.
    # The path is given whole and resolved, so that strace has no note of its own to add.
    command -v strace > /dev/null || { echo "SKIP: no strace to hold an open back"; exit 0; }
    strace -f -qq -o /dev/null -P "$work/path3.gr" -e trace=openat -e inject=openat:delay_enter=1:when=1 \
        cat "$work/path3.gr" > /dev/null 2>&1 || { echo "SKIP: strace cannot delay a call here"; exit 0; }
    graph=$(pwd -P)/graph.gr
    cp path3.gr "$graph"
    printf 'p sp 3 2\na 1 2 5\na 2 3 4\n' > other.gr
    # Rank 0's open seen, the file is replaced (the launcher runs meanwhile).
    for ((k = 0; k < 6000; ++k)); do
        if [[ -s rank0.pid ]] && ls -l "/proc/$(cat rank0.pid)/fd" 2> /dev/null | grep -q " $graph\$"; then
            mv other.gr "$graph" && : > renamed
            break
        fi
        sleep 0.01
    done &
    renamer=$!
    run 1 sh -c 'echo $$ > rank0.pid; exec "$0" "$1"' "$program" "$graph" : -np 1 "${rank_wrap[@]}" \
        strace -f -qq -o /dev/null -P "$graph" -e trace=openat -e inject=openat:delay_enter=10000000:when=1 \
        "$program" "$graph"
    kill "$renamer" 2> /dev/null
    wait "$renamer"
    [[ -e renamed ]] || fail "rank 0 never had the file open"
    processes=2
    expect 255 "" $'Graph contains 3 nodes and 2 edges\nError: cannot read file '"$graph"$'.\n'
    ;;
more_than_physical_memory)
    # Counts that no host of ours can hold, whatever the number of processes on it.
    printf 'p sp 2000000000 0\n' > huge.gr
    for processes in 2 4; do
        run "$processes" "$program" huge.gr
        expect 255 "" $'Graph contains 2000000000 nodes and 0 edges\nError: cannot allocate memory.\n'
    done
    ;;
same_decision_as_norvane)
    # M is only a bound on the edge lines: both programs judge the graph announced by the
    # same least bytes (8 an edge line), and the lines that come are checked as they
    # arrive. M here fits at 8 bytes a line but not at 16, on this host whatever its
    # memory (up to 32 GB), so both list; on the file of a fixed M they agree byte for byte.
    phys=$(( $(getconf _PHYS_PAGES) * $(getconf PAGESIZE) ))
    lines=$(( phys / 12 < 2147483647 ? phys / 12 : 2147483647 ))
    printf 'p sp 2 %d\na 1 2 5\n' "$lines" > bound.gr
    printf 'p sp 2 2000000000\na 1 2 5\n' > fixed.gr
    listing=$'\nMinimal distance from node 0 to every other node:\nNode 1: \t5\n'
    "$norvane" bound.gr > out 2> err
    expect_files "$?" out err 0 "$listing" "Graph contains 2 nodes and $lines edges"$'\nComputation time: T\n'
    "$norvane" fixed.gr > want.out 2> want.err
    want_status=$?
    want_out=$(cat want.out; printf x)
    want_err=$(time_fixed want.err; printf x)
    for processes in alone 1 2; do
        if [[ $processes == alone ]]; then launch=(alone); else launch=(run "$processes"); fi
        "${launch[@]}" "$program" bound.gr
        expect 0 "$listing" "Graph contains 2 nodes and $lines edges"$'\nComputation time: T\n'
        "${launch[@]}" "$program" fixed.gr
        expect "$want_status" "${want_out%x}" "${want_err%x}"
    done
    ;;
stdout_closed)
    run 2 sh -c 'exec "$0" path3.gr >&-' "$program"
    expect 255 "" $'Graph contains 3 nodes and 2 edges\nError: cannot write output.\n'
    ;;
new_york_as_norvane)
    # Plain (byte ranges) and gzip (waves of runs) on three processes, as norvane prints.
    gunzip -c "$repo/examples/USA-road-d.NY.gr.gz" > ny.gr
    "$norvane" ny.gr > want 2> want.err || fail "norvane failed"
    want_listing=$(cat want; printf x)
    for file in ny.gr "$repo/examples/USA-road-d.NY.gr.gz"; do
        run 3 "$program" "$file"
        expect 0 "${want_listing%x}" $'Graph contains 264346 nodes and 733846 edges\nComputation time: T\n'
    done
    ;;
launcher_bound)
    # The guide's bound on a run whatever the launcher does: its own command line, with the
    # limits made short, against a stand-in launcher that ignores SIGTERM (as one caught in
    # its own finalize did), which must be killed (137), and one that ends on it (124);
    # each ends within its limit and grace, and what it started ends with it.
    line=$(grep -m 1 -E '^ +timeout -k [0-9]+ [0-9]+ mpirun ' "$repo/docs/distributed.md") ||
        fail "docs/distributed.md gives no command bounded by timeout -k"
    limit=2 grace=3 margin=$((60 * ${NORVANE_TEST_TIMEOUT_SCALE:-1}))
    line=$(sed -E "s/^ +timeout -k [0-9]+ [0-9]+ /timeout -k $grace $limit /" <<< "$line")
    mkdir bin && ln -s "$here/stand_ins/launcher_on_term.sh" bin/mpirun || exit 2
    for term in ignore honour; do
        rm -f pids
        start=$SECONDS
        NORVANE_LAUNCHER_TERM=$term NORVANE_LAUNCHER_PIDS=$work/pids PATH=$work/bin:$PATH bash -c "$line"
        status=$?
        elapsed=$((SECONDS - start))
        if [[ $term == ignore ]]; then want=137; else want=124; fi
        [[ -s pids ]] || fail "the stand-in launcher never ran: $line"
        [[ $status == "$want" ]] || fail "launcher that does $term SIGTERM: status $status, expected $want"
        ((elapsed >= limit && elapsed <= limit + grace + margin)) ||
            fail "launcher that does $term SIGTERM: ended after $elapsed s, bound $limit + $grace s"
        why=$(gone pids) || fail "launcher that does $term SIGTERM: $why"
    done
    ;;
launcher_timeout)
    # The launcher's own limit, as the guide gives it, and the outer bound on the real
    # launcher: a run that never ends (rank 0 waits for a writer of the FIFO, the others
    # for rank 0) is ended by mpirun --timeout with its message and status 110, or by
    # timeout's SIGTERM with status 124; no output of the program, and no process left.
    mkfifo hang.fifo
    runs=("timeout -k 60 $((600 * ${NORVANE_TEST_TIMEOUT_SCALE:-1})) $launcher --timeout 5" "timeout -k 60 5 $launcher")
    for bound in "${runs[@]}"; do
        rm -f pids
        read -r -a command <<< "$bound"
        rank_run "$ranks" "${command[@]}" --allow-run-as-root --oversubscribe -np 2 "${rank_wrap[@]}" \
            sh -c 'echo $$ >> "$0"; exec "$@"' "$work/pids" "$program" hang.fifo
        why=$(gone pids) || fail "$bound: $why"
        if [[ $bound == *--timeout* ]]; then want=110; else want=124; fi
        [[ $rank_status == "$want" ]] || fail "$bound: status $rank_status, expected $want; $(rank_report "$ranks")"
        # On a busy machine the limit may come before a process started: none need have.
        for file in "$ranks/stdout" "$ranks"/stderr.[0-9]* "$ranks"/stdout.[0-9]*; do
            [[ ! -s $file ]] || fail "$bound: the program wrote to ${file##*/}: $(rank_report "$ranks")"
        done
        if [[ $want == 110 ]]; then
            grep -q 'The user-provided time limit for job execution has been reached' "$ranks/launcher.err" ||
                fail "$bound: the launcher did not say its time limit was reached: $(rank_report "$ranks")"
        fi
    done
    ;;
pids_limit)
    # Four processes of four threads in a pids control group, which counts the launcher's
    # and Open MPI's own threads too: S tasks hold the run with no team. A few places more,
    # each process starts the team it can, and the graph is listed as norvane lists it, never
    # libgomp's message and status 1. At S, no member and no other thread can start: a plain
    # file is listed on one thread a process; a gzip file ends as norvane ends without the
    # thread that inflates it, with the memory message and 255, and one place more lists it.
    cgroot=/sys/fs/cgroup/pids
    [[ $(id -u) == 0 && -w $cgroot/cgroup.procs ]] ||
        { echo "SKIP: no writable cgroup v1 pids controller at $cgroot (needs root)"; exit 77; }
    group=$cgroot/norvane-fault-$$
    mkdir "$group" || { echo "SKIP: cannot make a group under $cgroot"; exit 77; }
    trap 'rmdir "$group" 2> /dev/null; rm -rf "$work"' EXIT
    # Runs norvane-mpi on 4 processes in the group under a limit of $1 tasks, OMP_NUM_THREADS
    # $2, on file $3; the tasks of the run before, still ending, are let go first.
    processes=4
    run_limited() {
        for ((k = 0; k < 1000 && $(cat "$group/pids.current") > 0; ++k)); do sleep 0.01; done
        echo "$1" > "$group/pids.max" || fail "cannot set the group's limit"
        rank_run "$ranks" timeout -k 10 300 sh -c 'echo $$ > "$1/cgroup.procs" || exit 99; shift; exec "$@"' sh "$group" \
            env OMP_NUM_THREADS="$2" "$launcher" --allow-run-as-root --oversubscribe -np 4 "${rank_wrap[@]}" "$program" "$3"
        return "$rank_status"
    }
    # S: the tasks of a run with no team, counted while rank 0 waits for its FIFO to open.
    mkfifo hold.fifo
    run_limited max 1 hold.fifo &
    held=$!
    tasks=0 steady=0
    for ((k = 0; k < 600 && steady < 50; ++k)); do
        sleep 0.02
        now=$(cat "$group/pids.current")
        if [[ $now == "$tasks" && $(grep -c . "$group/cgroup.procs") -ge 5 ]]; then steady=$((steady + 1)); else steady=0; fi
        tasks=$now
    done
    cat path3.gr > hold.fifo
    wait "$held"
    rank_status=$?
    expect 0 "$path3_listing" "$ok_stderr"
    (( steady >= 50 )) || fail "the run's tasks never held steady: $tasks"
    awk 'BEGIN { print "p sp 300000 299999"; for (i = 1; i < 300000; i++) print "a", i, i + 1, 3 }' > chain.gr
    want=$(awk 'BEGIN { print ""; print "Minimal distance from node 0 to every other node:"
                        for (i = 1; i < 300000; i++) printf "Node %d: \t%d\n", i, 3 * i }'; printf x)
    for limit in $tasks $((tasks + 2)) $((tasks + 4)) $((tasks + 6)) $((tasks + 9)); do
        run_limited "$limit" 4 chain.gr
        expect 0 "${want%x}" $'Graph contains 300000 nodes and 299999 edges\nComputation time: T\n'
    done
    "$norvane" "$repo/examples/USA-road-d.NY.gr.gz" > want.ny 2> /dev/null || fail "norvane failed"
    run_limited "$tasks" 4 "$repo/examples/USA-road-d.NY.gr.gz"
    expect 255 "" $'Error: cannot allocate memory.\n'
    want=$(cat want.ny; printf x)
    run_limited $((tasks + 1)) 4 "$repo/examples/USA-road-d.NY.gr.gz"
    expect 0 "${want%x}" $'Graph contains 264346 nodes and 733846 edges\nComputation time: T\n'
    ;;
listing_cut_short)
    # Rank 0 writes the listing (15 MB, placed in the file by three processes) where it does
    # not fit: an 8 MiB file system, then a file size limit of 16384 blocks (8 MiB to sh; a
    # smaller one stops the launcher's own start-up). The file must hold what writes in
    # order would have left: a prefix of norvane's listing, no hole; the message and 255 on
    # the full file system, the limit's signal (status 153) as norvane meets it.
    awk 'BEGIN { print "p sp 700000 699999"; for (i = 1; i < 700000; i++) print "a", i, i + 1, 1 }' > path.gr
    "$norvane" path.gr > want 2> /dev/null || fail "norvane failed"
    unshare -m true 2> /dev/null || { echo "SKIP: no mount namespace here"; exit 0; }
    mkdir small
    rank0_to() { printf 'if [ "$OMPI_COMM_WORLD_RANK" = 0 ]; then %s exec "$0" path.gr > %s; else exec "$0" path.gr; fi' "$1" "$2"; }
    processes=3
    rank_run "$ranks" unshare -m sh -c 'mount -t tmpfs -o size=8m none small && "$@"; status=$?; cp small/out full.out; exit $status' \
        sh "$launcher" --allow-run-as-root --oversubscribe -np 3 "${rank_wrap[@]}" sh -c "$(rank0_to "" small/out)" "$program"
    expect 255 "" $'Graph contains 700000 nodes and 699999 edges\nError: cannot write output.\n'
    size=$(stat -c %s full.out)
    ((size > 0 && size <= 8 * 1048576)) || fail "the full file system's file holds $size bytes"
    cmp -s full.out <(head -c "$size" want) || fail "the full file system's file is not a prefix of the listing"
    run 3 sh -c "$(rank0_to "ulimit -f 16384;" limited.out)" "$program"
    status=$rank_status
    sh -c 'ulimit -f 16384; exec "$0" path.gr > "$1"' "$norvane" alone.out 2> /dev/null
    [[ $status != 0 ]] || fail "status 0 past the file size limit"
    size=$(stat -c %s limited.out)
    [[ $size == $(stat -c %s alone.out) ]] || fail "the limited file holds $size bytes, norvane's $(stat -c %s alone.out)"
    cmp -s limited.out <(head -c "$size" want) || fail "the limited file is not a prefix of the listing"
    ;;
*)
    echo "unknown check $check"; exit 2 ;;
esac
echo "ok: $check"
