// Driver: reads the graph named by the first operand, computes the distances, prints
// the listing on standard output and the computation time on standard error.
// A listing that could not be written in full is a failure, never a silent success.
#include <cstdio>

#include "graph.h"
#include "listing.h"
#include "solver.h"
#include "team.h"

int main(int argc, char **argv) {
    if (argc <= 1) {
        fputs("Usage: norvane <graph file name>\n", stderr);
        return -1;
    }
    size_team();
    read_graph(argv[1]);
    const double seconds = compute_distances();
    if (!write_listing()) {
        fputs("Error: cannot write output.\n", stderr);
        return -1;
    }
    fprintf(stderr, "Computation time: %f\n", seconds);
    release_graph();
    return 0;
}
