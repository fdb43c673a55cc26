// What every solver shares: the start from node 0 and the relaxation of a settled node's
// row. Invariant: node 0's direct weights, whatever their size, are the starting values;
// an edge of 2^30 or more never lowers a node through another node.
#pragma once

#include <cstdint>

#include "graph.h"

// Node 0 settled at 0, every other node unsettled at its direct weight from node 0 or at
// INFINITE_DISTANCE. Inside a parallel region each member fills its static share of the
// arrays (their first touch) and all members return together; outside, the caller fills all.
void start_from_node_zero();

// Offers base + w, formed in 64 bits, to every neighbour of s over an edge lighter than
// 2^30; lower(target, sum) decides and records. Rows hold each neighbour once, any order.
template <class Rows, class Lower>
inline void relax_row(const Rows &rows, int32_t s, int64_t base, Lower &&lower) {
    const uint32_t end = rows.offsets[s + 1];
    for (uint32_t k = rows.offsets[s]; k < end; ++k) {
        const int32_t w = rows.weight(k);
        if (w >= INFINITE_DISTANCE) continue;
        lower(rows.target(k, s), base + w);
    }
}

// A relaxation sum kept in 32 bits: above, it cannot pass 2^31 - 2 (both terms are below
// 2^30); below, negative weights could leave the range, so it stops at INT32_MIN.
inline int32_t clamped_sum(int64_t sum) { return sum < INT32_MIN ? INT32_MIN : int32_t(sum); }
