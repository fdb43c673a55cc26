// The solver rule: picks the algorithm from the graph's size and sign and the team's
// size, times it and writes the early-end warning. Every algorithm settles the same nodes
// with the same distances; negative weights keep the exact one-thread order.
#include "solver.h"

#include <omp.h>
#include <sys/time.h>

#include <cstdio>

#include "bucket_solver.h"
#include "settings.h"
#include "store.h"
#include "memory.h"
#include "queue_solver.h"
#include "scan_solver.h"
#include "team.h"

namespace {

// Negative weights only: the scan pays about n/64 per round for n rounds, the binary
// heap a heap operation per record; they are level once the average row holds about a
// sixteenth of all nodes, and there the scan needs no heap. (With non-negative weights the
// buckets or the radix heap beat the scan on every density measured, complete graphs too.)
bool dense(int64_t nodes, int64_t records) { return records * 16 >= nodes * nodes; }

}  // namespace

solver_kind choose_solver(int64_t nodes, int64_t records, bool negative, int threads) {
    if (negative) return dense(nodes, records) ? solver_kind::scan : solver_kind::queue;
    if (threads > 1 && records + nodes >= settings.bucket_team_min_work) return solver_kind::buckets_team;
    if (nodes >= settings.bucket_alone_min_nodes) return solver_kind::buckets_alone;
    return solver_kind::queue;
}

size_t solver_bytes(int64_t nodes, int64_t records, int threads) {
    // At once, beside the distances: the bucket solver's members, rings and first slabs,
    // and a byte a node of bins or heap entries (under a byte a node on road graphs); the
    // bins, the heap and the scan's keys beyond grow through checked allocations.
    const int team =
        choose_solver(nodes, records, false, threads) == solver_kind::buckets_team ? threads : 1;
    return size_t(nodes) + bucket_solver_bytes(team) + (size_t(1) << 20);
}

double get_time() {
    struct timeval now;
    gettimeofday(&now, nullptr);
    return double(now.tv_usec) * 1e-6 + double(now.tv_sec);
}

double compute_distances() {
    const int threads = omp_get_max_threads();
    // What the solver takes at once; beyond it its bins grow through checked allocations.
    check_memory_budget(solver_bytes(num_nodes, edge_counter, threads));
    const solver_kind kind = choose_solver(num_nodes, edge_counter, negative_weights, threads);
    // A solver on one thread would run beside the builder's members, spinning idle.
    if (kind != solver_kind::buckets_team) rest_team();
    const double t0 = get_time();
    bool complete = true;
    switch (kind) {
    case solver_kind::scan: complete = solve_with_scan(); break;
    case solver_kind::queue: complete = solve_with_queue(); break;
    case solver_kind::buckets_alone: complete = solve_with_buckets(1); break;
    case solver_kind::buckets_team: complete = solve_with_buckets(threads); break;
    }
    if (!complete) fputs(EARLY_END_WARNING, stderr);
    return get_time() - t0;
}
