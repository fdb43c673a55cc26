// The bucket width of both bucket solvers, and the sample of the rows it is chosen from.
// A process of norvane-mpi samples its own block, the samples of all processes are summed,
// and the same rule turns the sum into the width: a change of rule is a change here.
#pragma once

#include <cstdint>

// What the choice of buckets reads of the store's rows: 64 runs of 64 records spread over
// the pool (runs, so that the sample costs a few dozen cache misses).
struct row_sample {
    int64_t weight_sum;   // of the sampled weights below 2^30
    int64_t weights;      // sampled records below 2^30
    int64_t heaviest;     // the heaviest sampled weight below 2^30
    int64_t sampled;      // records sampled
    int64_t crossing;     // of them, those whose neighbour lies outside the store's block
    int64_t row_lengths;  // the lengths of the sampled records' rows, summed
};

// The sample of the store's rows.
row_sample sample_rows();

// The bucket width for a graph of records records over nodes nodes whose rows gave
// sample: a power of two from 2 up.
int32_t bucket_width_for(const row_sample &sample, int64_t records, int64_t nodes);
