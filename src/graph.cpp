// read_graph, the recipe of the load path, and the lookup of one edge: data flows one way,
// input -> reader -> builder -> store, and from then on the store is only read.
#include "graph.h"

#include "builder.h"
#include "input.h"
#include "memory.h"
#include "reader.h"
#include "rows.h"
#include "team.h"

void read_graph(const char *path) {
    open_input(path);
    read_problem_line();
    const int members = build_members(num_nodes, num_edges);
    // One count array per range read, not per member the team could have.
    allocate_graph(num_nodes, num_edges, planned_edge_ranges(members));
    const int ranges = prepare_edge_lines(members);
    if (ranges > 1) wake_team();
    build_store(ranges);
    release_reading();
}

int32_t get_distance(int32_t from, int32_t to) {
    if (from == to) return 0;
    return with_rows([from, to](const auto &rows) {
        for (uint32_t k = rows.offsets[from]; k < rows.offsets[from + 1]; ++k) {
            if (rows.target(k, from) == to) return rows.weight(k);
        }
        return INFINITE_DISTANCE;
    });
}

void release_graph() {
    release_reading();
    release_building();
    reset_store();
    release_all_arrays();
}
