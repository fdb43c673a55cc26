#!/usr/bin/env bash
# Checks of the emulated hosts themselves, so that a run "across hosts" cannot quietly be a
# run on one: spread, the processes of a K = 2 run are one on each host, each with its
# own name, its own address and no other; skipped, a set that is not up skips its tests
# (status 77) with the reason.
# Usage: check_hosts.sh SET CHECK
set -u
set_name=$1
check=$2
hosts=$(dirname "${BASH_SOURCE[0]}")/hosts.sh
fail() { echo "FAIL ($check): $*"; exit 1; }

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
*) echo "unknown check $check"; exit 2 ;;
esac
echo "ok: $check"
