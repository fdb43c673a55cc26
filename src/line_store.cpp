// The held-line store: lines packed one word each into blocks of line_block_bytes, a
// weight too wide for its word escaped into a slot at the block's far end. Invariant:
// the words grow from a block's front and the escaped weights from its back, and they
// never meet.
#include "line_store.h"

#include "grow.h"
#include "line_scanner.h"
#include "memory.h"

// One huge page: arrays of their own that fault in at once and that the allocator keeps
// for reuse, so that releasing them unmaps nothing mid-run.
size_t line_block_bytes = size_t(2) << 20;

namespace {

// The weight field's value that says "the weight is in a slot at the block's end".
inline uint64_t weight_escape(int node_bits) { return ~uint64_t(0) >> (2 * node_bits); }

// A fresh block at the end of store.
packed_block *add_block(line_store &store) {
    grow_array(store.blocks, store.capacity, store.num_blocks + 1, store.num_blocks);
    if (store.block_words == 0) store.block_words = line_block_bytes / 8 > 2 ? line_block_bytes / 8 : 2;
    packed_block &b = store.blocks[store.num_blocks++];
    b = packed_block{static_cast<uint64_t *>(allocate_array(store.block_words, sizeof(uint64_t))), 0, 0};
    return &b;
}

}  // namespace

int node_bits_for(int64_t n) { return n <= 1 ? 0 : 64 - __builtin_clzll(uint64_t(n - 1)); }

void append_lines(line_store &store, const edge_line *lines, size_t count) {
    const int bits = store.node_bits;
    const uint64_t escape = weight_escape(bits);
    packed_block *b = store.num_blocks > 0 ? &store.blocks[store.num_blocks - 1] : nullptr;
    size_t i = 0;
    while (i < count) {
        // Room is counted in 32-bit halves of the block's words: two a line, three with
        // an escaped weight. Lines that surely fit are written without asking again.
        size_t room = b == nullptr ? 0 : 2 * store.block_words - 2 * size_t(b->num_words) - b->num_escapes;
        if (room < 3) {
            b = add_block(store);
            room = 2 * store.block_words;
        }
        size_t stop = i + room / 3;
        if (stop > count) stop = count;
        uint64_t *words = b->words + b->num_words;
        int32_t *escapes = reinterpret_cast<int32_t *>(b->words + store.block_words) - 1 - b->num_escapes;
        const int32_t *escapes_start = escapes;
        for (; i < stop; ++i) {
            const edge_line &e = lines[i];
            uint64_t field = uint64_t(uint32_t(e.weight));
            if (__builtin_expect(e.weight < 0 || field >= escape, 0)) {
                field = escape;
                *escapes-- = e.weight;
            }
            *words++ = uint64_t(uint32_t(e.u)) | (uint64_t(uint32_t(e.v)) << bits) | (field << (2 * bits));
        }
        b->num_words = uint32_t(words - b->words);
        b->num_escapes += uint32_t(escapes_start - escapes);
    }
    store.count += int64_t(count);
}

void replay_lines(line_store &store, size_t from, size_t to, edge_batch_fn batch, void *context, bool discard) {
    const int bits = store.node_bits;
    const uint64_t escape = weight_escape(bits);
    const uint64_t mask = (uint64_t(1) << bits) - 1;
    edge_line lines[BATCH_LINES];
    for (size_t k = from; k < to; ++k) {
        packed_block &b = store.blocks[k];
        const int32_t *escapes = reinterpret_cast<const int32_t *>(b.words + store.block_words) - 1;
        for (uint32_t j = 0; j < b.num_words;) {
            const uint32_t stop = b.num_words - j > BATCH_LINES ? j + uint32_t(BATCH_LINES) : b.num_words;
            edge_line *out = lines;
            for (; j < stop; ++j) {
                const uint64_t word = b.words[j];
                const uint64_t field = word >> (2 * bits);
                *out++ = edge_line{int32_t(word & mask), int32_t((word >> bits) & mask),
                                   __builtin_expect(field == escape, 0) ? *escapes-- : int32_t(field)};
            }
            batch(lines, size_t(out - lines), context);
        }
        if (discard) {
            discard_array(b.words);
            b.words = nullptr;
        }
    }
}

void release_lines(line_store &store) {
    for (size_t b = 0; b < store.num_blocks; ++b) release_array(store.blocks[b].words);
    release_array(store.blocks);
    store = line_store();
}
