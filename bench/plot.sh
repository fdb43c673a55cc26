#!/usr/bin/env bash
# Draws a results table of bench/run.sh (the .tsv beside its report) as grouped bars:
# end-to-end wall time per graph for norvane at 1 and 2 threads and the Boost peer,
# on a log scale so that the small graphs stay readable next to the USA-scale one.
# The picture goes next to the table (RESULTS.png), or to OUT when given; never over the
# committed bench/results.png, which is replaced only by copying a new picture there.
# usage: bench/plot.sh RESULTS.tsv [OUT.png]
set -eu -o pipefail
table=${1:?usage: bench/plot.sh RESULTS.tsv [OUT.png]}
out=${2:-${table%.tsv}.png}
committed=$(cd "$(dirname "$0")" && pwd)/results.png
if [[ $(realpath -m "$out") == "$committed" ]]; then
    echo "plot.sh: will not write over the committed $committed; name another OUT.png" >&2
    exit 1
fi
command -v gnuplot >/dev/null || { echo "plot.sh: gnuplot is missing (apt-get install -y gnuplot-nox)" >&2; exit 1; }

# One row per graph: graph, norvane1, norvane2, peer (wall seconds; "-" when missing).
rows=$(mktemp)
trap 'rm -f "$rows"' EXIT
awk -F'\t' 'NR > 1 {
        if (!($1 in seen)) { seen[$1] = 1; order[++n] = $1 }
        wall[$1, $2] = $3
    }
    END {
        for (i = 1; i <= n; i++) {
            g = order[i]
            printf "%s", g
            split("norvane1 norvane2 peer", keys, " ")
            for (k = 1; k <= 3; k++) printf "\t%s", ((g, keys[k]) in wall) ? wall[g, keys[k]] : "-"
            printf "\n"
        }
    }' "$table" >"$rows"

gnuplot <<PLOT
set terminal pngcairo size 1000,520 font "sans,11"
set output "$out"
set title "End-to-end wall time per graph (median of runs; lower is better)"
set ylabel "seconds (log scale)"
set logscale y
set yrange [0.01:*]
set style data histograms
set style histogram clustered gap 1
set style fill solid 0.85 border -1
set boxwidth 0.9
set key top left
set grid ytics
set datafile missing "-"
set datafile separator "\t"
plot "$rows" using 2:xtic(1) title "norvane, 1 thread" lc rgb "#4c9be8", \
     "" using 3 title "norvane, 2 threads" lc rgb "#1f5fa8", \
     "" using 4 title "Boost Graph peer" lc rgb "#e8904c"
PLOT
echo "plot.sh: wrote $out"
