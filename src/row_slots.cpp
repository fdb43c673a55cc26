// Row slots in two passes over pieces of rows that members claim as they come, so that a
// member the kernel holds off its core delays only the piece it holds: every piece's
// records, then every piece's places.
#include "row_slots.h"

#include <algorithm>

#include "first_records.h"
#include "memory.h"

namespace {

// Row lengths of rows [lo, hi), kept in rows; returns the records of the piece.
uint64_t sum_rows(uint32_t *rows, uint32_t *const *counts, int members, int64_t lo, int64_t hi) {
    uint64_t block = 0;
    for (int64_t u = lo; u < hi; ++u) {
        uint32_t length = 0;
        for (int m = 0; m < members; ++m) length += counts[m][u];
        rows[u] = length;
        block += length;
    }
    return block;
}

// Row starts of rows [lo, hi) from the piece's first record, and each member's cursor in
// the rows it fills: its slot follows the slots of the members before it.
void place_rows(uint32_t *rows, uint32_t *const *counts, int members, int64_t lo, int64_t hi, uint64_t base) {
    uint32_t start = uint32_t(base);
    for (int64_t u = lo; u < hi; ++u) {
        const uint32_t length = rows[u];
        rows[u] = start;
        uint32_t cursor = start;
        for (int m = 0; m < members; ++m) {
            const uint32_t count = counts[m][u];
            if (count != 0) counts[m][u] = cursor;
            cursor += count;
        }
        start += length;
    }
}

}  // namespace

// A member sums the records of the pieces before the one it claims as it goes (the
// monotonic schedule hands each member rising pieces), so the team meets once between the
// two loops and once at the end.
uint64_t place_all_rows(uint32_t *rows, uint32_t *const *counts, int64_t n, int members, int64_t piece_rows) {
    const int64_t per_piece = piece_size(n, piece_rows);
    const int64_t pieces = (n + per_piece - 1) / per_piece;
    uint64_t *piece_records = static_cast<uint64_t *>(allocate_array(size_t(pieces), sizeof(uint64_t)));
#pragma omp parallel num_threads(members) if (members > 1)
    {
#pragma omp for schedule(dynamic, 1)
        for (int64_t p = 0; p < pieces; ++p)
            piece_records[p] = sum_rows(rows, counts, members, p * per_piece, std::min(n, (p + 1) * per_piece));
        int64_t summed = 0;  // pieces whose records base holds
        uint64_t base = 0;
#pragma omp for schedule(monotonic : dynamic, 1) nowait
        for (int64_t p = 0; p < pieces; ++p) {
            if (p < summed) {
                summed = 0;
                base = 0;
            }
            for (; summed < p; ++summed) base += piece_records[summed];
            place_rows(rows, counts, members, p * per_piece, std::min(n, (p + 1) * per_piece), base);
        }
    }
    uint64_t total = 0;
    for (int64_t p = 0; p < pieces; ++p) total += piece_records[p];
    release_array(piece_records);
    return total;
}
