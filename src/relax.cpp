// The start shared by every solver: node 0 settled, its direct weights as the first
// tentative distances, every other owned node at INFINITE_DISTANCE.
#include "relax.h"

#include "rows.h"

void start_from_node_zero(outside_offer_fn elsewhere, void *context) {
    const int32_t owned = num_owned_nodes;
    // Orphaned work-sharing: split among the team when called inside a region.
#pragma omp for schedule(static)
    for (int32_t i = 0; i < owned; ++i) {
        min_distance[i] = INFINITE_DISTANCE;
        tree[i] = 0;
    }
#pragma omp single
    if (first_owned_node == 0 && owned > 0) {
        tree[0] = 1;
        min_distance[0] = 0;
        with_rows([elsewhere, context, owned](const auto &rows) {
            for (uint32_t k = rows.offsets[0]; k < rows.offsets[1]; ++k) {
                const int32_t t = rows.target(k, 0);
                if (uint32_t(t) < uint32_t(owned)) {
                    min_distance[t] = rows.weight(k);
                } else {
                    elsewhere(t, rows.weight(k), context);
                }
            }
        });
    }
}
