#!/usr/bin/env bash
# The published New York road graph, read compressed and read after gunzip, must give the
# same listing and the same messages (the time line aside) and both succeed.
# Usage: same_as_plain.sh PROGRAM GZ_FILE
set -u
program=$1
compressed=$2
work=$(mktemp -d "${TMPDIR:-/tmp}/norvane-gz.XXXXXX") || exit 2
trap 'rm -rf "$work"' EXIT

gunzip -c "$compressed" > "$work/plain.gr" || { echo "FAIL: gunzip"; exit 1; }
"$program" "$compressed" > "$work/gz.out" 2> "$work/gz.err"
gz_status=$?
"$program" "$work/plain.gr" > "$work/plain.out" 2> "$work/plain.err"
plain_status=$?
failed=0
[[ $gz_status == 0 && $plain_status == 0 ]] || { echo "FAIL: status gz=$gz_status plain=$plain_status"; failed=1; }
cmp "$work/gz.out" "$work/plain.out" || { echo "FAIL: listings differ"; failed=1; }
diff <(grep -v '^Computation time: ' "$work/gz.err") <(grep -v '^Computation time: ' "$work/plain.err") ||
    { echo "FAIL: messages differ"; failed=1; }
lines=$(wc -l < "$work/gz.out")
[[ $lines == 264347 ]] || { echo "FAIL: expected 264347 listing lines, got $lines"; failed=1; }
[[ $failed == 0 ]] && echo "ok: compressed and plain New York graph agree"
exit $failed
