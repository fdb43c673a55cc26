// Row access whatever the pool's layout: wide records (target, weight) or packed 32-bit
// ones (weight low, offset to the target high). Solvers are written once against the
// accessors below and instantiated for both layouts through with_rows.
#pragma once

#include <cstdint>

#include "store.h"

struct wide_rows {
    const uint32_t *offsets;
    const edge_record *records;
    int32_t target(uint32_t k, int32_t) const { return records[k].target; }
    int32_t weight(uint32_t k) const { return records[k].weight; }
    const void *address(uint32_t k) const { return records + k; }
};

struct packed_rows {
    const uint32_t *offsets;
    const uint32_t *records;
    int weight_bits;
    uint32_t weight_mask;
    int32_t target(uint32_t k, int32_t u) const {
        return u + (int32_t(records[k]) >> weight_bits);
    }
    int32_t weight(uint32_t k) const { return int32_t(records[k] & weight_mask); }
    const void *address(uint32_t k) const { return records + k; }
};

// Packs one record; the caller has checked that weight and offset fit.
inline uint32_t pack_record(int32_t from, int32_t target, int32_t weight, int weight_bits) {
    return (uint32_t(target - from) << weight_bits) | uint32_t(weight);
}

// Calls f(k) for the records k of 64 runs of 64 spread over a pool of records (all of them
// when fewer): a sample of the pool that costs a few dozen cache misses.
template <class F>
inline void for_sampled_records(int64_t records, F &&f) {
    constexpr int64_t RUNS = 64, RUN = 64;
    const int64_t gap = records > RUNS * RUN ? records / RUNS : RUN;
    for (int64_t start = 0; start < records; start += gap)
        for (int64_t k = start; k < start + RUN && k < records; ++k) f(uint32_t(k));
}

// Calls f with the accessor of the store's layout; requires the store built.
template <class F>
decltype(auto) with_rows(F &&f) {
    if (packed_edges != nullptr) {
        return f(packed_rows{nodes, packed_edges, packed_weight_bits,
                             (uint32_t(1) << packed_weight_bits) - 1});
    }
    return f(wide_rows{nodes, edges});
}
