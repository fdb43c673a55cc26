// Solver: picks the algorithm for the graph's shape and times it.
// Scan solver (dense graphs): node 0 starts settled; each round picks the unsettled node
// with the smallest tentative distance below 2^30, settles it, and lowers its unsettled
// neighbours through it: O(n^2 + m), no heap. From 64Ki nodes the clear, selection and
// relaxation loops each run as one OpenMP region with the static schedule, where only the
// selection's shared candidate needs the lock; below that one thread selects through
// block minima. Sparse graphs go to the priority-queue solver, which settles the same nodes.
#include "solver.h"

#include <sys/time.h>

#include <atomic>
#include <cstdint>
#include <cstdio>

#include "graph.h"
#include "memory.h"
#include "queue_solver.h"

namespace {

// distance is read without the lock as a hint; the test under the lock decides.
struct nearest_candidate {
    int32_t node;
    std::atomic<int32_t> distance;
};

// Sums are formed in 64 bits and clamped, so negative weights can never wrap.
int32_t clamped_sum(int32_t a, int32_t b) {
    int64_t sum = int64_t(a) + int64_t(b);
    if (sum > INT32_MAX) return INT32_MAX;
    if (sum < INT32_MIN) return INT32_MIN;
    return int32_t(sum);
}

// The scan pays about n/64 per round for n rounds; the queue about a heap operation per
// record. Measured (bench/crossover.sh), the two are level once the average row holds a
// sixteenth of all nodes, and there the scan needs no heap; below, the queue wins.
bool prefer_scan() {
    const int64_t n = num_nodes;
    return edge_counter * 16 >= n * n;
}

// Selection state of the scan on one thread. key[i] is node i's distance while it is
// unsettled and INT32_MAX once settled; block_min[b] is the least key of nodes
// [b * 64, b * 64 + 64). A round's selection reads the block minima, then one block: the
// first block holding the least key holds the lowest index with it, as the one-thread scan
// chooses, at the cost of about sqrt(n) reads instead of n.
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

// Lowers, through the settled node s, its unsettled neighbours (each appears once in its
// row), keeping the keys in step.
void relax_row(int32_t s, scan_keys &keys) {
    const uint32_t first = nodes[s];
    const uint32_t last = nodes[s + 1];
    const int32_t base = min_distance[s];
    for (uint32_t k = first; k < last; ++k) {
        const int32_t i = edges[k].target;
        const int32_t d = edges[k].weight;
        if (tree[i] == 1 || d >= INFINITE_DISTANCE) continue;
        const int32_t sum = clamped_sum(base, d);
        if (sum < min_distance[i]) {
            min_distance[i] = sum;
            keys.key[i] = sum;
            int32_t &block = keys.block_min[i / KEY_BLOCK];
            block = sum < block ? sum : block;
        }
    }
}

// The scan on the calling thread alone, over the key blocks above.
bool scan_alone() {
    const int32_t n = num_nodes;
    scan_keys keys;
    keys.num_blocks = (n + KEY_BLOCK - 1) / KEY_BLOCK;
    keys.key = static_cast<int32_t *>(allocate_array(size_t(n), sizeof(int32_t)));
    keys.block_min = static_cast<int32_t *>(allocate_array(size_t(keys.num_blocks), sizeof(int32_t)));
    for (int32_t i = 0; i < n; ++i) keys.key[i] = min_distance[i];
    keys.key[0] = INT32_MAX;
    for (int32_t b = 0; b < keys.num_blocks; ++b) refresh_block(keys, b);
    bool complete = true;
    for (int32_t round = 1; round < n; ++round) {
        const int32_t s = select_nearest(keys);
        if (s < 0) {
            complete = false;
            break;
        }
        tree[s] = 1;
        keys.key[s] = INT32_MAX;
        refresh_block(keys, s / KEY_BLOCK);
        relax_row(s, keys);
    }
    release_array(keys.key);
    release_array(keys.block_min);
    return complete;
}

}  // namespace

int32_t scan_team_min_nodes = 1 << 16;

bool solve_with_scan() {
    const int32_t n = num_nodes;
    const bool team = n >= scan_team_min_nodes;
    tree[0] = 1;
#pragma omp parallel for schedule(static) if (team)
    for (int32_t i = 1; i < n; ++i) tree[i] = 0;
#pragma omp parallel for schedule(static) if (team)
    for (int32_t i = 0; i < n; ++i) min_distance[i] = INFINITE_DISTANCE;
    min_distance[0] = 0;
    for (uint32_t k = nodes[0]; k < nodes[1]; ++k) min_distance[edges[k].target] = edges[k].weight;
    if (!team) return scan_alone();

    for (int32_t round = 1; round < n; ++round) {
        nearest_candidate candidate;
        candidate.node = -1;
        candidate.distance.store(INFINITE_DISTANCE, std::memory_order_relaxed);
#pragma omp parallel for schedule(static)
        for (int32_t i = 0; i < n; ++i) {
            if (tree[i] == 0 &&
                min_distance[i] < candidate.distance.load(std::memory_order_relaxed)) {
#pragma omp critical
                {
                    if (min_distance[i] < candidate.distance.load(std::memory_order_relaxed)) {
                        candidate.distance.store(min_distance[i], std::memory_order_relaxed);
                        candidate.node = i;
                    }
                }
            }
        }
        if (candidate.node == -1) return false;
        const int32_t s = candidate.node;
        tree[s] = 1;
        // Only s's neighbours can be lowered; each appears once in its row.
        const uint32_t first = nodes[s];
        const uint32_t last = nodes[s + 1];
        const int32_t base = min_distance[s];
#pragma omp parallel for schedule(static)
        for (uint32_t k = first; k < last; ++k) {
            const int32_t i = edges[k].target;
            const int32_t d = edges[k].weight;
            if (tree[i] == 1 || d >= INFINITE_DISTANCE) continue;
            const int32_t sum = clamped_sum(base, d);
            if (sum < min_distance[i]) min_distance[i] = sum;
        }
    }
    return true;
}

double get_time() {
    struct timeval now;
    gettimeofday(&now, nullptr);
    return double(now.tv_usec) * 1e-6 + double(now.tv_sec);
}

double compute_distances() {
    const double t0 = get_time();
    const bool complete = prefer_scan() ? solve_with_scan() : solve_with_queue();
    if (!complete) fputs("Warning: Search ended early, the graph might not be connected.\n", stderr);
    return get_time() - t0;
}
