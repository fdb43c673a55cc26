// Report: the result listing on standard output.
#pragma once

#include <cstdint>

// Node lines a member formats at a time (chunks taken as they come), and the nodes from
// which a team formats them. Tests shrink both to list small graphs in many chunks.
extern int64_t listing_chunk_nodes;
extern int64_t listing_team_min_nodes;

// Writes the heading and one line per node 1..num_nodes-1 to standard output.
// Returns false when any of it could not be written.
bool write_listing();
