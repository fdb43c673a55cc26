# A gzip-compressed file is read as its content: the path example, compressed.
printf 'p sp 3 2\na 1 2 4\na 2 3 5\n' | gzip -c
