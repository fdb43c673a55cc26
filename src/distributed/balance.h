// Blocks of about equal records: the cuts that give every process about a K-th of the
// records (a kept line counts at both of its ends), found from what each process knows of
// them without any array sized by the whole graph: a histogram of node ranges summed over
// the processes, then the records of each node of the ranges that hold a cut.
#pragma once

#include <cstdint>

// Takes a share of a node's records.
typedef void (*add_records_fn)(int32_t node, uint32_t records, void *context);
// Hands every share of records this process knows to add; over all processes every record
// is handed exactly once.
typedef void (*record_shares_fn)(add_records_fn add, void *context);

// The most records a block may hold, over the mean, before the blocks are cut again.
constexpr double BLOCK_RECORDS_TOLERANCE = 1.02;

// Collective: when some current block holds more records than the tolerance allows, the
// blocks are cut again into blocks of about equal records; whether they were.
bool balance_blocks(record_shares_fn shares);

// The rule inside a range of nodes: of the nodes first .. first + count - 1, with records
// records[0 .. count) and before records before first, the first node of the block after
// the cut for target records: past the node whose records reach the target when that
// leaves the block nearer the target, at it otherwise.
int32_t cut_for(int64_t target, int64_t before, int32_t first, const int64_t *records, int32_t count);
