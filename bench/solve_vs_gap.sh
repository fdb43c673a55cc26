#!/usr/bin/env bash
# The solve alone against the GAP Benchmark Suite's sssp: norvane's "Computation time"
# and GAP's "Trial Time" (median of its trials), at 1 and 2 threads, interleaved round by
# round, medians over the rounds. Each norvane listing is compared with REF_DIR/NAME.out
# when that file exists. Before each round a short probe times a random-access loop on one
# and two threads; while two do not reach 1.6 times one (the host is busy elsewhere, and
# every two-thread figure would say so) the round waits, up to ten minutes.
# usage: GAP_SSSP=.../sssp bench/solve_vs_gap.sh ROUNDS GRAPH.gr:DELTA1:DELTA2 ...
#   DELTA1 and DELTA2 are GAP's widths at one and two threads (its best, found by a sweep).
# env:   NORVANE (default build-release/norvane), REF_DIR, GAP_TRIALS (default 5)
set -eu -o pipefail
bench_dir=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$bench_dir/.." && pwd)
norvane=${NORVANE:-$repo/build-release/norvane}
gap=${GAP_SSSP:?set GAP_SSSP to a built sssp}
trials=${GAP_TRIALS:-5}
rounds=$1
shift
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cat > "$work/probe.cpp" <<'EOF'
#include <omp.h>
#include <cstdio>
#include <vector>
int main() {
    std::vector<int> a(16 << 20);
    for (size_t i = 0; i < a.size(); ++i) a[i] = int(i * 7);
    double seconds[3];
    for (int t = 1; t <= 2; ++t) {
        const double t0 = omp_get_wtime();
        long sum = 0;
#pragma omp parallel for num_threads(t) reduction(+ : sum)
        for (long i = 0; i < (1L << 23); ++i) sum += a[(i * 2654435761u) & (a.size() - 1)];
        seconds[t] = omp_get_wtime() - t0;
        if (sum == 42) puts("");
    }
    printf("%.2f\n", seconds[1] / seconds[2]);
}
EOF
g++ -O2 -fopenmp -o "$work/probe" "$work/probe.cpp"
wait_for_two_cores() {
    for _ in $(seq 1 120); do
        if awk -v s="$("$work/probe")" 'BEGIN { exit !(s >= 1.6) }'; then return 0; fi
        sleep 5
    done
    echo "warning: two threads never reached 1.6 times one; figures of this round are noisy" >&2
}

median() { sort -g | awk '{ v[NR] = $1 } END { if (NR == 0) print "-"; else print v[int((NR + 1) / 2)] }'; }

echo "| graph | norvane 1 thr s | GAP 1 thr s (delta) | norvane 2 thr s | GAP 2 thr s (delta) | listing |"
echo "|---|---:|---:|---:|---:|---|"
for entry in "$@"; do
    IFS=: read -r graph delta1 delta2 <<< "$entry"
    name=$(basename "$graph")
    : > "$work/n1"; : > "$work/n2"; : > "$work/g1"; : > "$work/g2"
    listing=same
    for _ in $(seq 1 "$rounds"); do
        wait_for_two_cores
        for t in 1 2; do
            OMP_NUM_THREADS=$t "$norvane" "$graph" > "$work/out" 2> "$work/err"
            awk '/^Computation time/ { print $3 }' "$work/err" >> "$work/n$t"
            if [ -f "${REF_DIR:-/nonexistent}/$name.out" ] && ! cmp -s "$work/out" "$REF_DIR/$name.out"; then
                listing=DIFFERENT
            fi
        done
        for t in 1 2; do
            delta=$delta1
            [ "$t" = 2 ] && delta=$delta2
            OMP_NUM_THREADS=$t "$gap" -f "$graph" -s -r 0 -n "$trials" -d "$delta" |
                awk '/Trial Time/ { print $3 }' | median >> "$work/g$t"
        done
    done
    printf '| %s | %s | %s (%s) | %s | %s (%s) | %s |\n' "$name" "$(median < "$work/n1")" \
        "$(median < "$work/g1")" "$delta1" "$(median < "$work/n2")" "$(median < "$work/g2")" "$delta2" "$listing"
done
