// Graph file input: the content of the file named on the command line. A regular plain
// file can be read at any offset by any thread; any input (pipe, FIFO, device, gzip file
// recognised by its magic bytes, or a plain file from its start) can be taken in file
// order as runs of whole lines.
#pragma once

#include <cstddef>
#include <cstdint>

// Room past every run of lines in memory: the newline that follows the run, then eight
// readable bytes for the scanner's wide loads.
constexpr size_t SLACK_BYTES = 16;

// Opens path; writes NOT_FOUND_FORMAT with it and ends the run when it cannot be opened.
// A regular gzip file small enough may be inflated whole and then read like a plain file,
// unless inflate_whole is false (norvane-mpi, whose other processes could not share it).
void open_input(const char *path, bool inflate_whole = true);

// What tells one file from another: the device and inode the name led to, and the size
// and modification time (nanoseconds) the file had. All zero when fstat failed.
struct file_identity {
    int64_t device;
    int64_t inode;
    int64_t size;
    int64_t modified_ns;
};

// The opened file's identity as fstat found it at open.
file_identity input_identity();

// True for a regular file that is not compressed, or a compressed one inflated whole:
// read_input_at serves it.
bool input_is_plain_file();

// Size in bytes of the plain file as it was when opened: bytes it gains later are never
// read, and a file found shorter than it while read fails its reads.
int64_t input_size();

// Makes size the plain file's size (the one another process found at its open).
void hold_input_size(int64_t size);

// Up to room bytes of the plain file from offset into to; any thread may call it. The
// count read, 0 only at input_size, or -1 when the read failed or the file ends short of
// input_size: the caller reports that in file order, through fail_read.
int64_t read_input_at(int64_t offset, char *to, size_t room);

// The next run of whole lines in file order, [*lines, *lines + *length): each ends in a
// newline except perhaps the content's last line, and a readable newline always follows
// the run. Valid until the next call. A line too long for the buffer that is neither a
// problem nor an edge line (its first byte is not 'p' or 'a') is skipped as it streams,
// never held; the buffer grows for the others, within the memory check. False at the end
// of the content, or at a failed read once the complete lines before it have been handed
// out: the caller then reports the failure (input_read_failed) after handling them.
bool next_lines(const char **lines, size_t *length);

// Content offset of the first byte of the run last handed out by next_lines.
int64_t lines_offset();

// Whether a read of next_lines failed.
bool input_read_failed();

// Content offset just past the last run handed out by next_lines.
int64_t input_consumed();

// Frees the buffer of next_lines; a plain file is then read through read_input_at only.
void stop_lines();

// Frees the content of a gzip file inflated whole once no one will read it again; a
// plain file's content is the kernel's and stays. read_input_at then fails.
void drop_inflated_content();

// Writes READ_FAILED_FORMAT with the path and ends the run.
[[noreturn]] void fail_read();

// Closes the file and frees the buffers; harmless when nothing is open.
void close_input();

