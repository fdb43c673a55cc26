#!/usr/bin/env bash
# Fuzzes the graph target for SECONDS (default 60): builds it with clang when needed, fuzzes
# a working corpus outside git (build-fuzz/corpus, seeded from fuzz/corpus) with inputs of
# at most 4096 bytes, prints libFuzzer's final figures and keeps any failing input in
# build-fuzz/crashes. Exits non-zero when an input failed.
set -euo pipefail
seconds=${1:-60}
root=$(cd "$(dirname "$0")/.." && pwd)
build=${NORVANE_FUZZ_BUILD:-$root/build-fuzz}

# The compiler only counts at the first configure; the option is set every time, so a
# build directory configured without it still gets the target.
CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DNORVANE_FUZZ=ON -DNORVANE_TESTS=OFF >/dev/null
cmake --build "$build" --target fuzz_graph -j 2 >/dev/null

mkdir -p "$build/corpus" "$build/crashes"
cp "$root"/fuzz/corpus/* "$build/corpus/"
log=$build/fuzz.log
status=0
# One job only: the machine's cores are shared. A timeout or a leak counts as a failure too.
"$build/fuzz/fuzz_graph" -max_len=4096 -max_total_time="$seconds" -timeout=30 \
  -print_final_stats=1 -artifact_prefix="$build/crashes/" "$build/corpus" >"$log" 2>&1 || status=$?

grep -E '^#[0-9]+[[:space:]]+(DONE|INITED)' "$log" | tail -n 1 || tail -n 5 "$log"
grep -E '^stat::' "$log" || true
failures=$(grep -oE 'Test unit written to [^ ]+' "$log" | sed 's/Test unit written to //' || true)
if [ "$status" -ne 0 ] || [ -n "$failures" ]; then
  grep -E 'differs from the model|expected:|got:|ERROR|SUMMARY' "$log" | head -n 20 || true
  for f in $failures; do
    echo "failing input: $f"
    od -A d -c "$f" | head -n 20
  done
  echo "fuzzing failed (status $status); full log: $log"
  exit 1
fi
echo "no failure; full log: $log"
