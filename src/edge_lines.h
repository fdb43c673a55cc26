// Edge lines once read: their ends and weight, the counts of the problem line, what the
// accepted lines hold, and the callback that takes them in batches. Shared by the line
// scanner, the held-line store and the reader above them.
#pragma once

#include <cstddef>
#include <cstdint>

struct edge_line {
    int32_t u;  // 0-based ends as written
    int32_t v;
    int32_t weight;
};

struct problem_counts {
    int32_t nodes;  // N, at least 1
    int32_t edges;  // M, at least 0
};

// What the accepted edge lines hold, for choosing a store layout. Lines handed over
// exclude self-loops and lines that repeat the pair of the line just before them: the
// earlier line's weight wins, so neither can change a lookup.
struct edge_stats {
    int64_t lines;         // every accepted edge line
    int64_t kept;          // lines handed over
    int32_t min_weight;    // over the lines handed over (0 when none)
    int32_t max_weight;
    uint32_t max_offset;   // largest |u - v| over the lines handed over
};

// Called with each batch of lines handed over, in file order within a range.
typedef void (*edge_batch_fn)(const edge_line *lines, size_t count, void *context);
