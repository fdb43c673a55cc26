// Nearest-first solver: node 0 starts settled; each round scans every node for the
// unsettled one with the smallest tentative distance below 2^30, settles it, and
// lowers the others through it. Cost: O(n) per round plus one lookup per unsettled
// node, O(n^2) lookups in all; it needs no queue and suits dense graphs.
// The clear, selection and relaxation loops each run as one OpenMP region with the
// static schedule: every member owns a contiguous block of nodes, so only the shared
// candidate of the selection needs a lock.
#include "solver.h"

#include <sys/time.h>

#include <atomic>
#include <cstdint>
#include <cstdio>

#include "graph.h"

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

}  // namespace

double get_time() {
    struct timeval now;
    gettimeofday(&now, nullptr);
    return double(now.tv_usec) * 1e-6 + double(now.tv_sec);
}

double compute_distances() {
    const double t0 = get_time();
    const int32_t n = num_nodes;
    tree[0] = 1;
#pragma omp parallel for schedule(static)
    for (int32_t i = 1; i < n; ++i) tree[i] = 0;
    for (int32_t i = 0; i < n; ++i) min_distance[i] = get_distance(0, i);

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
        if (candidate.node == -1) {
            fputs("Warning: Search ended early, the graph might not be connected.\n", stderr);
            break;
        }
        const int32_t s = candidate.node;
        tree[s] = 1;
#pragma omp parallel for schedule(static)
        for (int32_t i = 0; i < n; ++i) {
            if (tree[i] == 1) continue;
            const int32_t d = get_distance(s, i);
            if (d >= INFINITE_DISTANCE) continue;
            const int32_t sum = clamped_sum(min_distance[s], d);
            if (sum < min_distance[i]) min_distance[i] = sum;
        }
    }
    return get_time() - t0;
}
