// Scan solver: each round settles the unsettled node with the least distance below 2^30
// (lowest index among equals) and lowers its neighbours through it: O(n^2/64 + m) with block
// minima, no heap; chosen for dense graphs with a negative weight, where it keeps the exact
// one-thread order and a heap would pay a step per record.
// Invariant: keys mirror min_distance for unsettled nodes and are INT32_MAX once settled.
#include "scan_solver.h"

#include <cstdint>

#include "store.h"
#include "memory.h"
#include "relax.h"
#include "rows.h"

namespace {

// key[i] is node i's distance while it is unsettled and INT32_MAX once settled;
// block_min[b] is the least key of nodes [b * 64, b * 64 + 64). A round's selection reads
// the block minima, then one block: the first block holding the least key holds the lowest
// index with it, at the cost of n/64 + 64 reads instead of n.
constexpr int32_t KEY_BLOCK = 64;

struct scan_keys {
    int32_t *key;
    int32_t *block_min;
    int32_t num_blocks;
};

void refresh_block(scan_keys &keys, int32_t b) {
    const int32_t first = b * KEY_BLOCK;
    const int32_t last = first + KEY_BLOCK < num_nodes ? first + KEY_BLOCK : num_nodes;
    int32_t least = INT32_MAX;
    for (int32_t i = first; i < last; ++i) least = keys.key[i] < least ? keys.key[i] : least;
    keys.block_min[b] = least;
}

// The unsettled node with the least distance below 2^30, lowest index first; -1 if none.
int32_t select_nearest(const scan_keys &keys) {
    int32_t least = INT32_MAX;
    for (int32_t b = 0; b < keys.num_blocks; ++b) {
        least = keys.block_min[b] < least ? keys.block_min[b] : least;
    }
    if (least >= INFINITE_DISTANCE) return -1;
    int32_t b = 0;
    while (keys.block_min[b] != least) ++b;
    int32_t i = b * KEY_BLOCK;
    while (keys.key[i] != least) ++i;
    return i;
}

template <class Rows>
bool scan_rounds(const Rows &rows, scan_keys &keys) {
    const int32_t n = num_nodes;
    for (int32_t round = 1; round < n; ++round) {
        const int32_t s = select_nearest(keys);
        if (s < 0) return false;
        tree[s] = 1;
        keys.key[s] = INT32_MAX;
        refresh_block(keys, s / KEY_BLOCK);
        relax_row(rows, s, min_distance[s], [&keys](int32_t i, int64_t offer) {
            const int32_t sum = clamped_sum(offer);
            if (tree[i] == 1 || sum >= min_distance[i]) return;
            min_distance[i] = sum;
            keys.key[i] = sum;
            int32_t &block = keys.block_min[i / KEY_BLOCK];
            block = sum < block ? sum : block;
        });
    }
    return true;
}

}  // namespace

bool solve_with_scan() {
    const int32_t n = num_nodes;
    start_from_node_zero();
    scan_keys keys;
    keys.num_blocks = (n + KEY_BLOCK - 1) / KEY_BLOCK;
    keys.key = static_cast<int32_t *>(allocate_array(size_t(n), sizeof(int32_t)));
    keys.block_min =
        static_cast<int32_t *>(allocate_array(size_t(keys.num_blocks), sizeof(int32_t)));
    for (int32_t i = 0; i < n; ++i) keys.key[i] = min_distance[i];
    keys.key[0] = INT32_MAX;
    for (int32_t b = 0; b < keys.num_blocks; ++b) refresh_block(keys, b);
    const bool complete = with_rows([&keys](const auto &rows) { return scan_rounds(rows, keys); });
    release_array(keys.key);
    release_array(keys.block_min);
    return complete;
}
