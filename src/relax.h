// What every solver shares: the start from node 0, the relaxation of a settled node's row,
// and the settling of a list of entries that both bucket solvers run. Invariant: node 0's
// direct weights, whatever their size, are the starting values; an edge of 2^30 or more
// never lowers a node through another node. A neighbour outside the store's block
// (norvane-mpi) is never written here: its offer goes to the caller's hook.
#pragma once

#include <cstdint>

#include "bucket_ring.h"
#include "store.h"

// Takes an offer for a neighbour outside the block: its index relative to the block, the
// offered distance, and the caller's context.
typedef void (*outside_offer_fn)(int32_t target, int32_t offer, void *context);

// Every owned node unsettled at INFINITE_DISTANCE; then, where node 0 is owned, node 0
// settled at 0 and its owned neighbours at their direct weights, the others handed to
// elsewhere (never called for the whole graph). Inside a parallel region each member fills,
// and so first touches, its static share.
void start_from_node_zero(outside_offer_fn elsewhere = nullptr, void *context = nullptr);

// Calls push(entry) for each owned neighbour of node 0 whose starting value is below 2^30.
template <class Rows, class Push>
void queue_start(const Rows &rows, Push &&push) {
    if (first_owned_node != 0 || num_owned_nodes == 0) return;
    for (uint32_t k = rows.offsets[0]; k < rows.offsets[1]; ++k) {
        const int32_t t = rows.target(k, 0);
        if (uint32_t(t) < uint32_t(num_owned_nodes) && min_distance[t] < INFINITE_DISTANCE)
            push(entry{t, min_distance[t]});
    }
}

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
template <class Rows>
__attribute__((always_inline)) inline void fetch_rows_ahead(const Rows &rows, const entry *entries, int64_t count,
                                                            int64_t k) {
    constexpr int64_t AHEAD_OFFSETS = 16, AHEAD_ROWS = 8;
    if (k + AHEAD_OFFSETS < count) {
        const int32_t ahead = entries[k + AHEAD_OFFSETS].node;
        __builtin_prefetch(&rows.offsets[ahead]);
        __builtin_prefetch(&min_distance[ahead]);
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

// A node's distance as a member of a team reads it while others may lower it.
template <bool team>
inline int32_t read_distance(int32_t node) {
    return team ? __atomic_load_n(&min_distance[node], __ATOMIC_RELAXED) : min_distance[node];
}

// Relaxes the rows of the live entries of a list (an entry whose node's distance has moved
// on is skipped), fetched a few entries ahead. An owned neighbour that an offer lowers is
// handed to push(entry) when the sum is below 2^30 (a sum of 2^30 or more is kept, the
// least value offered to a node never settled, but never queued); with whole false, a
// neighbour outside the block gets elsewhere(target, sum) instead. Both terms of a sum are
// below 2^30, so it fits.
template <bool team, bool whole, class Rows, class Push, class Elsewhere>
inline void settle_entries(const Rows &rows, const entry *entries, int64_t count, Push &&push,
                           Elsewhere &&elsewhere) {
    const uint32_t owned = uint32_t(num_owned_nodes);
    for (int64_t k = 0; k < count; ++k) {
        fetch_rows_ahead(rows, entries, count, k);
        const int32_t u = entries[k].node, base = entries[k].distance;
        if (read_distance<team>(u) != base) continue;
        relax_row(rows, u, base, [&](int32_t t, int64_t offer) {
            const int32_t sum = int32_t(offer);
            if (!whole && uint32_t(t) >= owned) {
                elsewhere(t, sum);
            } else if (lower_value<team>(min_distance[t], sum) && sum < INFINITE_DISTANCE) {
                push(entry{t, sum});
            }
        });
    }
}
