// Plain file input: a regular file that is not compressed, read with pread at any offset
// by any thread. Invariant: nothing past input.size is read, and a file found shorter
// than it fails the read instead of ending it.
#include <errno.h>
#include <unistd.h>

#include "input.h"
#include "input_state.h"
#include "test_hooks.h"

bool input_is_plain_file() { return input.plain_file; }

int64_t input_size() { return input.size; }

int64_t read_input_at(int64_t offset, char *to, size_t room) {
    if (input.content != nullptr) return read_whole(offset, to, room);
    if (input.content_dropped) return -1;  // the descriptor holds compressed bytes
    if (offset >= input.size) return 0;
    if (int64_t(room) > input.size - offset) room = size_t(input.size - offset);
    if (test_hooks.before_read_at != nullptr) test_hooks.before_read_at(offset);
    for (;;) {
        const ssize_t got = pread(input.fd, to, room, off_t(offset));
        if (got == 0) return -1;  // the file shrank under the run
        if (got > 0) return got;
        if (errno != EINTR) return -1;
    }
}

void hold_input_size(int64_t size) {
    if (input.plain_file && input.content == nullptr) input.size = size;
}
