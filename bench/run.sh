#!/usr/bin/env bash
# End-to-end benchmark of norvane against a Boost Graph Library peer: builds
# both (plus the graph generator), makes the benchmark graphs once in a data
# directory outside git, checks that both print byte-identical listings and
# prints one Markdown table per graph (also saved under the data directory).
#
# usage: bench/run.sh [--usa] [--peer-only] [--runs N] [--timeout S] [GRAPH...]
#   GRAPH: grid random complete rmat ny bay usa   (default: all but usa)
#   --usa        also run the USA-scale road graph (~1.3 GB of text)
#   --peer-only  do not build or run norvane (peer timings only)
#   --timeout S  give up on a program for a graph once one run exceeds S seconds
# environment:
#   NORVANE_BENCH_DATA   data directory (default: bench/data)
#   NORVANE_BENCH_RUNS   timed runs per program and graph (default: 5)
#   NORVANE_BENCH_TIMEOUT  same as --timeout (default: 600)
#   NORVANE_BENCH_USA=1  same as --usa
#   NORVANE_BIN          use this norvane binary instead of building one
#   NORVANE_SHARED_DATA  where the .gr.gz road files are (default: ../shared/data)
set -u -o pipefail

bench_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo_dir=$(cd "$bench_dir/.." && pwd)
data_dir=${NORVANE_BENCH_DATA:-$bench_dir/data}
shared_dir=${NORVANE_SHARED_DATA:-$repo_dir/../shared/data}
runs=${NORVANE_BENCH_RUNS:-5}
run_timeout=${NORVANE_BENCH_TIMEOUT:-600}
want_usa=${NORVANE_BENCH_USA:-0}
peer_only=0
seed=1
cxx=${CXX:-g++}
# The same optimisation level as a CMake Release build, so neither side is
# tuned further than the other.
cxxflags=(-std=c++17 -O2 -DNDEBUG)

die() { echo "run.sh: $*" >&2; exit 1; }
note() { echo "run.sh: $*" >&2; }

selected=()
while [ $# -gt 0 ]; do
    case $1 in
        --usa) want_usa=1 ;;
        --peer-only) peer_only=1 ;;
        --runs) shift; runs=${1:-} ;;
        --timeout) shift; run_timeout=${1:-} ;;
        -h|--help) sed -n '2,20p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//'; exit 0 ;;
        grid|random|complete|rmat|ny|bay|usa) selected+=("$1") ;;
        *) die "unknown argument '$1' (try --help)" ;;
    esac
    shift
done
[[ $runs =~ ^[1-9][0-9]*$ ]] || die "--runs needs a positive integer"
[[ $run_timeout =~ ^[1-9][0-9]*$ ]] || die "--timeout needs a positive number of seconds"
if [ ${#selected[@]} -eq 0 ]; then
    selected=(grid random complete rmat ny bay)
    [ "$want_usa" = 1 ] && selected+=(usa)
fi
[ -x /usr/bin/time ] || die "/usr/bin/time is missing (apt-get install -y time)"

mkdir -p "$data_dir/bin" "$data_dir/out" || die "cannot create $data_dir"

# ------------------------------------------------------------------ builds

norvane=""
if [ "$peer_only" = 0 ]; then
    if [ -n "${NORVANE_BIN:-}" ]; then
        norvane=$NORVANE_BIN
    else
        note "building norvane (Release)"
        (cd "$repo_dir" && cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release >/dev/null \
            && cmake --build build-release -j2 >/dev/null) || die "norvane build failed (use --peer-only to skip it)"
        norvane=$repo_dir/build-release/norvane
    fi
    [ -x "$norvane" ] || die "no norvane binary at $norvane"
fi

gen=$data_dir/bin/gen
"$cxx" "${cxxflags[@]}" -o "$gen" "$bench_dir/gen.cpp" || die "gen build failed"

peer=""
if echo '#include <boost/graph/compressed_sparse_row_graph.hpp>' \
    | "$cxx" -std=c++17 -fsyntax-only -x c++ - 2>/dev/null; then
    peer=$data_dir/bin/peer_boost
    "$cxx" "${cxxflags[@]}" -o "$peer" "$bench_dir/peer_boost.cpp" || die "peer build failed"
else
    note "Boost Graph headers not found: skipping the peer (apt-get install -y libboost-graph-dev)"
fi
[ -n "$norvane" ] || [ -n "$peer" ] || die "nothing to run"

# ------------------------------------------------------------------ graphs

# Prints the graph file for a name, making it first when missing; prints
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
            local up=${name^^}
            file=USA-road-d.$up.gr
            if [ ! -s "$data_dir/$file" ]; then
                local gz=$shared_dir/USA-road-d.$up.gr.gz
                if [ ! -r "$gz" ]; then
                    note "$gz not found: skipping $name"
                    return 0
                fi
                gunzip -c "$gz" >"$data_dir/$file.tmp" && mv "$data_dir/$file.tmp" "$data_dir/$file" \
                    || { note "cannot unpack $gz"; return 0; }
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
    t0=$(date +%s%N)
    OMP_NUM_THREADS=$threads timeout "$run_timeout" /usr/bin/time -v -o "$tv" "$@" "$graph" >"$out" 2>"$err"
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

# Columns of the .samples files: 1 wall (microseconds), 2 compute (s), 3 RSS (KiB).
stat_of() { awk -v c="$2" '{ print $c }' "$data_dir/out/$1.samples" | median; }

stamp=$(date +%Y%m%d-%H%M%S)
report=$data_dir/results-$stamp.md
# The same medians, one row per graph and program, for bench/plot.sh.
table=$data_dir/results-$stamp.tsv
printf 'graph\tprogram\twall_s\tcompute_s\trss_mib\n' >"$table"
failed=0
{
    echo "# norvane benchmark, $(date -u '+%Y-%m-%d %H:%M UTC')"
    echo
    echo "$(nproc) cores; $runs timed runs per cell, medians shown; stdout of every run goes to a file."
    echo "Wall is end-to-end (parse, build, solve, print); compute is the program's own \"Computation time\"."
} | tee "$report"

for name in "${selected[@]}"; do
    graph=$(graph_file "$name")
    [ -n "$graph" ] || continue
    problem=$(grep -m 1 '^p' "$graph")
    size_mb=$(( $(stat -c %s "$graph") / 1000000 ))

    keys=() labels=() cmds=() threads=()
    if [ -n "$norvane" ]; then
        keys+=("$name.norvane1" "$name.norvane2")
        labels+=("norvane, OMP_NUM_THREADS=1" "norvane, OMP_NUM_THREADS=2")
        cmds+=("$norvane" "$norvane")
        threads+=(1 2)
    fi
    if [ -n "$peer" ]; then
        keys+=("$name.peer")
        labels+=("peer: Boost Graph CSR + Dijkstra (1 thread)")
        cmds+=("$peer")
        threads+=(1)
    fi
    declare -A status=()
    for key in "${keys[@]}"; do rm -f "$data_dir/out/$key.samples"; status[$key]=ok; done

    note "$name: $runs runs x ${#keys[@]} programs"
    ok=1
    # Interleaved so that drift in machine load hits every program alike.
    for ((r = 0; r < runs; r++)); do
        for i in "${!keys[@]}"; do
            key=${keys[$i]}
            [ "${status[$key]}" = ok ] || continue
            run_once "$key" "${threads[$i]}" "$graph" "${cmds[$i]}"
            case $? in
                0) ;;
                2) status[$key]="timed out (> ${run_timeout} s)"; ok=0 ;;
                *) status[$key]="failed"; ok=0 ;;
            esac
        done
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
        echo "## $name: \`$problem\`, $(basename "$graph"), $size_mb MB"
        echo
        echo "$check"
        echo
        echo "| program | wall s | compute s | peak RSS MiB | peer/norvane wall |"
        echo "|---|---:|---:|---:|---:|"
        for i in "${!keys[@]}"; do
            key=${keys[$i]}
            if [ "${status[$key]}" != ok ]; then
                echo "| ${labels[$i]} | ${status[$key]} | | | |"
                continue
            fi
            wall=$(stat_of "$key" 1)
            compute=$(stat_of "$key" 2)
            rss=$(stat_of "$key" 3)
            ratio="—"
            if [ -n "$peer_wall" ] && [ "$key" != "$name.peer" ]; then
                ratio=$(awk -v p="$peer_wall" -v n="$wall" 'BEGIN { printf "%.2f", p / n }')
            fi
            awk -v l="${labels[$i]}" -v w="$wall" -v c="$compute" -v m="$rss" -v r="$ratio" \
                'BEGIN { printf "| %s | %.3f | %.3f | %.1f | %s |\n", l, w / 1e6, c, m / 1024, r }'
            awk -v g="$name" -v k="${key#*.}" -v w="$wall" -v c="$compute" -v m="$rss" \
                'BEGIN { printf "%s\t%s\t%.3f\t%.3f\t%.1f\n", g, k, w / 1e6, c, m / 1024 }' >>"$table"
        done
    } | tee -a "$report"
done

# Compressed input: the published .gr.gz road files against their plain text, norvane only.
if [ -n "$norvane" ]; then
    gz_rows=()
    for name in ny bay; do
        [[ " ${selected[*]} " == *" $name "* ]] || continue
        plain=$(graph_file "$name")
        gz=$shared_dir/USA-road-d.${name^^}.gr.gz
        [ -n "$plain" ] && [ -r "$gz" ] || continue
        for form in plain gz; do
            file=$plain
            [ $form = gz ] && file=$gz
            key=$name.$form
            rm -f "$data_dir/out/$key.samples"
            for ((r = 0; r < runs; r++)); do run_once "$key" 2 "$file" "$norvane" || failed=1; done
        done
        cmp -s "$data_dir/out/$name.plain.out" "$data_dir/out/$name.gz.out" || { note "$name: gz listing differs"; failed=1; }
        gz_rows+=("$name")
    done
    if [ ${#gz_rows[@]} -gt 0 ]; then
        {
            echo
            echo "## compressed input (norvane, OMP_NUM_THREADS=2): .gr.gz against plain .gr"
            echo
            echo "| graph | plain wall s | gzip wall s | gzip/plain |"
            echo "|---|---:|---:|---:|"
            for name in "${gz_rows[@]}"; do
                p=$(stat_of "$name.plain" 1)
                g=$(stat_of "$name.gz" 1)
                awk -v n="$name" -v p="$p" -v g="$g" 'BEGIN { printf "| %s | %.3f | %.3f | %.2f |\n", n, p / 1e6, g / 1e6, g / p }'
            done
        } | tee -a "$report"
    fi
fi

echo
note "report saved to $report (medians also in $table; bench/plot.sh $table draws them)"
[ $failed = 0 ] || { note "some runs failed or outputs differ"; exit 1; }
