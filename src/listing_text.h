// The listing's text: its heading, the node lines formatted by hand, and the whole-buffer
// write to standard output that both listings (one process, or many) go through.
#pragma once

#include <cstddef>
#include <cstdint>

// The heading that begins the listing, with its leading empty line.
extern const char LISTING_HEADING[];
extern const size_t LISTING_HEADING_BYTES;

// "Node " + 10 digits + ": \t" + 11 characters + newline: the longest node line.
constexpr size_t MAX_LINE_BYTES = 30;

// Writes the lines of nodes first_node .. first_node + count - 1, whose distances are
// distances[0 .. count), at out (room for count * MAX_LINE_BYTES); returns the end.
char *format_node_lines(char *out, int64_t first_node, const int32_t *distances, int64_t count);

// The bytes format_node_lines writes for the same lines, without writing them.
int64_t node_lines_bytes(int64_t first_node, const int32_t *distances, int64_t count);

// Writes length bytes to standard output, waiting out a full non-blocking pipe; false on
// any failure (a reader that went away under the default SIGPIPE ends the process first).
bool write_output(const char *data, size_t length);

// Whether standard output is a file on a memory file system (tmpfs, ramfs): what is written
// there stays in memory and counts against the memory group as the run's own arrays do.
bool output_in_memory();
