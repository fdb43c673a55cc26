#!/usr/bin/env bash
# Checks of the emulated hosts themselves, so that a run "across hosts" cannot quietly be a
# run on one: spread, the processes of a K = 2 run are one on each host, each with its
# own name, its own address and no other; skipped, a set that is not up skips its tests
# (status 77) with the reason; host_drop, a run of norvane-mpi whose second host loses its
# link mid-run ends, bounded by the launcher's own --timeout, with a non-zero status and
# no listing (on a set SET of its own, made and removed here). And what the cluster guide
# (docs/distributed.md) says of them: placement, where rank 0 lands; path_check, the
# guide's PATH check fails, naming what is missing, under dash and bash.
# Usage: check_hosts.sh SET CHECK [NORVANE_MPI [REPO_ROOT]]
set -u
set_name=$1
check=$2
program=${3:-}
repo=${4:-}
hosts=$(dirname "${BASH_SOURCE[0]}")/hosts.sh
source "$(dirname "${BASH_SOURCE[0]}")/rank_output.sh"
fail() { echo "FAIL ($check): $*"; exit 1; }

# The host_drop run: the input is a FIFO, so that the run waits, after the size line, for
# the rest of the file, which is written only once the link of host 1 is down; then no
# process can finish. The launcher's bound is 60 s (times NORVANE_TEST_TIMEOUT_SCALE).
# Rank 0's output is in files of its own (rank_output.sh), the launcher's message in its own.
host_drop() {
    local program=$1 scale=${NORVANE_TEST_TIMEOUT_SCALE:-1} bound start elapsed status i
    bound=$((60 * scale))
    work=$(mktemp -d "${TMPDIR:-/tmp}/norvane-host-drop.XXXXXX") || exit 2
    # Also when this check fails or is ended by a signal.
    trap 'exit 1' INT TERM
    trap 'exec 3>&-; [[ -n ${feeder:-} ]] && kill "$feeder" 2> /dev/null; bash "$hosts" down "$set_name"; rm -rf "$work"' EXIT
    out=$(NORVANE_HOSTS_OWNER=$$ bash "$hosts" up "$set_name" 2 2>&1)
    status=$?
    [[ $status == 77 ]] && { echo "$out"; exit 77; }
    [[ $status == 0 ]] || fail "hosts.sh up: status $status: $out"
    mkfifo "$work/graph.fifo"
    # The FIFO opened both ways does not wait for rank 0 (a launcher that fails to start
    # cannot hang the check); the head, then its size line.
    exec 3<> "$work/graph.fifo"
    printf 'p sp 2000 3998\n' >&3
    # Once rank 0 has written the size line: host 1 unplugged at the switch, then the edges
    # (a path and its shortcuts) and the end of the file.
    {
        for ((i = 0; i < 10 * bound; i++)); do
            grep -q '^Graph contains' "$work/stderr.0" 2> /dev/null && break
            sleep 0.1
        done
        if ! grep -q '^Graph contains' "$work/stderr.0" 2> /dev/null; then
            echo "no size line before $bound s passed" > "$work/feeder.fail"
        elif ! ip -n "$(ip netns list | awk '{ print $1 }' | grep -E "^$set_name-sw\.[0-9]+\$")" link set port1 down; then
            echo "could not take the link down" > "$work/feeder.fail"
        else
            for ((i = 1; i < 2000; i++)); do echo "a $i $((i + 1)) 1"; echo "a $i $(((i * 7) % 2000 + 1)) 5"; done >&3
        fi
    } &
    feeder=$!
    exec 3>&-
    rank_wrapper "$work"
    start=$SECONDS
    # hosts.sh's own bound, past the launcher's, is only a backstop. The launcher, once its
    # time is up, waits a while for the host it cannot reach (4 to 25 s here).
    NORVANE_HOSTS_TIMEOUT=$((bound + 240)) rank_run "$work" bash "$hosts" mpirun "$set_name" --allow-run-as-root \
        -np 2 --timeout "$bound" "${rank_wrap[@]}" "$program" "$work/graph.fifo"
    status=$rank_status
    elapsed=$((SECONDS - start))
    # A launcher that ended before the size line leaves the feeder waiting.
    kill "$feeder" 2> /dev/null
    wait "$feeder"
    echo "launcher: status $status after $elapsed s (bound $bound s); what it and each process wrote:"
    rank_report "$work"
    [[ ! -e $work/feeder.fail ]] || fail "$(cat "$work/feeder.fail")"
    ((status != 0)) || fail "status 0"
    ((elapsed <= bound + 120)) || fail "the run took $elapsed s, past its bound of $bound s"
    [[ ! -s $work/stdout ]] || fail "a listing was written: $(head -c 200 "$work/stdout")"
    ! grep -q '^Computation time' "$work/stderr.0" || fail "the time line, which closes a listing, was written"
    grep -q 'time limit' "$work/launcher.err" || fail "the launcher did not say that its time limit was reached"
}

# A copy of the graph per host: rank 1, on host 1, reads at the same path a file of its own
# (a bind mount in a mount namespace of its own) of the same size. A copy whose weights
# differ in its second half ends the run with the read message; an equal copy is listed.
copy_differs() {
    local program=$1 status
    work=$(mktemp -d "${TMPDIR:-/tmp}/norvane-copy.XXXXXX") || exit 2
    trap 'rm -rf "$work"' EXIT
    awk 'BEGIN { srand(7); print "p sp 200000 199999"
                 for (i = 1; i < 200000; i++) print "a", i, i + 1, 10 + int(rand() * 90) }' > "$work/graph.gr"
    awk 'NR > 100000 && NR % 248 == 0 { $4 = $4 == 99 ? 10 : $4 + 1 } 1' "$work/graph.gr" > "$work/changed.gr"
    cp "$work/graph.gr" "$work/same.gr"
    [[ $(stat -c %s "$work/graph.gr") == $(stat -c %s "$work/changed.gr") ]] || fail "the changed copy's size differs"
    for copy in changed same; do
        printf '%s\n' '#!/bin/sh' \
            "[ \"\$OMPI_COMM_WORLD_RANK\" = 1 ] && exec unshare -m sh -c 'mount --bind \"\$1\" \"\$2\" && exec \"\$3\" \"\$2\"' sh $work/$copy.gr $work/graph.gr $program" \
            "exec $program $work/graph.gr" > "$work/rank.sh"
        bash "$hosts" within "$set_name" bash "$hosts" mpirun "$set_name" --allow-run-as-root -np 2 sh "$work/rank.sh" \
            > "$work/out" 2> "$work/err"
        status=$?
        [[ $status == 77 ]] && { cat "$work/out"; exit 77; }
        if [[ $copy == changed ]]; then
            [[ $status == 255 && ! -s $work/out ]] || fail "a changed copy: status $status, $(head -c 300 "$work/out")"
            grep -qx "Error: cannot read file $work/graph.gr." "$work/err" || fail "no read message: $(head -c 600 "$work/err")"
        else
            [[ $status == 0 ]] || fail "an equal copy: status $status: $(head -c 600 "$work/err")"
        fi
    done
}

case $check in
spread)
    # Each process says where it runs, into a file of its own.
    work=$(mktemp -d "${TMPDIR:-/tmp}/norvane-spread.XXXXXX") || exit 2
    trap 'rm -rf "$work"' EXIT
    rank_wrapper "$work"
    rank_run "$work" bash "$hosts" within "$set_name" bash "$hosts" mpirun "$set_name" --allow-run-as-root -np 2 \
        "${rank_wrap[@]}" sh -c 'echo "$OMPI_COMM_WORLD_RANK $(uname -n) $(ip -o -4 addr show | awk "{ print \$2, \$4 }" | sort | tr "\n" " ")"'
    status=$rank_status
    [[ $status == 77 ]] && { cat "$work/launcher.out"; exit 77; }
    [[ $status == 0 ]] || fail "status $status: $(rank_report "$work")"
    for rank in 0 1; do
        want="$rank $set_name-h$rank eth0 10.216.0.$((rank + 1))/24 lo 127.0.0.1/8 "
        got=$(cat "$work/stdout.$rank" 2> /dev/null)
        [[ $rank == 0 ]] && got=$(cat "$work/stdout")
        [[ $got == "$want" ]] || fail "rank $rank: got: $got; $(rank_report "$work")"
        [[ ! -s $work/stderr.$rank ]] || fail "rank $rank wrote to stderr: $(cat "$work/stderr.$rank")"
    done
    ;;
placement)
    # Where rank 0 lands, as the guide says: Open MPI fills the node mpirun runs on first
    # when the hostfile lists it, whatever its line, then the others in the hostfile's
    # order. Four processes, two slots a host, the launcher's own mapping, mpirun started
    # on each host in turn (the hostfile lists h0 first).
    work=$(mktemp -d "${TMPDIR:-/tmp}/norvane-placement.XXXXXX") || exit 2
    trap 'rm -rf "$work"' EXIT
    rank_wrapper "$work"
    for entry in 0 1; do
        rank_run "$work" env NORVANE_HOSTS_ENTRY=$entry NORVANE_HOSTS_MAP= NORVANE_HOSTS_SLOTS=2 bash "$hosts" within \
            "$set_name" bash "$hosts" mpirun "$set_name" --allow-run-as-root -np 4 "${rank_wrap[@]}" uname -n
        status=$rank_status
        [[ $status == 77 ]] && { cat "$work/launcher.out"; exit 77; }
        [[ $status == 0 ]] || fail "status $status: $(rank_report "$work")"
        got=$(cat "$work/stdout" "$work/stdout.1" "$work/stdout.2" "$work/stdout.3" | tr '\n' ' ')
        want="$set_name-h$entry $set_name-h$entry $set_name-h$((1 - entry)) $set_name-h$((1 - entry)) "
        [[ $got == "$want" ]] || fail "mpirun on h$entry: ranks 0 to 3 ran on $got; expected $want"
    done
    ;;
path_check)
    # The guide's check that a non-interactive remote shell finds the launcher's daemon,
    # mpirun and the program, as the guide gives it, run by the emulated hosts' remote
    # shell under dash and under bash, the install prefix a scratch one: silent and 0 when
    # all are there; "missing: ..." and 1 when the program is absent or not executable, or
    # orted is not on PATH.
    work=$(mktemp -d "${TMPDIR:-/tmp}/norvane-path-check.XXXXXX") || exit 2
    trap 'rm -rf "$work"' EXIT
    line=$(grep -m 1 -E "^ +ssh node2 'for p in " "$repo/docs/distributed.md") ||
        fail "docs/distributed.md gives no PATH check"
    check_line=${line#*ssh node2 \'}
    check_line=${check_line%\'}
    check_line=${check_line//\/opt\/norvane/$work/prefix}
    mkdir -p "$work/prefix/bin" "$work/no-orted"
    cp "$program" "$work/prefix/bin/norvane-mpi"
    ln -s "$(command -v mpirun)" "$work/no-orted/mpirun"
    # ask WANT_STATUS WANT_OUTPUT PATH WHAT: the check through the remote shell, both shells.
    ask() {
        local shell out status path=$3
        for shell in "$(command -v dash)" "$(command -v bash)"; do
            out=$(bash "$hosts" within "$set_name" bash "$hosts" agent "$set_name-h1" \
                  "env PATH=$(printf %q "$path") $shell -c $(printf %q "$check_line")" 2>&1)
            status=$?
            [[ $status == 77 ]] && { echo "$out"; exit 77; }
            [[ $status == "$1" && $out == "$2" ]] ||
                fail "$shell, $4: status $status, output \"$out\"; expected $1, \"$2\""
        done
    }
    ask 0 "" "$PATH" "all there"
    chmod -x "$work/prefix/bin/norvane-mpi"
    ask 1 "missing: $work/prefix/bin/norvane-mpi" "$PATH" "the program not executable"
    rm "$work/prefix/bin/norvane-mpi"
    ask 1 "missing: $work/prefix/bin/norvane-mpi" "$PATH" "no program"
    ask 1 "missing: orted" "$work/no-orted" "no orted on PATH"
    ;;
skipped)
    out=$(bash "$hosts" within "${set_name}none" true 2>&1)
    status=$?
    [[ $status == 77 ]] || fail "status $status, expected 77"
    [[ $out == "emulated hosts skipped: set ${set_name}none is not up (root and ip netns are needed)" ]] ||
        fail "message: $out"
    ;;
host_drop) host_drop "${program:?norvane-mpi}" ;;
copy_differs) copy_differs "${program:?norvane-mpi}" ;;
*) echo "unknown check $check"; exit 2 ;;
esac
echo "ok: $check"
