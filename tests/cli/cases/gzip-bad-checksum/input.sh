# A gzip stream whose checksum does not match its content is a failed read, not a graph;
# the size line before it is still written, as the lines are handled in file order.
stream=$(mktemp)
printf 'p sp 3 2\na 1 2 4\na 2 3 5\n' | gzip -c > "$stream"
size=$(stat -c %s "$stream")
head -c $((size - 8)) "$stream"
printf '\x00\x00\x00\x00'
tail -c 4 "$stream"
rm -f "$stream"
