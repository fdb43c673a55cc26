// The earliest-line rule on rows: of the records a row holds for one neighbour, the first
// (the earliest edge line's) is kept. Shared by both programs' builders. Members claim
// pieces of rows as they come, then move the pieces left to close the gaps. Invariant:
// rows are packed to the front of their piece in order, and a kept record never moves right.
#pragma once

#include <omp.h>

#include <atomic>
#include <cstdint>
#include <cstring>

#include "memory.h"

// Rows up to this long drop repeats by comparing with what they kept so far; longer ones
// look the target up in a per-member array of positions.
constexpr uint32_t SHORT_ROW = 16;

// Pieces of items / per_piece items each (at least one), no more than a few thousand: their
// per-piece sums stay a few pages however large the graph.
int64_t piece_size(int64_t items, int64_t per_piece);

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

// Pieces of rows with about equal records. Piece p holds rows first_node[p] ..
// first_node[p + 1] - 1, which begin at record start[p]; once its repeats are dropped it
// keeps kept[p] records there, and they move to dest[p]; those its step stashes wait at
// record stash_at[p] of the stash.
struct row_pieces {
    int64_t count;
    int64_t *first_node;  // count + 1
    uint32_t *start;      // count + 1
    uint32_t *kept;       // count
    uint32_t *dest;       // count + 1
    uint32_t *stash_at;   // count
};

// Pieces of about per_piece records over rows [0, num_rows) holding total records; one
// piece for a member alone: it drops the repeats in place and nothing moves after.
row_pieces cut_pieces(const uint32_t *rows, int64_t num_rows, uint64_t total, int members, int64_t per_piece);

// Frees what cut_pieces allocated.
void release_pieces(row_pieces &cut);

// Piece p's records in a step of moves that begins at piece first: the low ones land
// left of every piece of the step; the middle ones land over pieces of the step before p,
// which may not have read their records yet, so they wait in the stash; the rest land
// over p's own records.
struct piece_parts {
    uint32_t low, middle;
};

// The parts of piece p in the step that begins at piece first.
piece_parts parts_of(const row_pieces &cut, int64_t p, int64_t first);

// A step of the compaction: pieces first .. end - 1 move side by side, in two halves when
// some of them stash records.
struct move_step {
    int64_t first, end;
    bool stashed;
};

// Sets dest by a prefix over kept and plans the moves in steps; returns the steps.
// A step takes pieces while their middle records fit in stash_records.
int64_t plan_moves(row_pieces &cut, move_step *steps, uint64_t stash_records);

// First half of piece p's move: its low records to their place, its middle ones to the
// stash, then the rest over its own records; its row starts shifted.
template <class record>
void move_piece(uint32_t *rows, record *pool, const row_pieces &cut, int64_t p, int64_t first, unsigned char *stash) {
    const uint32_t shift = cut.start[p] - cut.dest[p];
    if (shift == 0) return;
    const piece_parts parts = parts_of(cut, p, first);
    const record *from = pool + cut.start[p];
    const uint32_t placed = parts.low + parts.middle;
    memcpy(pool + cut.dest[p], from, size_t(parts.low) * sizeof(record));
    memcpy(stash + size_t(cut.stash_at[p]) * sizeof(record), from + parts.low, size_t(parts.middle) * sizeof(record));
    memmove(pool + cut.dest[p] + placed, from + placed, size_t(cut.kept[p] - placed) * sizeof(record));
    for (int64_t u = cut.first_node[p]; u < cut.first_node[p + 1]; ++u) rows[u] -= shift;
}

// Second half, once every piece of the step has read its records: the middle records
// from the stash to their place.
template <class record>
void place_stashed(record *pool, const row_pieces &cut, int64_t p, int64_t first, const unsigned char *stash) {
    const piece_parts parts = parts_of(cut, p, first);
    memcpy(pool + cut.dest[p] + parts.low, stash + size_t(cut.stash_at[p]) * sizeof(record),
           size_t(parts.middle) * sizeof(record));
}

// Keeps the first record per neighbour in rows [0, num_rows) of rows over pool (total
// records), member m marking in marks[m], and closes the gaps; returns the records kept,
// also set as rows[num_rows]. stash (stash_bytes) is scratch the moves may use; pieces
// hold about per_piece records.
template <class record, class target_fn>
uint32_t keep_first_in_rows(uint32_t *rows, int64_t num_rows, record *pool, uint64_t total, int members,
                            uint32_t *const *marks, unsigned char *stash, size_t stash_bytes, int64_t per_piece,
                            target_fn target_of) {
    row_pieces cut = cut_pieces(rows, num_rows, total, members, per_piece);
    move_step *steps = static_cast<move_step *>(allocate_array(size_t(cut.count), sizeof(move_step)));
    int64_t planned = 0;
    std::atomic<int64_t> pieces_kept{0};
    const uint64_t stash_records = stash_bytes / sizeof(record);
    // The member that finishes the last piece plans the moves, and every step ends at a
    // barrier but the last, which the region's end closes: the team meets as seldom as
    // the moves allow, since each meeting waits for a member held off its core.
#pragma omp parallel num_threads(members) if (members > 1)
    {
        uint32_t *mark = marks[omp_get_thread_num()];
#pragma omp for schedule(dynamic, 1) nowait
        for (int64_t p = 0; p < cut.count; ++p) {
            const uint32_t end = keep_first_records(rows, pool, cut.first_node[p], cut.first_node[p + 1],
                                                    cut.start[p + 1], mark, target_of);
            cut.kept[p] = end - cut.start[p];
            if (pieces_kept.fetch_add(1, std::memory_order_acq_rel) + 1 == cut.count)
                planned = plan_moves(cut, steps, stash_records);
        }
#pragma omp barrier
        for (int64_t s = 0; s < planned; ++s) {
            const move_step step = steps[s];
#pragma omp for schedule(dynamic, 1) nowait
            for (int64_t p = step.first; p < step.end; ++p) move_piece(rows, pool, cut, p, step.first, stash);
            if (step.stashed) {
#pragma omp barrier
#pragma omp for schedule(dynamic, 1) nowait
                for (int64_t p = step.first; p < step.end; ++p) place_stashed(pool, cut, p, step.first, stash);
            }
            if (s + 1 < planned) {
#pragma omp barrier
            }
        }
    }
    const uint32_t kept = cut.dest[cut.count];
    rows[num_rows] = kept;
    release_array(steps);
    release_pieces(cut);
    return kept;
}
