// The gzip side of the input: compressed bytes in, through the functions given at the
// start, content out in file order, inflated by a thread of its own into a ring that
// read_inflated drains. Members follow one another; bytes after the last one that do not
// begin another are ignored. The content handed out is what zlib yields, up to a damage.
#pragma once

#include <cstddef>
#include <cstdint>

// Where the compressed bytes come from. read takes up to room bytes in order: the count,
// 0 at the end, -1 on failure. rewind, when set, makes read start again at a byte offset
// of the compressed bytes (false when it cannot); only a regular file can.
struct packed_source {
    int64_t (*read)(void *to, size_t room);
    bool (*rewind)(int64_t offset);
};

// Starts inflating source; a failure to start writes the memory message and ends the run.
void start_inflating(packed_source source);

// Up to room bytes of content into to, waiting for the inflating thread: the count, 0
// after the last member, -1 once a read failed or the stream is damaged or cut short
// (the content before that is handed out first).
int64_t read_inflated(char *to, size_t room);

// Stops the inflating thread and frees the buffers; harmless when nothing was started.
void stop_inflating();

