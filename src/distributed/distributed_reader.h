// Reading one graph file by several processes. Rank 0 reads up to the problem line; a
// plain file is then read by every process in a byte span of its own, through the
// reader's ranges; any other input by rank 0 alone, which hands its runs of whole lines out
// in waves, run k of a wave to process k. Invariant: no line is used before every process
// has checked its part and all agree on the first fault in file order, so the message is
// the one-process reader's, written once by rank 0.
#pragma once

#include <cstdint>

#include "edge_lines.h"
#include "line_store.h"

// Collective: rank 0 reads up to the problem line (size line) and every process learns the
// counts; a plain file is opened by every process, which ends the run with the read message
// unless it is the file rank 0 opened, and its span is set.
void read_head_everywhere(const char *path);

// Whether the input is a plain file, read in spans twice; any other comes in stream parts.
bool read_in_spans();

// Collective, after the first pass over this process's ranges: ends the run at the first
// fault of all processes; a member short_of_memory(m) dropped lines, a fault at its range.
void agree_on_first_pass(int members, bool (*short_of_memory)(int member));

// Collective, after the second pass: ends the run with the read message unless every
// process's second pass met its first and placed every record (placed).
void agree_on_second_pass(bool placed);

// Collective, streams: this process's run of the next wave, its kept lines appended to
// part; false everywhere when none is left. Ends the run at the first offending line.
bool next_stream_part(line_store &part);

// Collective: what the kept lines of the whole file hold.
edge_stats agree_on_line_stats();

// Frees what reading holds and closes the input.
void release_distributed_reading();
