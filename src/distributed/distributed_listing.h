// Distributed report: the result listing, written by rank 0 in node order.
#pragma once

#include <cstdint>

// Collective, after the solve: rank 0 writes the whole listing; false everywhere if a write failed.
bool write_listing_everywhere();
