#!/usr/bin/env bash
# The numbers printed on the benchmark picture are the table's: every speed-up, median wall
# time and median peak RSS in TABLE.tsv (bench/run.sh's) appears on the picture exactly as
# the table has it, and nothing else does. VALUES.tsv is what bench/plot.sh wrote beside the
# picture. With README.md, the rows of its Benchmarks table quote TABLE.tsv the same way.
# usage: picture_matches_table.sh TABLE.tsv VALUES.tsv [README.md]
# Prints what differs and ends with 1, or one line and 0.
set -u
table=${1:?usage: picture_matches_table.sh TABLE.tsv VALUES.tsv [README.md]}
values=${2:?usage: picture_matches_table.sh TABLE.tsv VALUES.tsv [README.md]}
readme=${3:-}

# What the picture must show: graph, program, column and the drawn text (a ratio with ×).
expected() {
    awk -F'\t' 'NR == 1 { for (i = 1; i <= NF; i++) col[$i] = i; next }
        $col["program"] !~ /^gap/ && $col["wall_s"] != "-" {
            print $col["graph"] "\t" $col["program"] "\twall_s\t" $col["wall_s"]
            print $col["graph"] "\t" $col["program"] "\trss_mib\t" $col["rss_mib"]
            if ($col["peer_ratio"] != "-") print $col["graph"] "\t" $col["program"] "\tpeer_ratio\t" $col["peer_ratio"] "×"
        }' "$table" | sort
}
drawn=$(awk -F'\t' 'NR > 1 && $4 != ""' "$values" | sort)
differ=$(diff <(expected) <(printf '%s\n' "$drawn"))
if [[ -n $differ ]]; then
    echo "FAIL: the picture's values (>) are not the table's (<):"
    printf '%s\n' "$differ"
    exit 1
fi
[[ -n $drawn ]] || { echo "FAIL: nothing drawn"; exit 1; }

if [[ -n $readme ]]; then
    # The README's rows: | `KEY` name | norvane 1 thread s | norvane 2 threads s | peer s |
    # speed-ups "a× / b×" | peak RSS "a / b / c MiB" |, each figure first in its cell.
    quoted=$(awk -F'|' '/^## Benchmarks/ { on = 1; next } /^## / { on = 0 }
        on && $2 ~ /^ `[a-z-]+`/ {
            match($2, /`[a-z-]+`/); g = substr($2, RSTART + 1, RLENGTH - 2)
            for (i = 3; i <= 7; i++) { c[i] = $i; gsub(/^ +| +$/, "", c[i]) }
            split(c[3], t1, " "); split(c[4], t2, " "); split(c[5], tp, " ")
            split(c[6], r, " / "); split(c[7], m, " ")
            print g "\tnorvane1\twall_s\t" t1[1]; print g "\tnorvane2\twall_s\t" t2[1]
            print g "\tpeer\twall_s\t" tp[1]
            print g "\tnorvane1\tpeer_ratio\t" r[1]; print g "\tnorvane2\tpeer_ratio\t" r[2]
            print g "\tnorvane1\trss_mib\t" m[1]; print g "\tnorvane2\trss_mib\t" m[3]
            print g "\tpeer\trss_mib\t" m[5]
        }' "$readme" | sort)
    [[ -n $quoted ]] || { echo "FAIL: no benchmark rows found in $readme"; exit 1; }
    # Every figure the README quotes is the table's (the table may have rows it leaves out).
    missing=$(comm -23 <(printf '%s\n' "$quoted") <(expected))
    if [[ -n $missing ]]; then
        echo "FAIL: $readme quotes figures that are not the table's:"
        printf '%s\n' "$missing"
        exit 1
    fi
fi
echo "ok: the figures on the picture${readme:+ and in the README} are the table's ($(printf '%s\n' "$drawn" | wc -l) values drawn)"
