// The process-wide graph state: the compressed rows the builder fills and the solvers
// read, and the distances the solvers write.
// Invariant: once built, the rows are read-only and node u's records are positions
// nodes[u] .. nodes[u+1] of the pool (edges, or packed_edges when every record fits in
// 32 bits), one per neighbour (the earliest edge line joining the two), never a
// self-loop. rows.h reads them whatever the layout.
#pragma once

#include <cstdint>

constexpr int32_t INFINITE_DISTANCE = 1073741824;  // 2^30: "no edge", and the settle bound

struct edge_record {
    int32_t target;  // 0-based node at the other end
    int32_t weight;  // as read from the file
};

extern int32_t num_nodes;      // n, from the problem line
extern int32_t num_edges;      // the M the problem line announced: a bound on the edge lines
extern uint32_t *nodes;        // num_nodes + 1 row offsets into the pool (2m < 2^32)
extern edge_record *edges;     // the record pool, rows back to back; null when packed
// The pool when packed: weight in the low packed_weight_bits bits, the target's offset
// from the row's own node (signed) in the rest. Null when the pool is edges.
extern uint32_t *packed_edges;
extern int packed_weight_bits;
extern int64_t edge_counter;   // records kept in the pool
extern bool negative_weights;  // some record the store may hold weighs less than zero
extern int32_t *min_distance;  // filled by the solver
extern uint8_t *tree;          // 1 once settled; filled by the solver

// The store's one owner: every array above is allocated, adopted and released here.
// Allocates the row offsets of n nodes, untouched.
void allocate_rows(int32_t n);
// Allocates the record pool of total records, packed (4 bytes each) or not (8), untouched.
void allocate_pool(int64_t total, bool packed);
// Allocates the solver's distances and settled flags of n nodes, untouched.
void allocate_distances(int32_t n);
// Takes another owner's rows, wide records, distances and flags as the store, until forget_store.
void adopt_store(uint32_t *rows, edge_record *records, int64_t total, int32_t *distance, uint8_t *settled);
// Leaves adopted arrays to their owner: the pointers become null, nothing is released.
void forget_store();
// Releases the arrays and leaves the pointers null; the counts stay.
void release_store();
// Releases the arrays and sets every field back to empty.
void reset_store();
