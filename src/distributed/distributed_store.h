// The distributed store: nodes split into contiguous blocks, one per process, and this
// process's rows. Invariant once built: process p owns nodes [block_first(p),
// block_first(p + 1)); each owned node's row holds one record per neighbour (its local
// index and the earliest edge line's weight), never a self-loop, so rows are symmetric:
// u's row holds v exactly when v's row holds u, with the same weight. A local index below
// num_local_nodes is an owned node's; num_local_nodes + g is ghost g, the g-th least of
// the neighbours other processes own: no array here is sized by the whole graph.
#pragma once

#include <cstdint>

#include "store.h"

extern int32_t first_local_node;   // this process's block: [first_local_node, + num_local_nodes)
extern int32_t num_local_nodes;
extern uint32_t *local_rows;       // num_local_nodes + 1 offsets into local_records
extern edge_record *local_records;
extern int32_t num_ghosts;         // neighbours of owned nodes that other processes own
extern int32_t *ghost_nodes;       // their global indices, ascending
extern bool any_negative_weight;   // some kept edge line of the whole file weighs below 0
extern int32_t *local_distance;    // per owned node; filled by the solver
extern uint8_t *local_settled;     // 1 once settled; filled by the solver

// What the last build exchanged: bytes this process sent to the others (edge lines to the
// owners of their ends) and rounds of exchange.
extern int64_t build_bytes_sent;
extern int64_t build_rounds;

// First node of process p's block, for a graph of n nodes over k processes.
inline int32_t block_first(int64_t n, int64_t k, int64_t p) { return int32_t(n * p / k); }

// The process that owns node x: the last whose block starts at or before it.
inline int owner_of(int64_t x, int64_t n, int64_t k) { return int((k * (x + 1) - 1) / n); }

// The global index of local index t.
inline int32_t global_of(int32_t t) {
    return t < num_local_nodes ? first_local_node + t : ghost_nodes[t - num_local_nodes];
}

// Frees the store and sets it back to empty.
void release_distributed_store();
