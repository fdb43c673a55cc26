// The ghost table: the nodes outside this process's block that its rows name (the other
// ends of lines with one owned end), each once, ascending by node; ghosts_below of them lie
// below the block. A row names ghost g by an index relative to the block: g - ghosts_below
// (negative) below it, num_owned_nodes + g - ghosts_below above it, so that relative
// indices keep the nodes' order and no offset between two of them exceeds the nodes' own.
// Invariant: the table holds exactly the ghosts the count met, and no array here is sized
// by the whole graph.
#pragma once

#include <cstdint>

#include "store.h"

extern int32_t num_ghosts;
extern int32_t ghosts_below;
extern int32_t *ghost_nodes;  // num_ghosts nodes, ascending

// Notes for members members, who count in parallel.
void open_ghost_notes(int members);

// Member member met node x, outside the block, as the other end of a line with one owned
// end; out of memory, the member drops it and ghost_notes_short says so.
void note_ghost(int member, int32_t x);

// Whether member could not note a ghost for want of memory.
bool ghost_notes_short(int member);

// Collective: the table from every member's notes, which are freed.
void build_ghost_table();

// The relative index of node x outside the block; NO_INDEX (store.h) when x is no ghost.
int32_t ghost_index_of(int32_t x);

// The ghost of relative index t, which lies outside the block.
inline int32_t ghost_of(int32_t t) { return t < 0 ? t + ghosts_below : t - num_owned_nodes + ghosts_below; }

// The node of relative index t.
inline int32_t node_of(int32_t t) {
    return uint32_t(t) < uint32_t(num_owned_nodes) ? first_owned_node + t : ghost_nodes[ghost_of(t)];
}

// Frees the fill's lookup once the rows are filled.
void close_ghost_lookup();

// Frees the table and what finding it held.
void release_ghosts();
