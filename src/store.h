// The process-wide graph state: the compressed rows the builder fills and the solvers
// read, and the distances the solvers write. The rows are those of one block of nodes,
// [first_owned_node, first_owned_node + num_owned_nodes): every node in norvane, one
// process's share in norvane-mpi.
// Invariant: once built, the rows are read-only; owned node i's records are positions
// nodes[i] .. nodes[i+1] of the pool (edges, or packed_edges when every record fits in
// 32 bits), one per neighbour (the earliest edge line joining the two), never a
// self-loop. A record names its neighbour relative to the block: node - first_owned_node
// for an owned one, so that in norvane it is the neighbour's own index; norvane-mpi numbers
// the others below 0 and from num_owned_nodes on. rows.h reads them whatever the layout.
#pragma once

#include <cstdint>

constexpr int32_t INFINITE_DISTANCE = 1073741824;  // 2^30: "no edge", and the settle bound

// A relative index that names no node: an end outside the block that the count never met.
constexpr int32_t NO_INDEX = INT32_MIN;

struct edge_record {
    int32_t target;  // the neighbour, relative to the block
    int32_t weight;  // as read from the file
};

extern int32_t num_nodes;         // n, from the problem line
extern int32_t num_edges;         // the M the problem line announced: a bound on the edge lines
extern int32_t first_owned_node;  // the block's first node: 0 in norvane
extern int32_t num_owned_nodes;   // the block's nodes, whose rows are held: num_nodes in norvane
extern uint32_t *nodes;           // num_owned_nodes + 1 row offsets into the pool (2m < 2^32)
extern edge_record *edges;        // the record pool, rows back to back; null when packed
// The pool when packed: weight in the low packed_weight_bits bits, the target's offset
// from the row's own node (signed) in the rest. Null when the pool is edges.
extern uint32_t *packed_edges;
extern int packed_weight_bits;
extern int64_t edge_counter;   // records kept in the pool
extern bool negative_weights;  // some kept edge line of the file weighs less than zero
extern int32_t *min_distance;  // per owned node, filled by the solver
extern uint8_t *tree;          // per owned node, 1 once settled; filled by the solver

// The store's one owner: every array above is allocated and released here.
// Allocates the row offsets of the block's count nodes, untouched.
void allocate_rows(int32_t count);
// Allocates the record pool of total records, packed (4 bytes each) or not (8), untouched.
void allocate_pool(int64_t total, bool packed);
// Allocates the solver's distances and settled flags of count nodes, untouched.
void allocate_distances(int32_t count);
// Releases the arrays and leaves the pointers null; the counts stay.
void release_store();
// Releases the arrays and sets every field back to empty.
void reset_store();
