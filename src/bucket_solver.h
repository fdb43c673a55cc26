// Bucket solver: delta-stepping for non-negative weights, on the calling thread alone or
// on a team of members that share each bucket's work.
#pragma once

#include <cstddef>
#include <cstdint>

// Requires the store built, min_distance/tree allocated and no negative weight. Fills both
// with exactly the scan's values (with non-negative weights distances are unique) and
// returns false when some node was left unsettled. threads > 1 runs one parallel region;
// delta is the bucket width, rounded down to a power of two; 0 takes choose_delta's.
bool solve_with_buckets(int threads, int32_t delta = 0);

// The bucket width for the loaded graph: a power of two from a sample of its weights and
// its mean row length. Requires the store built.
int32_t choose_delta();

// Upper bound of the bytes the solver allocates up front for a team of threads members;
// its bins then grow by checked allocation as entries queue up.
size_t bucket_solver_bytes(int threads);

// A member settles a bucket it filled itself, without waiting for the team, while the
// bucket holds fewer entries than this (bucket fusion). Tests vary it to reach both paths.
extern int64_t bucket_fusion_max;

// Records a claim of shared work should cover: a claim is a whole chunk of entries on
// short rows, fewer entries on long ones. Tests shrink it to split every chunk.
extern int64_t bucket_claim_records;

// Most buckets a member keeps ahead of the current one; entries beyond wait in an
// overflow bin. Tests shrink it to exercise the overflow.
extern int32_t bucket_ring_max;

// Members the last solve_with_buckets ran on (1: alone), so that tests can tell that a
// team really ran.
extern int bucket_last_team;
