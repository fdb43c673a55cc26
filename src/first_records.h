// The earliest-line rule on rows: of the records a row holds for one neighbour, the first
// (the earliest edge line's) is kept. Shared by both programs' builders. Invariant: rows
// are packed to the front of their block in order, and a kept record never moves right.
#pragma once

#include <omp.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "memory.h"

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

// Keeps the first record per neighbour in rows [0, num_rows) of rows over pool (total
// records) and closes the gaps; returns the records kept, also set as rows[num_rows].
// Members take blocks of rows with about equal records, member m marking in marks[m].
template <class record, class target_fn>
uint32_t keep_first_in_rows(uint32_t *rows, int64_t num_rows, record *pool, uint64_t total, int members,
                            uint32_t *const *marks, target_fn target_of) {
    int64_t *first_row = static_cast<int64_t *>(allocate_array(size_t(members) + 1, sizeof(int64_t)));
    uint32_t *block_start = static_cast<uint32_t *>(allocate_array(size_t(members) + 1, sizeof(uint32_t)));
    uint32_t *block_kept = static_cast<uint32_t *>(allocate_array(size_t(members), sizeof(uint32_t)));
    for (int m = 0; m <= members; ++m) {
        const uint64_t r = total * uint64_t(m) / uint64_t(members);
        first_row[m] = m == members ? num_rows : std::lower_bound(rows, rows + num_rows, r) - rows;
        block_start[m] = m == members ? uint32_t(total) : rows[first_row[m]];
    }
#pragma omp parallel num_threads(members) if (members > 1)
    {
        const int m = omp_get_thread_num();
        const uint32_t end = keep_first_records(rows, pool, first_row[m], first_row[m + 1], block_start[m + 1],
                                                marks[m], target_of);
        block_kept[m] = end - block_start[m];
    }
    // Blocks move left in order, so none lands on one not yet moved.
    uint32_t at = 0;
    for (int m = 0; m < members; ++m) {
        if (at != block_start[m]) memmove(pool + at, pool + block_start[m], size_t(block_kept[m]) * sizeof(record));
        const uint32_t shift = block_start[m] - at;
        block_start[m] = shift;
        at += block_kept[m];
    }
#pragma omp parallel num_threads(members) if (members > 1)
    {
        const int m = omp_get_thread_num();
        const uint32_t shift = block_start[m];
        if (shift != 0) {
            for (int64_t u = first_row[m]; u < first_row[m + 1]; ++u) rows[u] -= shift;
        }
    }
    rows[num_rows] = at;
    release_array(first_row);
    release_array(block_start);
    release_array(block_kept);
    return at;
}
