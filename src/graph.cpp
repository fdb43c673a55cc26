// The process-wide graph state and its lookup. Data flows one way: the reader turns the
// file into edge lines, the builder turns those into compressed rows, and from then on
// the store is only read.
#include "graph.h"

#include <cstdlib>

#include "builder.h"
#include "memory.h"
#include "reader.h"
#include "rows.h"

int32_t num_nodes = 0;
int32_t num_edges = 0;
uint32_t *nodes = nullptr;
edge_record *edges = nullptr;
uint32_t *packed_edges = nullptr;
int packed_weight_bits = 0;
int64_t edge_counter = 0;
bool negative_weights = false;
int32_t *min_distance = nullptr;
uint8_t *tree = nullptr;

void read_graph(const char *path) {
    int64_t count = 0;
    edge_line *lines = read_edge_lines(path, &count);
    build_store(lines, count);
    release_array(lines);
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
    release_array(nodes);
    release_array(edges);
    release_array(packed_edges);
    release_array(min_distance);
    release_array(tree);
    nodes = nullptr;
    edges = nullptr;
    packed_edges = nullptr;
    packed_weight_bits = 0;
    min_distance = nullptr;
    tree = nullptr;
    edge_counter = 0;
    num_nodes = 0;
    num_edges = 0;
    negative_weights = false;
}
