// Graph file input: opening the file, choosing its source, and the runs of whole lines
// over any source. Runs come from one buffer that holds the unhandled tail of the last
// run plus fresh content (a stream's, a gzip stream's inflated while the lines are
// scanned, or a whole-inflated file's). A failed read is never taken for the end of the
// content, and is reported only after the lines before it.
#include "input.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "failure.h"
#include "gzip_input.h"
#include "input_state.h"
#include "memory.h"
#include "settings.h"


input_state input;

namespace {

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

void grow_buffer() {
    const size_t capacity = input.capacity == 0 ? settings.read_block_bytes : input.capacity * 2;
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

// Whether fd is a file of the kernel's own (procfs, sysfs and their kin): the size it
// reports is no promise of its content (a sysfs file says 4096 and holds two bytes).
bool kernel_file(int fd) {
    struct statfs system;
    if (fstatfs(fd, &system) != 0) return false;
    switch (static_cast<unsigned long>(system.f_type)) {
    case PROC_SUPER_MAGIC:
    case SYSFS_MAGIC:
    case DEBUGFS_MAGIC:
    case TRACEFS_MAGIC:
    case SECURITYFS_MAGIC:
    case CGROUP_SUPER_MAGIC:
    case CGROUP2_SUPER_MAGIC:
    case BPF_FS_MAGIC:
    case PSTOREFS_MAGIC:
    case EFIVARFS_MAGIC:
        return true;
    default:
        return false;
    }
}

}  // namespace

void open_input(const char *path, bool inflate_whole) {
    input.path = path;
    input.fd = open(path, O_RDONLY | O_CLOEXEC);
    if (input.fd < 0) {
        fprintf(stderr, NOT_FOUND_FORMAT, path);
        end_with_failure();
    }
    struct stat status = {};
    if (fstat(input.fd, &status) == 0) {
        input.device = int64_t(status.st_dev);
        input.inode = int64_t(status.st_ino);
        input.stat_size = int64_t(status.st_size);
        input.modified_ns = int64_t(status.st_mtim.tv_sec) * 1000000000 + status.st_mtim.tv_nsec;
    }
    // A regular file that reports no size may still have content, and a kernel file may
    // hold less than it reports (files under /proc and /sys): both are read as a stream,
    // to their end. A file on disk found shorter than its size at open failed its read.
    const bool regular = input.stat_size > 0 && S_ISREG(status.st_mode) && !kernel_file(input.fd);
    if (regular) {
        input.size = int64_t(status.st_size);
        input.file_size = input.size;
        const ssize_t got = pread(input.fd, input.prefix, 2, 0);
        input.gzip = got == 2 && input.prefix[0] == 0x1f && input.prefix[1] == 0x8b;
        posix_fadvise(input.fd, 0, 0, POSIX_FADV_SEQUENTIAL);
        if (input.gzip && inflate_whole && inflate_whole_file()) input.gzip = false;
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
                if (input.read_failed) return false;
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
        if (input.read_failed) return false;
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

file_identity input_identity() {
    return file_identity{input.device, input.inode, input.stat_size, input.modified_ns};
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
    fprintf(stderr, READ_FAILED_FORMAT, input.path);
    end_with_failure();
}


void close_input() {
    stop_inflating();
    if (input.fd >= 0) close(input.fd);
    release_array(input.data);
    release_array(input.content);
    input = input_state();
}
