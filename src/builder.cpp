// Store builder: compressed rows from the edge lines. Each team member owns a contiguous
// range of nodes and builds just those rows (count, prefix sum, fill), so no two members
// write the same memory and every row is first touched by its owner. Filling from the
// last edge line backwards keeps each row in file order, so a stable sort by target
// followed by keeping the first of each run keeps the earliest edge line per neighbour.
#include "builder.h"

#include <omp.h>

#include <algorithm>
#include <cstring>

#include "graph.h"
#include "memory.h"

namespace {

// Below this many lines plus nodes one thread builds faster than a woken team.
constexpr int64_t PARALLEL_WORK = int64_t(1) << 16;

bool by_target(const edge_record &a, const edge_record &b) { return a.target < b.target; }

// Sorts a row by target, stably, and keeps the first record of each target.
// Returns how many records remain at the row's front. Rows of road and grid files
// usually arrive sorted or nearly so, which the first pass and insertion sort exploit.
int64_t sort_unique(edge_record *row, int64_t length) {
    int64_t i = 1;
    while (i < length && row[i - 1].target < row[i].target) ++i;
    if (i >= length) return length;  // already strictly increasing: nothing to do
    if (length <= 32) {
        for (; i < length; ++i) {
            edge_record r = row[i];
            int64_t j = i;
            for (; j > 0 && row[j - 1].target > r.target; --j) row[j] = row[j - 1];
            row[j] = r;
        }
    } else {
        std::stable_sort(row, row + length, by_target);
    }
    int64_t kept = 1;
    for (i = 1; i < length; ++i) {
        if (row[kept - 1].target != row[i].target) row[kept++] = row[i];
    }
    return kept;
}

// Each member's range of nodes and of records, before and after compaction.
struct member_span {
    int64_t filled;    // records of the range before removing repeats
    int64_t base;      // first record of the range as filled
    int64_t kept;      // records kept after removing repeats
    int64_t new_base;  // first record of the range once packed
};

}  // namespace

void allocate_graph(int32_t n, int32_t m) {
    const size_t count = size_t(n);
    // Everything the run will ask for, so that a graph too large fails here, at once:
    // records (8 bytes, two per line) and the lines read (12), the row offsets (8),
    // distances (4), flags (1), the solver's queue (about 8 per node), and buffers.
    check_memory_budget(size_t(m) * 28 + count * 21 + (size_t(64) << 20));
    edges = static_cast<edge_record *>(allocate_array(2 * size_t(m), sizeof(edge_record)));
    nodes = static_cast<uint32_t *>(allocate_array(count + 1, sizeof(uint32_t)));
    min_distance = static_cast<int32_t *>(allocate_array(count, sizeof(int32_t)));
    tree = static_cast<uint8_t *>(allocate_array(count, sizeof(uint8_t)));
}

void build_store(const edge_line *lines, int64_t count) {
    const int64_t n = num_nodes;
    uint32_t *row = nodes;  // counts, then row ends, then row starts
    const int members = count + n >= PARALLEL_WORK ? omp_get_max_threads() : 1;
    member_span *spans = static_cast<member_span *>(allocate_array(size_t(members), sizeof(member_span)));

#pragma omp parallel num_threads(members)
    {
        const int t = omp_get_thread_num();
        const int team = omp_get_num_threads();
        const int64_t lo = n * t / team;
        const int64_t hi = n * (t + 1) / team;
        auto mine = [lo, hi](int32_t u) { return uint64_t(u - lo) < uint64_t(hi - lo); };

        for (int64_t u = lo; u < hi; ++u) row[u] = 0;
        for (int64_t i = 0; i < count; ++i) {
            const edge_line &e = lines[i];
            if (e.u == e.v) continue;  // a self-loop never answers a lookup
            if (mine(e.u)) ++row[e.u];
            if (mine(e.v)) ++row[e.v];
        }
        int64_t total = 0;
        for (int64_t u = lo; u < hi; ++u) {
            total += row[u];
            row[u] = total;
        }
        spans[t].filled = total;
#pragma omp barrier
        int64_t base = 0;
        for (int k = 0; k < t; ++k) base += spans[k].filled;
        const int64_t range_end = base + total;
        for (int64_t u = lo; u < hi; ++u) row[u] += base;
        for (int64_t i = count - 1; i >= 0; --i) {
            const edge_line &e = lines[i];
            if (e.u == e.v) continue;
            if (mine(e.u)) edges[--row[e.u]] = edge_record{e.v, e.weight};
            if (mine(e.v)) edges[--row[e.v]] = edge_record{e.u, e.weight};
        }
        // Pack the range's rows to its front, keeping the earliest record per neighbour.
        int64_t write = base;
        for (int64_t u = lo; u < hi; ++u) {
            const int64_t start = row[u];
            const int64_t end = u + 1 < hi ? row[u + 1] : range_end;
            const int64_t kept = sort_unique(edges + start, end - start);
            memmove(edges + write, edges + start, size_t(kept) * sizeof(edge_record));
            row[u] = write;
            write += kept;
        }
        spans[t].base = base;
        spans[t].kept = write - base;
#pragma omp barrier
#pragma omp single
        {
            // In member order, so a range never lands on one not yet moved.
            int64_t at = 0;
            for (int k = 0; k < team; ++k) {
                spans[k].new_base = at;
                memmove(edges + at, edges + spans[k].base, size_t(spans[k].kept) * sizeof(edge_record));
                at += spans[k].kept;
            }
            row[n] = at;
            edge_counter = at;
        }
        const int64_t shift = spans[t].new_base - spans[t].base;
        for (int64_t u = lo; u < hi; ++u) row[u] += shift;
    }
    release_array(spans);
}
