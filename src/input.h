// Graph file input: the content of the file named on the command line, plain or gzip
// (recognised by its magic bytes), delivered as runs of whole lines.
#pragma once

#include <cstddef>

// Opens path; writes "File PATH not found." and ends the run when it cannot be opened.
void open_input(const char *path);

// The next run of whole lines, [*lines, *lines + *length): each ends in a newline except
// perhaps the file's last, and a readable newline always follows the run. Valid until
// the next call. False at the end of the content. A failed read or a damaged gzip
// stream writes "Error: cannot read file PATH." and ends the run.
bool next_lines(const char **lines, size_t *length);

// Closes the file and frees the buffers; harmless when nothing is open.
void close_input();

// Bytes read at a time (the buffer doubles for a longer line). Tests shrink it to reach
// the edges of runs on small files.
extern size_t read_block_bytes;
