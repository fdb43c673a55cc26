#!/usr/bin/env bash
# Faults that a transcript cannot stage: a FIFO, an unreadable file, a closed or departing
# reader of the listing, limits on memory and threads. Each check runs the built program
# the way a user or a script would and asserts its output, messages and exit status.
# Usage: check_fault.sh PROGRAM REPO_ROOT CHECK
set -u
program=$1
repo=$2
check=$3
source "$(dirname "$0")/fault_setup.sh"
# expect STATUS STDOUT_FILE STDERR_FILE WANT_STATUS WANT_STDOUT WANT_STDERR
expect() {
    [[ $1 == "$4" ]] || fail "status $1, expected $4"
    [[ $(cat "$2"; printf x) == "$5"x ]] || fail "stdout differs: $(head -c 200 "$2" | cat -A)"
    [[ $(cat "$3"; printf x) == "$6"x ]] || fail "stderr differs: $(head -c 300 "$3" | cat -A)"
}
# The stderr of a successful run of path3, with its time line made fixed.
normalise_time() { sed -E 's/^Computation time: [0-9]+\.[0-9]{6}$/Computation time: T/' "$1" > "$1.n"; }

case $check in
fifo)
    mkfifo graph.fifo
    (sleep 0.2; cat path3.gr) > graph.fifo &
    "$program" graph.fifo > out 2> err
    status=$?
    wait
    normalise_time err
    expect "$status" out err.n 0 "$path3_listing" "$ok_stderr"
    ;;
stdin_pipe)
    cat path3.gr | "$program" /dev/stdin > out 2> err
    status=$?
    normalise_time err
    expect "$status" out err.n 0 "$path3_listing" "$ok_stderr"
    ;;
gzip_pipe_split_magic)
    # Two gzip members through a pipe whose writer pauses after each member's first magic
    # byte and between the members: the second byte arrives in a read of its own.
    head -n 2 path3.gr | gzip -c > first.gz
    tail -n 1 path3.gr | gzip -c > second.gz
    { head -c 1 first.gz; sleep 0.2; tail -c +2 first.gz; sleep 0.2
      head -c 1 second.gz; sleep 0.2; tail -c +2 second.gz; } | "$program" /dev/stdin > out 2> err
    status=$?
    normalise_time err
    expect "$status" out err.n 0 "$path3_listing" "$ok_stderr"
    ;;
kernel_file_without_size)
    # The kernel's own files report a size of 0 whatever they hold: a process whose whole
    # environment is the graph shows it in /proc/PID/environ, which is read to its end.
    env -i $'p sp 3 2\na 1 2 4\na 2 3 5\nc=ignored' "$(command -v sleep)" 30 &
    holder=$!
    sleep 0.2
    [[ $(stat -c %s "/proc/$holder/environ") == 0 ]] || fail "/proc/$holder/environ reports a size"
    "$program" "/proc/$holder/environ" > out 2> err
    status=$?
    kill "$holder"
    wait "$holder" 2>/dev/null
    normalise_time err
    expect "$status" out err.n 0 "$path3_listing" "$ok_stderr"
    ;;
kernel_file_with_size)
    # A sysfs file reports a size (4096) it does not hold ("0-1\n", "1\n"): read to its end
    # as a stream, its lines hold no problem line. Never a failed read.
    tried=0
    for file in /sys/devices/system/cpu/online /sys/kernel/mm/transparent_hugepage/use_zero_page; do
        [[ -r $file ]] || continue
        (( $(stat -c %s "$file") > $(wc -c < "$file") )) || fail "$file holds the size it reports"
        "$program" "$file" > out 2> err
        expect "$?" out err 255 "" $'Error in file format: no problem line.\n'
        tried=$((tried + 1))
    done
    (( tried > 0 )) || { echo "SKIP: no sysfs file to read here (/sys not mounted)"; exit 0; }
    ;;
unreadable)
    # Root reads anything, so the run drops to an unprivileged user when it is root.
    chmod 0000 path3.gr
    chmod 0755 "$work"
    runner=()
    if [[ $(id -u) == 0 ]]; then
        command -v setpriv > /dev/null || { echo "SKIP: root without setpriv"; exit 0; }
        runner=(setpriv --reuid=65534 --regid=65534 --clear-groups --)
    fi
    "${runner[@]}" "$program" "$work/path3.gr" > out 2> err
    expect "$?" out err 255 "" "File $work/path3.gr not found."$'\n'
    ;;
stdout_closed)
    "$program" path3.gr > out 2> err >&-
    expect "$?" /dev/null err 255 "" $'Graph contains 3 nodes and 2 edges\nError: cannot write output.\n'
    ;;
reader_stops_early)
    # A long listing into a reader that takes three lines: the run ends by SIGPIPE, quietly,
    # and does not go on formatting the rest.
    awk 'BEGIN { print "p sp 2000000 1999999"; for (i = 1; i < 2000000; i++) print "a", i, i + 1, 1 }' > long.gr
    "$program" long.gr 2> err | head -n 3 > out
    status=${PIPESTATUS[0]}
    expect "$status" out err 141 $'\nMinimal distance from node 0 to every other node:\nNode 1: \t1\n' \
        $'Graph contains 2000000 nodes and 1999999 edges\n'
    ;;
reader_stops_early_pipe_ignored)
    # When SIGPIPE is inherited as ignored, the caller asked for the error instead of the
    # signal: the write failure is reported like any other, never a success.
    awk 'BEGIN { print "p sp 2000000 1999999"; for (i = 1; i < 2000000; i++) print "a", i, i + 1, 1 }' > long.gr
    (trap '' PIPE; "$program" long.gr 2> err | head -n 1 > out; echo "${PIPESTATUS[0]}" > status)
    expect "$(cat status)" out err 255 $'\n' \
        $'Graph contains 2000000 nodes and 1999999 edges\nError: cannot write output.\n'
    ;;
nonblocking_pipe)
    # Standard output a non-blocking pipe whose reader is slow: a full pipe means wait,
    # and the whole listing arrives.
    awk 'BEGIN { print "p sp 300000 299999"; for (i = 1; i < 300000; i++) print "a", i, i + 1, 2 }' > long.gr
    awk 'BEGIN { print ""; print "Minimal distance from node 0 to every other node:"
                 for (i = 1; i < 300000; i++) printf "Node %d: \t%d\n", i, 2 * i }' > want
    python3 "$repo/tests/faults/slow_reader.py" out "$program" long.gr 2> err
    status=$?
    normalise_time err
    want=$(cat want; printf x)
    expect "$status" out err.n 0 "${want%x}" \
        $'Graph contains 300000 nodes and 299999 edges\nComputation time: T\n'
    ;;
address_space_limit)
    # Twenty million nodes and edges cannot fit in 300 MB of address space: a message, not a kill.
    printf 'p sp 20000000 20000000\na 1 2 3\n' > big.gr
    (ulimit -v 300000; exec "$program" big.gr) > out 2> err
    expect "$?" out err 255 "" $'Graph contains 20000000 nodes and 20000000 edges\nError: cannot allocate memory.\n'
    ;;
address_space_in_use_counted)
    # Ten million nodes ask the check for 221,463 KiB at the problem line (row offsets, the
    # solver's 17 bytes a node, 16 MiB of buffers; two members), the libraries and buffers
    # already mapped for some 7 MiB more. Under 225,000 KiB only a check that counts what is
    # in use refuses; one that forgets it lets the run go on to the bad line. Under
    # 240,000 KiB everything fits and the bad line is what ends the run.
    printf 'p sp 10000000 0\na 1\n' > ten_million.gr
    size_line=$'Graph contains 10000000 nodes and 0 edges\n'
    (ulimit -v 225000; OMP_NUM_THREADS=2 exec "$program" ten_million.gr) > out 2> err
    expect "$?" out err 255 "" "$size_line"$'Error: cannot allocate memory.\n'
    (ulimit -v 240000; OMP_NUM_THREADS=2 exec "$program" ten_million.gr) > out 2> err
    expect "$?" out err 255 "" "$size_line"$'Error in file format in line:\na 1\n'
    ;;
more_than_physical_memory)
    # Counts no machine of ours can hold (2e9 nodes need over 40 GB).
    printf 'p sp 2000000000 0\n' > huge.gr
    "$program" huge.gr > out 2> err
    expect "$?" out err 255 "" $'Graph contains 2000000000 nodes and 0 edges\nError: cannot allocate memory.\n'
    ;;
long_ignored_lines_stream)
    # 400 MB of zero bytes are one line that is neither a problem nor an edge line: it is
    # skipped as it streams, in a buffer of a megabyte, not held until it ends.
    head -c 400000000 /dev/zero | (ulimit -v 300000; exec "$program" /dev/stdin) > out 2> err
    expect "${PIPESTATUS[1]}" out err 255 "" $'Error in file format: no problem line.\n'
    ;;
long_comments_gzip)
    # A few hundred kilobytes of gzip holding 400 MB comment lines, before and after the
    # problem line: they stream past under a limit far below their length.
    { printf 'c '; head -c 200000000 /dev/zero | tr '\0' x; printf '\np sp 3 2\nc '
      head -c 200000000 /dev/zero | tr '\0' y; printf '\na 1 2 4\na 2 3 5\n'; } | gzip -1 -c > long.gr.gz
    (ulimit -v 300000; exec "$program" long.gr.gz) > out 2> err
    status=$?
    normalise_time err
    expect "$status" out err.n 0 "$path3_listing" "$ok_stderr"
    ;;
long_comments_plain)
    # The same in a plain file, whose ranges are read a window at a time.
    { printf 'c '; head -c 150000000 /dev/zero | tr '\0' x; printf '\np sp 3 2\nc '
      head -c 150000000 /dev/zero | tr '\0' y; printf '\na 1 2 4\na 2 3 5\n'; } > long.gr
    (ulimit -v 250000; exec "$program" long.gr) > out 2> err
    status=$?
    normalise_time err
    expect "$status" out err.n 0 "$path3_listing" "$ok_stderr"
    ;;
long_kept_line)
    # An edge line is held whole; one longer than the memory allowed ends with the memory
    # message, after the size line, never with the kernel's kill.
    { printf 'p sp 2 1\na 1 2 3'; head -c 400000000 /dev/zero | tr '\0' ' '; printf '\n'; } > kept.gr
    for file in kept.gr kept.gr.gz; do
        [[ $file == kept.gr.gz ]] && gzip -1 -c kept.gr > kept.gr.gz
        (ulimit -v 300000; exec "$program" "$file") > out 2> err
        expect "$?" out err 255 "" $'Graph contains 2 nodes and 1 edges\nError: cannot allocate memory.\n'
    done
    ;;
fits_under_limit)
    # The same small graph runs normally under a modest limit: the check is not too eager.
    (ulimit -v 800000; exec "$program" path3.gr) > out 2> err
    status=$?
    normalise_time err
    expect "$status" out err.n 0 "$path3_listing" "$ok_stderr"
    ;;
cgroup_half_core)
    # A control group whose CPU quota is half a core: the run is the same, on a team of one
    # (no member thread is started), also seen from a cgroup namespace of its own, unless
    # OMP_NUM_THREADS asks for more. Outside it the same file starts a member on a machine
    # of two processors or more.
    cgroot=/sys/fs/cgroup/cpu
    [[ $(id -u) == 0 && -w $cgroot/cgroup.procs && -e $cgroot/cpu.cfs_quota_us ]] ||
        { echo "SKIP: no writable cgroup v1 cpu controller at $cgroot (needs root)"; exit 0; }
    command -v strace > /dev/null || { echo "SKIP: no strace to count the threads started"; exit 0; }
    strace -f -qq -e trace=none -o /dev/null true 2> /dev/null ||
        { echo "SKIP: strace cannot trace here"; exit 0; }
    group=$cgroot/norvane-fault-$$
    mkdir "$group" || { echo "SKIP: cannot make a group under $cgroot"; exit 0; }
    trap 'rmdir "$group" 2> /dev/null; rm -rf "$work"' EXIT
    echo 100000 > "$group/cpu.cfs_period_us" && echo 50000 > "$group/cpu.cfs_quota_us" ||
        fail "cannot set the group's quota"
    awk 'BEGIN { print "p sp 200000 199999"; for (i = 1; i < 200000; i++) print "a", i, i + 1, 3 }' > long.gr
    awk 'BEGIN { print ""; print "Minimal distance from node 0 to every other node:"
                 for (i = 1; i < 200000; i++) printf "Node %d: \t%d\n", i, 3 * i }' > want
    want=$(cat want; printf x)
    want_err=$'Graph contains 200000 nodes and 199999 edges\nComputation time: T\n'
    # Runs the program in the group (or outside with "-"); leaves the number of threads it
    # started in started.
    run_counted() {
        local where=$1; shift
        strace -f -qq -e trace=clone,clone3 -e signal=none -o trace \
            sh -c 'if [ "$1" != - ]; then echo $$ > "$1/cgroup.procs" || exit 99; fi; shift; exec "$@"' \
            sh "$where" "$@" long.gr > out 2> err
        status=$?
        started=$(grep -c '^[0-9]* *clone' trace)
        normalise_time err
        expect "$status" out err.n 0 "${want%x}" "$want_err"
    }
    # OMP_DYNAMIC=false: the machine's load, which other tests raise, shrinks no team here.
    run_counted "$group" env -u OMP_NUM_THREADS OMP_DYNAMIC=false "$program"
    [[ $started == 0 ]] || fail "$started threads started under half a core: $(cat trace)"
    # Seen from the group's own cgroup namespace (where /proc/self/cgroup says "/") as well.
    if unshare -C true 2> /dev/null; then
        run_counted "$group" unshare -C env -u OMP_NUM_THREADS OMP_DYNAMIC=false "$program"
        [[ $started == 0 ]] || fail "$started threads started under half a core in a cgroup namespace: $(cat trace)"
    fi
    run_counted "$group" env OMP_NUM_THREADS=2 "$program"
    [[ $started -ge 1 ]] || fail "OMP_NUM_THREADS=2 started no member in the group"
    if (( $(nproc) >= 2 )); then
        # Other tests may keep the machine busy: the team would then shrink for the load.
        run_counted - env -u OMP_NUM_THREADS OMP_DYNAMIC=false "$program"
        [[ $started -ge 1 ]] || fail "no member started outside the group on $(nproc) processors"
    fi
    ;;
pids_limit)
    # A control group that lets the process start no thread, one or two: the team it asks
    # for cannot start, and the run is the same on the threads it can have, with the usual
    # listing, not the OpenMP runtime's message and status 1. Teams of two and three asked,
    # on a file of 14 MB, read in two ranges or more: the waker thread starts beside them.
    cgroot=/sys/fs/cgroup/pids
    [[ $(id -u) == 0 && -w $cgroot/cgroup.procs ]] ||
        { echo "SKIP: no writable cgroup v1 pids controller at $cgroot (needs root)"; exit 0; }
    group=$cgroot/norvane-fault-$$
    mkdir "$group" || { echo "SKIP: cannot make a group under $cgroot"; exit 0; }
    trap 'rmdir "$group" 2> /dev/null; rm -rf "$work"' EXIT
    awk 'BEGIN { print "p sp 700000 699999"; for (i = 1; i < 700000; i++) print "a", i, i + 1, 3 }' > long.gr
    (( $(stat -c %s long.gr) > 8 << 20 )) || fail "long.gr is not over 8 MiB"
    awk 'BEGIN { print ""; print "Minimal distance from node 0 to every other node:"
                 for (i = 1; i < 700000; i++) printf "Node %d: \t%d\n", i, 3 * i }' > want
    want=$(cat want; printf x)
    want_err=$'Graph contains 700000 nodes and 699999 edges\nComputation time: T\n'
    for limit in 1 2 3; do
        echo "$limit" > "$group/pids.max" || fail "cannot set the group's limit"
        for threads in 2 3; do
            sh -c 'echo $$ > "$1/cgroup.procs" || exit 99; shift; exec "$@"' \
                sh "$group" env OMP_NUM_THREADS=$threads OMP_DYNAMIC=false "$program" long.gr > out 2> err
            status=$?
            normalise_time err
            expect "$status" out err.n 0 "${want%x}" "$want_err"
        done
    done
    ;;
idle_machine)
    # /proc/loadavg counts the program itself among the threads that run: on a machine where
    # nothing else runs, the whole team starts. A mount namespace of its own puts a fake
    # load file over /proc/loadavg: one runnable thread (the program) leaves every
    # processor idle; one more per processor leaves none, and the team is one.
    command -v strace > /dev/null || { echo "SKIP: no strace to count the threads started"; exit 0; }
    strace -f -qq -e trace=none -o /dev/null true 2> /dev/null ||
        { echo "SKIP: strace cannot trace here"; exit 0; }
    processors=$(getconf _NPROCESSORS_ONLN)
    (( processors >= 2 )) || { echo "SKIP: one processor, no team to shrink"; exit 0; }
    [[ $(id -u) == 0 ]] && unshare -m true 2> /dev/null ||
        { echo "SKIP: no mount namespace to fake /proc/loadavg in (needs root)"; exit 0; }
    awk 'BEGIN { print "p sp 200000 199999"; for (i = 1; i < 200000; i++) print "a", i, i + 1, 3 }' > long.gr
    want=$(awk 'BEGIN { print ""; print "Minimal distance from node 0 to every other node:"
                 for (i = 1; i < 200000; i++) printf "Node %d: \t%d\n", i, 3 * i }'; printf x)
    want_err=$'Graph contains 200000 nodes and 199999 edges\nComputation time: T\n'
    # Runs the program with the load file given bound over /proc/loadavg; leaves the number
    # of threads it started in started.
    count_threads() {
        local load=$1; shift
        strace -f -qq -e trace=clone,clone3 -e signal=none -o trace \
            unshare -m sh -c 'mount --bind "$1" /proc/loadavg || exit 99; shift; exec "$@"' \
            sh "$load" "$@" long.gr > out 2> err
        status=$?
        # unshare and sh start no thread of their own: every clone counted is the program's.
        started=$(grep -c '^[0-9]* *clone' trace)
        normalise_time err
        expect "$status" out err.n 0 "${want%x}" "$want_err"
    }
    echo "0.00 0.00 0.00 1/100 4242" > idle
    echo "9.00 9.00 9.00 $((processors + 1))/100 4242" > busy
    count_threads idle env -u OMP_NUM_THREADS OMP_DYNAMIC=false "$program"
    (( started >= 1 )) || { echo "SKIP: no team starts here whatever the load (affinity or quota)"; exit 0; }
    count_threads idle env -u OMP_NUM_THREADS -u OMP_DYNAMIC "$program"
    (( started >= 1 )) || fail "no member started on an idle machine of $processors processors: $(cat trace)"
    count_threads busy env -u OMP_NUM_THREADS -u OMP_DYNAMIC "$program"
    [[ $started == 0 ]] || fail "$started threads started with every processor busy: $(cat trace)"
    ;;
busy_machine)
    # Programs that keep every processor busy: the run is the same, on a team of one, unless
    # OMP_DYNAMIC=false or OMP_NUM_THREADS asks for the whole machine.
    command -v strace > /dev/null || { echo "SKIP: no strace to count the threads started"; exit 0; }
    strace -f -qq -e trace=none -o /dev/null true 2> /dev/null ||
        { echo "SKIP: strace cannot trace here"; exit 0; }
    processors=$(getconf _NPROCESSORS_ONLN)
    (( processors >= 2 )) || { echo "SKIP: one processor, no team to shrink"; exit 0; }
    awk 'BEGIN { print "p sp 200000 199999"; for (i = 1; i < 200000; i++) print "a", i, i + 1, 3 }' > long.gr
    want=$(awk 'BEGIN { print ""; print "Minimal distance from node 0 to every other node:"
                 for (i = 1; i < 200000; i++) printf "Node %d: \t%d\n", i, 3 * i }'; printf x)
    want_err=$'Graph contains 200000 nodes and 199999 edges\nComputation time: T\n'
    busy=()
    trap 'kill "${busy[@]}" 2> /dev/null; wait 2> /dev/null; rm -rf "$work"' EXIT
    for ((k = 0; k < processors; ++k)); do
        timeout 120 sh -c 'while :; do :; done' &
        busy+=($!)
    done
    count_threads() {
        strace -f -qq -e trace=clone,clone3 -e signal=none -o trace "$@" long.gr > out 2> err
        status=$?
        started=$(grep -c '^[0-9]* *clone' trace)
        normalise_time err
        expect "$status" out err.n 0 "${want%x}" "$want_err"
    }
    count_threads env -u OMP_NUM_THREADS -u OMP_DYNAMIC "$program"
    [[ $started == 0 ]] || fail "$started threads started beside $processors busy programs: $(cat trace)"
    count_threads env -u OMP_NUM_THREADS OMP_DYNAMIC=false "$program"
    [[ $started -ge 1 ]] || fail "OMP_DYNAMIC=false started no member"
    count_threads env OMP_NUM_THREADS=2 "$program"
    [[ $started -ge 1 ]] || fail "OMP_NUM_THREADS=2 started no member"
    ;;
*)
    echo "unknown check $check"; exit 2 ;;
esac
echo "ok: $check"
