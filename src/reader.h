// Graph file reader: the line rules of a DIMACS shortest-path file. It reads up to the
// problem line, then hands the accepted edge lines over in batches, range by range, in
// file order, and reports the first offending line in file order whatever the number of
// ranges. A plain file is scanned twice from disk rather than held; other inputs are
// scanned once into blocks of edge lines in memory.
#pragma once

#include <cstddef>
#include <cstdint>

#include "edge_lines.h"
#include "failure.h"

// Requires the input open. Reads up to the problem line and prints the size line; exits
// with the matching message on an edge line before it, a malformed one, or none.
problem_counts read_problem_line();

// Requires read_problem_line. Prepares the edge lines in at most max_ranges contiguous
// ranges and returns how many. A stream is read whole here, and its first offending line
// reported; a plain file is only cut.
int prepare_edge_lines(int max_ranges);

// Requires read_problem_line. The most ranges prepare_edge_lines(max_ranges) will make:
// exactly as many for a plain file, a bound from the announced edge count for a stream,
// known before any edge line is read. The builder's per-range arrays are counted by it.
int planned_edge_ranges(int max_ranges);

// One pass over range r (any thread, one per range at a time). The first pass over a plain
// file also checks every line; the second must find the file unchanged.
void read_edge_range(int r, edge_batch_fn batch, void *context);

// Once every range has had its first pass: reports the first offending line in file order
// (a line past the M announced included), or returns what the lines hold.
edge_stats check_edge_lines();

// Once every range has had its second pass: ends the run with the read message when the
// file no longer holds what the first pass found.
void check_second_pass();

// Frees what reading holds and closes the input.
void release_reading();

// ---- For a run split over several processes, each reading a part of the same file.

// What one scan of a part of the edge lines found.
struct lines_scan {
    int64_t lines;         // accepted edge lines, up to the first offending one
    int64_t kept;          // of them handed over
    int32_t min_weight;    // over the lines handed over (INT32_MAX when none)
    fault_kind fault;      // FAULT_NONE, FAULT_LINE, FAULT_READ or FAULT_MEMORY
    int64_t fault_offset;  // content offset of the fault
    int32_t max_weight;    // over the lines handed over (INT32_MIN when none)
    uint32_t max_offset;   // largest |u - v| over them
    uint64_t checksum;     // of them, in order: a second scan of the same text meets it
};

// Any thread: the plain file's lines starting in [from, to) to batch; line_limit + 1 offends.
lines_scan scan_file_lines(int64_t from, int64_t to, int64_t nodes, int64_t line_limit,
                           edge_batch_fn batch, void *context);

// The same over a run of whole lines in memory at content offset, newline + 8 bytes after it.
lines_scan scan_run_lines(const char *lines, size_t length, int64_t offset, int64_t nodes,
                          int64_t line_limit, edge_batch_fn batch, void *context);

// After read_problem_line: where the edge lines start, and the rest of the run holding it.
int64_t edge_lines_start();
void pending_edge_lines(const char **lines, size_t *length);

