# Zero bytes after the last member are padding, as tape and block devices leave it:
# gzip reads such a file without complaint, and so does the reader.
printf 'p sp 3 2\na 1 2 4\na 2 3 5\n' | gzip -c
head -c 1000 /dev/zero
