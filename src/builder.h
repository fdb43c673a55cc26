// Store builder: turns the reader's edge lines into compressed rows of the graph state,
// one record per neighbour with the earliest edge line's weight, no self-loops, in the
// packed 32-bit layout whenever every record fits it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "edge_lines.h"

// Requires the problem line read. Ends the run with the memory message unless the graph
// announced (n nodes, m edge lines) can be built by members and held at its smallest;
// allocates the row offsets, untouched.
void allocate_graph(int32_t n, int32_t m, int members);

// The least bytes a graph of nodes nodes and lines edge lines, built by members, needs at
// its peak; also a process's share in norvane-mpi, so that both programs take the same
// decision on the same file.
size_t least_graph_bytes(int64_t nodes, int64_t lines, int members);

// Members of the team worth starting to build a graph of n nodes and m edge lines.
int build_members(int32_t n, int32_t m);

// Requires allocate_graph and the reader prepared with ranges ranges (a member each, at most).
// Fills nodes, the pool, edge_counter and negative_weights, and allocates min_distance
// and tree; ends the run with the reader's message at the first offending line.
void build_store(int ranges);

// Frees what a build left half done (a failed run taken back by an embedding).
void release_building();

// The weight bits of the packed layout for kept lines holding stats (no weight negative,
// every weight and every offset between the ends of a line fitting 32 bits together), or
// -1 when they do not fit it or packing is off.
int packing_bits(const edge_stats &stats);
