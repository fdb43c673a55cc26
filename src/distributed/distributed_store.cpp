// The distributed store's state: this process's block of nodes, its rows, and the
// distances and flags the solver fills. Released once, after the listing.
#include "distributed_store.h"

#include "memory.h"

int32_t first_local_node = 0;
int32_t num_local_nodes = 0;
uint32_t *local_rows = nullptr;
edge_record *local_records = nullptr;
uint32_t *local_packed = nullptr;
int local_weight_bits = 0;
int32_t num_ghosts = 0;
int32_t ghosts_below = 0;
int32_t *ghost_nodes = nullptr;
bool any_negative_weight = false;
int32_t *local_distance = nullptr;
uint8_t *local_settled = nullptr;
int64_t build_bytes_sent = 0;
int64_t build_rounds = 0;

void release_distributed_store() {
    drop_array(local_rows);
    drop_array(local_records);
    drop_array(local_packed);
    local_weight_bits = 0;
    drop_array(ghost_nodes);
    num_ghosts = 0;
    ghosts_below = 0;
    drop_array(local_distance);
    drop_array(local_settled);
    first_local_node = 0;
    num_local_nodes = 0;
    any_negative_weight = false;
    build_bytes_sent = 0;
    build_rounds = 0;
}
