#!/bin/sh
# A launcher as it behaves on a busy machine, for the transcript runner's own checks: the
# lines Open MPI's launcher was seen to write on its own under load, on its standard error
# before and after the run of the real launcher given as the arguments, and one on its
# standard output, which carries nothing a test compares either.
set -u
echo "[$(uname -n):$$] plm:rsh: Warning: setpgid($$,$$) failed in parent with errno=Permission denied(13)" >&2
echo "[$(uname -n):$$] ORTE_ERROR_LOG: Data unpack would read past end of buffer in file ../../../orte/util/show_help.c at line 501" >&2
echo "[$(uname -n):$$] a line of the launcher's own on its standard output"
"$@"
status=$?
echo "[warn] Epoll MOD(1) on fd 25 failed. Old events were 6; read change was 0 (none); write change was 2 (del); close change was 0 (none): Bad file descriptor" >&2
exit "$status"
