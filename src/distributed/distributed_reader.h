// Reading one graph file by several processes. Rank 0 reads up to the problem line; the
// edge lines then come in parts, one per process at a time, each part's lines in file order
// and every part before the next process's part in file order. Invariant: a part is handed
// out only once every process has checked its own, so the first offending line in file
// order over all processes is the one reported, as by the one-process reader.
#pragma once

#include <cstddef>
#include <cstdint>

#include "reader.h"

// A part of the edge lines: the kept lines (no self-loop, no repeat of the line before)
// in file order, in blocks.
struct edge_line_block {
    edge_line *lines;
    size_t count;
};
struct held_lines {
    edge_line_block *blocks;
    size_t num_blocks;
    int64_t count;  // lines in all blocks
};

// Collective: rank 0 reads up to the problem line (size line), every process opens a plain
// file; one that is not the file rank 0 opened ends the run with the read message.
problem_counts read_head_everywhere(const char *path);

// When set, called on rank 0 once it has read the head, before the others open the file:
// tests replace the file there.
extern void (*head_read)();

// Collective: this process's next checked part (its byte range, or its run of the next
// wave); false everywhere when none is left. Ends the run at the first offending line.
bool next_held_lines(held_lines *part);

// Frees a part's lines.
void release_held_lines(held_lines *part);

// Collective, after the last part: the least weight of a kept line anywhere (INT32_MAX: none).
int32_t least_kept_weight();

// Frees what reading holds and closes the input.
void release_distributed_reading();
