// The held-line store: lines packed one word each into blocks, a weight too wide for its
// word escaped into a slot at the block's far end. Invariant: the words grow from a
// block's front and the escaped weights from its back, and they never meet.
#include "line_store.h"

#include "grow.h"
#include "line_scanner.h"
#include "memory.h"
#include "settings.h"

namespace {

// The weight field's value that says "the weight is in a slot at the block's end".
inline uint64_t weight_escape(int node_bits) { return ~uint64_t(0) >> (2 * node_bits); }

// The escaped weights of a block, read from its far end: slot k is the k-th escape.
inline int32_t *escapes_of(const packed_block &b) {
    return reinterpret_cast<int32_t *>(b.words + b.capacity) - 1;
}

// The line of word, its weight taken from the block's next escape slot when escaped.
inline edge_line unpacked(uint64_t word, int bits, uint64_t escape, const int32_t *&next_escape) {
    const uint64_t mask = (uint64_t(1) << bits) - 1;
    const uint64_t field = word >> (2 * bits);
    return edge_line{int32_t(word & mask), int32_t((word >> bits) & mask),
                     __builtin_expect(field == escape, 0) ? *next_escape-- : int32_t(field)};
}

// A fresh block at the end of store; null when a checked store is refused the memory.
packed_block *add_block(line_store &store) {
    if (store.block_words == 0) store.block_words = settings.line_block_bytes / 8 > 2 ? settings.line_block_bytes / 8 : 2;
    const size_t bytes = store.block_words * sizeof(uint64_t);
    if (store.checked && (store.out_of_memory || !memory_available(2 * bytes + (size_t(1) << 20)))) {
        store.out_of_memory = true;
        return nullptr;
    }
    grow_array(store.blocks, store.capacity, store.num_blocks + 1, store.num_blocks);
    packed_block &b = store.blocks[store.num_blocks++];
    b = packed_block{static_cast<uint64_t *>(allocate_array(store.block_words, sizeof(uint64_t))), 0, 0,
                     uint32_t(store.block_words)};
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
        size_t room = b == nullptr ? 0 : 2 * size_t(b->capacity) - 2 * size_t(b->num_words) - b->num_escapes;
        if (room < 3) {
            b = add_block(store);
            if (b == nullptr) return;
            room = 2 * size_t(b->capacity);
        }
        size_t stop = i + room / 3;
        if (stop > count) stop = count;
        uint64_t *words = b->words + b->num_words;
        int32_t *escapes = escapes_of(*b) - b->num_escapes;
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
        store.count += int64_t(words - (b->words + b->num_words));
        b->num_words = uint32_t(words - b->words);
        b->num_escapes += uint32_t(escapes_start - escapes);
    }
}

void append_store(line_store &to, line_store &from) {
    grow_array(to.blocks, to.capacity, to.num_blocks + from.num_blocks, to.num_blocks);
    for (size_t b = 0; b < from.num_blocks; ++b) to.blocks[to.num_blocks++] = from.blocks[b];
    to.count += from.count;
    to.out_of_memory = to.out_of_memory || from.out_of_memory;
    release_array(from.blocks);
    from.blocks = nullptr;
    from.num_blocks = from.capacity = 0;
    from.count = 0;
}

void replay_lines(line_store &store, size_t from, size_t to, edge_batch_fn batch, void *context, bool discard) {
    const int bits = store.node_bits;
    const uint64_t escape = weight_escape(bits);
    edge_line lines[BATCH_LINES];
    for (size_t k = from; k < to; ++k) {
        packed_block &b = store.blocks[k];
        const int32_t *escapes = escapes_of(b);
        for (uint32_t j = 0; j < b.num_words;) {
            const uint32_t stop = b.num_words - j > BATCH_LINES ? j + uint32_t(BATCH_LINES) : b.num_words;
            edge_line *out = lines;
            for (; j < stop; ++j) *out++ = unpacked(b.words[j], bits, escape, escapes);
            batch(lines, size_t(out - lines), context);
        }
        if (discard) {
            discard_array(b.words);
            b.words = nullptr;
        }
    }
}

bool at_store_end(const line_store &store, line_cursor &cursor) {
    while (cursor.block < store.num_blocks && cursor.word == store.blocks[cursor.block].num_words) {
        ++cursor.block;
        cursor.word = cursor.escape = 0;
    }
    return cursor.block == store.num_blocks;
}

edge_line next_held_line(const line_store &store, line_cursor &cursor) {
    const packed_block &b = store.blocks[cursor.block];
    const int32_t *escape_slot = escapes_of(b) - cursor.escape;
    const int32_t *before = escape_slot;
    const edge_line line = unpacked(b.words[cursor.word++], store.node_bits, weight_escape(store.node_bits), escape_slot);
    cursor.escape += uint32_t(before - escape_slot);
    return line;
}

void release_lines(line_store &store) {
    // Blocks leave at once: no later array is of their size, and kept they would only add
    // to the peak.
    for (size_t b = 0; b < store.num_blocks; ++b) discard_array(store.blocks[b].words);
    release_array(store.blocks);
    store = line_store();
}
