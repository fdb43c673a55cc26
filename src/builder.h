// Store builder: allocates the graph state at the problem line and turns the edge
// lines into compressed rows, keeping the earliest record per neighbour.
#pragma once

#include <cstdint>

#include "reader.h"

// Allocates every per-node array and the record pool for n nodes and m edge lines
// (nothing touched yet). Exits with the memory message when they cannot be had.
void allocate_graph(int32_t n, int32_t m);

// Requires allocate_graph; lines are in file order, ends in 0..n-1. Fills nodes, edges
// and edge_counter so each row is sorted by target, one record per neighbour.
void build_store(const edge_line *lines, int64_t count);
