// What every solver shares: the start from node 0 and the relaxation of a settled node's
// row. Invariant: node 0's direct weights, whatever their size, are the starting values;
// an edge of 2^30 or more never lowers a node through another node.
#pragma once

#include <cstdint>

#include "store.h"

// Node 0 settled at 0, the others unsettled at their direct weight or INFINITE_DISTANCE.
// (Inside a parallel region each member fills, and so first touches, its static share.)
void start_from_node_zero();

// Calls lower(target, base + w in 64 bits) for each neighbour of s over an edge below 2^30.
template <class Rows, class Lower>
inline void relax_row(const Rows &rows, int32_t s, int64_t base, Lower &&lower) {
    const uint32_t end = rows.offsets[s + 1];
    for (uint32_t k = rows.offsets[s]; k < end; ++k) {
        const int32_t w = rows.weight(k);
        if (w >= INFINITE_DISTANCE) continue;
        lower(rows.target(k, s), base + w);
    }
}

// Fetches the rows and distances of the nodes ahead of entry k of a list of count settled
// nodes: a node of a bucket is a random one, and its row and distance are the misses that
// dominate. Always inlined: a function of prefetches alone is judged free of effects, and
// the optimizer drops its calls.
template <class Rows, class Entry>
__attribute__((always_inline)) inline void fetch_rows_ahead(const Rows &rows, const int32_t *distances,
                                                            const Entry *entries, int64_t count, int64_t k) {
    constexpr int64_t AHEAD_OFFSETS = 16, AHEAD_ROWS = 8;
    if (k + AHEAD_OFFSETS < count) {
        const int32_t ahead = entries[k + AHEAD_OFFSETS].node;
        __builtin_prefetch(&rows.offsets[ahead]);
        __builtin_prefetch(&distances[ahead]);
    }
    if (k + AHEAD_ROWS < count) {
        const int32_t ahead = entries[k + AHEAD_ROWS].node;
        __builtin_prefetch(rows.address(rows.offsets[ahead]));
        __builtin_prefetch(static_cast<const char *>(rows.address(rows.offsets[ahead + 1])) - 1);
    }
}

// A relaxation sum in 32 bits: it cannot pass 2^31 - 2 above; below it stops at INT32_MIN.
inline int32_t clamped_sum(int64_t sum) { return sum < INT32_MIN ? INT32_MIN : int32_t(sum); }

// Lowers value to sum if sum is below it; true when it did. A team lowers by compare and
// swap, so that of concurrent offers the least stays.
template <bool team>
inline bool lower_value(int32_t &value, int32_t sum) {
    if (!team) {
        if (sum >= value) return false;
        value = sum;
        return true;
    }
    int32_t seen = __atomic_load_n(&value, __ATOMIC_RELAXED);
    do {
        if (sum >= seen) return false;
    } while (!__atomic_compare_exchange_n(&value, &seen, sum, true, __ATOMIC_RELAXED, __ATOMIC_RELAXED));
    return true;
}
