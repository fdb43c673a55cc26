// Solver subsystem: shortest distances from node 0 over the graph state, and the
// wall clock that times them.
#pragma once

// Requires read_graph to have returned with at least one node. Fills min_distance
// and tree; returns the wall-clock seconds the computation took.
double compute_distances();

// Current wall-clock time in seconds, with microsecond resolution.
double get_time();
