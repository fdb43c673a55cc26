# Bytes after the last member that do not begin another one are ignored, as gzip ignores
# them (it warns; this program's messages stay as they are).
printf 'p sp 3 2\na 1 2 4\n' | gzip -c
printf 'a 2 3 5\n' | gzip -c
printf 'trailing text, not a gzip member\n'
