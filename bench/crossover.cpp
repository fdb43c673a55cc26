// Times the two solvers on the same graph file, to place the rule that picks one: the
// scan pays about n per round, the queue about a heap operation per record, so their
// ratio follows the average row length over n. Prints: n records records/n^2 scan_s queue_s.
// Built against the project's library by bench/crossover.sh.
#include <cstdio>

#include "graph.h"
#include "queue_solver.h"
#include "scan_solver.h"
#include "solver.h"

int main(int argc, char **argv) {
    if (argc < 2) {
        fputs("usage: crossover GRAPH\n", stderr);
        return 2;
    }
    read_graph(argv[1]);
    double best_scan = 1e9, best_queue = 1e9;
    for (int run = 0; run < 3; ++run) {
        double t0 = get_time();
        solve_with_scan();
        double t1 = get_time();
        solve_with_queue();
        double t2 = get_time();
        best_scan = t1 - t0 < best_scan ? t1 - t0 : best_scan;
        best_queue = t2 - t1 < best_queue ? t2 - t1 : best_queue;
    }
    const double n = num_nodes;
    printf("%d %lld %.4f %.6f %.6f\n", num_nodes, (long long)edge_counter, double(edge_counter) / (n * n),
           best_scan, best_queue);
    return 0;
}
