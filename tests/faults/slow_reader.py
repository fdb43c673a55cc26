#!/usr/bin/env python3
# Runs a program with a non-blocking pipe as its standard output, as some process managers
# hand it out, and reads that pipe slowly, so the program meets a full pipe (EAGAIN) many
# times. Writes what was read to OUT and exits with the program's exit status.
# Usage: slow_reader.py OUT PROGRAM [ARG...]
import os
import subprocess
import sys
import time

out_path, command = sys.argv[1], sys.argv[2:]
read_end, write_end = os.pipe()
os.set_blocking(write_end, False)
child = subprocess.Popen(command, stdout=write_end)
os.close(write_end)
# Let the program fill the pipe before the first read.
time.sleep(0.3)
with open(out_path, "wb") as out:
    while True:
        chunk = os.read(read_end, 16384)
        if not chunk:
            break
        out.write(chunk)
        time.sleep(0.001)
sys.exit(child.wait())
