// Slabs of chunks: a pool grows by slabs that double up to its largest, so that the last
// one overshoots what the bins need by little, and a slab's chunks are handed out in
// order, so that the memory touched is the chunks used; every slab is released at the end.
#include "chunk_bins.h"

#include "memory.h"

namespace {
constexpr size_t SLAB_HEADER = 64;
constexpr size_t FIRST_SLAB_CHUNKS = 64;
}  // namespace

size_t first_slab_bytes() { return SLAB_HEADER + FIRST_SLAB_CHUNKS * sizeof(chunk); }

chunk_pool open_pool(size_t largest_slab) {
    return chunk_pool{nullptr, nullptr, FIRST_SLAB_CHUNKS,
                      largest_slab > FIRST_SLAB_CHUNKS ? largest_slab : FIRST_SLAB_CHUNKS, nullptr, 0};
}

void close_pool(chunk_pool &pool) {
    for (slab *s = pool.slabs; s != nullptr;) {
        slab *next = s->next;
        release_array(s);
        s = next;
    }
    pool = chunk_pool{nullptr, nullptr, FIRST_SLAB_CHUNKS, pool.largest_slab, nullptr, 0};
}

chunk *take_chunk(chunk_pool &pool) {
    if (pool.free_chunks != nullptr) {
        chunk *c = pool.free_chunks;
        pool.free_chunks = c->next;
        return c;
    }
    if (pool.num_unused == 0) {
        const size_t count = pool.next_slab_chunks;
        if (pool.next_slab_chunks < pool.largest_slab) pool.next_slab_chunks *= 2;
        char *bytes = static_cast<char *>(allocate_array(1, SLAB_HEADER + count * sizeof(chunk)));
        slab *s = reinterpret_cast<slab *>(bytes);
        s->next = pool.slabs;
        pool.slabs = s;
        pool.unused = reinterpret_cast<chunk *>(bytes + SLAB_HEADER);
        pool.num_unused = count;
    }
    --pool.num_unused;
    return pool.unused++;
}
