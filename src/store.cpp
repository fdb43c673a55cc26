// Definitions of the process-wide graph state and its one owner: empty until a graph is
// built; every array is allocated here untouched (the threads that use it touch it first)
// and released here.
#include "store.h"

#include "memory.h"

int32_t num_nodes = 0;
int32_t num_edges = 0;
int32_t first_owned_node = 0;
int32_t num_owned_nodes = 0;
uint32_t *nodes = nullptr;
edge_record *edges = nullptr;
uint32_t *packed_edges = nullptr;
int packed_weight_bits = 0;
int64_t edge_counter = 0;
bool negative_weights = false;
int32_t *min_distance = nullptr;
uint8_t *tree = nullptr;

void allocate_rows(int32_t count) {
    nodes = static_cast<uint32_t *>(allocate_array(size_t(count) + 1, sizeof(uint32_t)));
}

void allocate_pool(int64_t total, bool packed) {
    if (packed) {
        packed_edges = static_cast<uint32_t *>(allocate_array(size_t(total), sizeof(uint32_t)));
    } else {
        edges = static_cast<edge_record *>(allocate_array(size_t(total), sizeof(edge_record)));
    }
}

void allocate_distances(int32_t count) {
    min_distance = static_cast<int32_t *>(allocate_array(size_t(count), sizeof(int32_t)));
    tree = static_cast<uint8_t *>(allocate_array(size_t(count), sizeof(uint8_t)));
}

void release_store() {
    drop_array(nodes);
    drop_array(edges);
    drop_array(packed_edges);
    drop_array(min_distance);
    drop_array(tree);
    packed_weight_bits = 0;
    edge_counter = 0;
}

void reset_store() {
    release_store();
    num_nodes = 0;
    num_edges = 0;
    first_owned_node = 0;
    num_owned_nodes = 0;
    negative_weights = false;
}
