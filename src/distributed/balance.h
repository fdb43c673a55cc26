// Blocks of about equal records: the cuts that give every process about a K-th of the
// records (a kept line counts at both of its ends) and of the nodes, a record weighing as
// RECORD_WEIGHT nodes, found from what each process knows without any array sized by the
// whole graph: a histogram of node ranges summed over the processes, then the weights of
// each node of the ranges that hold a cut.
#pragma once

#include <cstdint>

// Takes a share of a node's records.
typedef void (*add_records_fn)(int32_t node, uint32_t records, void *context);
// Hands every share of records this process knows to add; over all processes every record
// is handed exactly once.
typedef void (*record_shares_fn)(add_records_fn add, void *context);

// A record weighs as much as this many nodes: a node's row offset, distance and flag and
// its counts take about four times a packed record's bytes, yet records hold most of the
// memory and the work wherever they are more than a few a node, and a graph of nodes alone
// must still spread them.
constexpr int64_t RECORD_WEIGHT = 4;

// The most weight a block may hold, over the mean, before the blocks are cut again.
constexpr double BLOCK_RECORDS_TOLERANCE = 1.02;

// Collective: when some current block holds more records than the tolerance allows, the
// blocks are cut again into blocks of about equal records; whether they were.
bool balance_blocks(record_shares_fn shares);

// The rule inside a range of nodes: of the nodes first .. first + count - 1, with weights
// weights[0 .. count) and before weight before first, the first node of the block after
// the cut for target weight: past the node whose weight reaches the target when that
// leaves the block nearer the target, at it otherwise.
int32_t cut_for(int64_t target, int64_t before, int32_t first, const int64_t *weights, int32_t count);
