// Graph file reader: the line rules of a DIMACS shortest-path file. It reads up to the
// problem line, then hands the accepted edge lines over in batches, range by range, in
// file order, and finds the first offending line in file order whatever the number of
// ranges. A plain file is read in byte ranges: all of its edge lines (norvane), or the
// span one process reads (norvane-mpi); a large one is scanned twice from disk rather than
// held. Other inputs are scanned once into blocks of edge lines in memory.
#pragma once

#include <cstddef>
#include <cstdint>

#include "edge_lines.h"
#include "failure.h"
#include "line_store.h"

// Requires the input open. Reads up to the problem line, sets num_nodes and num_edges
// (store.h) and prints the size line; exits with the matching message on an edge line
// before it, a malformed one, or none.
void read_problem_line();

// Requires read_problem_line, or for a process that did not read it, the plain file open
// and the counts set. The edge lines to read are those that start in bytes [from, to) of
// the plain file whose edge lines start at edges_start; a part of the file is scanned
// twice, never held. Without this call a plain file is read whole.
void read_edge_span(int64_t edges_start, int64_t from, int64_t to);

// Makes held, the kept lines of the edge lines in file order (stats: what they hold), the
// input of the ranges, as a stream's; the reader keeps them from now on.
void read_held_lines(line_store &held, const edge_stats &stats);

// Whether a plain file will be held between its two passes (small enough, and read whole).
bool held_file_lines();

// Prepares the edge lines in at most max_ranges contiguous ranges and returns how many. A
// stream is read whole here, and its first offending line reported; a plain file is only cut.
int prepare_edge_lines(int max_ranges);

// The most ranges prepare_edge_lines(max_ranges) will make: exactly as many for a plain
// file, a bound from the announced edge count for a stream, known before any edge line is
// read. The builder's per-range arrays are counted by it.
int planned_edge_ranges(int max_ranges);

// One pass over range r (any thread, one per range at a time). The first pass over a plain
// file also checks every line; the second hands over only lines it has found unchanged.
void read_edge_range(int r, edge_batch_fn batch, void *context);

// The next pass over the ranges is a first pass again: what the first found is forgotten.
void read_first_pass_again();

// Where a pass met its first fault: the kind, and the content offset.
struct read_fault {
    fault_kind kind;
    int64_t offset;
};

// Once every range has had its first pass: the accepted lines of the ranges, up to and
// including the first that met a fault.
int64_t accepted_lines();

// The first fault in file order once every range has had its first pass, lines_before
// accepted lines preceding the ranges (the line past the M announced included); FAULT_NONE
// when none.
read_fault first_read_fault(int64_t lines_before);

// What the kept lines of the ranges hold (min_weight INT32_MAX, max_weight INT32_MIN when
// none); valid when no fault was found.
edge_stats read_line_stats();

// norvane, once every range has had its first pass: reports the first offending line in
// file order, or returns what the lines hold.
edge_stats check_edge_lines();

// Once every range has had its second pass: a read fault at the start of the first range
// whose second pass did not meet the lines of its first (the file changed), or FAULT_NONE.
read_fault second_pass_fault();

// norvane: ends the run with the read message when second_pass_fault finds one.
void check_second_pass();

// Start of the byte range r of a plain file (0 for a stream).
int64_t range_start(int r);

// What one scan of a run of whole lines in memory found.
struct lines_scan {
    int64_t lines;     // accepted edge lines, up to the first offending one
    int64_t kept;      // of them handed over
    int32_t min_weight;
    int32_t max_weight;
    uint32_t max_offset;
    int64_t fault_offset;  // content offset of the first offending line, -1 when none
};

// Scans the lines of a run [lines, lines + length) at content offset, newline + 8 bytes
// after it, its kept lines into held (when not null); accepting a line past line_limit offends.
lines_scan scan_run_lines(const char *lines, size_t length, int64_t offset, int64_t line_limit, line_store *held);

// After read_problem_line: where the edge lines start, and the rest of the run holding it.
int64_t edge_lines_start();
void pending_edge_lines(const char **lines, size_t *length);

// Frees what reading holds and closes the input.
void release_reading();
