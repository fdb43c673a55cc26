#!/bin/sh
# A launcher that never ends by itself, for the checks of the guide's bound on a run: with
# NORVANE_LAUNCHER_TERM=ignore it ignores SIGTERM, as a launcher caught in its own finalize
# was seen to, and so does the child it waits for; otherwise SIGTERM ends it. Each writes
# its process number to the file NORVANE_LAUNCHER_PIDS, one a line. Its arguments are
# those of the real launcher, and unused.
set -u
[ "${NORVANE_LAUNCHER_TERM-}" = ignore ] && trap '' TERM
echo "$$" >> "$NORVANE_LAUNCHER_PIDS"
sleep 600 &
child=$!
echo "$child" >> "$NORVANE_LAUNCHER_PIDS"
while kill -0 "$child" 2> /dev/null; do wait "$child"; done
