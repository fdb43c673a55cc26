// A window of the plain file read with pread: the bytes of a range a piece at a time, so
// that they are still in the core's cache when scanned. Invariant: buffer[0, have) holds
// the file's bytes from base on, and SLACK_BYTES of room follow capacity.
#pragma once

#include <cstddef>
#include <cstdint>

// A window of the plain file: buffer[0, have) holds the bytes from offset base on;
// capacity has SLACK_BYTES past it.
struct file_window {
    char *buffer = nullptr;
    size_t capacity = 0;
    size_t have = 0;
    int64_t base = 0;
    bool at_eof = false;
    bool failed = false;
};

// Gives the window its first buffer, or doubles it within the memory check; false when
// memory is refused.
bool grow_window(file_window &w);

// Reads more of the file after the window's bytes, noting the end or a failed read.
void fill_window(file_window &w);

// Drops the first used bytes of the window.
void advance_window(file_window &w, size_t used);

// Moves the window to the start of the first line that begins at or after offset
// (offset - 1 holds a newline, or the line holding it ends first). False when the file
// ends or fails before such a line.
bool seek_line_start(file_window &w, int64_t offset);
