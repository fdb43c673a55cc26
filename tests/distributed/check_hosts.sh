#!/usr/bin/env bash
# Checks of the emulated hosts themselves, so that a run "across hosts" cannot quietly be a
# run on one: spread, the processes of a K = 2 run are one on each host, each with its
# own name, its own address and no other; skipped, a set that is not up skips its tests
# (status 77) with the reason; host_drop, a run of norvane-mpi whose second host loses its
# link mid-run ends, bounded by the launcher's own --timeout, with a non-zero status and
# no listing (on a set SET of its own, made and removed here).
# Usage: check_hosts.sh SET CHECK [NORVANE_MPI]
set -u
set_name=$1
check=$2
hosts=$(dirname "${BASH_SOURCE[0]}")/hosts.sh
fail() { echo "FAIL ($check): $*"; exit 1; }

# The host_drop run: the input is a FIFO, so that the run waits, after the size line, for
# the rest of the file, which is written only once the link of host 1 is down; then no
# process can finish. The launcher's bound is 60 s (times NORVANE_TEST_TIMEOUT_SCALE).
host_drop() {
    local program=$1 scale=${NORVANE_TEST_TIMEOUT_SCALE:-1} bound start elapsed status i
    bound=$((60 * scale))
    work=$(mktemp -d "${TMPDIR:-/tmp}/norvane-host-drop.XXXXXX") || exit 2
    # Also when this check fails or is ended by a signal.
    trap 'exit 1' INT TERM
    trap 'exec 3>&-; bash "$hosts" down "$set_name"; rm -rf "$work"' EXIT
    out=$(NORVANE_HOSTS_OWNER=$$ bash "$hosts" up "$set_name" 2 2>&1)
    status=$?
    [[ $status == 77 ]] && { echo "$out"; exit 77; }
    [[ $status == 0 ]] || fail "hosts.sh up: status $status: $out"
    mkfifo "$work/graph.fifo"
    start=$SECONDS
    # hosts.sh's own bound, past the launcher's, is only a backstop. The launcher, once its
    # time is up, waits a while for the host it cannot reach (4 to 25 s here).
    NORVANE_HOSTS_TIMEOUT=$((bound + 240)) bash "$hosts" mpirun "$set_name" --allow-run-as-root -np 2 \
        --timeout "$bound" "$program" "$work/graph.fifo" > "$work/out" 2> "$work/err" &
    local launcher=$!
    # The FIFO opened both ways does not wait for rank 0 (a launcher that fails to start
    # cannot hang the check); the head, then its size line.
    exec 3<> "$work/graph.fifo"
    printf 'p sp 2000 3998\n' >&3
    for ((i = 0; i < 10 * bound; i++)); do
        grep -q '^Graph contains' "$work/err" && break
        kill -0 "$launcher" 2> /dev/null || break
        sleep 0.1
    done
    grep -q '^Graph contains' "$work/err" || fail "no size line before the launcher ended or $bound s passed: $(cat "$work/err")"
    # Unplug host 1 at the switch, then the edges (a path and its shortcuts) and the end.
    ip -n "$(ip netns list | awk '{ print $1 }' | grep -E "^$set_name-sw\.[0-9]+\$")" link set port1 down ||
        fail "could not take the link down"
    for ((i = 1; i < 2000; i++)); do echo "a $i $((i + 1)) 1"; echo "a $i $(((i * 7) % 2000 + 1)) 5"; done >&3
    exec 3>&-
    wait "$launcher"
    status=$?
    elapsed=$((SECONDS - start))
    echo "launcher: status $status after $elapsed s (bound $bound s); its standard error:"
    cat "$work/err"
    ((status != 0)) || fail "status 0"
    ((elapsed <= bound + 120)) || fail "the run took $elapsed s, past its bound of $bound s"
    [[ ! -s $work/out ]] || fail "a listing was written: $(head -c 200 "$work/out")"
    ! grep -q '^Computation time' "$work/err" || fail "the time line, which closes a listing, was written"
    grep -q 'time limit' "$work/err" || fail "the launcher did not say that its time limit was reached"
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
    out=$(bash "$hosts" within "$set_name" bash "$hosts" mpirun "$set_name" --allow-run-as-root -np 2 \
          sh -c 'echo "$OMPI_COMM_WORLD_RANK $(uname -n) $(ip -o -4 addr show | awk "{ print \$2, \$4 }" | sort | tr "\n" " ")"' 2>&1)
    status=$?
    [[ $status == 77 ]] && { echo "$out"; exit 77; }
    want="0 $set_name-h0 eth0 10.216.0.1/24 lo 127.0.0.1/8 
1 $set_name-h1 eth0 10.216.0.2/24 lo 127.0.0.1/8 "
    [[ $status == 0 ]] || fail "status $status: $out"
    [[ $(sort <<< "$out") == "$want" ]] || fail "got: $out"
    ;;
skipped)
    out=$(bash "$hosts" within "${set_name}none" true 2>&1)
    status=$?
    [[ $status == 77 ]] || fail "status $status, expected 77"
    [[ $out == "emulated hosts skipped: set ${set_name}none is not up (root and ip netns are needed)" ]] ||
        fail "message: $out"
    ;;
host_drop) host_drop "${3:?norvane-mpi}" ;;
copy_differs) copy_differs "${3:?norvane-mpi}" ;;
*) echo "unknown check $check"; exit 2 ;;
esac
echo "ok: $check"
