// Distributed report: the result listing, written by rank 0 in node order.
#pragma once

#include <cstdint>

// Collective; requires the distances computed. Writes the heading and one line per node
// 1..num_nodes-1 to rank 0's standard output; returns false on every process when any of
// it could not be written.
bool write_listing_everywhere();

// Bytes this process sent to rank 0 for the listing.
extern int64_t listing_bytes_sent;
