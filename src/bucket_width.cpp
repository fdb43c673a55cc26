// The width rule. A bucket should hold about the nodes that one settled node's row reaches,
// so that few nodes are relaxed twice: half the mean weight over the length of the row a
// relaxed record leads to, to the nearest power of two. That length is the mean length of
// the sampled records' rows (a record lies in a long row as often as the row is long), at
// most four times the mean row: settling a node again costs its whole row, and a graph with
// hubs meets them far more often than its mean row says. Never 1: buckets of one distance
// each make a team meet for every distance.
#include "bucket_width.h"

#include <algorithm>

#include "bucket_ring.h"
#include "rows.h"
#include "store.h"

namespace {

constexpr int64_t MET_ROW_FACTOR = 4;

// Adds record k, in row `row`, to the sample.
template <class Rows>
void sample_record(const Rows &rows, uint32_t k, int32_t row, row_sample &s) {
    ++s.sampled;
    s.row_lengths += rows.offsets[row + 1] - rows.offsets[row];
    s.crossing += uint32_t(rows.target(k, row)) >= uint32_t(num_owned_nodes);
    const int64_t w = rows.weight(k);
    if (w >= INFINITE_DISTANCE) return;
    s.weight_sum += w;
    ++s.weights;
    s.heaviest = w > s.heaviest ? w : s.heaviest;
}

}  // namespace

row_sample sample_rows() {
    row_sample s = {0, 0, 0, 0, 0, 0};
    const int32_t owned = num_owned_nodes;
    with_rows([&s, owned](const auto &rows) {
        const uint32_t *offsets = rows.offsets;
        int32_t row = 0;
        uint32_t last = 0;
        for_sampled_records(offsets[owned], [&](uint32_t k) {
            // Runs are far apart: the row of a run's first record is searched, the rest follow it.
            if (k != last + 1 || row == 0)
                row = int32_t(std::upper_bound(offsets, offsets + owned + 1, k) - offsets) - 1;
            while (offsets[row + 1] <= k) ++row;
            last = k;
            sample_record(rows, k, row, s);
        });
    });
    return s;
}

int32_t bucket_width_for(const row_sample &sample, int64_t records, int64_t nodes) {
    const int64_t mean_weight = sample.weights > 0 ? sample.weight_sum / sample.weights : 1;
    const int64_t mean_row = nodes > 0 ? records / nodes : 0;
    const int64_t met_row = sample.sampled > 0 ? sample.row_lengths / sample.sampled : 0;
    const int64_t row_length = std::min(met_row, MET_ROW_FACTOR * mean_row);
    const int64_t width = row_length > 0 ? mean_weight / (2 * row_length) : mean_weight;
    // The nearest power of two: up when width is at least 1.5 times the one below.
    const int shift = floor_log2(width > 0 ? width : 1);
    const int nearest = width >= (int64_t(3) << shift) / 2 ? shift + 1 : shift;
    return int32_t(1) << (nearest > 1 ? nearest : 1);
}
