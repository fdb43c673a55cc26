// Kept edge lines held in memory in file order, packed into blocks: a stream's lines, a
// small plain file's range between its two passes, and norvane-mpi's lines on their way
// to and from other processes. Invariant: a line takes 8 bytes, 12 with a weight that does
// not fit beside its ends, and a block is handed over, moved or released whole.
#pragma once

#include <cstddef>
#include <cstdint>

#include "edge_lines.h"

// A line is one word in a block: its ends in node_bits bits each, its weight in the bits
// above. A weight that does not fit there (negative, or too large for what the ends
// leave) is written as the escape and kept in a 32-bit slot taken from the block's far
// end, so a line never takes more than 12 bytes, and 8 on the graphs people bring.
struct packed_block {
    uint64_t *words;
    uint32_t num_words;    // from the front, one a line
    uint32_t num_escapes;  // 32-bit weights from the back, in line order
    uint32_t capacity;     // words the block holds
};

struct line_store {
    packed_block *blocks = nullptr;
    size_t num_blocks = 0;
    size_t capacity = 0;
    size_t block_words = 0;  // of the blocks still to come; settings.line_block_bytes / 8 when 0
    int64_t count = 0;
    int node_bits = 0;
    // When set, a block that memory_available refuses is not taken: the lines that would
    // need it are dropped and out_of_memory is set, so that the caller can report it in turn.
    bool checked = false;
    bool out_of_memory = false;
};

// A place among a store's lines, for a reader that takes them one at a time.
struct line_cursor {
    size_t block = 0;
    uint32_t word = 0;
    uint32_t escape = 0;  // escaped weights of the block read so far
};

// Bits for a 0-based node below n; n >= 1.
int node_bits_for(int64_t n);

// Appends lines, whose ends lie below 2^store.node_bits.
void append_lines(line_store &store, const edge_line *lines, size_t count);

// Moves every block of from to the end of to, in order, leaving from empty: the lines of
// to, then those of from. Both hold the same node bits.
void append_store(line_store &to, line_store &from);

// Hands the lines of blocks [from, to) of store to batch, BATCH_LINES at a time. With
// discard set each block is released for good once handed over, so that the held lines
// shrink as the store they fill grows.
void replay_lines(line_store &store, size_t from, size_t to, edge_batch_fn batch, void *context, bool discard);

// Whether cursor has passed the store's last line (moving it past emptied blocks).
bool at_store_end(const line_store &store, line_cursor &cursor);

// The line at cursor, which is not at the end; the cursor moves past it.
edge_line next_held_line(const line_store &store, line_cursor &cursor);

// Frees every block and empties store.
void release_lines(line_store &store);
