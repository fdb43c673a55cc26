// Node lines formatted by hand into the caller's buffer, and written with write(2) in as
// few calls as the buffer allows: a listing of millions of lines costs a few system calls.
// A run of lines carries its node number as text and counts it up a digit at a time; a
// distance is written two digits a step from its end.
#include "listing_text.h"

#include <errno.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <poll.h>
#include <unistd.h>

#include <cstring>

const char LISTING_HEADING[] = "\nMinimal distance from node 0 to every other node:\n";
const size_t LISTING_HEADING_BYTES = sizeof LISTING_HEADING - 1;

namespace {

const char DIGIT_PAIRS[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// Decimal digits of value, 1 to 10, without a branch.
inline int decimal_digits(uint32_t value) {
    return 1 + (value >= 10u) + (value >= 100u) + (value >= 1000u) + (value >= 10000u) + (value >= 100000u) +
           (value >= 1000000u) + (value >= 10000000u) + (value >= 100000000u) + (value >= 1000000000u);
}

// Writes value's digits so that they end at end.
inline void put_digits_ending_at(char *end, uint32_t value) {
    while (value >= 100) {
        end -= 2;
        memcpy(end, DIGIT_PAIRS + 2 * (value % 100), 2);
        value /= 100;
    }
    if (value >= 10)
        memcpy(end - 2, DIGIT_PAIRS + 2 * value, 2);
    else
        end[-1] = char('0' + value);
}

inline int64_t int_chars(int32_t value) {
    return value < 0 ? 1 + decimal_digits(0u - uint32_t(value)) : decimal_digits(uint32_t(value));
}

// "Node " + a node's number + ": \t": the start every line of a run shares but its number.
struct line_start {
    char text[24];  // the longest start is 18 bytes; the rest lets it be copied whole
    int length;
};

void set_line_start(line_start &start, uint32_t node) {
    const int digits = decimal_digits(node);
    memset(start.text, 0, sizeof start.text);
    memcpy(start.text, "Node ", 5);
    put_digits_ending_at(start.text + 5 + digits, node);
    memcpy(start.text + 5 + digits, ": \t", 3);
    start.length = 8 + digits;
}

// The next node's start: its last digit counted up, carries to the left; a number that
// gains a digit is written anew.
inline void count_up(line_start &start, uint32_t next) {
    char *digit = start.text + start.length - 4;
    while (*digit == '9') *digit-- = '0';
    if (*digit == ' ')
        set_line_start(start, next);
    else
        ++*digit;
}

}  // namespace

int64_t node_lines_bytes(int64_t first_node, const int32_t *distances, int64_t count) {
    // "Node " + index + ": \t" + distance + newline, as format_node_lines writes them. The
    // indices' digits go by the ranges that share a length.
    int64_t bytes = 9 * count;
    const int64_t end = first_node + count;
    int64_t from = first_node;
    for (int64_t bound = 10, digits = 1; from < end; bound *= 10, ++digits) {
        if (from >= bound) continue;
        const int64_t to = end < bound ? end : bound;
        bytes += digits * (to - from);
        from = to;
    }
    for (int64_t k = 0; k < count; ++k) bytes += int_chars(distances[k]);
    return bytes;
}

char *format_node_lines(char *out, int64_t first_node, const int32_t *distances, int64_t count) {
    if (count <= 0) return out;
    line_start start;
    set_line_start(start, uint32_t(first_node));
    for (int64_t k = 0;;) {
        // Each line has MAX_LINE_BYTES of room: the whole start fits where this line begins.
        memcpy(out, start.text, sizeof start.text);
        out += start.length;
        const int32_t distance = distances[k];
        uint32_t value = uint32_t(distance);
        if (distance < 0) {
            *out++ = '-';
            value = 0u - value;
        }
        out += decimal_digits(value);
        put_digits_ending_at(out, value);
        *out++ = '\n';
        if (++k == count) return out;
        count_up(start, uint32_t(first_node + k));
    }
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

bool output_in_memory() {
    struct stat about;
    struct statfs system;
    if (fstat(STDOUT_FILENO, &about) != 0 || !S_ISREG(about.st_mode) || fstatfs(STDOUT_FILENO, &system) != 0)
        return false;
    return static_cast<unsigned long>(system.f_type) == TMPFS_MAGIC ||
           static_cast<unsigned long>(system.f_type) == RAMFS_MAGIC;
}
