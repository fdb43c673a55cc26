// Bucket solver: delta-stepping for non-negative weights, on the calling thread alone or
// on a team of members that share each bucket's work.
#pragma once

#include <cstddef>
#include <cstdint>

// No negative weight: fills min_distance/tree as the scan would; false if a node stays unsettled.
bool solve_with_buckets(int threads, int32_t delta = 0);  // delta 0: choose_delta()

// The bucket width for the loaded graph, a power of two from its weights and row length.
int32_t choose_delta();

// Bytes allocated up front for a team of threads; the bins then grow checked.
size_t bucket_solver_bytes(int threads);

