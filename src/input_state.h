// The input's one state, shared by the files that read its sources: a plain file by
// pread, a stream by read(2), a gzip file inflated whole, and the runs of lines over any
// of them. Invariant: only the input files include this; everyone else goes through
// input.h.
#pragma once

#include <cstddef>
#include <cstdint>


struct input_state {
    const char *path = nullptr;
    int fd = -1;
    bool plain_file = false;
    bool gzip = false;
    // What fstat said at open, to tell this file from another (input_identity).
    int64_t device = 0;
    int64_t inode = 0;
    int64_t stat_size = 0;
    int64_t modified_ns = 0;
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

extern input_state input;

// read(2) that retries interruptions and waits out a non-blocking descriptor; the count
// read, 0 at the end, -1 on failure (a regular file ending before its size at open).
int64_t read_some(void *to, size_t room);

// Stream bytes: the magic-check prefix first, then the descriptor.
int64_t read_stream(void *to, size_t room);

// Makes read_stream take a regular file's bytes again from offset; false when it cannot.
bool rewind_stream(int64_t offset);

// Up to room bytes of content from offset of a file inflated whole: the count, 0 at its end.
int64_t read_whole(int64_t offset, char *to, size_t room);

// Inflates a regular gzip file whole into input.content; false (nothing held) when the
// build cannot, or the file is too large, damaged or not whole members.
bool inflate_whole_file();
