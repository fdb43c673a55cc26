#!/usr/bin/env bash
# norvane-mpi against norvane on the benchmark graphs: wall time and computation time of
# norvane, and of norvane-mpi on 1, 2 and 4 processes (4 share the two cores here), medians
# of interleaved runs, every listing checked byte for byte against norvane's; then the
# traffic of one run at 2 and 4 processes: bytes each process sent while building
# (edge lines to their owners), while solving (relaxation requests) and for the listing
# (to rank 0), the build's exchange rounds and the solve's phases; then, on this host at
# K = 2, 4 and 8, each process's records and peak RSS, so that the balance is visible.
# With --hosts, the processes run across two emulated hosts (tests/distributed/hosts.sh:
# network namespaces joined by a bridge, TCP only), K = 2 (one process a host) and 4 (two);
# the hosts are made for the run and removed after it, also when it fails. That needs root.
# There rank 0 writes the listing file itself (not through the launcher's forwarding), each
# process runs under /usr/bin/time, and the table adds the listing's time (from a
# distributed_traffic run in each round), the launcher's floor (norvane-mpi on a graph of
# one edge: the launch, the processes' start and end, and nearly nothing else) and the
# peak RSS of norvane and of every process.
#
# With --host-memory MIB as well, each emulated host is a memory control group of MIB MiB
# (a child of this script's own group) and norvane runs inside the first host's group:
# where it cannot fit, its columns say so (its memory message) and its listing for the
# comparison comes from a run outside the groups.
#
# With --graph500 BINARY as well (a build of Graph500's reference SSSP, branch newreference,
# graph500_reference_bfs_sssp, made outside this repository), each R-MAT graph (2^SCALE
# nodes, EF * 2^SCALE edge lines) is also searched by that program across the same hosts at
# K = 2 (its own Kronecker graph of the same SCALE and EF, 64 searches, no validation), and
# a last table sets its edges a second per search beside norvane-mpi's (the file's edge
# lines over its K = 2 Computation time).
#
# With --host-count N as well, N emulated hosts (2 by default), and K = N (one process a
# host) and 2 N.
#
# usage: bench/distributed.sh [--runs N] [--hosts [--host-count N] [--host-memory MIB] [--graph500 BINARY]] [GRAPH...]
#   GRAPH: file names in the data directory (default: every .gr there but the USA-scale one)
# environment:
#   NORVANE_BENCH_DATA   data directory, made by bench/run.sh (default: bench/data)
#   NORVANE_BENCH_BUILD  build directory (default: build-bench); built Release with
#                        NORVANE_BENCH and NORVANE_MPI
#   MPIRUN               the launcher (default: mpirun); as root it is given
#                        --allow-run-as-root, and always --oversubscribe
set -u -o pipefail

bench_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo_dir=$(cd "$bench_dir/.." && pwd)
data_dir=${NORVANE_BENCH_DATA:-$bench_dir/data}
build=${NORVANE_BENCH_BUILD:-$repo_dir/build-bench}
runs=3
hosts_mode=0
host_memory=
host_count=2
graph500=

die() { echo "distributed.sh: $*" >&2; exit 1; }
graphs=()
while [ $# -gt 0 ]; do
    case $1 in
        --runs) shift; runs=${1:-} ;;
        --hosts) hosts_mode=1 ;;
        --host-memory) shift; host_memory=${1:-} ;;
        --host-count) shift; host_count=${1:-} ;;
        --graph500) shift; graph500=${1:-} ;;
        *) graphs+=("$1") ;;
    esac
    shift
done
[[ $runs =~ ^[1-9][0-9]*$ ]] || die "--runs needs a positive integer"
[[ -z $host_memory || ($host_memory =~ ^[1-9][0-9]*$ && $hosts_mode == 1) ]] ||
    die "--host-memory needs --hosts and a whole number of MiB"
[[ -z $graph500 || ($hosts_mode == 1 && -x $graph500) ]] || die "--graph500 needs --hosts and a program"
[[ $host_count =~ ^[2-9]$ ]] || die "--host-count takes 2 to 9"
if [ ${#graphs[@]} -eq 0 ]; then
    for file in "$data_dir"/*.gr; do
        [[ $(basename "$file") == road-usa-24M.gr ]] || graphs+=("$(basename "$file")")
    done
fi
[ ${#graphs[@]} -gt 0 ] || die "no graphs in $data_dir (bench/run.sh makes them)"

cmake -S "$repo_dir" -B "$build" -DCMAKE_BUILD_TYPE=Release -DNORVANE_BENCH=ON -DNORVANE_MPI=ON > /dev/null &&
    cmake --build "$build" -j2 > /dev/null || die "build failed"
norvane=$build/norvane
mpi=$build/norvane-mpi
traffic=$build/bench/distributed_traffic
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
if [[ $hosts_mode == 1 ]]; then
    hosts_script=$repo_dir/tests/distributed/hosts.sh
    hosts_set=nvbench$$
    trap 'bash "$hosts_script" down "$hosts_set"; rm -rf "$tmp"' EXIT
    trap 'exit 1' INT TERM
    bash "$hosts_script" up "$hosts_set" "$host_count" >&2 || die "cannot make the emulated hosts"
    launcher=(bash "$hosts_script" mpirun "$hosts_set" --allow-run-as-root --oversubscribe)
    in_host_group=()
    if [[ -n $host_memory ]]; then
        # shellcheck source=../tests/faults/memory_groups.sh
        source "$repo_dir/tests/faults/memory_groups.sh"
        find_memory_group || die "$memory_why"
        # Inside a host's namespace /sys is its own: the hosts reach their groups through the
        # hierarchy mounted again under $tmp.
        mkdir "$tmp/cgroup" && mount --bind "$memory_mount" "$tmp/cgroup" || die "cannot mount the memory hierarchy"
        host_groups=()
        for ((h = 0; h < host_count; h++)); do
            group=$memory_mount$memory_own/$hosts_set-h$h
            mkdir "$group" && echo $((host_memory << 20)) > "$group/$memory_limit_file" || die "cannot make $group"
            host_groups+=("$tmp/cgroup$memory_own/$hosts_set-h$h")
        done
        trap 'bash "$hosts_script" down "$hosts_set"; for ((h = 0; h < host_count; h++)); do rmdir "$memory_mount$memory_own/$hosts_set-h$h"; done
              umount "$tmp/cgroup"; rm -rf "$tmp"' EXIT
        export NORVANE_HOSTS_GROUPS="${host_groups[*]}"
        in_host_group=(sh -c 'echo $$ > "$0/cgroup.procs" && exec "$@"' "$memory_mount$memory_own/$hosts_set-h0")
    fi
    counts=("$host_count" $((2 * host_count)))
    where="across $host_count emulated hosts (K = $host_count: one process a host)${host_memory:+, each a memory group of $host_memory MiB}"
    [[ -x /usr/bin/time ]] || die "--hosts needs /usr/bin/time (apt-get install time)"
    # Each process under /usr/bin/time (its peak RSS in $tmp/rss.RANK); rank 0 writes the
    # listing to $tmp/out itself. Every host sees $tmp: only their own temporary folders differ.
    cat > "$tmp/rank.sh" <<'WRAPPER'
#!/bin/sh
out=$1; shift
rank=${OMPI_COMM_WORLD_RANK:-0}
if [ "$rank" = 0 ]; then exec /usr/bin/time -f %M -o "${out%/*}/rss.$rank" "$@" > "$out"; fi
exec /usr/bin/time -f %M -o "${out%/*}/rss.$rank" "$@"
WRAPPER
    chmod +x "$tmp/rank.sh"
else
    launcher=(${MPIRUN:-mpirun} --oversubscribe)
    [[ $(id -u) == 0 ]] && launcher+=(--allow-run-as-root)
    counts=(1 2 4)
    where="on this host"
fi

# One run: wall seconds and the program's computation time, listing to $tmp/out.
timed() {
    local start end
    start=$(date +%s.%N)
    "$@" > "$tmp/out" 2> "$tmp/err" || die "run failed: $* ($(head -c 300 "$tmp/err"))"
    end=$(date +%s.%N)
    echo "$(awk -v start="$start" -v end="$end" 'BEGIN { printf "%.3f", end - start }') $(sed -n 's/^Computation time: //p' "$tmp/err")"
}
median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
# Across hosts: one run of K processes, rank 0 writing $tmp/out; prints wall, computation
# time and the peak RSS of each process in MB (r0/r1/...).
timed_hosts() {
    local k=$1 start end rss="" r
    shift
    rm -f "$tmp"/rss.*
    start=$(date +%s.%N)
    "${launcher[@]}" -np "$k" "$tmp/rank.sh" "$tmp/out" "$@" 2> "$tmp/err" ||
        die "run failed: $* ($(head -c 300 "$tmp/err"))"
    end=$(date +%s.%N)
    for ((r = 0; r < k; r++)); do rss+="${rss:+/}$(($(tail -n 1 "$tmp/rss.$r") / 1024))"; done
    echo "$(printf "%.3f" "$(echo "$end - $start" | bc)") $(sed -n 's/^Computation time: //p' "$tmp/err") $rss"
}
# Across hosts: the wall seconds of K processes that start, solve one edge and end. (A run
# that fails, as without a file, is no floor: the launcher takes seconds to end its job.)
start_seconds() {
    local start end
    printf 'p sp 2 1\na 1 2 1\n' > "$tmp/one_edge.gr"
    start=$(date +%s.%N)
    "${launcher[@]}" -np "$1" "$mpi" "$tmp/one_edge.gr" > /dev/null 2>&1 || die "the one-edge run failed"
    end=$(date +%s.%N)
    printf "%.3f" "$(echo "$end - $start" | bc)"
}
# Across hosts: the listing's seconds in one distributed_traffic run of K processes.
listing_seconds() {
    "${launcher[@]}" -np "$1" "$tmp/rank.sh" "$tmp/traffic_out" "$traffic" "$2" 2> "$tmp/traffic" ||
        die "traffic run failed: $(head -c 300 "$tmp/traffic")"
    awk '$1 == "0" { print $11 }' "$tmp/traffic"
}

echo "machine: $(nproc --all) cores, $(free -g | awk '/^Mem:/ { print $2 }') GiB, $(mpirun --version | head -n 1)," \
     "OMP_NUM_THREADS=${OMP_NUM_THREADS-unset}; norvane-mpi $where"
echo
header="| graph | norvane wall s"
for k in "${counts[@]}"; do header+=" | mpi K=$k wall s"; done
header+=" | norvane compute s"
for k in "${counts[@]}"; do header+=" | K=$k compute s"; done
columns=(norvane "${counts[@]}" norvane "${counts[@]}")
if [[ $hosts_mode == 1 ]]; then
    for k in "${counts[@]}"; do header+=" | K=$k listing s"; done
    for k in "${counts[@]}"; do header+=" | K=$k start and end s"; done
    header+=" | norvane peak RSS MB"
    for k in "${counts[@]}"; do header+=" | K=$k peak RSS MB per process"; done
    columns+=("${counts[@]}" "${counts[@]}" norvane "${counts[@]}")
fi
echo "$header |"
echo "|---$(printf '|---:%.0s' "${columns[@]}")|"
declare -A compute_k2=()
for graph in "${graphs[@]}"; do
    file=$data_dir/$graph
    [[ -f $file ]] || die "no $file"
    "$norvane" "$file" > "$tmp/want" 2> /dev/null || die "norvane failed on $graph"
    declare -A wall=() compute=() listing=() floor=() peak=()
    for ((r = 0; r < runs; r++)); do
        # Interleaved, so that the machine's moods fall on every program alike.
        for who in norvane "${counts[@]}"; do
            m=""
            if [[ $who == norvane && $hosts_mode == 1 && -n $host_memory ]] &&
                ! "${in_host_group[@]}" "$norvane" "$file" > /dev/null 2> "$tmp/err"; then
                # Refused in the host's group: the message, not a time.
                w=$(tail -n 1 "$tmp/err" | tr ' ' '_') c=$w m=$w
            elif [[ $who == norvane && $hosts_mode == 1 ]]; then
                read -r w c < <(timed /usr/bin/time -f %M -o "$tmp/rss.norvane" "${in_host_group[@]}" "$norvane" "$file")
                m=$(($(tail -n 1 "$tmp/rss.norvane") / 1024))
            elif [[ $who == norvane ]]; then
                read -r w c < <(timed "$norvane" "$file")
            elif [[ $hosts_mode == 1 ]]; then
                read -r w c m < <(timed_hosts "$who" "$mpi" "$file")
                cmp -s "$tmp/out" "$tmp/want" || die "norvane-mpi on $who processes: listing of $graph differs"
                listing[$who]+="$(listing_seconds "$who" "$file") "
                floor[$who]+="$(start_seconds "$who") "
            else
                read -r w c < <(timed "${launcher[@]}" -np "$who" "$mpi" "$file")
                cmp -s "$tmp/out" "$tmp/want" || die "norvane-mpi on $who processes: listing of $graph differs"
            fi
            wall[$who]+="$w "
            compute[$who]+="$c "
            # The peak: each process's largest over the runs.
            peak[$who]=$(awk -v a="${peak[$who]:-}" -v b="$m" 'BEGIN { na = split(a, x, "/"); nb = split(b, y, "/")
                n = na > nb ? na : nb; for (i = 1; i <= n; i++) printf "%s%d", (i > 1 ? "/" : ""), (x[i] > y[i] ? x[i] : y[i]) }')
        done
    done
    row="| $graph"
    for who in norvane "${counts[@]}"; do row+=" | $(tr ' ' '\n' <<< "${wall[$who]}" | grep . | median)"; done
    for who in norvane "${counts[@]}"; do row+=" | $(tr ' ' '\n' <<< "${compute[$who]}" | grep . | median)"; done
    [[ $hosts_mode == 1 ]] && compute_k2[$graph]=$(tr ' ' '\n' <<< "${compute[2]}" | grep . | median)
    if [[ $hosts_mode == 1 ]]; then
        for who in "${counts[@]}"; do row+=" | $(tr ' ' '\n' <<< "${listing[$who]}" | grep . | median)"; done
        for who in "${counts[@]}"; do row+=" | $(tr ' ' '\n' <<< "${floor[$who]}" | grep . | median)"; done
        for who in norvane "${counts[@]}"; do row+=" | ${peak[$who]}"; done
    fi
    echo "$row |"
    unset wall compute listing floor peak
done

echo
echo "Traffic of one run (per process: bytes sent; max over processes, and the sum):"
echo
echo "| graph | K | build bytes max / sum | build rounds | solve bytes max / sum | phases | listing bytes max | load s | solve s | listing s |"
echo "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|"
for graph in "${graphs[@]}"; do
    for k in 2 4; do
        if [[ $hosts_mode == 1 ]]; then
            listing_seconds "$k" "$data_dir/$graph" > /dev/null
        else
            "${launcher[@]}" -np "$k" "$traffic" "$data_dir/$graph" > /dev/null 2> "$tmp/traffic" ||
                die "traffic run failed: $(head -c 300 "$tmp/traffic")"
        fi
        awk -v g="$graph" -v k="$k" '$1 ~ /^[0-9]+$/ {
                bmax = $4 > bmax ? $4 : bmax; bsum += $4; rounds = $5
                smax = $6 > smax ? $6 : smax; ssum += $6; phases = $7
                lmax = $8 > lmax ? $8 : lmax; load = $9; solve = $10; listing = $11 }
            END { printf "| %s | %d | %d / %d | %d | %d / %d | %d | %d | %.3f | %.3f | %.3f |\n",
                  g, k, bmax, bsum, rounds, smax, ssum, phases, lmax, load, solve, listing }' "$tmp/traffic"
    done
done

echo
echo "Balance on this host (each process's records counted into its rows, a line at both ends,"
echo "repeats included; the records kept; its peak RSS, /usr/bin/time -f %M):"
echo
echo "| graph | K | records per process, max / mean | records counted, per process | records kept | peak RSS MB per process |"
echo "|---|---:|---:|---|---|---|"
balance_launcher=(${MPIRUN:-mpirun} --oversubscribe --bind-to none)
[[ $(id -u) == 0 ]] && balance_launcher+=(--allow-run-as-root)
for graph in "${graphs[@]}"; do
    for k in 2 4 8; do
        rm -f "$tmp"/rss.*
        "${balance_launcher[@]}" -np "$k" sh -c 'exec /usr/bin/time -f %M -o "$0/rss.$OMPI_COMM_WORLD_RANK" "$@"' \
            "$tmp" "$traffic" "$data_dir/$graph" > /dev/null 2> "$tmp/traffic" ||
            die "balance run failed: $(head -c 300 "$tmp/traffic")"
        peaks=$(for ((r = 0; r < k; r++)); do echo $(($(tail -n 1 "$tmp/rss.$r") / 1024)); done | paste -sd/)
        awk -v g="$graph" -v k="$k" -v peaks="$peaks" '$1 ~ /^[0-9]+$/ {
                counted = counted (counted == "" ? "" : "/") $13; kept = kept (kept == "" ? "" : "/") $3
                sum += $13; most = $13 > most ? $13 : most }
            END { printf "| %s | %d | %.3f | %s | %s | %s |\n", g, k, most / (sum / k), counted, kept, peaks }' "$tmp/traffic"
    done
done

[[ -n $graph500 ]] || exit 0
echo
echo "Against Graph500's reference SSSP across the same hosts, K = 2 (edges a second per search):"
echo
echo "| graph | SCALE / EF | Graph500 median s a search | Graph500 edges/s | norvane-mpi compute s | norvane-mpi edges/s | lead |"
echo "|---|---:|---:|---:|---:|---:|---:|"
for graph in "${graphs[@]}"; do
    read -r nodes lines < <(awk '$1 == "p" { print $3, $4; exit }' "$data_dir/$graph")
    scale=0
    while ((scale < 40 && (1 << scale) < nodes)); do scale=$((scale + 1)); done
    # Only graphs of R-MAT's shape: 2^SCALE nodes and a whole number of lines a node.
    ((nodes == (1 << scale) && lines % nodes == 0)) || continue
    ef=$((lines / nodes))
    "${launcher[@]}" -np 2 -x SKIP_BFS=1 -x SKIP_VALIDATION=1 "$graph500" "$scale" "$ef" > "$tmp/graph500" 2>&1 ||
        die "Graph500 failed: $(tail -c 300 "$tmp/graph500")"
    g_time=$(awk '/^sssp +median_time:/ { print $3 }' "$tmp/graph500")
    g_teps=$(awk '/^sssp +harmonic_mean_TEPS:/ { print $NF }' "$tmp/graph500")
    ours=${compute_k2[$graph]}
    awk -v g="$graph" -v s="$scale" -v e="$ef" -v gt="$g_time" -v gp="$g_teps" -v c="$ours" -v m="$lines" 'BEGIN {
        printf "| %s | %d / %d | %.3f | %.3g | %.3f | %.3g | %.1fx |\n", g, s, e, gt, gp, c, m / c, (m / c) / gp }'
done
