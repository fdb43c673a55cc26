// The earliest-line rule on rows: of the records a row holds for one neighbour, the first
// (the earliest edge line's) is kept. Shared by both programs' builders. Invariant: rows
// are packed to the front of their block in order, and a kept record never moves right.
#pragma once

#include <cstdint>

// Rows up to this long drop repeats by comparing with what they kept so far; longer ones
// look the target up in a per-member array of positions.
constexpr uint32_t SHORT_ROW = 16;

// Keeps the first record of each target in rows [lo, hi) of rows, packed to the front of
// the block: the kept records go to [rows[lo], returned end), and rows[u] becomes row u's
// new start. block_end is where row hi - 1 ended. target_of(record, u) is the record's
// target in row u. mark, indexed by target, holds where a long row last kept it: trusted
// only when that position holds the target in the row at hand, so it needs no clearing
// (and may be null when no row in [lo, hi) is longer than SHORT_ROW).
template <class record, class target_fn>
uint32_t keep_first_records(uint32_t *rows, record *pool, int64_t lo, int64_t hi, uint32_t block_end,
                            uint32_t *mark, target_fn target_of) {
    uint32_t write = lo < hi ? rows[lo] : block_end;
    for (int64_t u = lo; u < hi; ++u) {
        const int32_t node = int32_t(u);
        const uint32_t start = rows[u];
        const uint32_t end = u + 1 < hi ? rows[u + 1] : block_end;
        const uint32_t row = write;
        rows[u] = row;
        if (end - start <= SHORT_ROW) {
            for (uint32_t k = start; k < end; ++k) {
                const int32_t target = target_of(pool[k], node);
                uint32_t j = row;
                while (j < write && target_of(pool[j], node) != target) ++j;
                if (j == write) pool[write++] = pool[k];
            }
        } else {
            for (uint32_t k = start; k < end; ++k) {
                const int32_t target = target_of(pool[k], node);
                const uint32_t at = mark[target];
                if (at - row < write - row && target_of(pool[at], node) == target) continue;
                mark[target] = write;
                pool[write++] = pool[k];
            }
        }
    }
    return write;
}
