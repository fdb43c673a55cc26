// Distributed store builder: every edge line goes to the owners of its ends, which build
// their rows from what arrives.
#pragma once

#include <cstdint>

// Collective; requires read_head_everywhere. Ends the run with the memory message unless
// every process can hold its share of n nodes and m edge lines at its smallest; then takes
// every part of the edge lines from the reader, sends each to the owners of its ends and
// builds this process's rows (distributed_store.h); allocates the distances and flags.
void build_distributed_store(int32_t n, int32_t m);

// Frees what a build left half done (a failed run taken back by a test).
void release_distributed_building();

// Bytes of edge lines a process sends to all the others in one exchange round; tests
// shrink it to get many rounds from a small file.
extern int64_t exchange_round_bytes;
