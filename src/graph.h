// Graph subsystem: read_graph, the recipe that builds the graph state (store.h) from a
// DIMACS shortest-path file (input -> reader -> builder -> store), and get_distance, the
// lookup of one edge's weight (the solvers walk the rows instead; the tests and the fuzz
// target ask it).
#pragma once

#include <cstdint>

#include "store.h"

// Reads the file at path into the graph state. Returns only on success; on any
// failure writes its message to standard error and exits with status -1.
void read_graph(const char *path);

// Weight of the earliest edge line joining from and to; 0 when from == to;
// INFINITE_DISTANCE when none. Both must be in 0..num_nodes-1. Read-only, thread-safe.
int32_t get_distance(int32_t from, int32_t to);

// Releases the graph state and sets it back to empty.
void release_graph();
