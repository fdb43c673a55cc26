// Solver subsystem: shortest distances from node 0 over the graph state, and the
// wall clock that times them.
#pragma once

#include <cstdint>

// Requires read_graph to have returned with at least one node. Fills min_distance
// and tree; returns the wall-clock seconds the computation took.
double compute_distances();

// The two algorithms, for callers that must pick one. Each requires the store built,
// fills min_distance and tree, and returns false when some node was left unsettled.
// The scan suits dense graphs; the queue (queue_solver.h) sparse ones.
bool solve_with_scan();

// Node count from which the scan's loops run on the thread team; below it a fork
// costs more than the round it would split. Tests lower it to exercise the team.
extern int32_t scan_team_min_nodes;

// Current wall-clock time in seconds, with microsecond resolution.
double get_time();
