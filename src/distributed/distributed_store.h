// The distributed store: nodes split into contiguous blocks, one per process, and this
// process's rows. Invariant once built: process p owns nodes [block_first(p),
// block_first(p + 1)); each owned node's row holds one record per neighbour (its local
// index and the earliest edge line's weight), never a self-loop, so rows are symmetric.
// Local indices keep the global order: the ghosts (neighbours other processes own) below
// the block, the owned nodes, the ghosts above; no offset between two of them exceeds the
// global one, so the rows pack into 4-byte records whenever the whole graph's would, and
// no array here is sized by the whole graph.
#pragma once

#include <cstdint>

#include "rows.h"
#include "store.h"

extern int32_t first_local_node;   // this process's block: [first_local_node, + num_local_nodes)
extern int32_t num_local_nodes;
extern uint32_t *local_rows;       // num_local_nodes + 1 offsets into the records
extern edge_record *local_records; // wide records, or null when packed
// Packed records: weight in the low local_weight_bits bits, the target's local index less
// the row's own (signed) in the rest. Null when the records are wide.
extern uint32_t *local_packed;
extern int local_weight_bits;
extern int32_t num_ghosts;         // neighbours of owned nodes that other processes own
extern int32_t ghosts_below;       // of them, those below the block
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

// The local index of owned node i of the block (0-based), and of ghost g.
inline int32_t local_of_owned(int32_t i) { return ghosts_below + i; }
inline int32_t local_of_ghost(int32_t g) { return g < ghosts_below ? g : g + num_local_nodes; }

// The owned index (0-based in the block) of local index t, or a negative value for a ghost.
inline int32_t owned_index(int32_t t) {
    return uint32_t(t - ghosts_below) < uint32_t(num_local_nodes) ? t - ghosts_below : -1;
}
// The ghost of local index t, which is not an owned node's.
inline int32_t ghost_index(int32_t t) { return t < ghosts_below ? t : t - num_local_nodes; }

// The global index of local index t.
inline int32_t global_of(int32_t t) {
    const int32_t i = owned_index(t);
    return i >= 0 ? first_local_node + i : ghost_nodes[ghost_index(t)];
}

// Row access to the local records whatever their layout, as rows.h gives the store's:
// rows are indexed by owned index, targets come back as local indices. A packed record's
// offset is from its row's own local index.
struct local_packed_rows : packed_rows {
    int32_t below;
    int32_t target(uint32_t k, int32_t i) const { return packed_rows::target(k, below + i); }
};

// Calls f with the accessor of the local records' layout; requires the store built.
template <class F>
decltype(auto) with_local_rows(F &&f) {
    if (local_packed != nullptr) {
        return f(local_packed_rows{
            {local_rows, local_packed, local_weight_bits, (uint32_t(1) << local_weight_bits) - 1}, ghosts_below});
    }
    return f(wide_rows{local_rows, local_records});
}

// Frees the store and sets it back to empty.
void release_distributed_store();
