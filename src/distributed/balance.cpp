// The cuts of about equal records. Each process hands its shares to a histogram of
// HISTOGRAM_RANGES node ranges, which all processes sum; the target of cut p is p K-ths of
// all records, and the range where the running sum reaches it holds the cut. The records of
// every node of those ranges are then summed the same way, and the cut placed at a node.
#include "balance.h"

#include <mpi.h>

#include <algorithm>

#include "distributed_run.h"
#include "memory.h"
#include "ownership.h"
#include "store.h"

namespace {

constexpr int64_t HISTOGRAM_RANGES = int64_t(1) << 16;

struct histogram {
    int64_t ranges;
    int64_t *sums;      // per range of nodes, or per node of the ranges that hold a cut
    const int64_t *at;  // for the nodes: where each range's first node sits in sums, -1 for none
};

int64_t range_of(int32_t node, int64_t ranges) { return int64_t(node) * ranges / num_nodes; }
int32_t range_first(int64_t r, int64_t ranges) { return int32_t((r * num_nodes + ranges - 1) / ranges); }

void add_to_ranges(int32_t node, uint32_t records, void *context) {
    histogram &h = *static_cast<histogram *>(context);
    h.sums[range_of(node, h.ranges)] += records;
}

void add_to_nodes(int32_t node, uint32_t records, void *context) {
    histogram &h = *static_cast<histogram *>(context);
    const int64_t at = h.at[range_of(node, h.ranges)];
    if (at >= 0) h.sums[at + node - range_first(range_of(node, h.ranges), h.ranges)] += records;
}

void add_to_blocks(int32_t node, uint32_t records, void *context) {
    static_cast<int64_t *>(context)[owner_of(node)] += records;
}

// Sums count values over the processes, in place.
void sum_everywhere(int64_t *values, int64_t count) {
    MPI_Allreduce(MPI_IN_PLACE, values, int(count), MPI_INT64_T, MPI_SUM, MPI_COMM_WORLD);
}

// Whether the current blocks' weights stay within the tolerance; the whole weight in *total.
bool blocks_even(record_shares_fn shares, int64_t *total) {
    const int k = num_processes;
    int64_t *blocks = static_cast<int64_t *>(allocate_array(size_t(k), sizeof(int64_t)));
    std::fill(blocks, blocks + k, 0);
    shares(add_to_blocks, blocks);
    sum_everywhere(blocks, k);
    *total = 0;
    int64_t most = 0;
    for (int p = 0; p < k; ++p) {
        blocks[p] = blocks[p] * RECORD_WEIGHT + (first_node_of(p + 1) - first_node_of(p));
        *total += blocks[p];
        most = std::max(most, blocks[p]);
    }
    release_array(blocks);
    return double(most) <= BLOCK_RECORDS_TOLERANCE * double(*total) / k;
}

int64_t target_of(int p, int64_t total) { return (total * p + num_processes - 1) / num_processes; }

// For each cut p (1 .. K - 1), the range where the running sum of ranges reaches its target,
// and the records before that range.
void find_cut_ranges(const int64_t *sums, int64_t ranges, int64_t total, int64_t *range, int64_t *before) {
    int64_t r = 0, sum = 0;
    for (int p = 1; p < num_processes; ++p) {
        const int64_t target = target_of(p, total);
        while (r + 1 < ranges && sum + sums[r] < target) sum += sums[r++];
        range[p] = r;
        before[p] = sum;
    }
}

}  // namespace

int32_t cut_for(int64_t target, int64_t before, int32_t first, const int64_t *weights, int32_t count) {
    int64_t sum = before;
    for (int32_t i = 0; i < count; ++i) {
        const int64_t next = sum + weights[i];
        if (next >= target) return next - target < target - sum ? first + i + 1 : first + i;
        sum = next;
    }
    return first + count;
}

namespace {

// The cuts from the records of each node of the ranges that hold one.
void place_cuts(record_shares_fn shares, int64_t ranges, int64_t total, const int64_t *range, const int64_t *before) {
    const int k = num_processes;
    int64_t *at = static_cast<int64_t *>(allocate_array(size_t(ranges), sizeof(int64_t)));
    std::fill(at, at + ranges, -1);
    int64_t size = 0;
    for (int p = 1; p < k; ++p) {
        if (at[range[p]] >= 0) continue;
        at[range[p]] = size;
        size += range_first(range[p] + 1, ranges) - range_first(range[p], ranges);
    }
    agree_on_memory(size_t(size) * sizeof(int64_t) + size_t(k) * sizeof(int32_t));
    int64_t *nodes_in = static_cast<int64_t *>(allocate_array(size_t(size), sizeof(int64_t)));
    std::fill(nodes_in, nodes_in + size, 0);
    histogram fine = {ranges, nodes_in, at};
    shares(add_to_nodes, &fine);
    sum_everywhere(nodes_in, size);
    for (int64_t i = 0; i < size; ++i) nodes_in[i] = nodes_in[i] * RECORD_WEIGHT + 1;
    int32_t *cuts = static_cast<int32_t *>(allocate_array(size_t(k) + 1, sizeof(int32_t)));
    cuts[0] = 0;
    cuts[k] = num_nodes;
    for (int p = 1; p < k; ++p) {
        const int32_t first = range_first(range[p], ranges);
        const int32_t count = range_first(range[p] + 1, ranges) - first;
        cuts[p] = std::max(cuts[p - 1], cut_for(target_of(p, total), before[p], first, nodes_in + at[range[p]], count));
    }
    set_cuts(cuts);
    release_array(cuts);
    release_array(nodes_in);
    release_array(at);
}

}  // namespace

bool balance_blocks(record_shares_fn shares) {
    int64_t total = 0;
    if (blocks_even(shares, &total)) return false;
    const int k = num_processes;
    const int64_t ranges = std::min<int64_t>(HISTOGRAM_RANGES, num_nodes);
    agree_on_memory(size_t(ranges + 2 * k) * sizeof(int64_t));
    int64_t *sums = static_cast<int64_t *>(allocate_array(size_t(ranges + 2 * k), sizeof(int64_t)));
    std::fill(sums, sums + ranges, 0);
    histogram coarse = {ranges, sums, nullptr};
    shares(add_to_ranges, &coarse);
    sum_everywhere(sums, ranges);
    for (int64_t r = 0; r < ranges; ++r) sums[r] = sums[r] * RECORD_WEIGHT + range_first(r + 1, ranges) - range_first(r, ranges);
    int64_t *range = sums + ranges, *before = range + k;
    find_cut_ranges(sums, ranges, total, range, before);
    place_cuts(shares, ranges, total, range, before);
    release_array(sums);
    return true;
}
