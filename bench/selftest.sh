#!/usr/bin/env bash
# Checks the benchmark tools themselves: that gen writes well-formed graphs
# of the promised sizes, deterministically by seed, and that the Boost peer
# and norvane print what the slow Python reference prints on small generated,
# hand-written and real road graphs.
#
# usage: bench/selftest.sh    (builds the benchmark programs in build-bench, Release;
#                              env NORVANE_BENCH_BUILD picks another build directory,
#                              NORVANE_BIN another norvane binary; SELFTEST_TIMEOUT
#                              caps each program run, default 120 s)
set -u -o pipefail

bench_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo_dir=$(cd "$bench_dir/.." && pwd)
build=${NORVANE_BENCH_BUILD:-$repo_dir/build-bench}
reference=$repo_dir/tests/cli/tools/reference_listing.py
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

passed=0
failed=0
pass() { passed=$((passed + 1)); }
fail() { failed=$((failed + 1)); echo "FAIL: $*"; }
check() { local what=$1; shift; if "$@"; then pass; else fail "$what"; fi; }
# A hung or very slow program must fail the check, not stall the run.
run_prog() { timeout "${SELFTEST_TIMEOUT:-120}" "$@"; }

cmake -S "$repo_dir" -B "$build" -DCMAKE_BUILD_TYPE=Release -DNORVANE_BENCH=ON >/dev/null &&
    cmake --build "$build" -j2 >/dev/null || { echo "benchmark build failed"; exit 1; }
cp "$build/bench/gen" "$tmp/gen"
programs=()
if [ -x "$build/bench/peer_boost" ]; then
    cp "$build/bench/peer_boost" "$tmp/peer"
    programs+=("$tmp/peer")
else
    echo "note: peer not built (Boost Graph headers missing: apt-get install -y libboost-graph-dev)"
fi
norvane=${NORVANE_BIN:-$build/norvane}
[ -x "$norvane" ] || { echo "no norvane binary at $norvane"; exit 1; }
programs+=("$norvane")
echo "programs under test: ${programs[*]}"

# ------------------------------------------------------------- generator

# Well-formed: one problem line, its M equals the arc lines, nodes in range,
# weights in 1..1000. Prints nothing on success.
wellformed() {
    awk '$1 == "p" { n = $3; m = $4; p++ }
         $1 == "a" { a++; if ($2 < 1 || $2 > n || $3 < 1 || $3 > n) bad = "node out of range: " $0
                     if ($4 < 1 || $4 > 1000) bad = "weight out of range: " $0 }
         END { if (p != 1) print "problem lines: " p; else if (a != m) print "M=" m " but " a " arcs"
               if (bad) print bad }' "$1"
}
m_of() { awk '$1 == "p" { print $4; exit }' "$1"; }
n_of() { awk '$1 == "p" { print $3; exit }' "$1"; }

gen_case() { "$tmp/gen" "$@" >"$tmp/$(echo "$@" | tr ' ' _).gr"; echo "$tmp/$(echo "$@" | tr ' ' _).gr"; }

declare -A expect_m=(
    ["grid 7 9 3"]=$((2 * (7 * 8 + 6 * 9)))
    ["grid 1 5 3"]=8
    ["random 50 400 3"]=400
    ["complete 40 3"]=780
    ["rmat 8 8 3"]=2048
)
for case_args in "grid 7 9 3" "grid 1 5 3" "random 50 400 3" "complete 40 3" "rmat 8 8 3" "road 40000 3"; do
    # shellcheck disable=SC2086
    f=$(gen_case $case_args)
    problems=$(wellformed "$f")
    check "gen $case_args well-formed: $problems" test -z "$problems"
    if [ -n "${expect_m[$case_args]:-}" ]; then
        check "gen $case_args: M=$(m_of "$f"), expected ${expect_m[$case_args]}" test "$(m_of "$f")" = "${expect_m[$case_args]}"
    fi
    # shellcheck disable=SC2086
    check "gen $case_args not deterministic" cmp -s "$f" <("$tmp/gen" $case_args)
done
check "gen grid: other seed gives the same weights" \
    bash -c "! cmp -s <('$tmp/gen' grid 7 9 3) <('$tmp/gen' grid 7 9 4)"
check "gen road: other seed gives the same graph" \
    bash -c "! cmp -s <('$tmp/gen' road 40000 3) <('$tmp/gen' road 40000 4)"

# Both arcs of every grid/road edge, with one weight.
symmetric() {
    awk '$1 == "a" { k = $2 " " $3; w[k] = $4 }
         END { for (k in w) { split(k, e, " "); r = e[2] " " e[1]; if (!(r in w) || w[r] != w[k]) { print k; exit } } }' "$1"
}
check "grid arcs not symmetric" test -z "$(symmetric "$tmp/grid_7_9_3.gr")"
check "road arcs not symmetric" test -z "$(symmetric "$tmp/road_40000_3.gr")"
road_n=$(n_of "$tmp/road_40000_3.gr")
road_m=$(m_of "$tmp/road_40000_3.gr")
check "road: $road_m arcs for $road_n nodes, expected 2.3-2.6 per node" \
    awk -v n="$road_n" -v m="$road_m" 'BEGIN { exit !(n == 40000 && m / n > 2.3 && m / n < 2.6) }'
check "complete: some unordered pair missing or repeated" test "$(awk '$1 == "a" { k = ($2 < $3) ? $2 " " $3 : $3 " " $2; if (!(k in s)) u++; s[k] = 1 } END { print u }' "$tmp/complete_40_3.gr")" = 780
check "rmat: node 1 is not the highest-degree node" test "$(awk '$1 == "a" { d[$2]++; d[$3]++ } END { best = 0; for (v in d) if (d[v] > best) { best = d[v]; who = v } print who }' "$tmp/rmat_8_8_3.gr")" = 1

# -------------------------------------------------------- hand-written

# Later lines for a pair are ignored even when lighter or reversed; self-loops
# and isolated nodes; sums at and past 2^30; zero weights; a lone node.
cat >"$tmp/dups.gr" <<'EOF'
c earliest line of a pair wins
p sp 5 8
a 1 2 10
a 2 1 3
a 1 1 0
a 2 3 4
a 3 2 100
a 1 3 50
a 1 3 1
a 4 4 7
EOF
printf '\nMinimal distance from node 0 to every other node:\nNode 1: \t10\nNode 2: \t14\nNode 3: \t1073741824\nNode 4: \t1073741824\n' >"$tmp/dups.want"

cat >"$tmp/big.gr" <<'EOF'
p sp 5 4
a 1 3 600000000
a 3 4 400000000
a 5 1 1073741823
a 4 2 1
EOF
printf '\nMinimal distance from node 0 to every other node:\nNode 1: \t1000000001\nNode 2: \t600000000\nNode 3: \t1000000000\nNode 4: \t1073741823\n' >"$tmp/big.want"

# Past 2^30 norvane may print a heavier offered value (see README), so this
# one pins down only the peer's choice: everything at 2^30 or beyond is capped.
cat >"$tmp/cap.gr" <<'EOF'
p sp 5 4
a 1 2 2147483647
a 1 3 600000000
a 3 4 600000000
a 5 1 1073741823
EOF
printf '\nMinimal distance from node 0 to every other node:\nNode 1: \t1073741824\nNode 2: \t600000000\nNode 3: \t1073741824\nNode 4: \t1073741823\n' >"$tmp/cap.want"

cat >"$tmp/zero.gr" <<'EOF'
c comments may appear anywhere
p sp 3 2
a 1 2 0
c between arcs too
a 3 2 0
EOF
printf '\nMinimal distance from node 0 to every other node:\nNode 1: \t0\nNode 2: \t0\n' >"$tmp/zero.want"

printf 'p sp 1 0\n' >"$tmp/one.gr"
printf '\nMinimal distance from node 0 to every other node:\n' >"$tmp/one.want"

ref_checked=0
for prog in "${programs[@]}"; do
    tag=$(basename "$prog")
    cases=(dups big zero one)
    [ "$prog" = "$tmp/peer" ] && cases+=(cap)
    for case in "${cases[@]}"; do
        run_prog "$prog" "$tmp/$case.gr" >"$tmp/$case.$tag.out" 2>"$tmp/$case.$tag.err"
        rc=$?
        check "$tag $case: exit $rc" test $rc = 0
        check "$tag $case: stdout differs from the hand-computed answer" cmp "$tmp/$case.want" "$tmp/$case.$tag.out"
    done
    check "$tag: no 'Graph contains' line on stderr" grep -q '^Graph contains 5 nodes and 8 edges$' "$tmp/dups.$tag.err"
    check "$tag: no 'Computation time' line on stderr" grep -q '^Computation time: [0-9.]*$' "$tmp/dups.$tag.err"
done
# The reference itself must agree with the hand-computed answers, or it
# proves nothing below; the cap case under the peer's rule.
for case in dups big zero one; do
    check "reference $case" cmp "$tmp/$case.want" <(python3 "$reference" "$tmp/$case.gr" 2>/dev/null)
done
check "reference cap" cmp "$tmp/cap.want" <(python3 "$reference" --cap "$tmp/cap.gr" 2>/dev/null)
# Past 2^30 norvane keeps its own rule, which the reference follows without --cap.
check "norvane cap: differs from the reference" \
    cmp <(python3 "$reference" "$tmp/cap.gr" 2>/dev/null) <(run_prog "$norvane" "$tmp/cap.gr" 2>/dev/null)

# ---------------------------------------- generated and real graphs vs reference

graphs=("$tmp"/grid_7_9_3.gr "$tmp"/random_50_400_3.gr "$tmp"/complete_40_3.gr "$tmp"/rmat_8_8_3.gr "$tmp"/road_40000_3.gr)
f=$(gen_case random 20000 60000 5); graphs+=("$f")
f=$(gen_case rmat 12 16 5); graphs+=("$f")
graphs+=("$repo_dir/examples/rome99.gr")
gunzip -c "$repo_dir/examples/USA-road-d.NY.gr.gz" >"$tmp/NY.gr" && graphs+=("$tmp/NY.gr")
# The weights here (at most 1000) and on the road graphs keep every distance far below
# 2^30, where the peer's rule and norvane's agree.
for g in "${graphs[@]}"; do
    python3 "$reference" "$g" >"$tmp/ref.out" 2>/dev/null
    for prog in "${programs[@]}"; do
        run_prog "$prog" "$g" >"$tmp/prog.out" 2>/dev/null
        rc=$?
        check "$(basename "$prog") on $(basename "$g"): exit status $rc" test $rc = 0
        check "$(basename "$prog") on $(basename "$g"): differs from reference" cmp -s "$tmp/ref.out" "$tmp/prog.out"
    done
done
# Published figure for rome99, independent of the Python reference.
for prog in "${programs[@]}"; do
    check "$(basename "$prog") rome99 node 3352 != 30290" \
        grep -qx "$(printf 'Node 3352: \t30290')" <(run_prog "$prog" "$repo_dir/examples/rome99.gr" 2>/dev/null)
done
# A generated road graph is connected: the peer reaches every node.
if [ -x "$tmp/peer" ]; then
    check "road graph not connected" bash -c "! grep -q 1073741824 <('$tmp/peer' '$tmp/road_40000_3.gr' 2>/dev/null)"
fi

# ---------------------------------------- the quick command's picture

# The README's quick command, on a data directory of its own: it must draw its picture,
# and every number on it must be the number its table has.
if [ -x "$tmp/peer" ] && command -v gnuplot >/dev/null; then
    NORVANE_BENCH_DATA=$tmp/data NORVANE_BENCH_BUILD=$build bash "$bench_dir/run.sh" ny >"$tmp/quick.out" 2>"$tmp/quick.err"
    rc=$?
    check "bench/run.sh ny: exit $rc" test $rc = 0
    check "bench/run.sh ny: does not say where its picture is" \
        grep -qxF "run.sh: picture of this run: $tmp/data/results.png (the values on it in $tmp/data/results.values.tsv)" "$tmp/quick.err"
    check "bench/run.sh ny: no PNG at $tmp/data/results.png" \
        test "$(head -c 8 "$tmp/data/results.png" 2>/dev/null | od -An -tx1 | tr -d ' ')" = 89504e470d0a1a0a
    check "bench/run.sh ny: the picture's numbers are not its table's" \
        bash "$repo_dir/tests/readme/picture_matches_table.sh" "$(ls "$tmp"/data/results-*.tsv)" "$tmp/data/results.values.tsv"
else
    echo "note: the quick command's picture not checked (it needs the peer and gnuplot)"
fi

echo "selftest: $passed passed, $failed failed"
[ $failed = 0 ]
