// The ring of buckets both bucket solvers keep: bins of (node, distance) entries, bucket b
// in bins[b & mask] while base <= b < base + size, later buckets in one overflow bin.
// Invariant: occupied has a bit exactly for the non-empty ring bins; no bucket in the
// overflow is below overflow_min. The bins' storage is a parameter (Bin, with a Pool to
// grow it): chunk lists for the one-process solver, flat lists for the distributed one.
#pragma once

#include <cstdint>
#include <cstring>

struct entry {
    int32_t node;
    int32_t distance;
};

constexpr int64_t NO_BUCKET = INT64_MAX;
// The most buckets a ring holds unless a caller asks for fewer.
constexpr int64_t RING_MAX_BUCKETS = int64_t(1) << 13;

// The exponent of the greatest power of two not above v (0 for v <= 1).
inline int floor_log2(int64_t v) { return v <= 1 ? 0 : 63 - __builtin_clzll(uint64_t(v)); }

// The least power of two from 64 up that covers reach buckets, at most most (a power of two).
inline int64_t ring_size_for(int64_t reach, int64_t most) {
    int64_t ring = 64;
    while (ring < reach && ring < most) ring *= 2;
    return ring;
}

// A ring over bins of type Bin; the fields are the invariant's, read by the solvers.
template <class Bin>
struct bucket_ring {
    Bin *bins;
    uint64_t *occupied;
    Bin overflow;
    int64_t overflow_min;
    int64_t base;
    int64_t size;
    int64_t mask;
    size_t words;
    int shift;  // bucket of a distance: distance >> shift
};

// Sets r up over bins (size of them, a power of two from 64 up) and a bit per bin, all
// emptied; the ring starts at bucket 0.
template <class Bin>
void open_ring(bucket_ring<Bin> &r, Bin *bins, uint64_t *occupied, int64_t size, int shift) {
    memset(static_cast<void *>(bins), 0, size_t(size) * sizeof(Bin));
    memset(occupied, 0, size_t(size / 64) * sizeof(uint64_t));
    r.bins = bins;
    r.occupied = occupied;
    r.overflow = Bin{};
    r.overflow_min = NO_BUCKET;
    r.base = 0;
    r.size = size;
    r.mask = size - 1;
    r.words = size_t(size / 64);
    r.shift = shift;
}

// The bucket of a distance for buckets of width 2^shift.
inline int64_t bucket_of(int32_t distance, int shift) { return int64_t(distance) >> shift; }

// Queues e in its bucket, which is never below base: in the ring while the ring reaches it.
template <class Bin, class Pool>
inline void ring_push(bucket_ring<Bin> &r, Pool &pool, entry e) {
    const int64_t b = bucket_of(e.distance, r.shift);
    if (b - r.base < r.size) {
        const int64_t slot = b & r.mask;
        if (bin_size(r.bins[slot]) == 0) r.occupied[slot >> 6] |= uint64_t(1) << (slot & 63);
        bin_append(pool, r.bins[slot], e);
    } else {
        if (b < r.overflow_min) r.overflow_min = b;
        bin_append(pool, r.overflow, e);
    }
}

// Bucket b's ring bin, replaced by empty (a bin without entries).
template <class Bin>
inline Bin ring_take(bucket_ring<Bin> &r, int64_t b, Bin empty) {
    const int64_t slot = b & r.mask;
    const Bin taken = r.bins[slot];
    r.bins[slot] = empty;
    r.occupied[slot >> 6] &= ~(uint64_t(1) << (slot & 63));
    return taken;
}

// The least bucket in from .. end - 1 whose ring bin holds an entry, NO_BUCKET if none;
// base <= from and end <= base + size.
template <class Bin>
int64_t first_occupied(const bucket_ring<Bin> &r, int64_t from, int64_t end) {
    for (int64_t b = from; b < end;) {
        const int64_t slot = b & r.mask;
        const uint64_t bits = r.occupied[slot >> 6] >> (slot & 63);
        if (bits != 0) {
            const int64_t found = b + __builtin_ctzll(bits);
            return found < end ? found : NO_BUCKET;
        }
        b += 64 - (slot & 63);
    }
    return NO_BUCKET;
}

// The least bucket from `from` (at least base) holding an entry, dead or alive, in the
// ring or the overflow; NO_BUCKET when r holds none.
template <class Bin>
int64_t least_bucket(const bucket_ring<Bin> &r, int64_t from) {
    const int64_t least = bin_size(r.overflow) > 0 ? r.overflow_min : NO_BUCKET;
    const int64_t ring = first_occupied(r, from, r.base + r.size);
    return ring < least ? ring : least;
}

// Drops the entries of bucket b's ring bin that live(entry) rejects; what is left.
template <class Bin, class Pool, class Live>
int64_t drop_dead(bucket_ring<Bin> &r, Pool &pool, int64_t b, Live &&live) {
    const int64_t slot = b & r.mask;
    bin_filter(pool, r.bins[slot], live);
    const int64_t left = bin_size(r.bins[slot]);
    if (left == 0) r.occupied[slot >> 6] &= ~(uint64_t(1) << (slot & 63));
    return left;
}

// The least bucket from `from` (at least base) holding a live entry, dropping the dead
// entries of the ring bins passed on the way; an overflow bucket is not checked (it may
// turn out dead once the ring reaches it).
template <class Bin, class Pool, class Live>
int64_t least_live_bucket(bucket_ring<Bin> &r, Pool &pool, int64_t from, Live &&live) {
    const int64_t end = r.base + r.size;
    for (int64_t b = first_occupied(r, from, end); b != NO_BUCKET; b = first_occupied(r, b + 1, end))
        if (drop_dead(r, pool, b, live) > 0) return b;
    return bin_size(r.overflow) > 0 ? r.overflow_min : NO_BUCKET;
}

// Moves the ring's base up to cur (no entry lies below cur) and the live overflow entries
// it now reaches into it, dropping the dead ones.
template <class Bin, class Pool, class Live>
void advance_ring(bucket_ring<Bin> &r, Pool &pool, int64_t cur, Live &&live) {
    r.base = cur;
    if (bin_size(r.overflow) == 0 || r.overflow_min - cur >= r.size) return;
    r.overflow_min = NO_BUCKET;
    bin_filter(pool, r.overflow, [&](entry e) {
        if (!live(e)) return false;
        const int64_t b = bucket_of(e.distance, r.shift);
        if (b - cur < r.size) {
            ring_push(r, pool, e);  // into the ring, never back into the overflow
            return false;
        }
        if (b < r.overflow_min) r.overflow_min = b;
        return true;
    });
}

// Moves every entry of from into to; both rings hold the same buckets in the same slots.
template <class Bin>
void merge_ring(bucket_ring<Bin> &to, bucket_ring<Bin> &from) {
    for (size_t word = 0; word < to.words; ++word) {
        for (uint64_t bits = from.occupied[word]; bits != 0; bits &= bits - 1) {
            const size_t slot = word * 64 + size_t(__builtin_ctzll(bits));
            bin_splice(to.bins[slot], from.bins[slot]);
        }
        to.occupied[word] |= from.occupied[word];
        from.occupied[word] = 0;
    }
    if (bin_size(from.overflow) > 0) {
        to.overflow_min = from.overflow_min < to.overflow_min ? from.overflow_min : to.overflow_min;
        bin_splice(to.overflow, from.overflow);
        from.overflow_min = NO_BUCKET;
    }
}
