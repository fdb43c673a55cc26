// Bins as lists of 1 KiB chunks of entries, carved from slabs of the one thread that fills
// them, for the one-process bucket solver (a team shares a bucket's work chunk by chunk).
// Invariant: a bin's size is the sum of its chunks' counts; a chunk is in one bin or on
// its pool's free list; slabs are released only when the pool closes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "bucket_ring.h"

constexpr int32_t CHUNK_ENTRIES = 126;
struct chunk {
    chunk *next;
    int32_t count;
    int32_t unused;
    entry entries[CHUNK_ENTRIES];
};

struct slab {
    slab *next;
};

struct bin {
    chunk *head;  // the chunk being filled, then older ones
    int64_t size;
};

struct chunk_pool {
    chunk *free_chunks;
    slab *slabs;
    size_t next_slab_chunks;
    size_t largest_slab;  // slabs double up to this many chunks
    chunk *unused;        // the newest slab's chunks not yet handed out, carved in order
    size_t num_unused;
};

// Bytes of the first slab a pool takes.
size_t first_slab_bytes();

// An empty pool whose slabs double from the first up to largest_slab chunks.
chunk_pool open_pool(size_t largest_slab);

// Releases every slab of the pool: its chunks, in bins or free, are gone.
void close_pool(chunk_pool &pool);

// A chunk of the pool, from a new slab when none is free (the run ends without memory).
chunk *take_chunk(chunk_pool &pool);

// Returns c to the pool for the next take_chunk.
inline void free_chunk(chunk_pool &pool, chunk *c) {
    c->next = pool.free_chunks;
    pool.free_chunks = c;
}

// Entries in the bin.
inline int64_t bin_size(const bin &b) { return b.size; }

// Appends e to the bin, in a new front chunk when the front one is full.
inline void bin_append(chunk_pool &pool, bin &b, entry e) {
    chunk *c = b.head;
    if (c == nullptr || c->count == CHUNK_ENTRIES) {
        chunk *fresh = take_chunk(pool);
        fresh->next = c;
        fresh->count = 0;
        b.head = c = fresh;
    }
    c->entries[c->count++] = e;
    ++b.size;
}

// Keeps the entries for which keep(entry) holds, in place; emptied chunks go to the pool.
template <class Keep>
void bin_filter(chunk_pool &pool, bin &b, Keep &&keep) {
    chunk *to = b.head;
    int32_t at = 0;
    int64_t kept = 0;
    for (chunk *c = b.head; c != nullptr; c = c->next) {
        for (int32_t k = 0; k < c->count; ++k) {
            const entry e = c->entries[k];
            if (!keep(e)) continue;
            // Writing never overtakes reading: to is c or a chunk before it.
            if (at == CHUNK_ENTRIES) {
                to->count = at;
                to = to->next;
                at = 0;
            }
            to->entries[at++] = e;
            ++kept;
        }
    }
    chunk *rest;
    if (kept == 0) {
        rest = b.head;
        b.head = nullptr;
    } else {
        to->count = at;
        rest = to->next;
        to->next = nullptr;
    }
    while (rest != nullptr) {
        chunk *c = rest;
        rest = c->next;
        free_chunk(pool, c);
    }
    b.size = kept;
}

// Puts bin from on the front of bin to, leaving from empty.
inline void bin_splice(bin &to, bin &from) {
    if (from.head == nullptr) return;
    chunk *last = from.head;
    while (last->next != nullptr) last = last->next;
    last->next = to.head;
    to.head = from.head;
    to.size += from.size;
    from = bin{nullptr, 0};
}
