// Definitions of the process-wide graph state; empty until a graph is built.
#include "store.h"

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
