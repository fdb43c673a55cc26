# A stream cut short after an offending line: the lines before the cut are handled in
# file order, so the size line and the offending line are reported, not the cut.
stream=$(mktemp)
{ printf 'p sp 3 2\na 1 x 4\n'; for i in $(seq 1 2000); do printf 'c padding line %d\n' "$i"; done; } | gzip -c > "$stream"
size=$(stat -c %s "$stream")
head -c $((size - 20)) "$stream"
rm -f "$stream"
