// The start shared by every solver: node 0 settled, its direct weights as the first
// tentative distances, every other node at INFINITE_DISTANCE.
#include "relax.h"

#include "rows.h"

void start_from_node_zero() {
    const int32_t n = num_nodes;
    // Orphaned work-sharing: split among the team when called inside a region.
#pragma omp for schedule(static)
    for (int32_t i = 0; i < n; ++i) {
        min_distance[i] = INFINITE_DISTANCE;
        tree[i] = 0;
    }
#pragma omp single
    {
        tree[0] = 1;
        min_distance[0] = 0;
        with_rows([](const auto &rows) {
            for (uint32_t k = rows.offsets[0]; k < rows.offsets[1]; ++k)
                min_distance[rows.target(k, 0)] = rows.weight(k);
        });
    }
}
