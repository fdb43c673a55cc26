# Two gzip members one after the other, as concatenated .gz files are, form one content.
printf 'c first member\np sp 3 2\na 1 2 4\n' | gzip -c
printf 'a 2 3 5\n' | gzip -c
