#!/usr/bin/env bash
# The committed benchmark picture and the README's Benchmarks table show the committed
# table's figures: bench/plot.sh draws bench/results.tsv again (into a temporary folder,
# the committed picture is left alone) and every value it drew, and every figure the README
# quotes, must be the table's. Skipped (77) without gnuplot.
# Usage: committed_picture_figures.sh REPO_ROOT
set -u
cd "$1" || exit 2
command -v gnuplot >/dev/null || { echo "skipped: gnuplot is missing"; exit 77; }
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
bash bench/plot.sh bench/results.tsv "$tmp/results.png" >/dev/null || { echo "FAIL: bench/plot.sh failed"; exit 1; }
bash tests/readme/picture_matches_table.sh bench/results.tsv "$tmp/results.values.tsv" README.md
