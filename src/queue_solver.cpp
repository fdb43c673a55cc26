// Priority-queue solver: Dijkstra over the compressed rows, relaxing only the settled
// node's row: O(m + n log n) instead of the scan's O(n^2). With non-negative weights the
// keys popped never decrease, so a radix heap serves (O(m + n log C), cache-friendly);
// with a negative weight a binary heap ordered by (distance, node) settles nodes in
// exactly the scan's one-thread order. Stale entries are skipped when popped.
#include "queue_solver.h"

#include <cstdint>
#include <functional>
#include <queue>
#include <vector>

#include "graph.h"

namespace {

struct queue_entry {
    uint32_t key;
    int32_t node;
};

// Monotone radix heap on 32-bit keys: bucket b > 0 holds keys whose highest bit that
// differs from the last popped key is bit b - 1; bucket 0 holds keys equal to it.
struct radix_heap {
    std::vector<queue_entry> buckets[33];
    uint32_t last = 0;
    int64_t size = 0;
};

inline int bucket_of(uint32_t key, uint32_t last) {
    const uint32_t diff = key ^ last;
    return diff == 0 ? 0 : 32 - __builtin_clz(diff);
}

inline void push(radix_heap &heap, uint32_t key, int32_t node) {
    heap.buckets[bucket_of(key, heap.last)].push_back(queue_entry{key, node});
    ++heap.size;
}

// Requires a non-empty heap; keys popped never decrease.
inline queue_entry pop(radix_heap &heap) {
    if (heap.buckets[0].empty()) {
        int b = 1;
        while (heap.buckets[b].empty()) ++b;
        std::vector<queue_entry> &from = heap.buckets[b];
        uint32_t smallest = from[0].key;
        for (const queue_entry &e : from) smallest = e.key < smallest ? e.key : smallest;
        heap.last = smallest;
        for (const queue_entry &e : from) heap.buckets[bucket_of(e.key, smallest)].push_back(e);
        from.clear();
    }
    queue_entry e = heap.buckets[0].back();
    heap.buckets[0].pop_back();
    --heap.size;
    return e;
}

// Node 0 settled, every other node at its direct weight from node 0 or "no edge".
// Filled by the calling thread, the one thread that goes on to use them.
void start_from_node_zero() {
    const int32_t n = num_nodes;
    for (int32_t i = 0; i < n; ++i) {
        tree[i] = 0;
        min_distance[i] = INFINITE_DISTANCE;
    }
    tree[0] = 1;
    min_distance[0] = 0;
    for (uint32_t k = nodes[0]; k < nodes[1]; ++k) min_distance[edges[k].target] = edges[k].weight;
}

bool solve_non_negative() {
    radix_heap heap;
    for (uint32_t k = nodes[0]; k < nodes[1]; ++k) {
        const int32_t t = edges[k].target;
        if (min_distance[t] < INFINITE_DISTANCE) push(heap, uint32_t(min_distance[t]), t);
    }
    int64_t settled = 1;
    while (settled < num_nodes && heap.size > 0) {
        const queue_entry top = pop(heap);
        const int32_t s = top.node;
        if (tree[s] || int32_t(top.key) != min_distance[s]) continue;
        tree[s] = 1;
        ++settled;
        const int32_t base = min_distance[s];
        const edge_record *r = edges + nodes[s];
        const edge_record *end = edges + nodes[s + 1];
        for (; r < end; ++r) {
            const int32_t i = r->target;
            // Both terms are below 2^30, so the sum cannot overflow.
            if (tree[i] || r->weight >= INFINITE_DISTANCE) continue;
            const int32_t sum = base + r->weight;
            if (sum < min_distance[i]) {
                min_distance[i] = sum;
                if (sum < INFINITE_DISTANCE) push(heap, uint32_t(sum), i);
            }
        }
    }
    return settled == num_nodes;
}

// (distance, node) packed so that one integer comparison orders both.
inline uint64_t pack(int32_t distance, int32_t node) {
    return (uint64_t(uint32_t(distance) ^ 0x80000000u) << 32) | uint32_t(node);
}

bool solve_any_sign() {
    std::priority_queue<uint64_t, std::vector<uint64_t>, std::greater<uint64_t>> heap;
    for (uint32_t k = nodes[0]; k < nodes[1]; ++k) {
        const int32_t t = edges[k].target;
        if (min_distance[t] < INFINITE_DISTANCE) heap.push(pack(min_distance[t], t));
    }
    int64_t settled = 1;
    while (settled < num_nodes && !heap.empty()) {
        const uint64_t top = heap.top();
        heap.pop();
        const int32_t s = int32_t(uint32_t(top));
        const int32_t key = int32_t(uint32_t(top >> 32) ^ 0x80000000u);
        if (tree[s] || key != min_distance[s]) continue;
        tree[s] = 1;
        ++settled;
        const int64_t base = min_distance[s];
        for (uint32_t k = nodes[s]; k < nodes[s + 1]; ++k) {
            const int32_t i = edges[k].target;
            const int32_t w = edges[k].weight;
            if (tree[i] || w >= INFINITE_DISTANCE) continue;
            int64_t sum = base + w;  // clamped: negative weights may leave the 32-bit range
            if (sum < INT32_MIN) sum = INT32_MIN;
            if (sum < min_distance[i]) {
                min_distance[i] = int32_t(sum);
                if (sum < INFINITE_DISTANCE) heap.push(pack(int32_t(sum), i));
            }
        }
    }
    return settled == num_nodes;
}

}  // namespace

bool solve_with_queue() {
    start_from_node_zero();
    return negative_weights ? solve_any_sign() : solve_non_negative();
}
