// Graph file input. A plain regular file is read with pread, at any offset from any
// thread. Runs of whole lines come from one buffer that holds the unhandled tail of the
// last run plus fresh content; a gzip stream's content comes from gzip_input, inflated
// while the lines are scanned. A failed read is never taken for the end of the content,
// and is reported only after the lines before it.
#include "input.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#if defined(NORVANE_LIBDEFLATE) && !defined(NORVANE_ISAL)
#include <libdeflate.h>
#endif

#include "failure.h"
#include "gzip_input.h"
#include "memory.h"

size_t read_block_bytes = size_t(1) << 20;
bool defer_read_failure = false;
void (*before_read_at)(int64_t offset) = nullptr;
int64_t inflate_whole_max_bytes = int64_t(256) << 20;

namespace {

// Room past the content for the newline that follows every run, and eight readable
// bytes after it for the scanner's wide loads.
constexpr size_t SLACK_BYTES = 16;

struct input_state {
    const char *path = nullptr;
    int fd = -1;
    bool plain_file = false;
    bool gzip = false;
    int64_t size = 0;
    // A regular file is its first file_size bytes as opened: read(2) stops there, and an
    // end before it means the file shrank, a failed read. -1 for other inputs.
    int64_t file_size = -1;
    int64_t file_read = 0;  // bytes read(2) has taken so far
    // The first bytes of a stream, read to look for the gzip magic; content (or packed
    // input) still to hand out.
    unsigned char prefix[2];
    size_t prefix_next = 0;
    size_t prefix_end = 0;
    // Content bytes [begin, end) of data are read but not yet handed out; data has
    // SLACK_BYTES past capacity. data[0] is the content byte at offset consumed.
    char *data = nullptr;
    size_t capacity = 0;
    size_t begin = 0;
    size_t end = 0;
    int64_t consumed = 0;
    int64_t run_offset = 0;
    bool at_eof = false;
    bool read_failed = false;
    bool skipping = false;  // inside an ignored line longer than the buffer
    // A gzip file inflated whole: its content, read like a plain file's.
    char *content = nullptr;
    int64_t content_next = 0;  // for next_lines
    bool content_dropped = false;
};

input_state input;

// read(2) that retries interruptions and waits out a non-blocking descriptor; the count
// read, 0 at the end, -1 on failure.
int64_t read_some(void *to, size_t room) {
    if (input.file_size >= 0) {
        const int64_t left = input.file_size - input.file_read;
        if (left == 0) return 0;
        if (int64_t(room) > left) room = size_t(left);
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

// Stream bytes: the magic-check prefix first, then the descriptor.
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

// A regular file's compressed bytes are read again from offset on; what read(2) has
// taken counts from there, so the end at the size at open is still found.
bool rewind_stream(int64_t offset) {
    if (lseek(input.fd, off_t(offset), SEEK_SET) != off_t(offset)) return false;
    input.file_read = offset;
    return true;
}

// Up to room bytes of content from offset of a file inflated whole.
int64_t read_whole(int64_t offset, char *to, size_t room) {
    if (offset >= input.size) return 0;
    const size_t count = size_t(input.size - offset) < room ? size_t(input.size - offset) : room;
    memcpy(to, input.content + offset, count);
    return int64_t(count);
}

// Up to room content bytes into to, whatever the input: as read_some.
int64_t read_content(char *to, size_t room) {
    if (input.gzip) return read_inflated(to, room);
    if (input.content != nullptr) {
        const int64_t got = read_whole(input.content_next, to, room);
        input.content_next += got;
        return got;
    }
    return read_stream(to, room);
}

#if defined(NORVANE_LIBDEFLATE) && !defined(NORVANE_ISAL)
// Inflates a regular gzip file whole into memory, where the reader then scans it like a
// plain file, a range per member of the team. Without ISA-L, libdeflate inflates about
// twice as fast as the zlib stream, but only a whole member at a time and with no word on
// what came before a damage: false for a file too large for that, or damaged, or not
// whole members (the stream then reads it and hands out the lines before any damage).
// With ISA-L the stream is as fast and never holds the text.
bool inflate_whole_file() {
    const int64_t packed_size = input.size;
    if (packed_size < 18 || packed_size > inflate_whole_max_bytes / 4) return false;
    unsigned char *packed = static_cast<unsigned char *>(malloc(size_t(packed_size)));
    if (packed == nullptr) return false;
    int64_t have = 0;
    while (have < packed_size) {
        const ssize_t got = pread(input.fd, packed + have, size_t(packed_size - have), off_t(have));
        if (got <= 0 && !(got < 0 && errno == EINTR)) break;
        if (got > 0) have += got;
    }
    // The last member's trailer gives its size (modulo 2^32); four times the packed size
    // is the usual ratio of text. Too small a guess costs a copy, not a failure.
    uint32_t last_size;
    memcpy(&last_size, packed + packed_size - 4, 4);
    size_t capacity = size_t(packed_size) * 4 > last_size ? size_t(packed_size) * 4 : last_size;
    char *content = nullptr;
    size_t produced = 0;
    int64_t at = 0;
    bool whole = have == packed_size;
    libdeflate_decompressor *inflater = whole ? libdeflate_alloc_decompressor() : nullptr;
    whole = inflater != nullptr;
    while (whole) {
        if (content == nullptr) {
            if (int64_t(capacity) > inflate_whole_max_bytes || !memory_available(capacity)) {
                whole = false;
                break;
            }
            content = static_cast<char *>(allocate_array(capacity + SLACK_BYTES, 1));
        }
        size_t used = 0, got = 0;
        const libdeflate_result result = libdeflate_gzip_decompress_ex(
            inflater, packed + at, size_t(packed_size - at), content + produced, capacity - produced, &used, &got);
        if (result == LIBDEFLATE_INSUFFICIENT_SPACE) {
            // Inflate the member again into a buffer twice as large.
            char *larger = nullptr;
            if (int64_t(2 * capacity) <= inflate_whole_max_bytes && memory_available(2 * capacity)) {
                larger = static_cast<char *>(allocate_array(2 * capacity + SLACK_BYTES, 1));
                memcpy(larger, content, produced);
            }
            release_array(content);
            content = larger;
            capacity *= 2;
            whole = larger != nullptr;
            continue;
        }
        if (result != LIBDEFLATE_SUCCESS) {
            whole = false;
            break;
        }
        at += int64_t(used);
        produced += got;
        // What follows the last member is padding unless it begins another one.
        if (packed_size - at < 2 || packed[at] != 0x1f || packed[at + 1] != 0x8b) break;
    }
    if (inflater != nullptr) libdeflate_free_decompressor(inflater);
    free(packed);
    if (!whole) {
        release_array(content);
        return false;
    }
    input.content = content;
    input.size = int64_t(produced);
    return true;
}
#else
bool inflate_whole_file() { return false; }
#endif

void grow_buffer() {
    const size_t capacity = input.capacity == 0 ? read_block_bytes : input.capacity * 2;
    if (input.capacity != 0) check_memory_budget(capacity);
    char *data = static_cast<char *>(allocate_array(capacity + SLACK_BYTES, 1));
    if (input.data != nullptr) memcpy(data, input.data + input.begin, input.end - input.begin);
    release_array(input.data);
    input.end -= input.begin;
    input.consumed += int64_t(input.begin);
    input.begin = 0;
    input.data = data;
    input.capacity = capacity;
}

// Drops the buffered bytes of an ignored line up to its newline, if it has arrived.
void skip_ignored_line() {
    const void *newline = memchr(input.data, '\n', input.end);
    const size_t dropped = newline != nullptr ? size_t(static_cast<const char *>(newline) - input.data) + 1 : input.end;
    memmove(input.data, input.data + dropped, input.end - dropped);
    input.end -= dropped;
    input.consumed += int64_t(dropped);
    input.skipping = newline == nullptr;
}

// Reads more content after the buffered bytes, noting the end or a failure.
void read_more() {
    const int64_t got = read_content(input.data + input.end, input.capacity - input.end);
    if (got < 0) input.read_failed = true;
    if (got == 0) input.at_eof = true;
    if (got > 0) input.end += size_t(got);
    if (got == 0 && input.gzip) stop_inflating();  // its ring and buffer leave before the store is built
}

// Hands out data[0, length) as the next run.
bool hand_out(const char **lines, size_t *length, size_t whole) {
    input.data[input.end] = '\n';  // follows the run, and ends an unterminated last line
    *lines = input.data;
    *length = whole;
    input.run_offset = input.consumed;
    input.begin = whole;
    return true;
}

// At a failed read with nothing left to hand out: the read message, or false when the
// caller asked to report it itself.
bool failed_lines() {
    if (!defer_read_failure) fail_read();
    return false;
}

}  // namespace

void open_input(const char *path) {
    input.path = path;
    input.fd = open(path, O_RDONLY | O_CLOEXEC);
    if (input.fd < 0) {
        fprintf(stderr, "File %s not found.\n", path);
        end_with_failure();
    }
    struct stat status;
    // A regular file that reports no size may still have content (the kernel's own files
    // under /proc and /sys): it is read as a stream, to its end.
    const bool regular = fstat(input.fd, &status) == 0 && S_ISREG(status.st_mode) && status.st_size > 0;
    if (regular) {
        input.size = int64_t(status.st_size);
        input.file_size = input.size;
        const ssize_t got = pread(input.fd, input.prefix, 2, 0);
        input.gzip = got == 2 && input.prefix[0] == 0x1f && input.prefix[1] == 0x8b;
        posix_fadvise(input.fd, 0, 0, POSIX_FADV_SEQUENTIAL);
        if (input.gzip && inflate_whole_file()) input.gzip = false;
        input.plain_file = !input.gzip;
    } else {
        // A pipe may hand over one byte at a time: read until the magic can be judged.
        while (input.prefix_end < 2) {
            const int64_t got = read_some(input.prefix + input.prefix_end, 2 - input.prefix_end);
            if (got < 0) input.read_failed = true;
            if (got <= 0) break;
            input.prefix_end += size_t(got);
        }
        input.gzip = input.prefix_end == 2 && input.prefix[0] == 0x1f && input.prefix[1] == 0x8b;
    }
    if (input.gzip) start_inflating(packed_source{read_stream, regular ? rewind_stream : nullptr});
    grow_buffer();
}

bool input_is_plain_file() { return input.plain_file; }

int64_t input_size() { return input.size; }

int64_t read_input_at(int64_t offset, char *to, size_t room) {
    if (input.content != nullptr) return read_whole(offset, to, room);
    if (input.content_dropped) return -1;  // the descriptor holds compressed bytes
    if (offset >= input.size) return 0;
    if (int64_t(room) > input.size - offset) room = size_t(input.size - offset);
    if (before_read_at != nullptr) before_read_at(offset);
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

bool next_lines(const char **lines, size_t *length) {
    if (input.begin > 0) {
        memmove(input.data, input.data + input.begin, input.end - input.begin);
        input.end -= input.begin;
        input.consumed += int64_t(input.begin);
        input.begin = 0;
    }
    size_t searched = 0;  // bytes of data known to hold no newline
    for (;;) {
        if (input.skipping) {
            skip_ignored_line();
            searched = 0;
            if (input.skipping) {
                if (input.at_eof) return false;  // the content ends inside an ignored line
                if (input.read_failed) return failed_lines();
                read_more();
                continue;
            }
        }
        if (input.end > searched) {
            const void *last = memrchr(input.data + searched, '\n', input.end - searched);
            if (last != nullptr) {
                return hand_out(lines, length, size_t(static_cast<const char *>(last) - input.data) + 1);
            }
            searched = input.end;
        }
        if (input.at_eof) return input.end > 0 && hand_out(lines, length, input.end);
        if (input.read_failed) return failed_lines();
        if (input.end == input.capacity) {
            // One line fills the buffer. An ignored one streams past; a problem or edge
            // line is kept whole, so the buffer grows.
            if (input.data[0] != 'a' && input.data[0] != 'p') {
                input.consumed += int64_t(input.end);
                input.end = 0;
                input.skipping = true;
                continue;
            }
            grow_buffer();
        }
        read_more();
    }
}

int64_t lines_offset() { return input.run_offset; }

bool input_read_failed() { return input.read_failed; }

int64_t input_consumed() { return input.consumed + int64_t(input.begin); }

void stop_lines() {
    discard_array(input.data);  // a plain file is read by the ranges from here on
    input.data = nullptr;
    input.capacity = input.begin = input.end = 0;
}

void fail_read() {
    fprintf(stderr, "Error: cannot read file %s.\n", input.path);
    end_with_failure();
}

void drop_inflated_content() {
    if (input.content == nullptr) return;
    release_array(input.content);
    input.content = nullptr;
    input.content_dropped = true;
}

void close_input() {
    stop_inflating();
    if (input.fd >= 0) close(input.fd);
    release_array(input.data);
    release_array(input.content);
    input = input_state();
}
