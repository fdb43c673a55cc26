// Distributed solver: shortest distances from node 0 over the processes' blocks, with the
// values, the 2^30 rule and the early-end warning of the one-process solver.
#pragma once

// Collective, after the build: fills min_distance and tree of this process's block, warns
// (rank 0), returns the seconds the computation took.
double compute_distances_everywhere();
