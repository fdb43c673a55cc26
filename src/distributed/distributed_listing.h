// Distributed report: the result listing, written by rank 0 in node order.
#pragma once

#include <cstdint>

// Collective, after the solve: rank 0 writes the whole listing; false everywhere if a write failed.
bool write_listing_everywhere();

// Bytes this process sent to rank 0 for the listing.
extern int64_t listing_bytes_sent;

// Node lines a chunk (one message to rank 0), and the chunks on their way from one process
// at once; the same on every process. Tests shrink them.
extern int64_t distributed_listing_chunk_nodes;
extern int64_t distributed_listing_window;
