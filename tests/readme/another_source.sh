#!/usr/bin/env bash
# Runs the README's command for measuring from another node exactly as printed there (in a
# scratch folder laid out like the repository, build/norvane being the program under
# test) and holds its listing against the Python reference measuring from that node.
# Usage: another_source.sh PROGRAM REPO_ROOT
set -u
program=$1
repo=$2
work=$(mktemp -d "${TMPDIR:-/tmp}/norvane-readme.XXXXXX") || exit 2
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

mapfile -t commands < <(sed -n 's/^    \(awk -v s=.*\)$/\1/p' "$repo/README.md")
[[ ${#commands[@]} == 1 ]] || fail "expected one renumbering command in README.md, found ${#commands[@]}"
command=${commands[0]}
[[ $command =~ -v\ s=([0-9]+)\  ]] || fail "no source node in: $command"
source=${BASH_REMATCH[1]}
[[ $command =~ \'\ (examples/[^ ]+)\ \| ]] || fail "no example file in: $command"
graph=${BASH_REMATCH[1]}

mkdir "$work/build"
ln -s "$program" "$work/build/norvane"
ln -s "$repo/examples" "$work/examples"
(cd "$work" && bash -c "$command") > "$work/out" 2> "$work/err"
status=$?
[[ $status == 0 ]] || fail "status $status: $(head -c 300 "$work/err")"
python3 "$repo/tests/cli/tools/reference_listing.py" --source "$source" "$repo/$graph" > "$work/want" ||
    fail "reference failed"
cmp "$work/want" "$work/out" || fail "listing from node $source differs from the reference"
echo "ok: README command measures from node $source of $graph"
