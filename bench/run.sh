#!/usr/bin/env bash
# End-to-end benchmark of norvane against a Boost Graph Library peer: builds
# both (plus the graph generator) through CMake in build-bench, makes the
# benchmark graphs once in a data directory outside git, checks that both print
# byte-identical listings and prints one Markdown table per graph (also saved
# under the data directory, with a .tsv of the same figures), then draws them with
# bench/plot.sh into results.png in the data directory. When GAP_SSSP names a built GAP
# Benchmark Suite sssp binary, its computation time at 1 and 2 threads stands beside norvane's.
#
# usage: bench/run.sh [--usa] [--peer-only] [--runs N] [--timeout S]
#                     [--competitors K] [--quota] [GRAPH...]
#   GRAPH: grid random complete rmat ny ny-gz bay bay-gz usa  (default: all but usa)
#          ny-gz and bay-gz: norvane reads the published .gr.gz, the others the plain .gr
#   --usa        also run the USA-scale road graph (~1.3 GB of text)
#   --peer-only  do not run norvane (peer timings only)
#   --timeout S  give up on a program for a graph once one run exceeds S seconds
#   --competitors K  a shared machine: K CPU-bound processes (1 or 2) run beside every
#                timed run; norvane runs with its default team and with one thread
#   --quota      a container with a CPU limit: every timed run inside a cgroup whose CPU
#                quota is half a core (needs root and a writable cgroup cpu controller;
#                says so and stops where it cannot); norvane as with --competitors
# environment:
#   NORVANE_BENCH_DATA   data directory (default: bench/data); the Bay Area graph is
#                        looked for there as USA-road-d.BAY.gr.gz
#   NORVANE_BENCH_BUILD  build directory (default: build-bench)
#   NORVANE_BENCH_RUNS   timed runs per program and graph (default: 5)
#   NORVANE_BENCH_TIMEOUT  same as --timeout (default: 600)
#   NORVANE_BENCH_USA=1  same as --usa
#   NORVANE_BIN          use this norvane binary instead of the one built
#   GAP_SSSP             a built GAP Benchmark Suite sssp binary: adds its computation time
#   GAP_DELTA            its delta for every graph (default: one per graph family)
set -u -o pipefail

bench_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo_dir=$(cd "$bench_dir/.." && pwd)
data_dir=${NORVANE_BENCH_DATA:-$bench_dir/data}
build=${NORVANE_BENCH_BUILD:-$repo_dir/build-bench}
runs=${NORVANE_BENCH_RUNS:-5}
run_timeout=${NORVANE_BENCH_TIMEOUT:-600}
want_usa=${NORVANE_BENCH_USA:-0}
gap=${GAP_SSSP:-}
peer_only=0
competitors=0
want_quota=0
seed=1
road_source="the 9th DIMACS Implementation Challenge, USA road networks: http://www.diag.uniroma1.it/challenge9/download.shtml"

die() { echo "run.sh: $*" >&2; exit 1; }
note() { echo "run.sh: $*" >&2; }

selected=()
while [ $# -gt 0 ]; do
    case $1 in
        --usa) want_usa=1 ;;
        --peer-only) peer_only=1 ;;
        --runs) shift; runs=${1:-} ;;
        --timeout) shift; run_timeout=${1:-} ;;
        --competitors) shift; competitors=${1:-} ;;
        --quota) want_quota=1 ;;
        -h|--help) awk 'NR > 1 && !/^#/ { exit } NR > 1 { sub(/^# ?/, ""); print }' "${BASH_SOURCE[0]}"; exit 0 ;;
        grid|random|complete|rmat|ny|ny-gz|bay|bay-gz|usa) selected+=("$1") ;;
        *) die "unknown argument '$1' (try --help)" ;;
    esac
    shift
done
[[ $runs =~ ^[1-9][0-9]*$ ]] || die "--runs needs a positive integer"
[[ $run_timeout =~ ^[1-9][0-9]*$ ]] || die "--timeout needs a positive number of seconds"
[[ $competitors =~ ^[0-2]$ ]] || die "--competitors takes 0, 1 or 2"
# The shared-machine modes compare norvane's default team with its one-thread run.
shared=0
[ "$competitors" -gt 0 ] || [ "$want_quota" = 1 ] && shared=1
if [ ${#selected[@]} -eq 0 ]; then
    selected=(grid random complete rmat ny ny-gz bay bay-gz)
    [ "$want_usa" = 1 ] && selected+=(usa)
fi
[ -x /usr/bin/time ] || die "/usr/bin/time is missing (apt-get install -y time)"
command -v gnuplot >/dev/null || note "gnuplot is missing: the tables only, no picture (apt-get install -y gnuplot-nox)"
if [ -n "$gap" ]; then
    [ -x "$gap" ] || die "GAP_SSSP=$gap is not an executable"
fi

mkdir -p "$data_dir/out" || die "cannot create $data_dir"

# ------------------------------------------------------------------ a shared machine

# CPU-bound competitors, started before a graph's timed runs and ended after them: each
# spins in the shell without a system call, as a compiler or a second job would.
competitor_pids=()
start_competitors() {
    local i
    for ((i = 0; i < competitors; i++)); do
        sh -c 'while :; do :; done' &
        competitor_pids+=($!)
    done
}
stop_competitors() {
    [ ${#competitor_pids[@]} -gt 0 ] || return 0
    kill "${competitor_pids[@]}" 2>/dev/null
    wait "${competitor_pids[@]}" 2>/dev/null
    competitor_pids=()
}

# A cgroup of our own with a CPU quota of half a core: cgroup v2 (cpu.max) where the cpu
# controller is enabled at the root of the unified hierarchy, else v1 (cfs_quota_us). The
# path is printed; nothing when it cannot be made, with a note on why.
quota_cgroup=""
make_quota_cgroup() {
    local root dir
    if [ "$(id -u)" != 0 ]; then note "not root: cannot make a cgroup with a CPU quota"; return 1; fi
    root=$(awk '$9 == "cgroup2" { print $5; exit }' /proc/self/mountinfo)
    if [ -n "$root" ] && grep -qw cpu "$root/cgroup.subtree_control" 2>/dev/null; then
        dir=$root/norvane-bench-$$
        mkdir "$dir" 2>/dev/null && echo "50000 100000" >"$dir/cpu.max" 2>/dev/null \
            && { echo "$dir"; return 0; }
        rmdir "$dir" 2>/dev/null
    fi
    root=$(awk '$9 == "cgroup" && $NF ~ /(^|,)cpu(,|$)/ { print $5; exit }' /proc/self/mountinfo)
    if [ -n "$root" ]; then
        dir=$root/norvane-bench-$$
        mkdir "$dir" 2>/dev/null && echo 100000 >"$dir/cpu.cfs_period_us" 2>/dev/null \
            && echo 50000 >"$dir/cpu.cfs_quota_us" 2>/dev/null && { echo "$dir"; return 0; }
        rmdir "$dir" 2>/dev/null
    fi
    note "no writable cgroup cpu controller (v2 cpu.max or v1 cpu.cfs_quota_us): cannot set a CPU quota"
    return 1
}
remove_quota_cgroup() {
    [ -n "$quota_cgroup" ] || return 0
    # Processes still inside (none once the runs have been reaped) go back to the root.
    local pid
    for pid in $(cat "$quota_cgroup/cgroup.procs" 2>/dev/null); do
        echo "$pid" >"$(dirname "$quota_cgroup")/cgroup.procs" 2>/dev/null
    done
    rmdir "$quota_cgroup" 2>/dev/null || note "could not remove $quota_cgroup"
    quota_cgroup=""
}
trap 'stop_competitors; remove_quota_cgroup' EXIT
trap 'exit 130' INT TERM
if [ "$want_quota" = 1 ]; then
    quota_cgroup=$(make_quota_cgroup) || die "--quota: no cgroup with a CPU quota can be made on this machine"
    note "every timed run inside $quota_cgroup: CPU quota half a core"
fi
# Prefix of every timed run: it enters the quota's cgroup, then executes the run.
in_quota=()
[ -n "$quota_cgroup" ] && in_quota=(sh -c 'echo $$ >"$0/cgroup.procs" && exec "$@"' "$quota_cgroup")

# ------------------------------------------------------------------ builds

# Release, the same build type for norvane and the peer, so neither side is tuned
# further than the other.
note "building the benchmark programs in $build (Release)"
cmake -S "$repo_dir" -B "$build" -DCMAKE_BUILD_TYPE=Release -DNORVANE_BENCH=ON >/dev/null &&
    cmake --build "$build" -j2 >/dev/null || die "build failed"
gen=$build/bench/gen
norvane=""
if [ "$peer_only" = 0 ]; then
    norvane=${NORVANE_BIN:-$build/norvane}
    [ -x "$norvane" ] || die "no norvane binary at $norvane"
fi
peer=""
if [ -x "$build/bench/peer_boost" ]; then
    peer=$build/bench/peer_boost
else
    note "Boost Graph headers not found: skipping the peer (apt-get install -y libboost-graph-dev)"
fi
[ -n "$norvane" ] || [ -n "$peer" ] || die "nothing to run"

# ------------------------------------------------------------------ graphs

# The published compressed road file of ny or bay, or nothing with a note on where to
# get it.
road_gz() {
    local up=${1^^} gz
    for gz in "$data_dir/USA-road-d.$up.gr.gz" "$repo_dir/examples/USA-road-d.$up.gr.gz"; do
        if [ -r "$gz" ]; then
            echo "$gz"
            return 0
        fi
    done
    note "USA-road-d.$up.gr.gz not found in $data_dir: skipping that graph (get it from $road_source)"
}

# Prints the plain graph file for a name, making it first when missing; prints
# nothing when its source is unavailable.
graph_file() {
    local name=$1 file args=()
    case $name in
        grid) file=grid-1000x1000.gr; args=(grid 1000 1000 $seed) ;;
        random) file=random-1M-4M.gr; args=(random 1000000 4000000 $seed) ;;
        complete) file=complete-3000.gr; args=(complete 3000 $seed) ;;
        rmat) file=rmat-20-8.gr; args=(rmat 20 8 $seed) ;;
        usa) file=road-usa-24M.gr; args=(road 24000000 $seed) ;;
        ny|bay)
            file=USA-road-d.${name^^}.gr
            if [ ! -s "$data_dir/$file" ]; then
                local gz
                gz=$(road_gz "$name")
                [ -n "$gz" ] || return 0
                gunzip -c "$gz" >"$data_dir/$file.tmp" && mv "$data_dir/$file.tmp" "$data_dir/$file" \
                    || { note "cannot unpack $gz"; rm -f "$data_dir/$file.tmp"; return 0; }
            fi
            echo "$data_dir/$file"
            return 0 ;;
    esac
    if [ ! -s "$data_dir/$file" ]; then
        note "generating $file"
        "$gen" "${args[@]}" >"$data_dir/$file.tmp" && mv "$data_dir/$file.tmp" "$data_dir/$file" \
            || { note "generating $file failed"; rm -f "$data_dir/$file.tmp"; return 0; }
    fi
    echo "$data_dir/$file"
}

# GAP's delta-stepping bucket width per graph family and thread count: the best of a sweep
# of 4 to 8 widths per graph on this machine (bench/solve_vs_gap.sh).
gap_delta() {
    if [ -n "${GAP_DELTA:-}" ]; then echo "$GAP_DELTA"; return; fi
    case $1:$2 in
        usa:1) echo 2000 ;;  usa:*) echo 1000 ;;
        ny:1|ny-gz:1) echo 4096 ;;  ny:*|ny-gz:*) echo 8192 ;;
        bay:1|bay-gz:1) echo 2048 ;;  bay:*|bay-gz:*) echo 8192 ;;
        grid:1) echo 2048 ;;  grid:*) echo 1024 ;;
        random:1) echo 4 ;;  random:*) echo 8 ;;
        rmat:*) echo 2 ;;
        complete:1) echo 4 ;;  complete:*) echo 2 ;;
    esac
}

# ------------------------------------------------------------------ timing

median() { sort -g | awk '{ v[NR] = $1 } END { if (NR == 0) print "nan"; else if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# run_once KEY THREADS GRAPH CMD...: one timed run; appends wall seconds,
# computation seconds and peak RSS (KiB) to $data_dir/out/KEY.samples.
# Returns 2 when the run hit the timeout, 1 when it failed otherwise.
run_once() {
    local key=$1 threads=$2 graph=$3; shift 3
    local out=$data_dir/out/$key.out err=$data_dir/out/$key.err tv=$data_dir/out/$key.time
    rm -f "$out"
    local t0 t1 rc
    # "default": the team size the program chooses itself.
    local team=(env OMP_NUM_THREADS="$threads")
    [ "$threads" = default ] && team=(env -u OMP_NUM_THREADS)
    t0=$(date +%s%N)
    "${in_quota[@]}" "${team[@]}" timeout "$run_timeout" /usr/bin/time -v -o "$tv" "$@" "$graph" >"$out" 2>"$err"
    rc=$?
    t1=$(date +%s%N)
    if [ $rc -eq 124 ]; then
        note "$key: over ${run_timeout}s on $graph; no further runs of it"
        return 2
    fi
    if [ $rc -ne 0 ]; then
        note "$key exited with $rc on $graph:"; tail -n 3 "$err" >&2
        return 1
    fi
    local compute rss
    compute=$(sed -n 's/^Computation time: *//p' "$err" | tail -n 1)
    rss=$(sed -n 's/.*Maximum resident set size (kbytes): *//p' "$tv")
    echo "$(( (t1 - t0) / 1000 )) ${compute:-nan} ${rss:-0}" >>"$data_dir/out/$key.samples"
}

# run_gap KEY THREADS DELTA GRAPH: GAP's sssp from node 0 (the file's node 1, as for
# norvane), every edge read in both directions, $runs trials in one process; its
# computation time per trial goes to KEY.samples in the column of norvane's.
run_gap() {
    local key=$1 threads=$2 delta=$3 graph=$4
    local log=$data_dir/out/$key.log
    "${in_quota[@]}" env OMP_NUM_THREADS="$threads" timeout "$run_timeout" "$gap" -f "$graph" -s -r 0 -n "$runs" -d "$delta" >"$log" 2>&1
    local rc=$?
    if [ $rc -ne 0 ]; then
        note "$key exited with $rc on $graph:"; tail -n 3 "$log" >&2
        return 1
    fi
    awk '/^Trial Time:/ { print "nan", $3, "nan" }' "$log" >"$data_dir/out/$key.samples"
    [ -s "$data_dir/out/$key.samples" ] || { note "$key: no trial times in $log"; return 1; }
}

# Columns of the .samples files: 1 wall (microseconds), 2 compute (s), 3 RSS (KiB).
stat_of() { awk -v c="$2" '{ print $c }' "$data_dir/out/$1.samples" | median; }
# The spread of a column over the runs: its least and greatest value.
range_of() { awk -v c="$2" '{ print $c }' "$data_dir/out/$1.samples" | sort -g | sed -n '1p;$p' | tr '\n' ' '; }

# The 1-minute load average, our own runs included: the picture and report say how busy
# the machine was, since on a shared machine that moves every figure.
load_now() { awk '{ print $1 }' /proc/loadavg; }

stamp=$(date +%Y%m%d-%H%M%S)
report=$data_dir/results-$stamp.md
# The same medians, one row per graph and program, for bench/plot.sh.
table=$data_dir/results-$stamp.tsv
# peer_ratio is the peer's median wall time over the program's, from the unrounded medians:
# the report, the picture and any quote of them print this one string.
printf 'graph\tprogram\truns\twall_s\twall_min_s\twall_max_s\tcompute_s\trss_mib\trss_min_mib\trss_max_mib\tanon_mib\tpeer_ratio\tload_min\tload_max\n' >"$table"
failed=0
compute_rows=()
shared_rows=()
{
    echo "# norvane benchmark, $(date -u '+%Y-%m-%d %H:%M UTC')"
    echo
    echo "$(nproc) cores; $runs timed runs per cell, medians shown; stdout of every run goes to a file."
    echo "Load average (1 min) at the start: $(load_now); each graph gives its own, taken before every round of runs and after the last."
    echo "Wall is end-to-end (parse, build, solve, print); compute is the program's own \"Computation time\"."
    [ "$competitors" -gt 0 ] && echo "A shared machine: $competitors CPU-bound competitor(s) ran beside every timed run."
    [ -n "$quota_cgroup" ] && echo "A CPU limit: every timed run ran in a cgroup with a quota of half a core ($quota_cgroup)."
    if [ -n "$gap" ]; then
        echo "GAP sssp ($gap): delta-stepping from node 0 over the plain .gr, -s (every edge both ways);"
        echo "compute is its \"Trial Time\", $runs trials in one process; its load and wall time are not comparable."
    fi
} | tee "$report"

for name in "${selected[@]}"; do
    base=${name%-gz}
    graph=$(graph_file "$base")
    [ -n "$graph" ] || continue
    # What norvane reads: the plain file, or for the -gz rows the published .gr.gz; the
    # peer and GAP cannot read gzip and take the plain file in both rows.
    input=$graph
    if [ "$name" != "$base" ]; then
        input=$(road_gz "$base")
        [ -n "$input" ] || continue
    fi
    problem=$(grep -m 1 '^p' "$graph")
    size_mb=$(( $(stat -L -c %s "$input") / 1000000 ))

    keys=() labels=() cmds=() threads=() inputs=()
    if [ -n "$norvane" ] && [ $shared = 1 ]; then
        keys+=("$name.default" "$name.norvane1")
        labels+=("norvane, default team" "norvane, OMP_NUM_THREADS=1")
        cmds+=("$norvane" "$norvane")
        threads+=(default 1)
        inputs+=("$input" "$input")
    elif [ -n "$norvane" ]; then
        keys+=("$name.norvane1" "$name.norvane2")
        labels+=("norvane, OMP_NUM_THREADS=1" "norvane, OMP_NUM_THREADS=2")
        cmds+=("$norvane" "$norvane")
        threads+=(1 2)
        inputs+=("$input" "$input")
    fi
    if [ -n "$peer" ]; then
        keys+=("$name.peer")
        label="peer: Boost Graph CSR + Dijkstra (1 thread)"
        [ "$input" = "$graph" ] || label="$label, on the plain .gr"
        labels+=("$label")
        cmds+=("$peer")
        threads+=(1)
        inputs+=("$graph")
    fi
    declare -A status=()
    for key in "${keys[@]}"; do rm -f "$data_dir/out/$key.samples"; status[$key]=ok; done

    note "$name: $runs runs x ${#keys[@]} programs"
    start_competitors
    loads=()
    ok=1
    # Interleaved so that drift in machine load hits every program alike, and the order
    # turned each round: the run after a program that freed a lot of memory pays for the
    # kernel's clearing and compacting pages, so no program may always follow the peer.
    for ((r = 0; r < runs; r++)); do
        loads+=("$(load_now)")
        for ((j = 0; j < ${#keys[@]}; j++)); do
            i=$(( (j + r) % ${#keys[@]} ))
            key=${keys[$i]}
            [ "${status[$key]}" = ok ] || continue
            run_once "$key" "${threads[$i]}" "${inputs[$i]}" "${cmds[$i]}"
            case $? in
                0) ;;
                2) status[$key]="timed out (> ${run_timeout} s)"; ok=0 ;;
                *) status[$key]="failed"; ok=0 ;;
            esac
        done
    done
    loads+=("$(load_now)")
    read -r load_min load_max < <(printf '%s\n' "${loads[@]}" | sort -g | sed -n '1p;$p' | tr '\n' ' ')

    gap_keys=() gap_labels=()
    if [ -n "$gap" ]; then
        for t in 1 2; do
            delta=$(gap_delta "$base" $t)
            key=$name.gap$t
            rm -f "$data_dir/out/$key.samples"
            gap_keys+=("$key")
            gap_labels+=("GAP sssp, OMP_NUM_THREADS=$t, delta $delta, plain .gr")
            note "$name: GAP sssp at $t thread(s), $runs trials"
            if run_gap "$key" "$t" "$delta" "$graph"; then status[$key]=ok; else status[$key]=failed; ok=0; fi
        done
    fi

    stop_competitors

    # Peak anonymous memory, one run each with the sampler (it takes a core of its own, so
    # never during the timed runs): a mapped input file's pages are left out.
    for i in "${!keys[@]}"; do
        key=${keys[$i]}
        [ "${status[$key]}" = ok ] || continue
        OMP_NUM_THREADS=${threads[$i]} "$build/bench/peak_anon" "${cmds[$i]}" "${inputs[$i]}" \
            | awk '{ print $1 }' >"$data_dir/out/$key.anon" || echo 0 >"$data_dir/out/$key.anon"
    done

    finished=()
    for key in "${keys[@]}"; do [ "${status[$key]}" = ok ] && finished+=("$key"); done
    if [ ${#keys[@]} -lt 2 ]; then
        check="not compared (only one program ran)"
    else
        check="not compared (fewer than two programs finished)"
    fi
    if [ ${#finished[@]} -gt 1 ]; then
        check="stdout byte-identical across: ${finished[*]}"
        first=$data_dir/out/${finished[0]}.out
        for key in "${finished[@]:1}"; do
            if ! cmp -s "$first" "$data_dir/out/$key.out"; then
                check="**STDOUT DIFFERS**: ${finished[0]} vs $key ($(cmp "$first" "$data_dir/out/$key.out" 2>&1 | head -n 1))"
                ok=0
                break
            fi
        done
    fi
    [ $ok = 1 ] || failed=1

    peer_wall=""
    [ -n "$peer" ] && [ "${status[$name.peer]}" = ok ] && peer_wall=$(stat_of "$name.peer" 1)
    {
        echo
        echo "## $name: \`$problem\`, $(basename "$input"), $size_mb MB"
        echo
        echo "$check"
        echo
        echo "Load average (1 min) during its runs: $load_min to $load_max."
        echo
        echo "| program | wall s (min–max) | compute s | peak RSS MiB (min–max) | peak RssAnon MiB | peer/norvane wall |"
        echo "|---|---:|---:|---:|---:|---:|"
        for i in "${!keys[@]}"; do
            key=${keys[$i]}
            if [ "${status[$key]}" != ok ]; then
                echo "| ${labels[$i]} | ${status[$key]} | | | | |"
                continue
            fi
            anon=$(cat "$data_dir/out/$key.anon" 2>/dev/null || echo 0)
            wall=$(stat_of "$key" 1)
            ratio="-"
            if [ -n "$peer_wall" ] && [ "$key" != "$name.peer" ]; then
                ratio=$(awk -v p="$peer_wall" -v n="$wall" 'BEGIN { printf "%.2f", p / n }')
            fi
            # The row is formatted once; the report's line is cut from the same fields.
            row=$(awk -v g="$name" -v k="${key#*.}" -v n="$runs" -v w="$wall" -v wr="$(range_of "$key" 1)" \
                -v c="$(stat_of "$key" 2)" -v m="$(stat_of "$key" 3)" -v mr="$(range_of "$key" 3)" \
                -v a="$anon" -v r="$ratio" -v l0="$load_min" -v l1="$load_max" 'BEGIN {
                    split(wr, w2, " "); split(mr, m2, " ")
                    printf "%s\t%s\t%d\t%.3f\t%.3f\t%.3f\t%.3f\t%.1f\t%.1f\t%.1f\t%.1f\t%s\t%s\t%s\n", g, k, n,
                        w / 1e6, w2[1] / 1e6, w2[2] / 1e6, c, m / 1024, m2[1] / 1024, m2[2] / 1024, a / 1024, r, l0, l1 }')
            printf '%s\n' "$row" >>"$table"
            IFS=$'\t' read -r _ _ _ f_wall f_wmin f_wmax f_compute f_rss f_rmin f_rmax f_anon f_ratio _ <<<"$row"
            [ "$f_ratio" = - ] && f_ratio="—"
            echo "| ${labels[$i]} | $f_wall ($f_wmin–$f_wmax) | $f_compute | $f_rss ($f_rmin–$f_rmax) | $f_anon | $f_ratio |"
        done
        for i in "${!gap_keys[@]}"; do
            key=${gap_keys[$i]}
            if [ "${status[$key]}" != ok ]; then
                echo "| ${gap_labels[$i]} | ${status[$key]} | | | | |"
                continue
            fi
            compute=$(stat_of "$key" 2)
            awk -v l="${gap_labels[$i]}" -v c="$compute" 'BEGIN { printf "| %s | — | %.4f | — | — | — |\n", l, c }'
            awk -v g="$name" -v k="${key#*.}" -v n="$runs" -v c="$compute" \
                'BEGIN { printf "%s\t%s\t%d\t-\t-\t-\t%.4f\t-\t-\t-\t-\t-\t-\t-\n", g, k, n, c }' >>"$table"
        done
    } | tee -a "$report"

    # One line per graph for the closing table of computation times.
    if [ -n "$gap" ]; then
        row="| $name"
        for key in "$name.norvane1" "$name.norvane$([ $shared = 1 ] && echo default || echo 2)" "$name.gap1" "$name.gap2"; do
            if [ "${status[$key]:-}" = ok ]; then
                row="$row | $(awk -v c="$(stat_of "$key" 2)" 'BEGIN { printf "%.4f", c }')"
            else
                row="$row | —"
            fi
        done
        compute_rows+=("$row | $(gap_delta "$base" 1) / $(gap_delta "$base" 2) |")
    fi
    # Shared machine: the default team against one thread, as the median of the ratios of
    # runs taken side by side (the r-th sample of each), which cancels drift in the load.
    if [ $shared = 1 ] && [ "${status[$name.default]:-}" = ok ] && [ "${status[$name.norvane1]:-}" = ok ]; then
        pair=$(paste -d ' ' "$data_dir/out/$name.default.samples" "$data_dir/out/$name.norvane1.samples" \
            | awk '{ print $1 / $4 }' | median)
        peer_s="—"
        [ -n "$peer_wall" ] && peer_s=$(awk -v p="$peer_wall" 'BEGIN { printf "%.3f", p / 1e6 }')
        shared_rows+=("$(awk -v g="$name" -v d="$(stat_of "$name.default" 1)" -v o="$(stat_of "$name.norvane1" 1)" \
            -v r="$pair" -v p="$peer_s" 'BEGIN { printf "| %s | %.3f | %.3f | %.2f | %s |", g, d / 1e6, o / 1e6, r, p }')")
    fi
    unset status
done

if [ ${#shared_rows[@]} -gt 0 ]; then
    {
        echo
        echo "## shared machine: default team against one thread, wall medians (s)"
        echo
        echo "| graph | norvane default | norvane 1 thr | default / 1 thr | peer |"
        echo "|---|---:|---:|---:|---:|"
        printf '%s\n' "${shared_rows[@]}"
    } | tee -a "$report"
fi

if [ ${#compute_rows[@]} -gt 0 ]; then
    {
        echo
        echo "## computation time, medians (s)"
        echo
        echo "| graph | norvane 1 thr | norvane 2 thr | GAP 1 thr | GAP 2 thr | GAP delta |"
        echo "|---|---:|---:|---:|---:|---:|"
        printf '%s\n' "${compute_rows[@]}"
    } | tee -a "$report"
fi

echo
note "report saved to $report (medians also in $table)"
# The picture of this run; bench/plot.sh draws any run's table again.
picture=$data_dir/results.png
if ! command -v gnuplot >/dev/null; then
    note "no picture: gnuplot is missing (apt-get install -y gnuplot-nox)"
elif [ -z "$peer" ] || [ -z "$norvane" ]; then
    note "no picture: it sets norvane against the peer, and only one of them ran"
elif bash "$bench_dir/plot.sh" "$table" "$picture" >/dev/null; then
    note "picture of this run: $picture (the values on it in ${picture%.png}.values.tsv)"
else
    note "no picture: bench/plot.sh failed on $table"
fi
[ $failed = 0 ] || { note "some runs failed or outputs differ"; exit 1; }
