// Distributed solver: shortest distances from node 0 over the distributed store, with the
// values, the 2^30 rule and the early-end warning of the one-process solver.
#pragma once

#include <cstdint>

// Collective; requires the store built. Fills local_distance and local_settled, writes
// the early-end warning (rank 0) when some node is left unsettled, and returns the
// wall-clock seconds the computation took on this process. With no negative weight the
// processes run delta-stepping together; with one, the rows are gathered to rank 0, which
// runs the one-process solver, or every process ends with the memory message.
double compute_distances_everywhere();

// Counters of the last computation, for the benchmarks: bytes this process sent to the
// others and phases (exchanges of relaxation requests) the processes went through.
extern int64_t solve_bytes_sent;
extern int64_t solve_phases;

// Frontier entries or requests from which a process relaxes or applies on its thread
// team; below it one thread is faster. Tests lower it to run the team on small graphs.
extern int64_t distributed_team_min_entries;

// Bucket width as a power of two; 0 lets the solver choose it from the weights. Tests set
// it to reach many buckets and phases on small graphs.
extern int32_t distributed_bucket_width;
