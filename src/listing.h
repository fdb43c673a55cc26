// Report: the result listing on standard output.
#pragma once

#include <cstdint>

// Writes the heading and one line per node 1..num_nodes-1 to standard output.
// Returns false when any of it could not be written.
bool write_listing();
