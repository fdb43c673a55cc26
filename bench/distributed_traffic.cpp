// norvane-mpi's run with its traffic counted: the same steps as the program (listing to
// rank 0's standard output), then one line per process on standard error with the bytes it
// sent in each step, the exchange rounds of the build, the phases of the solve and each
// step's wall time. bench/distributed.sh tables them.
// Usage: mpirun -np K distributed_traffic GRAPH [WIDTH [SPAN]] > /dev/null
//   WIDTH: the solve's bucket width (a power of two) instead of the one it chooses, 0 for it
//   SPAN: the buckets a phase settles ahead (a power of two), 0 for the program's choice
#include <mpi.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "distributed_builder.h"
#include "distributed_listing.h"
#include "distributed_reader.h"
#include "distributed_run.h"
#include "distributed_solver.h"
#include "distributed_settings.h"
#include "ghosts.h"
#include "graph.h"
#include "ownership.h"
#include "store.h"
#include "team.h"

int main(int argc, char **argv) {
    start_processes(&argc, &argv);
    if (argc <= 1) end_everywhere("Usage: distributed_traffic <graph file name> [bucket width [phase span]]\n");
    if (argc > 2) distributed_settings.bucket_width = int32_t(atoi(argv[2]));
    if (argc > 3) distributed_settings.phase_span = atoll(argv[3]);
    // The program's own team: the cores the launcher bound the process to, its CPU quota.
    size_team();
    MPI_Barrier(MPI_COMM_WORLD);
    const double t0 = MPI_Wtime();
    read_head_everywhere(argv[1]);
    build_distributed_store();
    const double t1 = MPI_Wtime();
    const double seconds = compute_distances_everywhere();
    const double t2 = MPI_Wtime();
    if (!write_listing_everywhere()) end_everywhere("Error: cannot write output.\n");
    const double t3 = MPI_Wtime();
    const distributed_record &r = distributed_report;
    constexpr int COLUMNS = 12;
    double row[COLUMNS] = {double(num_owned_nodes), double(edge_counter),    double(r.build_bytes_sent),
                           double(r.build_rounds),  double(r.solve_bytes_sent), double(r.solve_phases),
                           double(r.listing_bytes_sent), t1 - t0,              seconds,
                           t3 - t2,                 double(r.solve_settled),  double(r.build_records)};
    std::vector<double> rows(size_t(num_processes) * COLUMNS);
    MPI_Gather(row, COLUMNS, MPI_DOUBLE, rows.data(), COLUMNS, MPI_DOUBLE, 0, MPI_COMM_WORLD);
    if (process_rank == 0) {
        fprintf(stderr,
                "rank nodes records build_bytes build_rounds solve_bytes phases listing_bytes load_s solve_s listing_s "
                "settled counted_records\n");
        for (int p = 0; p < num_processes; ++p) {
            const double *r = &rows[size_t(p) * COLUMNS];
            fprintf(stderr, "%d %.0f %.0f %.0f %.0f %.0f %.0f %.0f %.3f %.3f %.3f %.0f %.0f\n", p, r[0], r[1], r[2],
                    r[3], r[4], r[5], r[6], r[7], r[8], r[9], r[10], r[11]);
        }
    }
    release_ghosts();
    release_blocks();
    release_graph();
    finish_processes();
    return 0;
}
