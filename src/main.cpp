// Driver: reads the graph named by the first operand, computes the distances, prints
// the listing on standard output and the computation time on standard error.
// A listing that could not be written in full is a failure, never a silent success.
#include <cstdio>
#include <cstdlib>

#include "graph.h"
#include "solver.h"

int main(int argc, char **argv) {
    if (argc <= 1) {
        fputs("Usage: norvane <graph file name>\n", stderr);
        return -1;
    }
    read_graph(argv[1]);
    const double seconds = compute_distances();

    fputs("\nMinimal distance from node 0 to every other node:\n", stdout);
    for (int32_t i = 1; i < num_nodes; ++i) printf("Node %d: \t%d\n", i, min_distance[i]);
    if (fflush(stdout) != 0 || ferror(stdout)) {
        fputs("Error: cannot write output.\n", stderr);
        return -1;
    }
    fprintf(stderr, "Computation time: %f\n", seconds);
    release_graph();
    return 0;
}
