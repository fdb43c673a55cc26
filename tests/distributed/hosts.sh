#!/usr/bin/env bash
# An emulated cluster on this machine: each "host" is a network namespace with one address
# on a bridge that lives in a namespace of its own (the switch), so its traffic never
# leaves the namespaces made here and the machine's own interfaces never see it. A host
# has its own name (resolved by every host through its own hosts file) and its own
# temporary folder, where the launcher keeps its session files; every other file is
# shared, as on a shared file system.
#
# usage: hosts.sh up SET [N]       make hosts SET-h0 .. SET-h(N-1) (N = 2) and the switch
#                                  SET-sw.PID, PID the process that asked (the parent, as
#                                  CTest, or NORVANE_HOSTS_OWNER);
#                                  a set of that name and every set whose maker has ended
#                                  are removed first; exits 77 when namespaces cannot be made
#                                  here (root and ip netns)
#        hosts.sh down SET         end the processes left in the set's namespaces, remove them
#        hosts.sh sweep            remove every set whose maker has ended (a run cut short)
#        hosts.sh within SET CMD.. run CMD when the set is up, else exit 77 saying why
#        hosts.sh mpirun SET ARG.. mpirun from SET-h0 over every host of the set, one process
#                                  per host in turn (--map-by node), bounded by
#                                  NORVANE_HOSTS_TIMEOUT seconds (300); ARG.. as for mpirun;
#                                  NORVANE_HOSTS_YIELD=0 measures the ranks busy-polling;
#                                  NORVANE_HOSTS_ENTRY=I starts mpirun on SET-hI instead,
#                                  NORVANE_HOSTS_MAP= (empty) leaves the mapping to mpirun,
#                                  NORVANE_HOSTS_SLOTS=S gives each host S slots (its cores)
#        hosts.sh agent HOST CMD.. the launcher's remote shell: CMD inside HOST's namespace
# With NORVANE_HOSTS_GROUPS set to control-group folders, one per host in order (h0 first),
# whatever runs on a host joins its group first (the launcher on h0, the agent elsewhere):
# inside the namespace /sys is the namespace's own. A host with a memory group is a
# machine of that much memory.
set -u -o pipefail

# A private subnet, the same in every set: each set has a bridge of its own.
subnet_prefix=10.216.0
subnet=$subnet_prefix.0/24
host_dirs=/tmp/norvane-hosts
self=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/$(basename "${BASH_SOURCE[0]}")

die() { echo "hosts.sh: $*" >&2; exit 2; }
valid_set() { [[ $1 =~ ^[a-z][a-z0-9]{0,19}$ ]] || die "a set is named by up to 20 lowercase letters and digits"; }
set_hosts() { ip netns list 2>/dev/null | awk '{ print $1 }' | grep -E "^$1-h[0-9]+\$" | sort -V; }
set_switches() { ip netns list 2>/dev/null | awk '{ print $1 }' | grep -E "^$1-sw(\.[0-9]+)?\$"; }

can_make_namespaces() {
    [[ $(id -u) == 0 ]] || { echo "not root"; return 1; }
    command -v ip > /dev/null || { echo "no ip command (iproute2)"; return 1; }
    local probe=$1-probe
    ip netns add "$probe" 2> /dev/null || { echo "ip netns add fails here"; return 1; }
    ip netns del "$probe"
}

down() {
    local set=$1 name pids round
    for name in $(set_hosts "$set") $(set_switches "$set") "$set-probe"; do
        [[ -e /run/netns/$name ]] || continue
        # A namespace goes only when its last process has ended: the launcher's daemons
        # and ranks of a run that was cut short are ended here, a bounded number of tries.
        for round in 1 2 3 4 5; do
            pids=$(ip netns pids "$name")
            [[ -z $pids ]] && break
            if [[ $round -lt 5 ]]; then kill $pids 2> /dev/null; else kill -9 $pids 2> /dev/null; fi
            sleep 0.2
        done
        ip netns del "$name" || echo "hosts.sh: could not remove namespace $name" >&2
        rm -rf "/etc/netns/$name" "$host_dirs/$name"
    done
    rmdir "$host_dirs" /etc/netns 2> /dev/null
    return 0
}

# Removes the sets whose switch names a process that has ended: only sets made here carry
# a process in their switch's name, and a set whose maker still runs is in use.
sweep() {
    local name pid
    for name in $(ip netns list 2> /dev/null | awk '{ print $1 }' | grep -E '^[a-z][a-z0-9]{0,19}-sw\.[0-9]+$'); do
        pid=${name##*.}
        # A process that has ended but is not yet reaped (a zombie) counts as ended.
        [[ -r /proc/$pid/stat && $(sed 's/.*) //' "/proc/$pid/stat" | cut -d ' ' -f 1) != Z ]] && continue
        echo "hosts.sh: removing set ${name%-sw.*}, left by process $pid (ended)"
        down "${name%-sw.*}"
    done
    return 0
}

up() {
    local set=$1 count=$2 owner=$3 why i j host switch
    [[ $count =~ ^[1-9]$ ]] || die "from 1 to 9 hosts"
    [[ $owner =~ ^[1-9][0-9]*$ ]] || die "the owner is a process number: $owner"
    if ! why=$(can_make_namespaces "$set"); then
        echo "emulated hosts skipped: cannot make network namespaces here ($why)"
        exit 77
    fi
    down "$set"
    sweep
    # Half a set is taken down again.
    trap 'down "$set"' EXIT
    switch=$set-sw.$owner
    ip netns add "$switch" &&
        ip -n "$switch" link add br0 type bridge &&
        ip -n "$switch" link set br0 up || exit 1
    for ((i = 0; i < count; i++)); do
        host=$set-h$i
        ip netns add "$host" &&
            ip link add eth0 netns "$host" type veth peer name "port$i" netns "$switch" &&
            ip -n "$switch" link set "port$i" master br0 up &&
            ip -n "$host" addr add "$subnet_prefix.$((i + 1))/24" dev eth0 &&
            ip -n "$host" link set eth0 up &&
            ip -n "$host" link set lo up &&
            mkdir -p "/etc/netns/$host" "$host_dirs/$host" || exit 1
    done
    for ((i = 0; i < count; i++)); do
        { echo "127.0.0.1 localhost"
          for ((j = 0; j < count; j++)); do echo "$subnet_prefix.$((j + 1)) $set-h$j"; done
        } > "/etc/netns/$set-h$i/hosts" || exit 1
    done
    trap - EXIT
    echo "hosts up: $(set_hosts "$set" | tr '\n' ' ')on $subnet"
}

run_mpirun() {
    local set=$1 hosts hostfile run_tmp status
    shift
    hosts=$(set_hosts "$set")
    [[ -n $hosts ]] || die "set $set is not up"
    hostfile=$(mktemp "${TMPDIR:-/tmp}/norvane-hosts.XXXXXX") || exit 2
    # A session folder of this run's own: two launchers starting at once under one folder
    # race to make the same session directory, and one fails with "File exists".
    run_tmp=$(mktemp -d "$host_dirs/run.XXXXXX") || exit 2
    # Every emulated host has the machine's cores (all of them: nproc alone follows
    # OMP_NUM_THREADS), or NORVANE_HOSTS_SLOTS.
    sed "s/\$/ slots=${NORVANE_HOSTS_SLOTS:-$(nproc --all)}/" <<< "$hosts" > "$hostfile"
    # Options:
    # - the launcher reaches the hosts through the agent below, as it would through ssh;
    # - TCP on the set's subnet only, no shared memory: ranks on two hosts talk as over a wire;
    # - every host shares this machine's cores, so binding would put the first rank of each
    #   host on the same core: no binding;
    # - pml ob1: the only message layer that runs here; without it every process also opens
    #   the other one and its hardware drivers only to close them (0.2 s of its start-up);
    # - mpi_yield_when_idle: a rank that busy-polls for a message keeps its core from the
    #   kernel's processing of the veth's packets, which here runs on the sender's or
    #   receiver's own core (New York on two hosts, loaded machine: 8 to 25 s of computation
    #   without it, 2 to 6 s with it); a real network card interrupts instead, so yielding
    #   only removes an artefact of emulation.
    local entry_index=${NORVANE_HOSTS_ENTRY:-0} map=()
    [[ -n ${NORVANE_HOSTS_MAP-node} ]] && map=(--map-by "${NORVANE_HOSTS_MAP-node}")
    entry_to "$set-h$entry_index"
    timeout -k 10 "${NORVANE_HOSTS_TIMEOUT:-300}" "${entry[@]}" \
        mpirun --hostfile "$hostfile" ${map[@]+"${map[@]}"} --bind-to none \
        --mca plm_rsh_agent "bash $self agent" \
        --mca pml ob1 --mca btl self,tcp --mca oob_tcp_if_include "$subnet" --mca btl_tcp_if_include "$subnet" \
        --mca mpi_yield_when_idle "${NORVANE_HOSTS_YIELD:-1}" --mca orte_tmpdir_base "$run_tmp" "$@"
    status=$?
    rm -rf "$hostfile" "$run_tmp"
    return $status
}

# Sets entry to the command prefix that runs a command on HOST: in its namespace, under its
# name, with its temporary folder.
entry_to() {
    local host=$1
    # Only into the hosts of a set made here.
    [[ $host =~ ^[a-z][a-z0-9]{0,19}-h[0-9]+$ && -e /run/netns/$host ]] || die "no emulated host $host"
    entry=(ip netns exec "$host" unshare --uts env TMPDIR="$host_dirs/$host"
           sh -c 'echo "$0" > /proc/sys/kernel/hostname && exec "$@"' "$host")
    if [[ -n ${NORVANE_HOSTS_GROUPS:-} ]]; then
        local groups index=${host##*-h}
        read -r -a groups <<< "$NORVANE_HOSTS_GROUPS"
        [[ -d ${groups[index]:-} ]] || die "no control group for host $host in NORVANE_HOSTS_GROUPS"
        entry=(sh -c 'echo $$ > "$0/cgroup.procs" && exec "$@"' "${groups[index]}" "${entry[@]}")
    fi
}

# As ssh does, the words of the command are joined and given to a shell.
agent() {
    entry_to "$1"
    shift
    exec "${entry[@]}" sh -c "$*"
}

command=${1:-}
shift || true
case $command in
    up) valid_set "${1:-}"; up "$1" "${2:-2}" "${NORVANE_HOSTS_OWNER:-$PPID}" ;;
    down) valid_set "${1:-}"; down "$1" ;;
    sweep) sweep ;;
    within)
        valid_set "${1:-}"
        if [[ -z $(set_hosts "$1") ]]; then
            echo "emulated hosts skipped: set $1 is not up (root and ip netns are needed)"
            exit 77
        fi
        shift
        exec "$@" ;;
    mpirun) valid_set "${1:-}"; run_mpirun "$@" ;;
    agent) agent "$@" ;;
    *) die "usage: hosts.sh up SET [N] | down SET | sweep | within SET CMD... | mpirun SET ARG... | agent HOST CMD..." ;;
esac
