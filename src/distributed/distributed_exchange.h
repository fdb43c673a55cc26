// The exchange of edge lines between their owners, and the lines that arrive, held in file
// order until the rows are filled: from the processes before this one, this process's own
// kept lines, then from those after it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "distributed_reader.h"

// Bytes of edge lines a process sends in one exchange round; tests shrink it for many rounds.
extern int64_t exchange_round_bytes;

// A run of arrived lines; allocation is what to free (null when another arrival frees it).
struct arrival {
    edge_line *lines;
    int64_t count;
    edge_line *allocation;
};

struct exchange_state {
    int64_t n = 0;  // nodes of the graph, for the owners
    arrival *arrivals = nullptr;
    size_t count = 0;
    size_t capacity = 0;
    int64_t from_before = 0;  // arrived lines from processes before this one
};
extern exchange_state exchange;

// Collective: sends every line of part to the other owners of its ends (a graph of n nodes)
// and keeps what arrives, after what arrived before; with keep_own, part's lines with an
// owned end stay in place as arrivals too (never copied), and its blocks become theirs.
void exchange_part(held_lines &part, int64_t n, bool keep_own);

// Edge lines in all arrivals.
int64_t arrived_lines();

// The lines [first, last) of all arrivals together, handed to f one at a time, in order.
template <class F>
void for_arrived(int64_t first, int64_t last, F &&f) {
    int64_t base = 0;
    for (size_t a = 0; a < exchange.count && base < last; ++a) {
        const arrival &part = exchange.arrivals[a];
        const int64_t lo = first > base ? first - base : 0;
        const int64_t hi = last - base < part.count ? last - base : part.count;
        for (int64_t i = lo; i < hi; ++i) f(part.lines[i]);
        base += part.count;
    }
}

// Frees every arrival; the exchange is empty again.
void release_arrivals();
