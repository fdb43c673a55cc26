// Node lines formatted by hand into the caller's buffer, and written with write(2) in as
// few calls as the buffer allows: a listing of millions of lines costs a few system calls.
#include "listing_text.h"

#include <errno.h>
#include <poll.h>
#include <unistd.h>

#include <cstring>

const char LISTING_HEADING[] = "\nMinimal distance from node 0 to every other node:\n";
const size_t LISTING_HEADING_BYTES = sizeof LISTING_HEADING - 1;

namespace {

// Writes value in decimal at out; returns the end.
inline char *put_unsigned(char *out, uint32_t value) {
    char digits[10];
    int count = 0;
    do {
        digits[count++] = char('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (count > 0) *out++ = digits[--count];
    return out;
}

inline char *put_int(char *out, int32_t value) {
    if (value < 0) {
        *out++ = '-';
        return put_unsigned(out, 0u - uint32_t(value));
    }
    return put_unsigned(out, uint32_t(value));
}

inline int64_t unsigned_digits(uint32_t value) {
    int64_t count = 1;
    while (value >= 10) {
        value /= 10;
        ++count;
    }
    return count;
}

inline int64_t int_chars(int32_t value) {
    return value < 0 ? 1 + unsigned_digits(0u - uint32_t(value)) : unsigned_digits(uint32_t(value));
}

}  // namespace

int64_t node_lines_bytes(int64_t first_node, const int32_t *distances, int64_t count) {
    // "Node " + index + ": \t" + distance + newline, as format_node_lines writes them.
    int64_t bytes = 0;
    for (int64_t k = 0; k < count; ++k)
        bytes += 9 + unsigned_digits(uint32_t(first_node + k)) + int_chars(distances[k]);
    return bytes;
}

char *format_node_lines(char *out, int64_t first_node, const int32_t *distances, int64_t count) {
    for (int64_t k = 0; k < count; ++k) {
        memcpy(out, "Node ", 5);
        out = put_unsigned(out + 5, uint32_t(first_node + k));
        memcpy(out, ": \t", 3);
        out = put_int(out + 3, distances[k]);
        *out++ = '\n';
    }
    return out;
}

// A reader that goes away ends the run by SIGPIPE under the default disposition; a caller
// that ignores the signal gets EPIPE here, which is a failure like any other.
bool write_output(const char *data, size_t length) {
    while (length > 0) {
        const ssize_t done = write(STDOUT_FILENO, data, length);
        if (done < 0) {
            if (errno == EINTR) continue;
            // Standard output may be inherited non-blocking: a full pipe is not a failure.
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                pollfd out = {STDOUT_FILENO, POLLOUT, 0};
                if (poll(&out, 1, -1) >= 0 || errno == EINTR) continue;
            }
            return false;
        }
        data += done;
        length -= size_t(done);
    }
    return true;
}
