# Writes the input of this case: a 3 MB comment line and a 2 MB edge line whose
# weight stands after 2 MB of blanks; both must be read as single whole lines.
printf 'p sp 3 2\nc'
head -c 3000000 /dev/zero | tr '\0' 'x'
printf '\na 1 2'
head -c 2000000 /dev/zero | tr '\0' ' '
printf '4\na 2 3 5\n'
