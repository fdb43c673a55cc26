#!/bin/sh
# norvane-mpi with one rank that says a word of its own first, for the transcript runner's
# own checks: rank NORVANE_STRAY_RANK writes a line to NORVANE_STRAY_STREAM (stdout or
# stderr), then every rank runs the program NORVANE_STRAY_PROGRAM names.
set -u
if [ "${OMPI_COMM_WORLD_RANK-}" = "$NORVANE_STRAY_RANK" ]; then
    if [ "$NORVANE_STRAY_STREAM" = stdout ]; then echo "a stray line"; else echo "a stray line" >&2; fi
fi
exec "$NORVANE_STRAY_PROGRAM" "$@"
