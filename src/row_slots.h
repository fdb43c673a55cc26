// Row slots, shared by both programs' builders: from each member's count of records per
// row, the rows' starts and every member's cursor into its slot of each row, the slots in
// member order. Invariant: a row's slots tile it exactly, so members filling in file order
// leave every row in file order with no lock.
#pragma once

#include <cstdint>

// Sets rows[u] to row u's start for u in [0, n) and turns counts[m][u] into member m's
// cursor where it is not zero (a zero count is only read: a count never met may be an
// untouched page); members claim pieces of piece_rows rows. Returns the records of all rows.
uint64_t place_all_rows(uint32_t *rows, uint32_t *const *counts, int64_t n, int members, int64_t piece_rows);
