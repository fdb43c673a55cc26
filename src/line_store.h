// Kept edge lines held in memory in file order, packed into blocks. Invariant: a line
// takes 8 bytes, 12 with a weight that does not fit beside its ends, and a block is
// handed over, and may be released, whole.
#pragma once

#include <cstddef>
#include <cstdint>

#include "edge_lines.h"

// Kept edge lines held in memory in file order: a stream's, or a small plain file's
// range between its two passes. A line is one word in a block of line_block_bytes: its
// ends in node_bits bits each, its weight in the bits above. A weight that does not fit
// there (negative, or too large for what the ends leave) is written as the escape and
// kept in a 32-bit slot taken from the block's far end, so a line never takes more than
// 12 bytes, and 8 on the graphs people bring.
struct packed_block {
    uint64_t *words;
    uint32_t num_words;    // from the front, one a line
    uint32_t num_escapes;  // 32-bit weights from the back, in line order
};

struct line_store {
    packed_block *blocks = nullptr;
    size_t num_blocks = 0;
    size_t capacity = 0;
    size_t block_words = 0;  // of every block, fixed by the first
    int64_t count = 0;
    int node_bits = 0;
};

// Bits for a 0-based node below n; n >= 1.
int node_bits_for(int64_t n);

// Appends lines, whose ends lie below 2^store.node_bits.
void append_lines(line_store &store, const edge_line *lines, size_t count);

// Hands the lines of blocks [from, to) of store to batch, BATCH_LINES at a time. With
// discard set each block is released for good once handed over, so that the held lines
// shrink as the store they fill grows.
void replay_lines(line_store &store, size_t from, size_t to, edge_batch_fn batch, void *context, bool discard);

// Frees every block and empties store.
void release_lines(line_store &store);
