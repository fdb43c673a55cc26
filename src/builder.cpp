// Store builder: compressed rows from the reader's ranges of edge lines, each range taken
// by one member; a team smaller than the ranges shares them out, so the rows never depend
// on the team the runtime gives. Each range's lines are counted per owned node, prefix
// sums give every row a slot per member in member order, and each member fills its slots
// in file order, so every row lists its records in file order with no lock and no sort;
// the first record per neighbour is then the one kept. No two members write the same
// memory. A block that is not the whole graph (norvane-mpi) also hands its driver the
// lines with an end outside it, and names those ends by the driver's numbering.
#include "builder.h"

#include <omp.h>


#include "first_records.h"
#include "input.h"
#include "memory.h"
#include "reader.h"
#include "row_slots.h"
#include "rows.h"
#include "settings.h"
#include "store.h"
#include "team.h"
#include "test_hooks.h"

namespace {

struct build_state {
    const build_driver *driver = nullptr;
    int members = 0;
    uint32_t **counts = nullptr;  // per member: records per owned node, then its fill cursors
};
build_state building;

bool whole_graph() { return building.driver->line_met == nullptr; }

// A build of the whole graph, its memory checked in this process.
// norvane's listing goes through a buffer of its own after the build.
const build_driver whole_graph_driver = {check_memory_budget, nullptr, nullptr, 0, 0, size_t(4) << 20};

struct member_count {
    uint32_t *count;
    int member;
};

template <bool whole>
void count_batch(const edge_line *lines, size_t count, void *context) {
    const member_count &c = *static_cast<member_count *>(context);
    uint32_t *records = c.count;
    const int32_t first = first_owned_node;
    const uint32_t owned = uint32_t(num_owned_nodes);
    for (size_t i = 0; i < count; ++i) {
        const edge_line &e = lines[i];
        if (whole) {
            ++records[e.u];
            ++records[e.v];
            continue;
        }
        const uint32_t a = uint32_t(e.u - first), b = uint32_t(e.v - first);
        if (a < owned) ++records[a];
        if (b < owned) ++records[b];
        if (a >= owned || b >= owned) building.driver->line_met(c.member, e, a < owned, b < owned);
    }
}

struct fill_context {
    uint32_t *cursor;
    uint64_t pool_size;
    bool overflow;  // a cursor left its row or the pool, or a neighbour had no index: the file changed
};

// Rows are written far apart: the cursors of the lines ahead are fetched, then the
// records they point at, so that the misses overlap instead of following one another.
constexpr size_t AHEAD_CURSORS = 16, AHEAD_RECORDS = 8;

template <bool packed>
inline void fetch_fill_ahead(const edge_line *lines, size_t count, size_t i, const fill_context &fill) {
    const uint32_t *cursor = fill.cursor;
    if (i + AHEAD_CURSORS < count) {
        __builtin_prefetch(&cursor[lines[i + AHEAD_CURSORS].u], 1);
        __builtin_prefetch(&cursor[lines[i + AHEAD_CURSORS].v], 1);
    }
    if (i + AHEAD_RECORDS >= count) return;
    // A cursor read early may move on by a few records before its line is placed: the
    // record then lies in or next to the cache line fetched.
    const edge_line &f = lines[i + AHEAD_RECORDS];
    const uint64_t fa = cursor[f.u], fb = cursor[f.v];
    if (fa >= fill.pool_size || fb >= fill.pool_size) return;
    if (packed) {
        __builtin_prefetch(&packed_edges[fa], 1);
        __builtin_prefetch(&packed_edges[fb], 1);
    } else {
        __builtin_prefetch(&edges[fa], 1);
        __builtin_prefetch(&edges[fb], 1);
    }
}

// The whole graph: both ends of every line are rows here, named by their own index.
template <bool packed>
void fill_batch(const edge_line *lines, size_t count, void *context) {
    fill_context &fill = *static_cast<fill_context *>(context);
    uint32_t *cursor = fill.cursor;
    const int bits = packed_weight_bits;
    for (size_t i = 0; i < count; ++i) {
        fetch_fill_ahead<packed>(lines, count, i, fill);
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

// A block: the record of owned row i (relative index) for the neighbour at relative index target.
template <bool packed>
inline void put_record(fill_context &fill, int32_t i, int32_t target, int32_t weight) {
    const uint32_t slot = fill.cursor[i]++;
    if (slot >= nodes[i + 1] || target == NO_INDEX) {
        fill.overflow = true;
        return;
    }
    if (packed) {
        packed_edges[slot] = pack_record(i, target, weight, packed_weight_bits);
    } else {
        edges[slot] = edge_record{target, weight};
    }
}

inline int32_t relative_index(int32_t node, uint32_t offset) {
    return offset < uint32_t(num_owned_nodes) ? int32_t(offset) : building.driver->outside_index(node);
}

template <bool packed>
void fill_block_batch(const edge_line *lines, size_t count, void *context) {
    fill_context &fill = *static_cast<fill_context *>(context);
    const uint32_t owned = uint32_t(num_owned_nodes);
    for (size_t i = 0; i < count && !fill.overflow; ++i) {
        const edge_line &e = lines[i];
        const uint32_t a = uint32_t(e.u - first_owned_node), b = uint32_t(e.v - first_owned_node);
        if (a < owned) put_record<packed>(fill, int32_t(a), relative_index(e.v, b), e.weight);
        if (b < owned) put_record<packed>(fill, int32_t(b), relative_index(e.u, a), e.weight);
    }
}

// A count array of fresh zero pages, every page touched by the member that will count in
// it: the memory the pass holds is then known before it starts, however the lines fall.
uint32_t *open_count(size_t owned) {
    uint32_t *count = static_cast<uint32_t *>(allocate_zeroed_array(owned, sizeof(uint32_t)));
    volatile uint32_t *pages = count;
    for (size_t i = 0; i < owned; i += 1024) pages[i] = 0;
    return count;
}

edge_batch_fn count_function() { return whole_graph() ? count_batch<true> : count_batch<false>; }

edge_batch_fn fill_function() {
    if (whole_graph()) return packed_edges != nullptr ? fill_batch<true> : fill_batch<false>;
    return packed_edges != nullptr ? fill_block_batch<true> : fill_block_batch<false>;
}

int bit_width(uint32_t x) { return x == 0 ? 0 : 32 - __builtin_clz(x); }

// Whether some owned row is longer than SHORT_ROW: only such rows need the marks.
bool any_long_row() {
    const int32_t owned = num_owned_nodes;
    bool any = false;
#pragma omp parallel for schedule(static) reduction(|| : any) if (owned >= (int32_t(1) << 16))
    for (int32_t i = 0; i < owned; ++i) any = any || nodes[i + 1] - nodes[i] > SHORT_ROW;
    return any;
}

// The marks a block's long rows need: a slot per relative index, per member.
size_t marks_bytes() {
    if (whole_graph() || !any_long_row()) return 0;
    const size_t indices = size_t(building.driver->below) + size_t(num_owned_nodes) + size_t(building.driver->above);
    return size_t(building.members) * indices * sizeof(uint32_t);
}

// Per member, a mark for every relative index a row may hold: the whole graph's count
// arrays serve (they are free once the rows are filled); a block's also covers the indices
// outside it, so it takes arrays of its own, and only where some row is long.
uint32_t **open_marks(bool *own_arrays) {
    *own_arrays = !whole_graph();
    if (!*own_arrays) return building.counts;
    const size_t bytes = marks_bytes();
    building.driver->grant_memory(bytes);
    uint32_t **marks = static_cast<uint32_t **>(allocate_array(size_t(building.members), sizeof(uint32_t *)));
    for (int m = 0; m < building.members; ++m) {
        uint32_t *base = bytes > 0 ? static_cast<uint32_t *>(allocate_array(bytes / size_t(building.members), 1)) : nullptr;
        marks[m] = base == nullptr ? nullptr : base + building.driver->below;
    }
    return marks;
}

void close_marks(uint32_t **marks, bool own_arrays) {
    if (!own_arrays) return;
    for (int m = 0; m < building.members; ++m)
        if (marks[m] != nullptr) release_array(marks[m] - building.driver->below);
    release_array(marks);
}

// Drops repeated neighbours from every row and closes the gaps they leave; sets
// edge_counter. The first member's counts are free once the rows are filled: they hold the
// stash of the moves.
void keep_first_per_neighbour(uint64_t total) {
    bool own_marks = false;
    uint32_t **marks = open_marks(&own_marks);
    unsigned char *stash = reinterpret_cast<unsigned char *>(building.counts[0]);
    const size_t stash_bytes = size_t(num_owned_nodes) * sizeof(uint32_t);
    const int members = building.members;
    if (packed_edges != nullptr) {
        const int bits = packed_weight_bits;
        edge_counter = keep_first_in_rows(nodes, num_owned_nodes, packed_edges, total, members, marks, stash,
                                          stash_bytes, settings.build_piece_records,
                                          [bits](uint32_t r, int32_t u) { return u + (int32_t(r) >> bits); });
    } else {
        edge_counter = keep_first_in_rows(nodes, num_owned_nodes, edges, total, members, marks, stash, stash_bytes,
                                          settings.build_piece_records,
                                          [](const edge_record &r, int32_t) { return r.target; });
    }
    close_marks(marks, own_marks);
}

void fill_one_range(int m, edge_batch_fn fill, bool *overflow) {
    fill_context context = {building.counts[m], uint64_t(nodes[num_owned_nodes]), false};
    read_edge_range(m, fill, &context);
    *overflow = *overflow || context.overflow;
}

}  // namespace

int packing_bits(const edge_stats &stats) {
    if (!settings.pack_records || stats.kept == 0 || stats.min_weight < 0) return -1;
    const int weight_bits = bit_width(uint32_t(stats.max_weight));
    const int offset_bits = bit_width(stats.max_offset) + 1;
    return weight_bits + offset_bits > 32 ? -1 : weight_bits;
}

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

namespace {

// Held lines take 8 bytes, 12 with a weight that does not fit beside the ends.
constexpr size_t HELD_LINE_BYTES = 12;
// The bucket solver's bins on the bench graphs: under a byte a node on road graphs, a few on
// graphs with hubs; beyond it they grow through checked allocations.
constexpr size_t BINS_BYTES_PER_NODE = 1;
// A read range's window, its usual size.
constexpr size_t WINDOW_BYTES = size_t(1) << 20;

}  // namespace

size_t count_touch_bytes(int64_t nodes, int64_t lines, int members, bool held) {
    // The row offsets (written when the rows are laid out) and every member's count array,
    // whose pages the count pass touches all (count_ranges).
    const size_t n = size_t(nodes);
    return (n + 1) * sizeof(uint32_t) + n * sizeof(uint32_t) * size_t(members) +
           (held ? size_t(lines) * HELD_LINE_BYTES : 0) + size_t(members) * WINDOW_BYTES;
}

size_t rest_touch_bytes(int64_t nodes, uint64_t records, bool packed, int members) {
    // The distances take over the count arrays, whose pages are all touched; the flags need
    // pages of their own where one member counted.
    const size_t n = size_t(nodes);
    return size_t(records) * (packed ? sizeof(uint32_t) : sizeof(edge_record)) + (members > 1 ? 0 : n) +
           n * BINS_BYTES_PER_NODE;
}

void allocate_graph(int32_t n, int32_t m, int members) {
    // The machine's memory and the address space by the file's announced counts; the
    // memory groups by what the count pass will touch, and once the counts are in, by what
    // the rest will (build_store).
    if (!machine_holds(least_graph_bytes(n, m, members))) fail_memory();
    check_room(count_touch_bytes(n, m, members, held_file_lines()));
    first_owned_node = 0;
    num_owned_nodes = n;
    allocate_rows(n);
}

int build_members(int64_t n, int64_t m) {
    return n + m >= settings.build_team_min_work ? omp_get_max_threads() : 1;
}

void open_build(const build_driver *driver, int members) {
    building.driver = driver;
    building.driver->grant_memory(size_t(members) * size_t(num_owned_nodes) * sizeof(uint32_t));
    building.members = members;
    building.counts = static_cast<uint32_t **>(allocate_array(size_t(members), sizeof(uint32_t *)));
    for (int m = 0; m < members; ++m) building.counts[m] = nullptr;
}

void count_ranges() {
    const int members = building.members;
    const edge_batch_fn count = count_function();
#pragma omp parallel num_threads(members) if (members > 1)
    {
        if (omp_get_thread_num() != 0) team_running();
        for (int m = omp_get_thread_num(); m < members; m += omp_get_num_threads()) {
            building.counts[m] = open_count(size_t(num_owned_nodes));
            member_count context = {building.counts[m], m};
            read_edge_range(m, count, &context);
        }
    }
}

void count_held_lines(int member, line_store &lines) {
    member_count context = {building.counts[member], member};
    replay_lines(lines, 0, lines.num_blocks, count_function(), &context, false);
}

int64_t counted_records() {
    int64_t records = 0;
    for (int m = 0; m < building.members; ++m)
        for (int32_t i = 0; i < num_owned_nodes; ++i) records += building.counts[m][i];
    return records;
}

void for_each_counted_row(void (*take)(int32_t node, uint32_t records, void *context), void *context) {
    for (int32_t i = 0; i < num_owned_nodes; ++i) {
        uint32_t records = 0;
        for (int m = 0; m < building.members; ++m) records += building.counts[m][i];
        if (records > 0) take(first_owned_node + i, records, context);
    }
}

uint64_t lay_out_rows(const edge_stats &stats) {
    negative_weights = stats.kept > 0 && stats.min_weight < 0;
    const int bits = packing_bits(stats);
    packed_weight_bits = bits < 0 ? 0 : bits;
    const int32_t owned = num_owned_nodes;
    const uint64_t total = place_all_rows(nodes, building.counts, owned, building.members, settings.build_piece_rows);
    nodes[owned] = uint32_t(total);
    // Decided here, before the pool, for everything the run will still touch.
    building.driver->grant_memory(rest_touch_bytes(owned, total, bits >= 0, building.members) + marks_bytes() +
                                  building.driver->later_bytes);
    allocate_pool(int64_t(total), bits >= 0);
    return total;
}

bool fill_ranges() {
    if (test_hooks.first_pass_checked != nullptr) test_hooks.first_pass_checked();
    const int members = building.members;
    const edge_batch_fn fill = fill_function();
    bool overflow = false;
#pragma omp parallel num_threads(members) if (members > 1) reduction(|| : overflow)
    for (int m = omp_get_thread_num(); m < members; m += omp_get_num_threads()) fill_one_range(m, fill, &overflow);
    return !overflow;
}

bool fill_held_lines(int member, line_store &lines) {
    fill_context context = {building.counts[member], uint64_t(nodes[num_owned_nodes]), false};
    replay_lines(lines, 0, lines.num_blocks, fill_function(), &context, false);
    return !context.overflow;
}

void finish_rows(uint64_t total) {
    // The cursors of every member but the first are free: their counts held the stash.
    keep_first_per_neighbour(total);
    release_building();
    // Distances and flags take the pages the counts leave, already faulted in.
    allocate_distances(num_owned_nodes);
}

void build_store(int ranges) {
    open_build(&whole_graph_driver, ranges);
    count_ranges();
    const edge_stats stats = check_edge_lines();
    const uint64_t total = lay_out_rows(stats);
    if (total != uint64_t(stats.kept) * 2) fail_read();  // the file changed under the count
    const bool placed = fill_ranges();
    check_second_pass();
    if (!placed) fail_read();
    finish_rows(total);
}

void release_building() {
    if (building.counts == nullptr) return;
    for (int m = 0; m < building.members; ++m) release_array(building.counts[m]);
    release_array(building.counts);
    building.counts = nullptr;
    building.members = 0;
}
