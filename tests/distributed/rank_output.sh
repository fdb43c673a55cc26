# Sourced (bash) by the tests that run norvane-mpi under the launcher: every process writes
# its standard output and standard error to files of its own in a folder the test names,
# so that what the launcher prints on its own (its process manager's warnings on a busy
# machine, its blocks after a failed run) never reaches a comparison, and never hides a
# line of the program's. The folder must be one every host sees (the emulated hosts share
# the file system and the kernel). Rank 0's standard output is a FIFO drained into
# DIR/stdout, so the listing still goes to a pipe, as it does under the launcher; ranks
# above 0 write to DIR/stdout.R and DIR/stderr.R, which must stay empty.
#
#   rank_wrapper DIR     sets rank_wrap to the words to put before the program (before each
#                        program, when the launcher's command line has several)
#   rank_run DIR CMD...  runs CMD, the launcher's command line, while rank 0's standard
#                        output is drained into DIR/stdout; the launcher's own standard
#                        output and error go to DIR/launcher.out and DIR/launcher.err, its
#                        status to rank_status
#   rank_check DIR K     says what is wrong and returns 1 unless all K processes started and
#                        those above rank 0 wrote nothing; DIR/stderr.0 is rank 0's
#                        standard error
#   rank_report DIR      prints what the launcher and the processes wrote (for a failure)

rank_wrapper() {
    # The rank decides the files; a process without one (not started by Open MPI) writes
    # to neither and ends, so that rank_check finds a rank missing. The launcher forwards
    # its standard input to rank 0 only while one of rank 0's pipes to it is open (with
    # both closed, a run reading /dev/stdin got nothing, 7 times in 10): rank 0 keeps its
    # standard output's on a descriptor it never writes to.
    rank_wrap=(sh -c 'dir=$1; shift; rank=${OMPI_COMM_WORLD_RANK-}
case $rank in "" | *[!0-9]*) echo "norvane test wrapper: no rank" >&2; exit 99 ;; esac
if [ "$rank" = 0 ]; then exec 9>&1; exec "$@" > "$dir/stdout.fifo" 2> "$dir/stderr.0"; fi
exec "$@" > "$dir/stdout.$rank" 2> "$dir/stderr.$rank"' norvane-rank "$1")
}

rank_run() {
    local dir=$1 drain fd
    shift
    rm -f "$dir/stdout.fifo" "$dir"/stdout.[0-9]* "$dir"/stderr.[0-9]*
    mkfifo "$dir/stdout.fifo" || return 2
    cat "$dir/stdout.fifo" > "$dir/stdout" &
    drain=$!
    # The FIFO held open here until the launcher has ended: the drain then ends whether or
    # not rank 0 ever opened it. The launcher must not inherit it.
    exec {fd}> "$dir/stdout.fifo"
    "$@" {fd}>&- > "$dir/launcher.out" 2> "$dir/launcher.err"
    rank_status=$?
    exec {fd}>&-
    wait "$drain"
    rm -f "$dir/stdout.fifo"
    return 0
}

rank_check() {
    local dir=$1 processes=$2 rank wrong=0 file
    for ((rank = 0; rank < processes; rank++)); do
        [[ -e $dir/stderr.$rank ]] || { echo "rank $rank never started (no stderr.$rank)"; wrong=1; }
        ((rank == 0)) && continue
        for file in "$dir/stdout.$rank" "$dir/stderr.$rank"; do
            if [[ -s $file ]]; then
                echo "rank $rank wrote to ${file##*/}: $(head -c 300 "$file" | cat -A)"
                wrong=1
            fi
        done
    done
    for file in "$dir"/stderr.[0-9]*; do
        [[ -e $file ]] || continue
        rank=${file##*.}
        ((rank < processes)) || { echo "a rank $rank beyond the $processes asked for"; wrong=1; }
    done
    return $wrong
}

rank_report() {
    local dir=$1 file
    for file in "$dir/launcher.err" "$dir/launcher.out" "$dir"/stderr.[0-9]*; do
        [[ -s $file ]] || continue
        echo "${file##*/}:"
        head -c 3000 "$file" | cat -A
    done
}
