# Writes the input of this case: 14 MB of edge lines, so that a team of two or three reads
# it in as many ranges. Line k joins node (k mod 1000) + 1 to the node 1 + b mod 797
# further on (around the thousand), b = k / 1000 its block, with weight 50 - (b mod 50).
# Chords of every length first come in every range, and the last blocks repeat the first
# ones' pairs, far lighter: only the earliest line of a pair counts, so a range's lines
# missing, read twice or out of order would show in the listing.
awk 'BEGIN {
    print "p sp 1000 1100000"
    for (k = 1; k <= 1100000; k++) {
        b = int(k / 1000)
        printf "a %d %d %d\n", k % 1000 + 1, (k + 1 + b % 797) % 1000 + 1, 50 - b % 50
    }
}'
