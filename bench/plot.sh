#!/usr/bin/env bash
# Draws a results table of bench/run.sh (the .tsv beside its report) in three panels, one
# column of bars per graph: norvane's speed-up over the Boost peer (the table's peer_ratio,
# printed on each bar as the table has it), the end-to-end wall time and the peak RSS of
# norvane and the peer (bars the medians, whiskers the least and greatest run, the median
# printed above). The caption says when, where, how many runs and the load average during
# them: NOTE, or the report beside the table, and the table's load columns.
# The picture goes next to the table (RESULTS.png), or to OUT when given; never over the
# committed bench/results.png, which is replaced only by copying a new picture there.
# Every value printed on the picture is also written, by the same gnuplot expressions, to
# OUT's name with .values.tsv for .png (graph, program, column, value as drawn).
# usage: bench/plot.sh RESULTS.tsv [OUT.png [NOTE]]
set -eu -o pipefail
table=${1:?usage: bench/plot.sh RESULTS.tsv [OUT.png [NOTE]]}
out=${2:-${table%.tsv}.png}
values=${out%.png}.values.tsv
committed=$(cd "$(dirname "$0")" && pwd)/results.png
if [[ $(realpath -m "$out") == "$committed" ]]; then
    echo "plot.sh: will not write over the committed $committed; name another OUT.png" >&2
    exit 1
fi
command -v gnuplot >/dev/null || { echo "plot.sh: gnuplot is missing (apt-get install -y gnuplot-nox)" >&2; exit 1; }
[[ -r $table ]] || { echo "plot.sh: cannot read $table" >&2; exit 1; }

# The columns are found by name; a table of an older run.sh lacks the spread, the load and
# the ratio the report printed, which the picture must not compute again.
for column in graph program runs wall_s wall_min_s wall_max_s rss_mib rss_min_mib rss_max_mib \
    peer_ratio load_min load_max; do
    head -n 1 "$table" | tr '\t' '\n' | grep -qx "$column" || {
        echo "plot.sh: $table has no column $column (a table of an older bench/run.sh; run it again)" >&2
        exit 1
    }
done

# The caption: NOTE, else the date and the machine line of run.sh's report beside the table.
report=${table%.tsv}.md
if [[ $# -ge 3 ]]; then
    note=$3
elif [[ -f $report ]]; then
    note="$(sed -n '1s/^# norvane benchmark, //p' "$report"); $(sed -n 3p "$report" | sed 's/;.*//')"
else
    note="from $(basename "$table")"
fi

rows=$(mktemp)
trap 'rm -f "$rows"' EXIT
# One row per graph with the peer's time: its name in words (two parts), its key, then for
# the two norvane programs A and B and the peer P: peer_ratio of A and B, then wall_s,
# wall_min_s, wall_max_s, rss_mib, rss_min_mib, rss_max_mib, each for A, B, P ("-" when
# missing), then the load range during the graph's runs. The last line, marked #, names A
# and B, the runs, the load range of the whole table and bounds for the log axes (the least
# and greatest time and memory, with room for a label).
awk -F'\t' 'BEGIN {
        words["grid"] = "grid\t1000 x 1000"; words["random"] = "random\t1M nodes"
        words["complete"] = "complete\t3000 nodes"; words["rmat"] = "R-MAT\tscale 20"
        words["ny"] = "New York\troad"; words["ny-gz"] = "New York\troad, .gr.gz*"
        words["bay"] = "Bay Area\troad"; words["bay-gz"] = "Bay Area\troad, .gr.gz*"
        words["usa"] = "USA-scale road\tgenerated, 24M nodes"
        nq = split("wall_s wall_min_s wall_max_s rss_mib rss_min_mib rss_max_mib", q, " ")
    }
    NR == 1 { for (i = 1; i <= NF; i++) col[$i] = i; next }
    {
        g = $col["graph"]; p = $col["program"]
        if (!(g in seen)) { seen[g] = 1; order[++n] = g }
        if (p != "peer" && p !~ /^gap/ && !(p in isnv)) { isnv[p] = 1; nv[++m] = p }
        have[g, p] = 1
        for (i in col) v[g, p, i] = $col[i]
        if ($col["wall_s"] != "-") {
            runs[$col["runs"]] = 1
            if (lo == "" || $col["load_min"] + 0 < lo + 0) lo = $col["load_min"]
            if (hi == "" || $col["load_max"] + 0 > hi + 0) hi = $col["load_max"]
        }
    }
    function get(g, p, c) { return ((g, p) in have) ? v[g, p, c] : "-" }
    function floor(x) { return (x == int(x) || x > 0) ? int(x) : int(x) - 1 }
    END {
        a = nv[1]; b = (m > 1) ? nv[2] : "-"
        for (i = 1; i <= n; i++) {
            g = order[i]
            if (!((g, "peer") in have) || get(g, "peer", "wall_s") == "-") continue
            line = ((g in words) ? words[g] : g "\t" g) "\t" g "\t" get(g, a, "peer_ratio") "\t" get(g, b, "peer_ratio")
            for (j = 1; j <= nq; j++)
                for (k = 1; k <= 3; k++) {
                    x = get(g, k == 1 ? a : k == 2 ? b : "peer", q[j])
                    line = line "\t" x
                    if (x == "-") continue
                    t = (j <= 3) ? "w" : "m"
                    if (!((t, "lo") in bound) || x + 0 < bound[t, "lo"]) bound[t, "lo"] = x + 0
                    if (!((t, "hi") in bound) || x + 0 > bound[t, "hi"]) bound[t, "hi"] = x + 0
                }
            print line "\t" get(g, "peer", "load_min") "\t" get(g, "peer", "load_max")
        }
        r = ""; for (k in runs) r = (r == "") ? k : r " or " k
        printf "#\t%s\t%s\t%s\t%s\t%s", a, b, r, lo, hi
        for (t = 1; t <= 2; t++) {
            k = (t == 1) ? "w" : "m"
            printf "\t%g\t%g", 10 ^ floor(log(bound[k, "lo"] / 1.5) / log(10)), bound[k, "hi"] * 8
        }
        print ""
    }' "$table" >"$rows"
IFS=$'\t' read -r _ prog_a prog_b runs load_lo load_hi wall_lo wall_hi rss_lo rss_hi < <(tail -n 1 "$rows")
sed -i '$d' "$rows"
graphs=$(wc -l <"$rows")
[[ $graphs -gt 0 ]] || { echo "plot.sh: no graph with the peer's time in $table" >&2; exit 1; }
[[ -n $prog_a ]] || { echo "plot.sh: no norvane row in $table" >&2; exit 1; }
title_of() {
    case $1 in
        norvane1) echo "norvane, 1 thread" ;; norvane2) echo "norvane, 2 threads" ;;
        default) echo "norvane, its own team" ;; *) echo "norvane, $1" ;;
    esac
}
title_a=$(title_of "$prog_a")
title_b=$(title_of "$prog_b")
footnote=
grep -q '\.gr\.gz\*' "$rows" &&
    footnote="* .gr.gz: norvane reads the published compressed file; the peer, which cannot read gzip, the plain file"

# Every label is lab(column) of the same file, in the picture and in the values file alike.
gnuplot <<PLOT
set datafile separator "\t"
set datafile missing "-"
lab(c) = (strcol(c) eq "-") ? "" : strcol(c)
ratio_lab(c) = (strcol(c) eq "-") ? "" : strcol(c)."×"

set print "$values"
print "graph\tprogram\tcolumn\tdrawn"
unset print
set table "$values" append separator tab
plot "$rows" using (strcol(3)):("$prog_a"):("peer_ratio"):(ratio_lab(4)) with table, \
     "" using (strcol(3)):("$prog_b"):("peer_ratio"):(ratio_lab(5)) with table, \
     "" using (strcol(3)):("$prog_a"):("wall_s"):(lab(6)) with table, \
     "" using (strcol(3)):("$prog_b"):("wall_s"):(lab(7)) with table, \
     "" using (strcol(3)):("peer"):("wall_s"):(lab(8)) with table, \
     "" using (strcol(3)):("$prog_a"):("rss_mib"):(lab(15)) with table, \
     "" using (strcol(3)):("$prog_b"):("rss_mib"):(lab(16)) with table, \
     "" using (strcol(3)):("peer"):("rss_mib"):(lab(17)) with table
unset table

set terminal pngcairo size 1400,1500 font "sans,11"
set output "$out"
set multiplot title "norvane against the Boost Graph peer (one thread), end-to-end runs of each graph: parse, build, solve, print\n{/*0.85 $note}\n{/*0.85 bars: medians of $runs runs; whiskers: the least and greatest of the runs; load average (1 min) during the runs: $load_lo to $load_hi (our own runs included)}" font ",13"
set style data histograms
set style fill solid 0.85 border -1
set boxwidth 0.9
set grid ytics
set xtics font ",10" nomirror
set xrange [-0.6:$graphs - 0.4]
set lmargin 12
set rmargin 3
xname = 'xtic(strcol(1)."\n".strcol(2))'

# The speed-up: one pair of bars per graph, the ratio on each.
set origin 0, 0.64
set size 1, 0.28
set style histogram clustered gap 1
set ylabel "speed-up over the peer (×)\npeer's time / norvane's"
set yrange [0:*]
set offsets 0, 0, graph 0.25, 0
set key top left horizontal
plot "$rows" using 4:@xname title "$title_a" lc rgb "#4c9be8", \
     "" using 5 title "$title_b" lc rgb "#1f5fa8", \
     "" using (\$0 - 1.0/6):4:(ratio_lab(4)) with labels offset 0,0.7 font ",10" notitle, \
     "" using (\$0 + 1.0/6):5:(ratio_lab(5)) with labels offset 0,0.7 font ",10" notitle, \
     1 with lines dashtype 2 lc rgb "#555555" title "the peer (1×)"

# Times and memory span three orders of magnitude between the graphs: log axes, each
# median printed above its whisker.
set style histogram errorbars gap 1 lw 1
set logscale y
set offsets 0, 0, 0, 0
set key top left horizontal
set origin 0, 0.32
set size 1, 0.32
set bmargin 4.5
set ylabel "wall time, whole run (s)\nlog scale; lower is better"
set yrange [$wall_lo:$wall_hi]
plot "$rows" using 6:9:12:xtic(strcol(1)."\n".strcol(2)."\nload ".strcol(24)."–".strcol(25)) title "$title_a" lc rgb "#4c9be8", \
     "" using 7:10:13 title "$title_b" lc rgb "#1f5fa8", \
     "" using 8:11:14 title "the peer" lc rgb "#e8864c", \
     "" using (\$0 - 0.25):12:(lab(6)) with labels left rotate by 90 offset 0,0.5 font ",9" notitle, \
     "" using (\$0):13:(lab(7)) with labels left rotate by 90 offset 0,0.5 font ",9" notitle, \
     "" using (\$0 + 0.25):14:(lab(8)) with labels left rotate by 90 offset 0,0.5 font ",9" notitle

set origin 0, 0.02
set size 1, 0.30
set bmargin 3
set label 1 "$footnote" at screen 0.01, screen 0.012 font ",10"
set ylabel "peak resident memory (MiB)\nlog scale; lower is better"
set yrange [$rss_lo:$rss_hi]
plot "$rows" using 15:18:21:@xname title "$title_a" lc rgb "#4c9be8", \
     "" using 16:19:22 title "$title_b" lc rgb "#1f5fa8", \
     "" using 17:20:23 title "the peer" lc rgb "#e8864c", \
     "" using (\$0 - 0.25):21:(lab(15)) with labels left rotate by 90 offset 0,0.5 font ",9" notitle, \
     "" using (\$0):22:(lab(16)) with labels left rotate by 90 offset 0,0.5 font ",9" notitle, \
     "" using (\$0 + 0.25):23:(lab(17)) with labels left rotate by 90 offset 0,0.5 font ",9" notitle
unset multiplot
PLOT
# gnuplot's table puts a space before every field.
sed -i 's/^ //; s/\t /\t/g' "$values"
echo "plot.sh: wrote $out (the values on it in $values)"
