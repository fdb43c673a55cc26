// Stream input: a pipe, FIFO, device or regular file read in order with read(2), behind
// the two bytes read to look for the gzip magic. Invariant: a regular file is read to its
// size at open and no further, and ending before it is a failed read, never an end.
#include <errno.h>
#include <poll.h>
#include <unistd.h>

#include <cstring>

#include "input.h"
#include "input_state.h"
#include "test_hooks.h"

int64_t read_some(void *to, size_t room) {
    if (input.file_size >= 0) {
        const int64_t left = input.file_size - input.file_read;
        if (left == 0) return 0;
        if (int64_t(room) > left) room = size_t(left);
        if (test_hooks.before_stream_read != nullptr) test_hooks.before_stream_read(input.file_read);
    }
    for (;;) {
        const ssize_t got = read(input.fd, to, room);
        if (got > 0 && input.file_size >= 0) input.file_read += got;
        if (got == 0 && input.file_size >= 0) return -1;  // cut short under the run
        if (got >= 0) return got;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            struct pollfd ready = {input.fd, POLLIN, 0};
            poll(&ready, 1, -1);
        } else if (errno != EINTR) {
            return -1;
        }
    }
}

int64_t read_stream(void *to, size_t room) {
    if (input.prefix_next < input.prefix_end) {
        size_t count = input.prefix_end - input.prefix_next;
        if (count > room) count = room;
        memcpy(to, input.prefix + input.prefix_next, count);
        input.prefix_next += count;
        return int64_t(count);
    }
    return read_some(to, room);
}

bool rewind_stream(int64_t offset) {
    if (lseek(input.fd, off_t(offset), SEEK_SET) != off_t(offset)) return false;
    input.file_read = offset;
    return true;
}
