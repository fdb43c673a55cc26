// Graph file input. A plain regular file is read with pread, at any offset from any
// thread. Runs of whole lines come from one buffer that holds the unhandled tail of the
// last run plus fresh content; a gzip file is inflated by a thread of its own into a ring
// that the buffer drains, so inflating overlaps with scanning. A failed read is never
// taken for the end of the content, and is reported only after the lines before it.
#include "input.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifdef NORVANE_LIBDEFLATE
#include <libdeflate.h>
#endif

#include "failure.h"
#include "memory.h"

size_t read_block_bytes = size_t(1) << 20;
bool defer_read_failure = false;
void (*before_read_at)(int64_t offset) = nullptr;
int64_t inflate_whole_max_bytes = int64_t(256) << 20;

namespace {

constexpr size_t PACKED_BYTES = size_t(1) << 20;
constexpr size_t RING_BYTES = size_t(4) << 20;
// The inflating thread hands over at least this often, so scanning starts early.
constexpr size_t INFLATE_STEP_BYTES = size_t(256) << 10;
// Room past the content for the newline that follows every run, and eight readable
// bytes after it for the scanner's wide loads.
constexpr size_t SLACK_BYTES = 16;

// The gzip side: compressed bytes in, content out into a ring that next_lines drains.
// head and tail count content bytes ever written and read; the lock guards them and the
// flags, the inflating thread alone touches the stream and the packed buffer.
struct gzip_state {
    z_stream stream;
    unsigned char *packed = nullptr;
    size_t packed_next = 0;
    size_t packed_end = 0;
    bool packed_eof = false;
    bool member_ended = false;
    char *ring = nullptr;
    uint64_t head = 0;
    uint64_t tail = 0;
    bool done = false;    // every member inflated
    bool failed = false;  // a read failed or the stream is damaged or cut short
    bool stop = false;    // the reader is closing
    bool started = false;
    bool finished = false;  // the inflating thread touches nothing of this any more
    pthread_t thread;
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t changed = PTHREAD_COND_INITIALIZER;
};

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
gzip_state gz;

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

// Refills the packed buffer when it is used up; false when the read failed.
bool refill_packed() {
    if (gz.packed_next < gz.packed_end || gz.packed_eof) return true;
    const int64_t got = read_stream(gz.packed, PACKED_BYTES);
    if (got < 0) return false;
    gz.packed_next = 0;
    gz.packed_end = size_t(got);
    gz.packed_eof = got == 0;
    return true;
}

// Whether another member follows the one that ended. gzip reads what follows the last
// member as padding when it does not begin with the magic bytes: zeros that block
// devices leave, or anything else, which it ignores too. -1 when a read failed.
int next_member_follows() {
    if (!refill_packed()) return -1;
    if (gz.packed_next == gz.packed_end) return 0;
    if (gz.packed[gz.packed_next] != 0x1f) return 0;
    if (gz.packed_next + 1 == gz.packed_end) {  // the magic may straddle two reads
        gz.packed[0] = 0x1f;
        gz.packed_next = 0;
        const int64_t got = read_stream(gz.packed + 1, PACKED_BYTES - 1);
        if (got < 0) return -1;
        gz.packed_end = 1 + size_t(got);
        gz.packed_eof = got == 0;
        if (got == 0) return 0;
    }
    return gz.packed[gz.packed_next + 1] == 0x8b ? 1 : 0;
}

// Up to room bytes of content into to; the count, 0 once the last member has ended. When
// a read fails or the stream is damaged or cut short, *failed is set and the count is
// what came before, still content to hand out.
size_t inflate_some(char *to, size_t room, bool *failed) {
    z_stream &z = gz.stream;
    z.next_out = reinterpret_cast<Bytef *>(to);
    z.avail_out = unsigned(room);
    *failed = true;
    while (z.avail_out > 0) {
        if (gz.member_ended) {
            const int follows = next_member_follows();
            if (follows < 0) return room - z.avail_out;
            if (follows == 0) break;
            if (inflateReset(&z) != Z_OK) return room - z.avail_out;
            gz.member_ended = false;
        }
        if (!refill_packed()) return room - z.avail_out;
        if (gz.packed_next == gz.packed_end) return room - z.avail_out;  // the stream stops short
        z.next_in = gz.packed + gz.packed_next;
        z.avail_in = unsigned(gz.packed_end - gz.packed_next);
        const int status = inflate(&z, Z_NO_FLUSH);
        gz.packed_next = gz.packed_end - z.avail_in;
        if (status == Z_STREAM_END) {
            gz.member_ended = true;
        } else if (status != Z_OK && status != Z_BUF_ERROR) {
            return room - z.avail_out;
        }
    }
    *failed = false;
    return room - z.avail_out;
}

// The inflating thread's loop. It is detached, so that a run that ends on a failure
// leaves nothing to join; closing waits for finished instead.
void inflate_until_done() {
    for (;;) {
        pthread_mutex_lock(&gz.lock);
        while (gz.head - gz.tail == RING_BYTES && !gz.stop) pthread_cond_wait(&gz.changed, &gz.lock);
        const bool stop = gz.stop;
        const size_t at = size_t(gz.head % RING_BYTES);
        size_t room = RING_BYTES - size_t(gz.head - gz.tail);
        pthread_mutex_unlock(&gz.lock);
        if (stop) return;
        if (room > RING_BYTES - at) room = RING_BYTES - at;
        if (room > INFLATE_STEP_BYTES) room = INFLATE_STEP_BYTES;
        bool failed = false;
        const size_t got = inflate_some(gz.ring + at, room, &failed);
        pthread_mutex_lock(&gz.lock);
        gz.head += got;
        if (got == 0 && !failed) gz.done = true;
        if (failed) gz.failed = true;
        pthread_cond_broadcast(&gz.changed);
        pthread_mutex_unlock(&gz.lock);
        if (failed || got == 0) return;
    }
}

void *inflate_all(void *) {
    inflate_until_done();
    pthread_mutex_lock(&gz.lock);
    gz.finished = true;
    pthread_cond_broadcast(&gz.changed);
    pthread_mutex_unlock(&gz.lock);
    return nullptr;
}

// Content from the ring, waiting for the inflating thread; as read_some.
int64_t read_inflated(char *to, size_t room) {
    pthread_mutex_lock(&gz.lock);
    while (gz.head == gz.tail && !gz.done && !gz.failed) pthread_cond_wait(&gz.changed, &gz.lock);
    const size_t available = size_t(gz.head - gz.tail);
    const bool failed = gz.failed;
    const size_t at = size_t(gz.tail % RING_BYTES);
    pthread_mutex_unlock(&gz.lock);
    if (available == 0) return failed ? -1 : 0;
    size_t count = available < room ? available : room;
    if (count > RING_BYTES - at) count = RING_BYTES - at;
    memcpy(to, gz.ring + at, count);
    pthread_mutex_lock(&gz.lock);
    gz.tail += count;
    pthread_cond_broadcast(&gz.changed);
    pthread_mutex_unlock(&gz.lock);
    return int64_t(count);
}

void start_inflating() {
    memset(&gz.stream, 0, sizeof gz.stream);
    if (inflateInit2(&gz.stream, 15 + 16) != Z_OK) fail_memory();
    gz.packed = static_cast<unsigned char *>(allocate_array(PACKED_BYTES, 1));
    gz.ring = static_cast<char *>(allocate_array(RING_BYTES, 1));
    pthread_attr_t detached;
    pthread_attr_init(&detached);
    pthread_attr_setdetachstate(&detached, PTHREAD_CREATE_DETACHED);
    const bool created = pthread_create(&gz.thread, &detached, inflate_all, nullptr) == 0;
    pthread_attr_destroy(&detached);
    if (!created) fail_memory();
    gz.started = true;
}

void stop_inflating() {
    if (gz.started) {
        pthread_mutex_lock(&gz.lock);
        gz.stop = true;
        pthread_cond_broadcast(&gz.changed);
        while (!gz.finished) pthread_cond_wait(&gz.changed, &gz.lock);
        pthread_mutex_unlock(&gz.lock);
    }
    if (gz.packed != nullptr) inflateEnd(&gz.stream);
    release_array(gz.packed);
    release_array(gz.ring);
    gz.packed = nullptr;
    gz.ring = nullptr;
    gz.packed_next = gz.packed_end = 0;
    gz.packed_eof = gz.member_ended = false;
    gz.head = gz.tail = 0;
    gz.done = gz.failed = gz.stop = gz.started = gz.finished = false;
}

// Up to room content bytes into to, whatever the input: as read_some.
// Up to room bytes of content from offset of a file inflated whole.
int64_t read_whole(int64_t offset, char *to, size_t room) {
    if (offset >= input.size) return 0;
    const size_t count = size_t(input.size - offset) < room ? size_t(input.size - offset) : room;
    memcpy(to, input.content + offset, count);
    return int64_t(count);
}

int64_t read_content(char *to, size_t room) {
    if (input.gzip) return read_inflated(to, room);
    if (input.content != nullptr) {
        const int64_t got = read_whole(input.content_next, to, room);
        input.content_next += got;
        return got;
    }
    return read_stream(to, room);
}

#ifdef NORVANE_LIBDEFLATE
// Inflates a regular gzip file whole into memory, where the reader then scans it like a
// plain file, a range per member of the team. libdeflate inflates about twice as fast
// as zlib, but only a whole member at a time and with no word on what came before a
// damage: false for a file too large for that, or damaged, or not whole members (the
// zlib stream then reads it and hands out the lines before any damage).
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
    const bool regular = fstat(input.fd, &status) == 0 && S_ISREG(status.st_mode);
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
    if (input.gzip) start_inflating();
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
