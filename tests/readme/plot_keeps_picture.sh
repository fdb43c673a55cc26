#!/usr/bin/env bash
# bench/plot.sh draws beside its table or where told, never over the committed picture:
# given the committed table, whose neighbour that picture is, it refuses with a message
# and leaves the picture as it was (gnuplot need not be installed for that).
# Usage: plot_keeps_picture.sh REPO_ROOT
set -u
cd "$1" || exit 2
before=$(cksum < bench/results.png)
message=$(bash bench/plot.sh bench/results.tsv 2>&1 >/dev/null)
status=$?
want="plot.sh: will not write over the committed $PWD/bench/results.png; name another OUT.png"
[[ $status == 1 ]] || { echo "FAIL: status $status: $message"; exit 1; }
[[ $message == "$want" ]] || { echo "FAIL: message '$message'"; exit 1; }
[[ $(cksum < bench/results.png) == "$before" ]] || { echo "FAIL: bench/results.png changed"; exit 1; }
echo "ok: bench/plot.sh keeps bench/results.png"
