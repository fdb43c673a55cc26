#!/usr/bin/env bash
# How closely the memory check fits a run to a memory control group: for each graph,
# norvane and norvane-mpi at each K (all K processes and the launcher on this host, in one
# group), first the run's real peak (the group's own high-water mark with no limit set:
# what the kernel holds against a limit; each process's peak RSS beside it), then, by
# bisection over the group's limit, the largest limit at which the run is refused (the
# memory message and status 255) and the smallest at which it lists. A run the kernel
# kills (137, signal 9) is the fault the check exists to prevent: it is printed loudly,
# with its limit. Every listing is compared byte for byte with norvane's. A table on
# stdout; the same figures as TSV, and one row per run, in the data directory.
#
# usage: bench/memory_limits.sh [--programs DIR] [--k "1 2 4 8"] [--timeout S] GRAPH...
#   GRAPH          a DIMACS file (a name not found as given is looked for in the data directory)
#   --programs DIR where norvane and norvane-mpi are (default: build them in build-bench)
#   --k LIST       norvane-mpi's process counts ("" for norvane alone)
#   --timeout S    bound on every run (default: 900)
# environment:
#   NORVANE_BENCH_DATA   data directory for the tables (default: bench/data)
#   NORVANE_BENCH_BUILD  build directory when --programs is not given (default: build-bench)
#   MPIRUN               the launcher (default: mpirun)
# Needs root and a memory controller (cgroup v1, or v2 with memory.peak); groups are made
# as children of this script's own memory group and removed on every exit.
set -u -o pipefail

bench_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo_dir=$(cd "$bench_dir/.." && pwd)
data_dir=${NORVANE_BENCH_DATA:-$bench_dir/data}
programs=
k_list="1 2 4 8"
run_timeout=900
mib=$((1 << 20))

die() { echo "memory_limits.sh: $*" >&2; exit 1; }
graphs=()
while [ $# -gt 0 ]; do
    case $1 in
        --programs) shift; programs=${1:-} ;;
        --k) shift; k_list=${1-} ;;
        --timeout) shift; run_timeout=${1:-} ;;
        -*) die "unknown option $1" ;;
        *) graphs+=("$1") ;;
    esac
    shift
done
[ ${#graphs[@]} -gt 0 ] || die "usage: bench/memory_limits.sh [--programs DIR] [--k \"1 2 4 8\"] [--timeout S] GRAPH..."
[[ $run_timeout =~ ^[1-9][0-9]*$ ]] || die "--timeout needs a positive number of seconds"
for k in $k_list; do [[ $k =~ ^[1-9][0-9]*$ ]] || die "--k needs positive process counts, not '$k'"; done
for i in "${!graphs[@]}"; do
    [[ -f ${graphs[i]} ]] || graphs[i]=$data_dir/${graphs[i]}
    [[ -f ${graphs[i]} ]] || die "no graph file ${graphs[i]}"
done
[[ $(id -u) == 0 ]] || die "making memory groups needs root"
[[ -x /usr/bin/time ]] || die "needs GNU time as /usr/bin/time (apt-get install time)"

# shellcheck source=../tests/faults/memory_groups.sh
source "$repo_dir/tests/faults/memory_groups.sh"
find_memory_group || die "$memory_why"
parent=$memory_mount$memory_own
if [[ $memory_version == v1 ]]; then
    limit_file=memory.limit_in_bytes swap_file=memory.memsw.limit_in_bytes
    peak_file=memory.max_usage_in_bytes events_file=memory.oom_control
else
    limit_file=memory.max swap_file=memory.swap.max peak_file=memory.peak events_file=memory.events
fi

if [[ -z $programs ]]; then
    programs=${NORVANE_BENCH_BUILD:-$repo_dir/build-bench}
    cmake -S "$repo_dir" -B "$programs" -DCMAKE_BUILD_TYPE=Release -DNORVANE_BENCH=ON -DNORVANE_MPI=ON > /dev/null &&
        cmake --build "$programs" -j2 > /dev/null || die "build failed"
fi
[[ -x $programs/norvane ]] || die "no norvane in $programs"
norvane=$(realpath "$programs/norvane")
mpi=$(realpath "$programs/norvane-mpi" 2> /dev/null)
if [[ -n ${k_list// /} && ! -x $mpi ]]; then
    echo "memory_limits.sh: no norvane-mpi in $programs (built with -DNORVANE_MPI=ON?): norvane alone" >&2
    k_list=
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/norvane-memlimits.XXXXXX") || die "cannot make a work directory"
group=
runner=
groups_made=0
# Ends what is left in a group (only processes of this script's runs are ever in it), then
# removes it: a group with a process in it cannot be removed.
end_group() {
    local g=$1 pid i
    [[ -d $g ]] || return 0
    for ((i = 0; i < 100; i++)); do
        [[ -s $g/cgroup.procs ]] || break
        while read -r pid; do kill -9 "$pid" 2> /dev/null; done < "$g/cgroup.procs"
        sleep 0.1
    done
    rmdir "$g" 2> /dev/null || echo "memory_limits.sh: could not remove the group $g" >&2
}
cleanup() {
    [[ -n $group ]] && end_group "$group"
    [[ -n $runner ]] && { kill "$runner" 2> /dev/null; wait "$runner" 2> /dev/null; }
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

read -r -a launcher <<< "${MPIRUN:-mpirun}"
launcher+=(--oversubscribe --allow-run-as-root --bind-to none --mca pml ob1
          --mca mpi_yield_when_idle 1 --mca orte_tmpdir_base "$work/session")
mkdir "$work/session"

# Takes the program's listing from stdin outside the group (nothing of it is charged
# there): keeps it in file $2 (mode save), drops it (none) or compares it with file $2
# (check), reading to the end whatever it finds, so that the program never meets a closed
# pipe. Prints "same", or cmp's word on the first difference.
take_listing() {
    case $1 in
        save) cat > "$2" && echo same ;;
        none) cat > /dev/null && echo same ;;
        check) cmp - "$2" 2>&1 && echo same; cat > /dev/null ;;
    esac
}

loadavg() { cut -d' ' -f1 /proc/loadavg; }
in_mib() { awk -v b="$1" 'BEGIN { printf "%.1f", b / 1048576 }'; }
page_round() { echo $(($1 / 4096 * 4096)); }
stamp=$(date -u +%Y-%m-%d-%H%M)
mkdir -p "$data_dir" || die "cannot make $data_dir"
table=$data_dir/memory-limits-$stamp.tsv
runs_log=$data_dir/memory-limits-$stamp-runs.tsv
printf 'graph\tprogram\tk\tlimit_mib\toutcome\tstatus\tgroup_peak_mib\tseconds\tload\n' > "$runs_log"
printf 'graph\tprogram\tk\tpeak_mib\trefused_max_mib\tratio\tlists_min_mib\tkills_mib\trss_mib\tfloor_mib\tload\truns\tseconds\tother\n' > "$table"
alarms=()

# One run in a fresh child group: limit $1 bytes (empty: none), listing handled by
# take_listing mode $2 with file $3, then the command. Sets outcome (listed, refused,
# killed, timeout, wrong-listing, status-N), status, run_peak, seconds, compared.
run_in_group() {
    local limit=$1 mode=$2 ref=$3 start ooms
    shift 3
    groups_made=$((groups_made + 1))
    group=$parent/norvane-memlimits-$$-$groups_made
    mkdir "$group" || die "cannot make a memory group under $parent"
    [[ -e $group/$peak_file ]] || die "the group has no $peak_file to read the peak from"
    if [[ -n $limit ]]; then
        echo "$limit" > "$group/$limit_file" || die "cannot set $limit_file in $group"
    fi
    # No swap: what does not fit in the limit must be refused or killed, not swapped out.
    if [[ -e $group/$swap_file ]]; then
        if [[ $memory_version == v2 ]]; then
            echo 0 > "$group/$swap_file" || die "cannot set $swap_file in $group"
        elif [[ -n $limit ]]; then
            echo "$limit" > "$group/$swap_file" || die "cannot set $swap_file in $group"
        fi
    elif [[ $memory_version == v1 && -n $(tail -n +2 /proc/swaps) ]]; then
        die "swap is on and the groups have no $swap_file: turn swap off (swapoff -a)"
    fi
    rm -f "$work"/rss.* "$work/err" "$work/status" "$work/compare" "$work/listing.fifo"
    mkfifo "$work/listing.fifo" || die "cannot make a FIFO in $work"
    start=$(date +%s.%N)
    # In the background so that Ctrl-C reaches the trap at once; the shell joins the group
    # and then becomes the command, so the launcher and every process it starts are in it.
    # The listing leaves through a FIFO, which norvane-mpi's rank 0 also opens itself.
    (
        take_listing "$mode" "$ref" < "$work/listing.fifo" > "$work/compare" &
        timeout -k 10 "$run_timeout" sh -c 'echo $$ > "$1/cgroup.procs" || exit 99; shift; exec "$@"' \
            sh "$group" "$@" > "$work/listing.fifo" 2> "$work/err"
        echo $? > "$work/status"
        wait
    ) &
    runner=$!
    wait "$runner"
    runner=
    seconds=$(awk -v s="$start" -v e="$(date +%s.%N)" 'BEGIN { printf "%.1f", e - s }')
    status=$(cat "$work/status" 2> /dev/null || echo none)
    run_peak=$(cat "$group/$peak_file")
    ooms=$(awk '$1 == "oom_kill" { print $2 }' "$group/$events_file")
    end_group "$group"
    group=
    compared=$(cat "$work/compare" 2> /dev/null)
    if awk -v s="$seconds" -v t="$run_timeout" 'BEGIN { exit !(s >= t) }'; then
        outcome=timeout
    elif [[ $status == 137 || ${ooms:-0} -gt 0 ]] ||
         grep -qE 'signal 9|SIGKILL' "$work/err" ||
         grep -qs 'terminated by signal 9' "$work"/rss.*; then
        outcome=killed
    elif [[ $status == 255 ]] && grep -qxF 'Error: cannot allocate memory.' "$work/err"; then
        outcome=refused
    elif [[ $status == 0 && $compared == same ]]; then
        outcome=listed
    elif [[ $status == 0 ]]; then
        outcome=wrong-listing
    else
        outcome=status-$status
    fi
}

# What one configuration's runs need: the graph, the label and the command.
cur_graph='' cur_program='' cur_k='' cur_cmd=()
probe_limits=() probe_outcomes=()
kills=() others=() runs=0
# Runs the current configuration at limit $1 bytes and records what happened.
probe() {
    local limit
    limit=$(page_round "$1")
    run_in_group "$limit" check "$work/listing" "${cur_cmd[@]}"
    runs=$((runs + 1))
    probe_limits+=("$limit") probe_outcomes+=("$outcome")
    log_run "$(in_mib "$limit")"
    echo "  $cur_program${cur_k:+ K=$cur_k} at $(in_mib "$limit") MiB: $outcome ($seconds s)" >&2
    case $outcome in
        listed | refused) ;;
        killed)
            kills+=("$(in_mib "$limit")")
            alarm "KILLED: $cur_graph, $cur_program${cur_k:+ K=$cur_k}, limit $(in_mib "$limit") MiB (status $status): the check let a run start that the group could not hold"
            ;;
        *)
            others+=("$outcome@$(in_mib "$limit")")
            alarm "$outcome: $cur_graph, $cur_program${cur_k:+ K=$cur_k}, limit $(in_mib "$limit") MiB: $(describe_failure)"
            ;;
    esac
}
# One row of the runs' table for the last run, at the limit $1 (MiB, or a word).
log_run() {
    printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$cur_graph" "$cur_program" "${cur_k:--}" "$1" \
        "$outcome" "$status" "$(in_mib "$run_peak")" "$seconds" "$(loadavg)" >> "$runs_log"
}
describe_failure() {
    if [[ $outcome == wrong-listing ]]; then
        echo "listing not norvane's: $compared"
    else
        echo "stderr: $(head -c 300 "$work/err" | tr '\n' ' ')"
    fi
}
alarm() {
    alarms+=("$1")
    printf '\n*** %s ***\n\n' "$1" >&2
}

# Peak per process in MiB from the rss files of the last run, rank order, "a/b/c".
rss_list() {
    local r list=
    for ((r = 0; r < $1; r++)); do
        list+="${list:+/}$(awk 'END { printf "%.1f", $1 / 1024 }' "$work/rss.$r" 2> /dev/null)"
    done
    echo "$list"
}

rows=()
# One row of the table for the current configuration: peak, largest refused, ratio,
# smallest listing, kills, RSS per process, floor, load, other failures.
add_row() {
    rows+=("$(printf '%s\t' "$cur_graph" "$cur_program" "${cur_k:--}" "$1" "$2" "$3" "$4" "$5" "$6" "$7" "$8" \
        "$runs" "$((SECONDS - started))")$9")
    printf '%s\n' "${rows[-1]}" >> "$table"
}
# Measures one configuration: $1 program label, $2 K (empty for norvane), then the command.
measure() {
    cur_program=$1 cur_k=$2
    shift 2
    cur_cmd=("$@")
    local load_start load_end peak rss floor tol lo hi low_bound cap ref_lo='' nr_hi='' li_hi='' nl_lo='' mid i
    local started=$SECONDS lists_min refused_max ratio
    probe_limits=() probe_outcomes=() kills=() others=() runs=0
    load_start=$(loadavg)

    # The floor: the same program and K on a graph of one edge, no limit. Below it the
    # launcher and the processes' start need more than the group has before the program
    # can check anything, so no limit under it is probed.
    local tiny=("${cur_cmd[@]}")
    tiny[${#tiny[@]} - 1]=$work/one_edge.gr
    run_in_group "" none /dev/null "${tiny[@]}"
    floor=$run_peak
    runs=1
    log_run floor
    if [[ $outcome != listed ]]; then
        alarm "$cur_program${cur_k:+ K=$cur_k} fails on a one-edge graph: $outcome, $(describe_failure)"
        [[ $cur_program != norvane ]]
        return
    fi

    # The real peak, no limit; norvane's listing is kept for every comparison after.
    if [[ $cur_program == norvane ]]; then
        run_in_group "" save "$work/listing" "${cur_cmd[@]}"
    else
        run_in_group "" check "$work/listing" "${cur_cmd[@]}"
    fi
    runs=2
    peak=$run_peak
    rss=$(rss_list "${cur_k:-1}")
    log_run none
    echo "  $cur_program${cur_k:+ K=$cur_k}, no limit: $outcome, group peak $(in_mib "$peak") MiB, RSS $rss MiB, floor $(in_mib "$floor") MiB ($seconds s)" >&2
    if [[ $outcome != listed ]]; then
        alarm "$cur_program${cur_k:+ K=$cur_k} on $cur_graph with no limit: $outcome, $(describe_failure)"
        add_row "$(in_mib "$peak")" - - - none "$rss" "$(in_mib "$floor")" "$load_start" "$outcome@none"
        [[ $cur_program != norvane ]]
        return
    fi

    # The largest refused limit: bisection between a refused limit and one that is not,
    # from [0.5, 3] x the peak, reached further down (to the floor) or up (to 16 x the
    # peak or what the machine has free) where an end is on the wrong side; steps of
    # 1 % of the peak or 4 MiB.
    tol=$((peak / 100 > 4 * mib ? peak / 100 : 4 * mib))
    low_bound=$((floor + floor / 10))
    cap=$(awk '/^MemAvailable:/ { printf "%d", $2 * 1024 * 3 / 4 }' /proc/meminfo)
    cap=$((16 * peak < cap ? 16 * peak : cap))
    lo=$((peak / 2 > low_bound ? peak / 2 : low_bound))
    probe "$lo"
    lo=${probe_limits[-1]}
    if [[ $outcome == refused ]]; then
        ref_lo=$lo
    else
        nr_hi=$lo
        while [[ -z $ref_lo ]] && ((lo > low_bound)); do
            lo=$((lo / 2 > low_bound ? lo / 2 : low_bound))
            probe "$lo"
            lo=${probe_limits[-1]}
            if [[ $outcome == refused ]]; then ref_lo=$lo; else nr_hi=$lo; fi
        done
    fi
    if [[ -n $ref_lo && -z $nr_hi ]]; then
        hi=$((3 * peak))
        while :; do
            probe "$hi"
            hi=${probe_limits[-1]}
            if [[ $outcome == refused ]]; then ref_lo=$hi; else nr_hi=$hi; break; fi
            ((hi < cap)) || break
            hi=$((2 * hi < cap ? 2 * hi : cap))
        done
    fi
    if [[ -n $ref_lo && -n $nr_hi ]]; then
        while ((nr_hi - ref_lo > tol)); do
            mid=$(page_round $(((ref_lo + nr_hi) / 2)))
            probe "$mid"
            if [[ $outcome == refused ]]; then ref_lo=$mid; else nr_hi=$mid; fi
        done
    fi

    # The smallest listing limit: bisection between the smallest limit that listed and the
    # largest below it that did not (a kill, say), from the runs above, reached further up
    # where none listed.
    for i in "${!probe_limits[@]}"; do
        [[ ${probe_outcomes[i]} == listed ]] || continue
        if [[ -z $li_hi ]] || ((probe_limits[i] < li_hi)); then li_hi=${probe_limits[i]}; fi
    done
    if [[ -z $li_hi ]]; then
        hi=$(printf '%s\n' "${probe_limits[@]}" | sort -n | tail -n 1)
        while ((hi < cap)); do
            hi=$((2 * hi < cap ? 2 * hi : cap))
            probe "$hi"
            hi=${probe_limits[-1]}
            [[ $outcome == listed ]] && { li_hi=$hi; break; }
        done
    fi
    if [[ -n $li_hi ]]; then
        for i in "${!probe_limits[@]}"; do
            if [[ ${probe_outcomes[i]} != listed ]] && ((probe_limits[i] < li_hi && probe_limits[i] > ${nl_lo:-0})); then
                nl_lo=${probe_limits[i]}
            fi
        done
        while [[ -n $nl_lo ]] && ((li_hi - nl_lo > tol)); do
            mid=$(page_round $(((nl_lo + li_hi) / 2)))
            probe "$mid"
            if [[ $outcome == listed ]]; then li_hi=$mid; else nl_lo=$mid; fi
        done
    fi

    load_end=$(loadavg)
    if [[ -z $ref_lo ]]; then
        refused_max=none ratio=-
    elif [[ -z $nr_hi ]]; then
        refused_max=">$(in_mib "$ref_lo")" ratio=">$(awk -v r="$ref_lo" -v p="$peak" 'BEGIN { printf "%.2f", r / p }')"
    else
        refused_max=$(in_mib "$ref_lo") ratio=$(awk -v r="$ref_lo" -v p="$peak" 'BEGIN { printf "%.2f", r / p }')
    fi
    if [[ -n $li_hi ]]; then
        lists_min=$(in_mib "$li_hi")
        [[ -z $nl_lo ]] && lists_min="<=$lists_min"
    else
        lists_min=">$(in_mib "$cap")"
    fi
    local kills_text=none others_text=none
    ((${#kills[@]})) && kills_text=$(printf '%s\n' "${kills[@]}" | sort -g | paste -sd, -)
    ((${#others[@]})) && others_text=$(IFS=,; echo "${others[*]}")
    local load_text
    load_text=$(printf '%s\n%s\n' "$load_start" "$load_end" | sort -g | paste -sd- -)
    add_row "$(in_mib "$peak")" "$refused_max" "$ratio" "$lists_min" "$kills_text" "$rss" "$(in_mib "$floor")" \
        "$load_text" "$others_text"
    echo "  => peak $(in_mib "$peak") MiB, largest refused $refused_max (ratio $ratio), smallest listing $lists_min, kills: $kills_text" >&2
}

printf 'p sp 2 1\na 1 2 1\n' > "$work/one_edge.gr"
echo "memory_limits.sh: $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc --all) cores," \
    "$(free -g | awk '/^Mem:/ { print $2 }') GiB, cgroup $memory_version under $parent" >&2
echo "programs: $norvane ($(sha1sum < "$norvane" | cut -c1-12))${k_list:+, $mpi ($(sha1sum < "$mpi" | cut -c1-12)), K = $k_list}" >&2
graph_seconds=()
for graph in "${graphs[@]}"; do
    cur_graph=$(basename "$graph")
    graph_started=$SECONDS
    echo "$cur_graph:" >&2
    # The file in the page cache first, charged outside the groups: the peak is then the
    # run's own memory, not the cache of a first read.
    cat "$graph" > /dev/null
    measure norvane "" /usr/bin/time -f %M -o "$work/rss.0" "$norvane" "$graph" || {
        alarm "no listing of norvane's for $cur_graph: its norvane-mpi rows skipped"
        continue
    }
    for k in $k_list; do
        # Each rank under its own GNU time, its file named by the rank. Rank 0 writes the
        # listing straight into the FIFO: through the launcher's forwarding, the launcher
        # holds what the reader has not yet taken, up to some 3 times the listing when the
        # reader lags, a peak of the launcher's that depends on the reader's speed.
        measure norvane-mpi "$k" "${launcher[@]}" -np "$k" \
            sh -c 'rank=$OMPI_COMM_WORLD_RANK; if [ "$rank" = 0 ]; then exec > "$1"; fi; shift
                   exec /usr/bin/time -f %M -o "$0.$rank" "$@"' "$work/rss" "$work/listing.fifo" "$mpi" "$graph"
    done
    graph_seconds+=("$cur_graph $((SECONDS - graph_started)) s")
done

echo
echo "Memory groups ($memory_version), $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc --all) cores; MiB."
echo "peak: the group's high-water mark with no limit (all processes and the launcher);"
echo "refused: the largest limit refused (target: at most 1.1 x peak); lists: the smallest that listed;"
echo "floor: the same program on a one-edge graph (limits below it are not tried)."
echo
echo "| graph | program | K | peak | refused | refused / peak | lists | kills at | peak RSS per process | floor | load | runs | s |"
echo "|---|---|---:|---:|---:|---:|---:|---|---|---:|---|---:|---:|"
for row in "${rows[@]}"; do
    IFS=$'\t' read -r -a f <<< "$row"
    printf '| %s ' "${f[@]:0:13}"
    echo '|'
done
echo
echo "time per graph: ${graph_seconds[*]}"
echo "table: $table; every run: $runs_log"
if ((${#alarms[@]})); then
    echo
    echo "*** ${#alarms[@]} failure(s) of the check or the runs: ***"
    printf '  %s\n' "${alarms[@]}"
    exit 1
fi
