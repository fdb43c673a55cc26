# Inside a gzip file the line rules are the same: a short edge line is shown whole.
printf 'p sp 3 2\na 1 2\na 2 3 5\n' | gzip -c
