// Store builder: compressed rows from the reader's ranges of edge lines, each range taken
// by one member; a team smaller than the ranges shares them out, so the rows never depend
// on the team the runtime gives. Each range's lines are counted per node, prefix sums give
// every row a slot per range in range order, and each range fills its slots in file
// order, so every row lists its records in file order with no lock and no sort; the first
// record per neighbour is then the one kept. No two members write the same memory.
// Passes over rows are cut into small pieces that members claim as they come, so that a
// member the kernel holds off its core delays only the piece it holds.
#include "builder.h"

#include <omp.h>

#include <algorithm>
#include <atomic>
#include <cstring>

#include "first_records.h"
#include "input.h"
#include "memory.h"
#include "reader.h"
#include "row_slots.h"
#include "rows.h"
#include "settings.h"
#include "store.h"
#include "team.h"


namespace {

// Per member: records per node, then the member's fill cursors, then dedup marks.
uint32_t **member_arrays = nullptr;
int num_member_arrays = 0;

void count_batch(const edge_line *lines, size_t count, void *context) {
    uint32_t *records = static_cast<uint32_t *>(context);
    for (size_t i = 0; i < count; ++i) {
        ++records[lines[i].u];
        ++records[lines[i].v];
    }
}

struct fill_context {
    uint32_t *cursor;
    uint64_t pool_size;
    bool overflow;  // a cursor left the pool: the file changed between the passes
};

// Rows are written far apart: the cursors of the lines ahead are fetched, then the
// records they point at, so that the misses overlap instead of following one another.
constexpr size_t AHEAD_CURSORS = 16, AHEAD_RECORDS = 8;

template <bool packed>
void fill_batch(const edge_line *lines, size_t count, void *context) {
    fill_context &fill = *static_cast<fill_context *>(context);
    uint32_t *cursor = fill.cursor;
    const int bits = packed_weight_bits;
    for (size_t i = 0; i < count; ++i) {
        if (i + AHEAD_CURSORS < count) {
            __builtin_prefetch(&cursor[lines[i + AHEAD_CURSORS].u], 1);
            __builtin_prefetch(&cursor[lines[i + AHEAD_CURSORS].v], 1);
        }
        if (i + AHEAD_RECORDS < count) {
            // A cursor read early may move on by a few records before its line is
            // placed: the record then lies in or next to the cache line fetched.
            const edge_line &f = lines[i + AHEAD_RECORDS];
            const uint64_t fa = cursor[f.u], fb = cursor[f.v];
            if (fa < fill.pool_size && fb < fill.pool_size) {
                if (packed) {
                    __builtin_prefetch(&packed_edges[fa], 1);
                    __builtin_prefetch(&packed_edges[fb], 1);
                } else {
                    __builtin_prefetch(&edges[fa], 1);
                    __builtin_prefetch(&edges[fb], 1);
                }
            }
        }
        const edge_line &e = lines[i];
        const uint32_t a = cursor[e.u]++;
        const uint32_t b = cursor[e.v]++;
        if (a >= fill.pool_size || b >= fill.pool_size) {
            fill.overflow = true;
            continue;
        }
        if (packed) {
            packed_edges[a] = pack_record(e.u, e.v, e.weight, bits);
            packed_edges[b] = pack_record(e.v, e.u, e.weight, bits);
        } else {
            edges[a] = edge_record{e.v, e.weight};
            edges[b] = edge_record{e.u, e.weight};
        }
    }
}

int bit_width(uint32_t x) { return x == 0 ? 0 : 32 - __builtin_clz(x); }

// Sets packed_weight_bits; whether the pool is packed.
bool choose_packed(const edge_stats &stats) {
    const int bits = packing_bits(stats);
    packed_weight_bits = bits < 0 ? 0 : bits;
    return bits >= 0;
}

}  // namespace

int packing_bits(const edge_stats &stats) {
    if (!settings.pack_records || stats.kept == 0 || stats.min_weight < 0) return -1;
    const int weight_bits = bit_width(uint32_t(stats.max_weight));
    const int offset_bits = bit_width(stats.max_offset) + 1;
    return weight_bits + offset_bits > 32 ? -1 : weight_bits;
}

namespace {

// Drops repeated neighbours from every row and closes the gaps they leave; sets
// edge_counter. The first member's counts are free once the repeats are dropped: they
// hold the stash of the moves.
template <class record, class target_fn>
void keep_first_per_neighbour(int members, record *pool, uint64_t total, target_fn target_of) {
    edge_counter = keep_first_in_rows(nodes, num_nodes, pool, total, members, member_arrays,
                                      reinterpret_cast<unsigned char *>(member_arrays[0]),
                                      size_t(num_nodes) * sizeof(uint32_t), settings.build_piece_records, target_of);
}

}  // namespace

size_t least_graph_bytes(int64_t nodes, int64_t lines, int members) {
    // Row offsets, a packed record per direction per edge line, and the larger of the
    // members' counts while building and what solving holds in their place (distances,
    // flags and about 12 bytes a node of the solver's own, which it checks again before
    // it starts); read buffers besides.
    const size_t count = size_t(nodes);
    const size_t counts = count * sizeof(uint32_t) * size_t(members);
    const size_t solving = count * (sizeof(int32_t) + sizeof(uint8_t) + 12);
    return (count + 1) * sizeof(uint32_t) + size_t(lines) * 2 * sizeof(uint32_t) +
           (counts > solving ? counts : solving) + (size_t(16) << 20);
}

void allocate_graph(int32_t n, int32_t m, int members) {
    check_memory_budget(least_graph_bytes(n, m, members));
    allocate_rows(n);
}

int build_members(int32_t n, int32_t m) {
    return int64_t(n) + int64_t(m) >= settings.build_team_min_work ? omp_get_max_threads() : 1;
}

void build_store(int ranges) {
    const int members = ranges;
    const int64_t n = num_nodes;
    member_arrays = static_cast<uint32_t **>(allocate_array(size_t(members), sizeof(uint32_t *)));
    for (int m = 0; m < members; ++m) member_arrays[m] = nullptr;
    num_member_arrays = members;

#pragma omp parallel num_threads(members) if (members > 1)
    {
        if (omp_get_thread_num() != 0) team_running();
        for (int m = omp_get_thread_num(); m < members; m += omp_get_num_threads()) {
            member_arrays[m] = static_cast<uint32_t *>(allocate_zeroed_array(size_t(n), sizeof(uint32_t)));
            read_edge_range(m, count_batch, member_arrays[m]);
        }
    }
    const edge_stats stats = check_edge_lines();
    negative_weights = stats.min_weight < 0;
    const bool packed = choose_packed(stats);

    const uint64_t total = place_all_rows(nodes, member_arrays, n, members, settings.build_piece_rows);
    nodes[n] = uint32_t(total);
    if (total != uint64_t(stats.kept) * 2) fail_read();  // the file changed under the count

    const size_t record_bytes = packed ? sizeof(uint32_t) : sizeof(edge_record);
    check_memory_budget(size_t(total) * record_bytes + size_t(n) * 5);
    allocate_pool(int64_t(total), packed);
    bool overflow = false;
#pragma omp parallel num_threads(members) if (members > 1) reduction(|| : overflow)
    for (int m = omp_get_thread_num(); m < members; m += omp_get_num_threads()) {
        fill_context fill = {member_arrays[m], total, false};
        read_edge_range(m, packed ? fill_batch<true> : fill_batch<false>, &fill);
        overflow = overflow || fill.overflow;
    }
    check_second_pass();
    if (overflow) fail_read();

    if (packed) {
        const int bits = packed_weight_bits;
        keep_first_per_neighbour(members, packed_edges, total, [bits](uint32_t r, int32_t u) {
            return u + (int32_t(r) >> bits);
        });
    } else {
        keep_first_per_neighbour(members, edges, total, [](const edge_record &r, int32_t) { return r.target; });
    }
    release_building();
    // Distances and flags take the pages the counts leave, already faulted in.
    allocate_distances(int32_t(n));
}

void release_building() {
    if (member_arrays == nullptr) return;
    for (int m = 0; m < num_member_arrays; ++m) release_array(member_arrays[m]);
    release_array(member_arrays);
    member_arrays = nullptr;
    num_member_arrays = 0;
}
