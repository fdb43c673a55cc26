// Distributed solver: shortest distances from node 0 over the distributed store, with the
// values, the 2^30 rule and the early-end warning of the one-process solver.
#pragma once

#include <cstdint>

// Collective, after the build: fills local_distance/local_settled, warns (rank 0), returns seconds.
double compute_distances_everywhere();

// Counters of the last computation, for the benchmarks: bytes this process sent to the
// others, phases (exchanges of relaxation requests) the processes went through, and rows
// this process relaxed (more than its nodes where a node was settled again).
extern int64_t solve_bytes_sent;
extern int64_t solve_phases;
extern int64_t solve_settled;

// Entries from which a frontier or request list runs on the team; tests lower it.
extern int64_t distributed_team_min_entries;

// Bucket width (a power of two), 0 for the one-process rule; tests set it for many phases.
extern int32_t distributed_bucket_width;

// Buckets a phase settles here before the exchange (a power of two), 0 to choose it from
// the share of requests; tests set it.
extern int64_t distributed_phase_span;
