// Reading one graph file by several processes. Rank 0 reads up to the problem line; the
// edge lines then come in parts, one per process at a time, each part's lines in file order
// and every part before the next process's part in file order. Invariant: a part is handed
// out only once every process has checked its own, so the first offending line in file
// order over all processes is the one reported, as by the one-process reader. A plain
// file's part is this process's byte range, scanned twice rather than held.
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

// Lines one member holds as it scans, in blocks; out of memory, it drops them and says so.
struct member_lines {
    edge_line_block *blocks;
    size_t num_blocks;
    size_t capacity;
    bool out_of_memory;
};

// Appends count lines to m's blocks; sets m.out_of_memory instead when memory is short.
void hold_lines(member_lines &m, const edge_line *lines, size_t count);

// Moves the members' blocks, in member order, into part; the members keep none.
void hand_over(member_lines *members, int count, held_lines *part);

// Whether the input is a plain file, whose parts are scanned twice in place (scan_part,
// scan_part_again); any other input comes in held parts (next_held_lines).
bool parts_scanned_twice();

// What a member's scan hands its lines to, as the batch function's context: the caller's
// state, and a flag the function sets when it had to drop lines for want of memory.
struct part_sink {
    void *state;
    bool out_of_memory;
};

// Collective, plain files, once: this process's byte range scanned by part_members()
// members, member m's kept lines to batch with &sinks[m], in file order. Ends the run at
// the first offending line of all processes, as the one-process reader reports it.
void scan_part(edge_batch_fn batch, part_sink *sinks);

// Collective, plain files, after scan_part: the same range again, the same way; ends the
// run with the read message unless every member met the very lines its first scan did.
void scan_part_again(edge_batch_fn batch, part_sink *sinks);

// Plain files: the members that scan this process's range, the same in both scans.
int part_members();

// Collective, streams: this process's next checked part (its run of the next wave); false
// everywhere when none is left. Ends the run at the first offending line.
bool next_held_lines(held_lines *part);

// Frees a part's lines.
void release_held_lines(held_lines *part);

// Collective, after the last part or scan: what the kept lines of the whole file hold
// (min_weight INT32_MAX and max_weight INT32_MIN when none).
edge_stats kept_line_stats();

// Frees what reading holds and closes the input.
void release_distributed_reading();
