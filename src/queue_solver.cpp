// Queue solver: Dijkstra over the rows, O(m + n log n). Non-negative weights pop keys that
// never decrease, so a radix heap serves, cheapest on graphs too small to repay the bucket
// solver's set-up; a negative weight takes a binary heap on (distance, node), which settles in
// exactly the scan's one-thread order. Invariant: an entry is live while its key is its node's
// distance.
#include "queue_solver.h"

#include <cstdint>

#include "store.h"
#include "grow.h"
#include "memory.h"
#include "relax.h"
#include "rows.h"

namespace {

struct queue_entry {
    uint32_t key;
    int32_t node;
};

struct entry_array {
    queue_entry *items = nullptr;
    size_t size = 0;
    size_t capacity = 0;
};

inline void append(entry_array &a, queue_entry e) {
    if (a.size == a.capacity) grow_array(a.items, a.capacity, a.size + 1, a.size);
    a.items[a.size++] = e;
}

// Monotone radix heap on 32-bit keys: bucket b > 0 holds keys whose highest bit that
// differs from the last popped key is bit b - 1; bucket 0 holds keys equal to it.
struct radix_heap {
    entry_array buckets[33];
    uint32_t last = 0;
    int64_t size = 0;
};

inline int bucket_of(uint32_t key, uint32_t last) {
    const uint32_t diff = key ^ last;
    return diff == 0 ? 0 : 32 - __builtin_clz(diff);
}

inline void push(radix_heap &heap, uint32_t key, int32_t node) {
    append(heap.buckets[bucket_of(key, heap.last)], queue_entry{key, node});
    ++heap.size;
}

// Requires a non-empty heap; keys popped never decrease.
inline queue_entry pop(radix_heap &heap) {
    if (heap.buckets[0].size == 0) {
        int b = 1;
        while (heap.buckets[b].size == 0) ++b;
        entry_array &from = heap.buckets[b];
        uint32_t smallest = from.items[0].key;
        for (size_t k = 0; k < from.size; ++k)
            smallest = from.items[k].key < smallest ? from.items[k].key : smallest;
        heap.last = smallest;
        for (size_t k = 0; k < from.size; ++k)
            append(heap.buckets[bucket_of(from.items[k].key, smallest)], from.items[k]);
        from.size = 0;
    }
    --heap.size;
    return heap.buckets[0].items[--heap.buckets[0].size];
}

template <class Rows>
bool solve_non_negative(const Rows &rows) {
    radix_heap heap;
    for (uint32_t k = rows.offsets[0]; k < rows.offsets[1]; ++k) {
        const int32_t t = rows.target(k, 0);
        if (min_distance[t] < INFINITE_DISTANCE) push(heap, uint32_t(min_distance[t]), t);
    }
    int64_t settled = 1;
    while (settled < num_nodes && heap.size > 0) {
        const queue_entry top = pop(heap);
        const int32_t s = top.node;
        if (tree[s] || int32_t(top.key) != min_distance[s]) continue;
        tree[s] = 1;
        ++settled;
        relax_row(rows, s, min_distance[s], [&heap](int32_t i, int64_t offer) {
            // Both terms are below 2^30: the sum fits and a settled node is never lowered.
            const int32_t sum = int32_t(offer);
            if (sum >= min_distance[i]) return;
            min_distance[i] = sum;
            if (sum < INFINITE_DISTANCE) push(heap, uint32_t(sum), i);
        });
    }
    for (entry_array &b : heap.buckets) release_array(b.items);
    return settled == num_nodes;
}

// (distance, node) packed so that one integer comparison orders both.
inline uint64_t pack(int32_t distance, int32_t node) {
    return (uint64_t(uint32_t(distance) ^ 0x80000000u) << 32) | uint32_t(node);
}

// Binary min-heap of packed keys; keys are unique (a node is pushed only after a strict
// decrease), so any min-heap pops them in the same order.
struct binary_heap {
    uint64_t *items = nullptr;
    size_t size = 0;
    size_t capacity = 0;
};

void heap_push(binary_heap &heap, uint64_t key) {
    if (heap.size == heap.capacity) grow_array(heap.items, heap.capacity, heap.size + 1, heap.size);
    size_t at = heap.size++;
    while (at > 0 && heap.items[(at - 1) / 2] > key) {
        heap.items[at] = heap.items[(at - 1) / 2];
        at = (at - 1) / 2;
    }
    heap.items[at] = key;
}

uint64_t heap_pop(binary_heap &heap) {
    const uint64_t top = heap.items[0];
    const uint64_t last = heap.items[--heap.size];
    size_t at = 0;
    for (;;) {
        size_t child = 2 * at + 1;
        if (child >= heap.size) break;
        if (child + 1 < heap.size && heap.items[child + 1] < heap.items[child]) ++child;
        if (heap.items[child] >= last) break;
        heap.items[at] = heap.items[child];
        at = child;
    }
    heap.items[at] = last;
    return top;
}

template <class Rows>
bool solve_any_sign(const Rows &rows) {
    binary_heap heap;
    for (uint32_t k = rows.offsets[0]; k < rows.offsets[1]; ++k) {
        const int32_t t = rows.target(k, 0);
        if (min_distance[t] < INFINITE_DISTANCE) heap_push(heap, pack(min_distance[t], t));
    }
    int64_t settled = 1;
    while (settled < num_nodes && heap.size > 0) {
        const uint64_t top = heap_pop(heap);
        const int32_t s = int32_t(uint32_t(top));
        const int32_t key = int32_t(uint32_t(top >> 32) ^ 0x80000000u);
        if (tree[s] || key != min_distance[s]) continue;
        tree[s] = 1;
        ++settled;
        relax_row(rows, s, min_distance[s], [&heap](int32_t i, int64_t offer) {
            const int32_t sum = clamped_sum(offer);
            if (tree[i] || sum >= min_distance[i]) return;
            min_distance[i] = sum;
            if (sum < INFINITE_DISTANCE) heap_push(heap, pack(sum, i));
        });
    }
    release_array(heap.items);
    return settled == num_nodes;
}

}  // namespace

bool solve_with_queue() {
    start_from_node_zero();
    return with_rows([](const auto &rows) {
        return negative_weights ? solve_any_sign(rows) : solve_non_negative(rows);
    });
}
