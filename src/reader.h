// Graph file reader: turns the bytes of a DIMACS shortest-path file into the list of
// accepted edge lines, in file order, enforcing every line rule on the way.
#pragma once

#include <cstddef>
#include <cstdint>

#include "input.h"  // read_block_bytes

struct edge_line {
    int32_t u;  // 0-based ends as written
    int32_t v;
    int32_t weight;
};

// Reads the file at path. At its problem line prints the size line and allocates the
// graph state; returns the accepted edge lines (count in *count). Exits with the
// matching message on any failure.
edge_line *read_edge_lines(const char *path, int64_t *count);

// Frees whatever reading holds (the input, buffers, lines not yet handed over).
void release_reading();

// The smallest run of lines scanned by the whole team rather than the calling thread.
// Tests shrink it to reach the team's chunk edges on small files.
extern size_t read_team_min_bytes;
