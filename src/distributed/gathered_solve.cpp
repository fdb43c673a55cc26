// The gathered solve: records are wide (a negative weight is never packed), their targets
// turned back into nodes; rank 0 makes the whole graph its store, solves it with the
// one-process solver, sends the distances back and keeps its own block's for the listing.
#include "gathered_solve.h"

#include <omp.h>

#include <cstring>

#include "distributed_run.h"
#include "distributed_settings.h"
#include "ghosts.h"
#include "memory.h"
#include "ownership.h"
#include "solver.h"
#include "store.h"

namespace {

template <class T>
void send_array(const T *items, int64_t count, int to) {
    send_bytes(items, count * int64_t(sizeof(T)), to);
    distributed_report.solve_bytes_sent += count * int64_t(sizeof(T));
}

template <class T>
void receive_array(T *items, int64_t count, int from) {
    receive_bytes(items, count * int64_t(sizeof(T)), from);
}

// The records' targets as nodes, as the one-process store holds them.
void name_targets_by_node() {
    const int64_t records = edge_counter;
#pragma omp parallel for schedule(static) if (records >= distributed_settings.team_min_entries)
    for (int64_t r = 0; r < records; ++r) edges[r].target = node_of(edges[r].target);
}

// Rank 0: every block's rows, its own first, in fresh arrays that then become the store.
void gather_whole_graph(int64_t total) {
    const int32_t n = num_nodes, own = num_owned_nodes;
    uint32_t *rows = static_cast<uint32_t *>(allocate_array(size_t(n) + 1, sizeof(uint32_t)));
    edge_record *records = static_cast<edge_record *>(allocate_array(size_t(total), sizeof(edge_record)));
    memcpy(rows, nodes, size_t(own) * sizeof(uint32_t));
    memcpy(records, edges, size_t(edge_counter) * sizeof(edge_record));
    int64_t base = edge_counter;
    for (int p = 1; p < num_processes; ++p) {
        const int32_t first = first_node_of(p), count = first_node_of(p + 1) - first;
        int64_t theirs = 0;
        receive_array(&theirs, 1, p);
        receive_array(rows + first, count, p);
        receive_array(records + base, theirs, p);
        for (int32_t u = first; u < first + count; ++u) rows[u] += uint32_t(base);
        base += theirs;
    }
    rows[n] = uint32_t(total);
    release_store();
    nodes = rows;
    edges = records;
    edge_counter = total;
    num_owned_nodes = n;
    allocate_distances(n);
}

}  // namespace

void solve_gathered() {
    const int64_t n = num_nodes, total = sum_over_processes(edge_counter);
    // Rank 0 holds the whole graph beside its own block, and the solver's queue or keys.
    const size_t solver = solver_bytes(n, total, omp_get_max_threads());
    const size_t whole = size_t(n + 1) * sizeof(uint32_t) + size_t(total) * sizeof(edge_record) + size_t(n) * 5;
    agree_on_memory((process_rank != 0 ? 0 : num_processes == 1 ? solver : whole + solver) + (size_t(1) << 20));
    name_targets_by_node();
    if (process_rank != 0) {
        send_array(&edge_counter, 1, 0);
        send_array(nodes, num_owned_nodes, 0);
        send_array(edges, edge_counter, 0);
        receive_array(min_distance, num_owned_nodes, 0);
        receive_array(tree, num_owned_nodes, 0);
        return;
    }
    const int32_t own = num_owned_nodes;
    if (num_processes > 1) gather_whole_graph(total);
    compute_distances();
    for (int p = 1; p < num_processes; ++p) {
        const int32_t first = first_node_of(p), count = first_node_of(p + 1) - first;
        send_array(min_distance + first, count, p);
        send_array(tree + first, count, p);
    }
    // Rank 0 lists its own block, the first nodes of the whole graph it now holds.
    num_owned_nodes = own;
}
