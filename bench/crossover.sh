#!/usr/bin/env bash
# Where the scan beats the queue: random graphs of a few sizes and densities, both
# solvers timed on each (best of three, one thread). Prints a table for bench/README.md.
# usage: bench/crossover.sh   (builds build-release first; graphs go to bench/data)
set -eu -o pipefail
bench_dir=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$bench_dir/.." && pwd)
data=${NORVANE_BENCH_DATA:-$bench_dir/data}
mkdir -p "$data/bin" "$data/crossover"
cmake -S "$repo" -B "$repo/build-release" -DCMAKE_BUILD_TYPE=Release > /dev/null
cmake --build "$repo/build-release" -j2 --target norvane_core > /dev/null
g++ -std=c++17 -O2 -DNDEBUG -fopenmp -I"$repo/src" -o "$data/bin/crossover" "$bench_dir/crossover.cpp" \
    "$repo/build-release/libnorvane_core.a" -lz
g++ -std=c++17 -O2 -DNDEBUG -o "$data/bin/gen" "$bench_dir/gen.cpp"
echo "| nodes | records | records / n^2 | scan s | queue s | faster |"
echo "|---:|---:|---:|---:|---:|---|"
for n in 1000 3000; do
    for per_node in 8 32 64 128 256 $((n / 4)) $((n / 2)); do
        m=$((n * per_node / 2))
        file=$data/crossover/random-$n-$m.gr
        [ -s "$file" ] || "$data/bin/gen" random "$n" "$m" 1 > "$file"
        OMP_NUM_THREADS=1 "$data/bin/crossover" "$file" 2> /dev/null |
            awk '{ printf "| %d | %d | %.4f | %.4f | %.4f | %s |\n", $1, $2, $3, $4, $5, ($4 < $5) ? "scan" : "queue" }'
    done
done
