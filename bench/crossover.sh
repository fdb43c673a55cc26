#!/usr/bin/env bash
# Where the scan beats the queue: random graphs of a few sizes and densities, both
# solvers timed on each (best of three, one thread). Prints a table for bench/README.md.
# usage: bench/crossover.sh   (builds the benchmark programs in build-bench, Release, or in
#                              NORVANE_BENCH_BUILD; graphs go to bench/data or NORVANE_BENCH_DATA)
set -eu -o pipefail
bench_dir=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$bench_dir/.." && pwd)
data=${NORVANE_BENCH_DATA:-$bench_dir/data}
build=${NORVANE_BENCH_BUILD:-$repo/build-bench}
mkdir -p "$data/crossover"
cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=Release -DNORVANE_BENCH=ON > /dev/null
cmake --build "$build" -j2 --target norvane_crossover norvane_gen > /dev/null
echo "| nodes | records | records / n^2 | scan s | queue s | faster |"
echo "|---:|---:|---:|---:|---:|---|"
for n in 1000 3000; do
    for per_node in 8 32 64 128 256 $((n / 4)) $((n / 2)); do
        m=$((n * per_node / 2))
        file=$data/crossover/random-$n-$m.gr
        [ -s "$file" ] || "$build/bench/gen" random "$n" "$m" 1 > "$file"
        OMP_NUM_THREADS=1 "$build/bench/crossover" "$file" 2> /dev/null |
            awk '{ printf "| %d | %d | %.4f | %.4f | %.4f | %s |\n", $1, $2, $3, $4, $5, ($4 < $5) ? "scan" : "queue" }'
    done
done
