// Distributed report: the result listing, written by rank 0 in node order.
#pragma once

#include <cstddef>
#include <cstdint>

// Rank 0's receive buffers, all sources together, stay within this whatever the processes.
constexpr size_t LISTING_RECEIVE_BUDGET = size_t(8) << 20;

// A process's chunks: its owned nodes but node 0, per_chunk at a time; every process
// derives the same sizes from the largest block, the process count and the settings.
struct chunk_plan {
    int64_t first;      // owned index of the first node with a line
    int64_t per_chunk;  // nodes a chunk
    int64_t chunks;
    int64_t per_batch;  // chunks formatted together by the team
    int64_t window;     // chunks on their way from one process to rank 0 at once
    size_t chunk_bytes;
};

// The plan of a block of lines lines (first: 1 for node 0's block, else 0), the largest
// block holding most lines, formatted by members over processes processes: the chunks as
// large as the settings ask, but small enough that every other process keeps at least two
// on their way within LISTING_RECEIVE_BUDGET, and no larger than the largest block needs.
chunk_plan plan_listing(int64_t lines, int64_t first, int64_t most, int members, int processes);

// Collective, once the blocks are known: the bytes of text buffers this process's part of
// the listing will touch (rank 0: its batches and every window; the others: their ring).
size_t listing_touch_bytes();

// Collective, after the solve: rank 0 writes the whole listing; false everywhere if a write
// failed, the output then holding only what was written in order before the failure.
bool write_listing_everywhere();
