#!/usr/bin/env bash
# The memory check against the limits a run really meets: a memory control group too small
# for the graph (the memory message and 255, never a kill), also seen from a cgroup
# namespace of its own as a container sees it (namespace_v1, namespace_v2), one that holds
# it though the file cache fills the group, and an address-space limit on a machine with
# many processors, where the file is read in one range whatever the team.
# grants_not_yet_touched: the unit tests' case of two arrays that each fit a group but not
# together, inside a group (the second refused with the memory message, never a kill).
# Then hosts_in_groups: two emulated hosts, each a memory group too small for what norvane
# needs for the graph; norvane-mpi across them lists it as norvane does outside any group.
# Usage: memory_check.sh PROGRAM CHECK [LAUNCHER] (PROGRAM norvane-mpi, under the MPI
# launcher, for the checks named mpi_*), or memory_check.sh NORVANE_MPI hosts_in_groups
# HOSTS_SH SET NORVANE (the set of emulated hosts up). Exits 77 (a skip) with the reason
# where a group cannot be made.
set -u
# shellcheck source=memory_groups.sh
source "$(dirname "${BASH_SOURCE[0]}")/memory_groups.sh"
source "$(dirname "${BASH_SOURCE[0]}")/../distributed/rank_output.sh"
program=$(realpath "$1")
check=$2
launcher=${3:-}
work=$(mktemp -d "${TMPDIR:-/tmp}/norvane-memory.XXXXXX") || exit 2
group=
groups=()
want_version=
bound=
trap '[[ -n $bound ]] && umount "$bound"; for g in "${groups[@]}"; do rmdir "$g" 2> /dev/null; done; rm -rf "$work"' EXIT
cd "$work" || exit 2

fail() { echo "FAIL ($check): $*"; exit 1; }
skip() { echo "SKIP ($check): $*"; exit 77; }
# expect STATUS WANT_STATUS STDOUT_DIGEST WANT_DIGEST STDERR_FILE WANT_STDERR
expect() {
    [[ $1 == "$2" ]] || fail "status $1, expected $2; stderr: $(head -c 300 "$5" | cat -A)"
    [[ $3 == "$4" ]] || fail "stdout differs from the listing expected"
    sed -E 's/^Computation time: [0-9]+\.[0-9]{6}$/Computation time: T/' "$5" > "$5.n"
    [[ $(cat "$5.n"; printf x) == "$6"x ]] || fail "stderr differs: $(head -c 300 "$5" | cat -A)"
}
digest() { md5sum | cut -d' ' -f1; }
# Runs a command; its stdout's digest in got, its status in status, its stderr in err.
run() {
    got=$( { "$@" 2> err; echo $? > status; } | digest)
    status=$(cat status)
}
# Runs a launcher's command line for K processes (its program after rank_wrap), each
# process writing to files of its own (rank_output.sh): then got is rank 0's stdout
# digest, err its stderr, and ranks above 0 must have written nothing.
mkdir ranks || exit 2
rank_wrapper "$work/ranks"
run_ranks() {
    local processes=$1 why
    shift
    rank_run "$work/ranks" "$@"
    status=$rank_status
    why=$(rank_check "$work/ranks" "$processes") || fail "$why; $(rank_report "$work/ranks")"
    got=$(digest < ranks/stdout)
    cp ranks/stderr.0 err
}
empty=$(printf '' | digest)
memory_message=$'Error: cannot allocate memory.\n'
warning=$'Warning: Search ended early, the graph might not be connected.\n'

# A child of the test's own memory group (a parent's limit binds it anyway), v1 or v2 (only
# $want_version where set), with a limit of $1 bytes (named by $2, when several are made);
# its directory in $group.
make_group() {
    [[ $(id -u) == 0 ]] || skip "making a memory group needs root"
    find_memory_group $want_version || skip "$memory_why"
    local mount=$memory_mount own=$memory_own limit_file=$memory_limit_file
    group_mount=$mount
    group=$mount$own/norvane-memory-$$${2:-}
    mkdir "$group" 2> /dev/null || { group=; skip "cannot make a group under $mount$own"; }
    groups+=("$group")
    [[ -e $group/$limit_file ]] || skip "the memory controller is not enabled for groups under $mount$own"
    echo "$1" > "$group/$limit_file" 2> /dev/null || skip "cannot set a memory limit in $group"
}

# Runs a command inside the group.
in_group() { sh -c 'echo $$ > "$1/cgroup.procs" || exit 99; shift; exec "$@"' sh "$group" "$@"; }

# Runs a command inside the group, in a cgroup namespace whose root is the group, as a
# container's is: /proc/self/cgroup then says "/".
in_namespace() { sh -c 'echo $$ > "$1/cgroup.procs" || exit 99; shift; exec unshare -C "$@"' sh "$group" "$@"; }

# The root that /proc/self/mountinfo shows for the memory hierarchy at $memory_mount.
mount_root() { awk -v point="$memory_mount" '$5 == point { print $4; exit }' /proc/self/mountinfo; }

# 2,000,000 nodes, a chain through the first 100,001 (1.6 MB of text): the run needs some
# 24 MB, its row offsets, distances and flags, however small the file.
chain_graph() { awk 'BEGIN { print "p sp 2000000 100000"; for (i = 1; i <= 100000; i++) print "a", i, i + 1, 3 }'; }
chain_listing() {
    awk 'BEGIN { print ""; print "Minimal distance from node 0 to every other node:"
                 for (i = 1; i < 2000000; i++) printf "Node %d: \t%d\n", i, i <= 100000 ? 3 * i : 1073741824 }'
}
chain_stderr=$'Graph contains 2000000 nodes and 100000 edges\n'

case $check in
grants_not_yet_touched)
    # PROGRAM is the unit tests: their case of two arrays that each fit the group but not
    # together, run inside a 64 MiB group (the memory message, never a kill).
    make_group $((64 << 20))
    in_group env NORVANE_TEST_IN_MEMORY_GROUP=1 "$program" \
        --gtest_filter=large_arrays.two_that_each_fit_a_group_but_not_together_are_refused > out 2>&1
    status=$?
    grep -q '^\[  PASSED  \] 1 test' out || fail "status $status: $(tail -c 600 out)"
    ;;
group_too_small)
    # 16 MiB cannot hold it: the message after the size line, before the memory is touched,
    # where a check blind to the group lets the kernel kill the run (137, nothing said).
    make_group $((16 << 20))
    chain_graph > chain.gr
    run in_group "$program" chain.gr
    expect "$status" 255 "$got" "$empty" err "$chain_stderr$memory_message"
    ;;
group_fits_beside_file_pages)
    # 96 MiB hold it, though the group is full of file pages first (the graph file written
    # from inside it, and 200 MB more): the kernel reclaims those, so they must not count.
    make_group $((96 << 20))
    in_group sh -c 'head -c 200000000 /dev/zero > filler && awk "$1" > chain.gr' sh \
        'BEGIN { print "p sp 2000000 100000"; for (i = 1; i <= 100000; i++) print "a", i, i + 1, 3 }' ||
        fail "cannot write inside the group"
    want=$(chain_listing | digest)
    run in_group "$program" chain.gr
    expect "$status" 0 "$got" "$want" err "$chain_stderr${warning}Computation time: T"$'\n'
    ;;
namespace_v1 | namespace_v2)
    # The group seen from its own cgroup namespace: through the host's mount, whose root
    # then reads "/../..", with the process at the namespace's root or moved below it; and
    # through a mount made inside the namespace, whose root is the group. 16 MiB: the
    # memory message and 255 each time, where a run blind to the group is killed (137,
    # nothing said); 96 MiB hold the graph, which is listed.
    want_version=${check#namespace_}
    unshare -C true 2> /dev/null || skip "no cgroup namespace can be made here (needs root and a kernel with them)"
    make_group $((16 << 20))
    mkdir "$group/inner" || skip "cannot make a group under $group"
    groups=("$group/inner" "${groups[@]}")
    root=$(in_namespace bash -c "$(declare -f mount_root); memory_mount=$memory_mount; mount_root")
    [[ $root == /..* ]] || fail "the host's mount shows its root as '$root' from the namespace, not /.."
    chain_graph > chain.gr
    run in_namespace "$program" chain.gr
    expect "$status" 255 "$got" "$empty" err "$chain_stderr$memory_message"
    run in_namespace sh -c 'echo $$ > "$1/cgroup.procs" || exit 99; shift; exec "$@"' sh "$group/inner" \
        "$program" chain.gr
    expect "$status" 255 "$got" "$empty" err "$chain_stderr$memory_message"
    if [[ $memory_version == v1 ]]; then remount=(mount -t cgroup -o memory norvane); else remount=(mount -t cgroup2 norvane); fi
    run in_namespace unshare -m sh -c 'point=$1; shift; umount "$point" && "$@" "$point" || exit 98; exec "$0" chain.gr' \
        "$program" "$memory_mount" "${remount[@]}"
    [[ $status != 98 ]] || skip "cannot mount the memory hierarchy again inside the namespace"
    expect "$status" 255 "$got" "$empty" err "$chain_stderr$memory_message"
    make_group $((96 << 20)) -fits
    want=$(chain_listing | digest)
    run in_namespace "$program" chain.gr
    expect "$status" 0 "$got" "$want" err "$chain_stderr${warning}Computation time: T"$'\n'
    ;;
count_per_range_used)
    # 20,000,000 nodes and one edge line under 2,000,000 KiB of address space: one read
    # range, so one count array, whatever the team; counting one per possible member
    # refused at 32 threads what 16 run. A file and the same through a pipe.
    printf 'p sp 20000000 1\na 1 2 5\n' > wide.gr
    want=$(awk 'BEGIN { print ""; print "Minimal distance from node 0 to every other node:"; print "Node 1: \t5"
                        for (i = 2; i < 20000000; i++) printf "Node %d: \t1073741824\n", i }' | digest)
    want_err=$'Graph contains 20000000 nodes and 1 edges\n'"${warning}Computation time: T"$'\n'
    for threads in 32 64; do
        run sh -c 'ulimit -v 2000000; exec "$@"' sh env OMP_NUM_THREADS=$threads "$program" wide.gr
        expect "$status" 0 "$got" "$want" err "$want_err"
    done
    run sh -c 'ulimit -v 2000000; cat wide.gr | "$@"' sh env OMP_NUM_THREADS=64 "$program" /dev/stdin
    expect "$status" 0 "$got" "$want" err "$want_err"
    ;;
mpi_group_too_small | mpi_namespace)
    # norvane-mpi's two processes in one 150 MiB group, each share of 20,000,000 nodes
    # touching some 120 MB: counted together they cannot fit (the kernel killed them before,
    # 137). mpi_namespace: the launcher started in the group's own cgroup namespace.
    runner=in_group
    if [[ $check == mpi_namespace ]]; then
        unshare -C true 2> /dev/null || skip "no cgroup namespace can be made here (needs root and a kernel with them)"
        runner=in_namespace
    fi
    make_group $((150 << 20))
    printf 'p sp 20000000 1\na 1 2 5\n' > wide.gr
    export OMPI_MCA_odls_base_sigkill_timeout=0
    run_ranks 2 "$runner" "$launcher" --allow-run-as-root --oversubscribe -np 2 "${rank_wrap[@]}" "$program" wide.gr
    expect "$status" 255 "$got" "$empty" err $'Graph contains 20000000 nodes and 1 edges\n'"$memory_message"
    ;;
hosts_in_groups)
    # 12,000,000 nodes, a chain through the first 100,001: norvane touches some 110 MB, a
    # process of two about half beside what Open MPI holds. Each emulated host a 100 MiB
    # group: norvane alone in one gets the memory message, norvane-mpi across both lists the
    # graph as norvane does outside any group.
    hosts_sh=$3 set_name=$4 norvane=$(realpath "$5")
    make_group $((100 << 20)) -h0
    make_group $((100 << 20)) -h1
    awk 'BEGIN { print "p sp 12000000 100000"; for (i = 1; i <= 100000; i++) print "a", i, i + 1, 3 }' > chain.gr
    chain_err=$'Graph contains 12000000 nodes and 100000 edges\n'
    group=${groups[0]}
    run in_group "$norvane" chain.gr
    expect "$status" 255 "$got" "$empty" err "$chain_err$memory_message"
    run "$norvane" chain.gr
    expect "$status" 0 "$got" "$got" err "$chain_err${warning}Computation time: T"$'\n'
    want=$got
    export OMPI_MCA_odls_base_sigkill_timeout=0
    # Inside a host's namespace /sys is its own: the hosts reach their groups through the
    # hierarchy mounted again here.
    mkdir cgroup && mount --bind "$group_mount" cgroup || skip "cannot mount the memory hierarchy again"
    bound=$work/cgroup
    host_groups="$bound${groups[0]#"$group_mount"} $bound${groups[1]#"$group_mount"}"
    run_ranks 2 env NORVANE_HOSTS_GROUPS="$host_groups" bash "$hosts_sh" mpirun "$set_name" --allow-run-as-root -np 2 \
        "${rank_wrap[@]}" "$program" chain.gr
    expect "$status" 0 "$got" "$want" err "$chain_err${warning}Computation time: T"$'\n'
    ;;
*)
    fail "unknown check"
    ;;
esac
echo "PASS ($check)"
