// Driver of norvane-mpi: the run of norvane over the processes that mpirun starts (one
// when started alone), with its command line, listing, messages and exit statuses. Rank 0
// writes every line; every process ends with the same status.
#include <cstdio>

#include "distributed_builder.h"
#include "distributed_listing.h"
#include "distributed_reader.h"
#include "distributed_run.h"
#include "distributed_solver.h"
#include "ghosts.h"
#include "graph.h"
#include "ownership.h"
#include "team.h"

int main(int argc, char **argv) {
    start_processes(&argc, &argv);
    if (argc <= 1) end_everywhere("Usage: norvane-mpi <graph file name>\n");
    // Each process's team fits the cores the launcher bound it to, its CPU quota and the
    // threads it can start beside its host's other processes.
    start_teams_in_turn();
    read_head_everywhere(argv[1]);
    build_distributed_store();
    const double seconds = compute_distances_everywhere();
    if (!write_listing_everywhere()) end_everywhere("Error: cannot write output.\n");
    if (process_rank == 0) fprintf(stderr, "Computation time: %f\n", seconds);
    release_ghosts();
    release_blocks();
    release_graph();
    finish_processes();
    return 0;
}
