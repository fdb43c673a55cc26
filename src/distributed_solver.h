// Distributed solver: shortest distances from node 0 over the distributed store, with the
// values, the 2^30 rule and the early-end warning of the one-process solver.
#pragma once

#include <cstdint>

// Collective, after the build: fills local_distance/local_settled, warns (rank 0), returns seconds.
double compute_distances_everywhere();

// Counters of the last computation, for the benchmarks: bytes this process sent to the
// others and phases (exchanges of relaxation requests) the processes went through.
extern int64_t solve_bytes_sent;
extern int64_t solve_phases;

// Entries from which a frontier or request list runs on the team; tests lower it.
extern int64_t distributed_team_min_entries;

// Bucket width (a power of two), 0 for the one-process rule; tests set it for many phases.
extern int32_t distributed_bucket_width;
