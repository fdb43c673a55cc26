// Distributed store builder: every edge line goes to the owners of its ends, which build
// their rows from what arrives.
#pragma once

#include <cstdint>

// Collective, after read_head_everywhere: checks each share, exchanges every part, builds the rows.
void build_distributed_store(int32_t n, int32_t m);

// Frees what a build left half done (a failed run taken back by a test).
void release_distributed_building();

// Lines between two checkpoints of a plain file's scans: the second scan fills a member's
// slots only with lines whose running checksum met the first scan's there. Tests shrink it.
extern int64_t checked_lines;
