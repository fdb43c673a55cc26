// Bucket solver: delta-stepping for non-negative weights, on the calling thread alone or
// on a team of members that share each bucket's work.
#pragma once

#include <cstddef>
#include <cstdint>

// No negative weight: fills min_distance/tree as the scan would; false if a node stays unsettled.
bool solve_with_buckets(int threads, int32_t delta = 0);  // delta 0: choose_delta()

// The bucket width for the loaded graph, a power of two from its weights and row length.
int32_t choose_delta();

// The width rule itself, from a graph's mean weight below 2^30 and mean row length (for
// the distributed solver, which measures them over all processes).
int32_t bucket_width_for(int64_t mean_weight, int64_t row_length);

// Bytes allocated up front for a team of threads; the bins then grow checked.
size_t bucket_solver_bytes(int threads);

// Settings, which the tests vary to reach every path: a member settles alone the bins it
// filled below bucket_fusion_max entries (bucket fusion); a claim of shared work covers
// about bucket_claim_records records; bucket_ring_max buckets at most sit ahead of the
// current one, later ones in an overflow bin. The team settles at most
// bucket_team_rounds_max rounds together, and goes on alone sooner once its members have
// kept each other waiting past bucket_late_ns more than bucket_late_budget_ns in all.
extern int64_t bucket_fusion_max;
extern int64_t bucket_claim_records;
extern int32_t bucket_ring_max;
extern int64_t bucket_team_rounds_max;
extern int64_t bucket_late_ns;
extern int64_t bucket_late_budget_ns;

// What the last run did, for tests and benchmarks: its members (1: alone), the rounds of
// its team, and whether the team handed over to one member before the end.
extern int bucket_last_team;
extern int64_t bucket_team_rounds_last;
extern bool bucket_team_handed_over;
