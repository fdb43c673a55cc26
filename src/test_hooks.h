// Places where a test may step into a run: called, when set, at the moments named, so
// that a test can change the file there and see that the run notices. Never set by the
// programs themselves.
#pragma once

#include <cstdint>

struct test_hook_set {
    // Once the first pass over a plain file's ranges is done, before the second begins.
    void (*first_pass_checked)();
    // Before each pread of the plain file, with its offset.
    void (*before_read_at)(int64_t offset);
    // Before each read(2) of a regular file read in order, with the bytes read so far.
    void (*before_stream_read)(int64_t offset);
    // norvane-mpi: on rank 0 once it has read the head, before the others open the file.
    void (*head_read)();
};

extern test_hook_set test_hooks;  // all null
