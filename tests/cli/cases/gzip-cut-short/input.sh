# A gzip stream that stops before its end is a failed read, not a shorter graph; the size
# line read before the cut is still written.
stream=$(mktemp)
printf 'p sp 3 2\na 1 2 4\na 2 3 5\n' | gzip -c > "$stream"
size=$(stat -c %s "$stream")
head -c $((size - 6)) "$stream"
rm -f "$stream"
