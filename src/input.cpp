// Graph file input. Content is read (or inflated, for a gzip file) into one buffer that
// holds the unhandled tail of the last run plus fresh bytes; each run handed out ends at
// the last newline read, so no line is ever cut. A failed read is never taken for the end
// of the file, and a gzip stream that stops short or does not check out is a failed read.
#include "input.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "failure.h"
#include "memory.h"

size_t read_block_bytes = size_t(8) << 20;

namespace {

constexpr size_t PACKED_BYTES = size_t(1) << 20;
// Room past the content for the newline that follows every run.
constexpr size_t SLACK_BYTES = 1;

struct input_state {
    const char *path = nullptr;
    int fd = -1;
    // Content bytes [begin, end) of data are read but not yet handed out; data has
    // SLACK_BYTES past capacity.
    char *data = nullptr;
    size_t capacity = 0;
    size_t begin = 0;
    size_t end = 0;
    bool at_eof = false;
    // The first bytes of the file, read to look for the gzip magic; for a plain file they
    // are content still to hand out from packed_next.
    unsigned char *packed = nullptr;
    size_t packed_next = 0;
    size_t packed_end = 0;
    bool packed_eof = false;
    bool gzip = false;
    bool member_ended = false;
    z_stream inflater;
};

input_state input;

[[noreturn]] void fail_read() {
    fprintf(stderr, "Error: cannot read file %s.\n", input.path);
    end_with_failure();
}

// read(2) that retries interruptions and ends the run on an error; 0 at the end.
size_t read_some(void *to, size_t room) {
    for (;;) {
        ssize_t got = read(input.fd, to, room);
        if (got >= 0) return size_t(got);
        if (errno != EINTR) fail_read();
    }
}

// Refills the packed buffer from the file when it is used up.
void refill_packed() {
    if (input.packed_next < input.packed_end || input.packed_eof) return;
    input.packed_next = 0;
    input.packed_end = read_some(input.packed, PACKED_BYTES);
    input.packed_eof = input.packed_end == 0;
}

// Up to room bytes of gzip content into to; 0 once every member has ended.
size_t inflate_some(char *to, size_t room) {
    z_stream &z = input.inflater;
    z.next_out = reinterpret_cast<Bytef *>(to);
    z.avail_out = unsigned(room);
    while (z.avail_out > 0) {
        refill_packed();
        if (input.member_ended) {
            if (input.packed_next == input.packed_end) break;  // nothing follows the member
            if (inflateReset(&z) != Z_OK) fail_read();
            input.member_ended = false;
        }
        if (input.packed_next == input.packed_end) fail_read();  // the stream stops short
        z.next_in = input.packed + input.packed_next;
        z.avail_in = unsigned(input.packed_end - input.packed_next);
        const int status = inflate(&z, Z_NO_FLUSH);
        input.packed_next = input.packed_end - z.avail_in;
        if (status == Z_STREAM_END) {
            input.member_ended = true;
        } else if (status != Z_OK && status != Z_BUF_ERROR) {
            fail_read();
        }
    }
    return room - z.avail_out;
}

// Up to room content bytes into to; 0 at the end of the content.
size_t read_content(char *to, size_t room) {
    if (input.gzip) return inflate_some(to, room > (1u << 30) ? (1u << 30) : room);
    if (input.packed_next < input.packed_end) {
        size_t count = input.packed_end - input.packed_next;
        if (count > room) count = room;
        memcpy(to, input.packed + input.packed_next, count);
        input.packed_next += count;
        return count;
    }
    return read_some(to, room);
}

void grow_buffer() {
    const size_t capacity = input.capacity == 0 ? read_block_bytes : input.capacity * 2;
    char *data = static_cast<char *>(allocate_array(capacity + SLACK_BYTES, 1));
    if (input.data != nullptr) memcpy(data, input.data + input.begin, input.end - input.begin);
    release_array(input.data);
    input.end -= input.begin;
    input.begin = 0;
    input.data = data;
    input.capacity = capacity;
}

}  // namespace

void open_input(const char *path) {
    input.path = path;
    input.fd = open(path, O_RDONLY | O_CLOEXEC);
    if (input.fd < 0) {
        fprintf(stderr, "File %s not found.\n", path);
        end_with_failure();
    }
    posix_fadvise(input.fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    input.packed = static_cast<unsigned char *>(allocate_array(PACKED_BYTES, 1));
    // A pipe may hand over one byte at a time: read until the magic can be judged.
    while (input.packed_end < 2) {
        const size_t got = read_some(input.packed + input.packed_end, PACKED_BYTES - input.packed_end);
        if (got == 0) break;
        input.packed_end += got;
    }
    input.gzip = input.packed_end >= 2 && input.packed[0] == 0x1f && input.packed[1] == 0x8b;
    if (input.gzip) {
        memset(&input.inflater, 0, sizeof input.inflater);
        if (inflateInit2(&input.inflater, 15 + 16) != Z_OK) fail_memory();
    }
    grow_buffer();
}

bool next_lines(const char **lines, size_t *length) {
    if (input.begin > 0) {
        memmove(input.data, input.data + input.begin, input.end - input.begin);
        input.end -= input.begin;
        input.begin = 0;
    }
    for (;;) {
        while (!input.at_eof && input.end < input.capacity) {
            const size_t got = read_content(input.data + input.end, input.capacity - input.end);
            if (got == 0) input.at_eof = true;
            input.end += got;
        }
        if (input.end == 0) return false;
        const void *last = memrchr(input.data, '\n', input.end);
        size_t whole;
        if (last != nullptr) {
            whole = size_t(static_cast<const char *>(last) - input.data) + 1;
        } else if (input.at_eof) {
            whole = input.end;
        } else {
            grow_buffer();  // one line fills the buffer: make room for the rest of it
            continue;
        }
        input.data[input.end] = '\n';  // follows an unterminated last line
        *lines = input.data;
        *length = whole;
        input.begin = whole;
        return true;
    }
}

void close_input() {
    if (input.fd >= 0) close(input.fd);
    if (input.gzip) inflateEnd(&input.inflater);
    release_array(input.data);
    release_array(input.packed);
    input = input_state();
}
