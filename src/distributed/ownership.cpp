// The table of cuts and the two questions it answers. An owner is found by a binary search
// of the K + 1 cuts, a few cached comparisons; an empty block is skipped by the search.
#include "ownership.h"

#include <algorithm>

#include "distributed_run.h"
#include "memory.h"
#include "store.h"

namespace {

int32_t *cuts = nullptr;  // num_processes + 1

void take_block() {
    first_owned_node = cuts[process_rank];
    num_owned_nodes = cuts[process_rank + 1] - cuts[process_rank];
}

}  // namespace

void cut_equal_blocks() {
    release_blocks();
    const int64_t n = num_nodes, k = num_processes;
    cuts = static_cast<int32_t *>(allocate_array(size_t(k) + 1, sizeof(int32_t)));
    for (int64_t p = 0; p <= k; ++p) cuts[p] = int32_t(n * p / k);
    take_block();
}

void set_cuts(const int32_t *chosen) {
    std::copy(chosen, chosen + num_processes + 1, cuts);
    take_block();
}

int32_t first_node_of(int p) { return cuts[p]; }

int owner_of(int32_t x) { return int(std::upper_bound(cuts + 1, cuts + num_processes + 1, x) - (cuts + 1)); }

void release_blocks() { drop_array(cuts); }
