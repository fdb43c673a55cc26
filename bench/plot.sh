#!/usr/bin/env bash
# Draws a results table of bench/run.sh (the .tsv beside its report) as norvane's speed-up
# over the Boost peer, end-to-end wall time, per graph, at 1 and 2 threads: bars on a
# linear axis with each ratio printed on its bar, the peer's own time under each graph's
# name. The caption says when, where and how many runs: NOTE, or the report beside the table.
# The picture goes next to the table (RESULTS.png), or to OUT when given; never over the
# committed bench/results.png, which is replaced only by copying a new picture there.
# usage: bench/plot.sh RESULTS.tsv [OUT.png [NOTE]]
set -eu -o pipefail
table=${1:?usage: bench/plot.sh RESULTS.tsv [OUT.png [NOTE]]}
out=${2:-${table%.tsv}.png}
committed=$(cd "$(dirname "$0")" && pwd)/results.png
if [[ $(realpath -m "$out") == "$committed" ]]; then
    echo "plot.sh: will not write over the committed $committed; name another OUT.png" >&2
    exit 1
fi
command -v gnuplot >/dev/null || { echo "plot.sh: gnuplot is missing (apt-get install -y gnuplot-nox)" >&2; exit 1; }

# The caption: NOTE, else the date and the machine line of run.sh's report beside the table.
report=${table%.tsv}.md
if [[ $# -ge 3 ]]; then
    note=$3
elif [[ -f $report ]]; then
    note="$(sed -n '1s/^# norvane benchmark, //p' "$report"); $(sed -n 3p "$report" | sed 's/; stdout.*//')"
else
    note="from $(basename "$table")"
fi

# One row per graph: its name in words (two parts), the peer's wall time, then the speed-ups
# of norvane at 1 and 2 threads (peer wall / norvane wall; "-" when missing).
rows=$(mktemp)
trap 'rm -f "$rows"' EXIT
awk -F'\t' 'BEGIN {
        words["grid"] = "grid\t1000 x 1000"; words["random"] = "random\t1M nodes"
        words["complete"] = "complete\t3000 nodes"; words["rmat"] = "R-MAT\tscale 20"
        words["ny"] = "New York\troad"; words["ny-gz"] = "New York\troad, .gr.gz*"
        words["bay"] = "Bay Area\troad"; words["bay-gz"] = "Bay Area\troad, .gr.gz*"
        words["usa"] = "USA-scale road\tgenerated, 24M nodes"
    }
    NR > 1 {
        if (!($1 in seen)) { seen[$1] = 1; order[++n] = $1 }
        wall[$1, $2] = $3
    }
    function ratio(g, key) {
        if (!((g, key) in wall) || !((g, "peer") in wall) || wall[g, key] == "-" || wall[g, key] <= 0) return "-"
        return sprintf("%.4f", wall[g, "peer"] / wall[g, key])
    }
    END {
        for (i = 1; i <= n; i++) {
            g = order[i]
            if (!((g, "peer") in wall)) continue
            printf "%s\t%s\t%s\t%s\n", (g in words) ? words[g] : g "\t" g, wall[g, "peer"], ratio(g, "norvane1"),
                ratio(g, "norvane2")
        }
    }' "$table" >"$rows"
graphs=$(wc -l <"$rows")
[[ $graphs -gt 0 ]] || { echo "plot.sh: no graph with the peer's time in $table" >&2; exit 1; }
footnote=
grep -q '\.gr\.gz\*' "$rows" &&
    footnote="* .gr.gz: norvane reads the published compressed file; the peer, which cannot read gzip, the plain file"

gnuplot <<PLOT
set terminal pngcairo size 1400,620 font "sans,11"
set output "$out"
set title "norvane's speed-up over the Boost Graph peer, end-to-end wall time (peer time / norvane time; higher is better)\n{/*0.85 $note}"
set ylabel "speed-up over the peer (×), linear"
set yrange [0:*]
set xrange [-0.6:$graphs - 0.4]
set offsets 0, 0, 1, 0
set style data histograms
set style histogram clustered gap 1
set style fill solid 0.85 border -1
set boxwidth 0.9
set key top left
set grid ytics
set datafile missing "-"
set datafile separator "\t"
set xtics font ",10"
set bmargin 6
set label 1 "$footnote" \
    at screen 0.01, screen 0.03 font ",10"
plot "$rows" using 4:xtic(strcol(1)."\n".strcol(2)."\npeer ".strcol(3)." s") title "norvane, 1 thread" lc rgb "#4c9be8", \
     "" using 5 title "norvane, 2 threads" lc rgb "#1f5fa8", \
     "" using (\$0 - 1.0/6):4:(sprintf("%.1f×", \$4)) with labels offset 0,0.7 font ",10" notitle, \
     "" using (\$0 + 1.0/6):5:(sprintf("%.1f×", \$5)) with labels offset 0,0.7 font ",10" notitle, \
     1 with lines dashtype 2 lc rgb "#555555" title "the peer (1×)"
PLOT
echo "plot.sh: wrote $out"
