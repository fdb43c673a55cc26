// Solver subsystem: shortest distances from node 0 over the graph state, the rule that
// picks the algorithm for the graph and the team, and the wall clock that times it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "failure.h"

// After read_graph: fills min_distance/tree, warns if a node stays unsettled, returns seconds.
double compute_distances();

enum class solver_kind { scan, queue, buckets_alone, buckets_team };

// The algorithm the rule picks for a graph of this size and sign and a team of threads.
solver_kind choose_solver(int64_t nodes, int64_t records, bool negative, int threads);

// Bytes the solver may hold at once; compute_distances checks them before it starts.
size_t solver_bytes(int64_t nodes, int64_t records, int threads);

// Current wall-clock time in seconds, with microsecond resolution.
double get_time();
