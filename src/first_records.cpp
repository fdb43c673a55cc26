// Pieces of rows for the earliest-line rule: how they are cut, and the plan of the moves
// that close the gaps once each piece has dropped its repeats. Invariant: pieces move
// left in steps, and no record is written over one of a piece that has not read it yet.
#include "first_records.h"

#include <algorithm>

namespace {

// Pieces of one pass at most: claiming one costs nothing next to its work.
constexpr int64_t MAX_PIECES = 4096;

}  // namespace

int64_t piece_size(int64_t items, int64_t per_piece) {
    const int64_t least = (items + MAX_PIECES - 1) / MAX_PIECES;
    return std::max<int64_t>(std::max<int64_t>(per_piece, least), 1);
}

row_pieces cut_pieces(const uint32_t *rows, int64_t num_rows, uint64_t total, int members, int64_t per_piece_records) {
    row_pieces cut;
    const int64_t per_piece = piece_size(int64_t(total), per_piece_records);
    cut.count = members == 1 ? 1 : std::max<int64_t>((int64_t(total) + per_piece - 1) / per_piece, 1);
    const size_t count = size_t(cut.count);
    cut.first_node = static_cast<int64_t *>(allocate_array(count + 1, sizeof(int64_t)));
    cut.start = static_cast<uint32_t *>(allocate_array(count + 1, sizeof(uint32_t)));
    cut.kept = static_cast<uint32_t *>(allocate_array(count, sizeof(uint32_t)));
    cut.dest = static_cast<uint32_t *>(allocate_array(count + 1, sizeof(uint32_t)));
    cut.stash_at = static_cast<uint32_t *>(allocate_array(count, sizeof(uint32_t)));
    for (int64_t p = 0; p <= cut.count; ++p) {
        cut.first_node[p] = p == cut.count ? num_rows
                                          : std::lower_bound(rows, rows + num_rows, total * uint64_t(p) / uint64_t(cut.count)) - rows;
        cut.start[p] = p == cut.count ? uint32_t(total) : rows[cut.first_node[p]];
    }
    return cut;
}

void release_pieces(row_pieces &cut) {
    release_array(cut.first_node);
    release_array(cut.start);
    release_array(cut.kept);
    release_array(cut.dest);
    release_array(cut.stash_at);
}

piece_parts parts_of(const row_pieces &cut, int64_t p, int64_t first) {
    const uint32_t dest = cut.dest[p], end = cut.dest[p + 1], step_start = cut.start[first];
    const uint32_t low = dest < step_start ? std::min(end, step_start) - dest : 0;
    const uint32_t middle_end = std::min(end, cut.start[p]);
    return piece_parts{low, middle_end > dest + low ? middle_end - (dest + low) : 0};
}

// Pieces before the first repeat stay. With few repeats one step moves everything; with
// repeats in every row (each edge listed both ways) a step takes records up to twice as
// far as where it starts, besides what the stash holds; a piece alone needs no stash.
int64_t plan_moves(row_pieces &cut, move_step *steps, uint64_t stash_records) {
    cut.dest[0] = 0;
    for (int64_t p = 0; p < cut.count; ++p) cut.dest[p + 1] = cut.dest[p] + cut.kept[p];
    int64_t a = 0, planned = 0;
    while (a < cut.count && cut.start[a] == cut.dest[a]) ++a;
    while (a < cut.count) {
        uint64_t stashed = 0;
        int64_t b = a;
        for (; b < cut.count; ++b) {
            const uint32_t middle = parts_of(cut, b, a).middle;
            if (b > a && stashed + middle > stash_records) break;
            cut.stash_at[b] = uint32_t(stashed);
            stashed += middle;
        }
        steps[planned++] = move_step{a, b, stashed > 0};
        a = b;
    }
    return planned;
}
