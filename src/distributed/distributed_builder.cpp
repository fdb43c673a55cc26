// Distributed store builder. A plain file: each process's team scans its byte range twice;
// the first scan counts the records of owned ends and sends each line with an end another
// process owns to that owner, which holds it; the second fills the rows in place, so no
// line of the range is held. Other inputs come in held parts, each line sent to the other
// owners of its ends. Invariant: parts precede each other in file order by rank and wave
// and arrivals keep that order, so every row is filled in file order (a slot per member,
// in member order), and the first record per neighbour is the earliest edge line's.
// Records name local indices from the start: the ghosts are found while counting.
#include "distributed_builder.h"

#include <mpi.h>
#include <omp.h>

#include <algorithm>
#include <cstring>

#include "builder.h"
#include "distributed_exchange.h"
#include "distributed_reader.h"
#include "distributed_run.h"
#include "distributed_store.h"
#include "first_records.h"
#include "grow.h"
#include "line_scanner.h"
#include "memory.h"
#include "row_slots.h"
#include "rows.h"
#include "settings.h"
#include "team.h"

int64_t checked_lines = 4096;

namespace {

// What one member gathers while it counts: its records per owned node (later its fill
// cursors), the lines of its scan it must send (an end another process owns), the ends
// other processes own of lines with one owned end (the ghosts it met), and its scan's
// running checksum at each checkpoint, which the second scan must meet before it fills.
struct member_gather {
    uint32_t *count;
    member_lines outgoing;
    int32_t *ghosts;
    size_t num_ghosts;
    size_t ghost_capacity;
    uint64_t *checkpoint_sums;  // the running checksum at every checked_lines lines
    size_t num_checkpoints;
    size_t checkpoint_capacity;
    uint64_t running;
    uint64_t scanned;
    int32_t *recent;  // the ghost last noted per slot: a hub met again is not noted again
    bool out_of_memory;
};

struct build_state {
    int64_t n = 0;
    member_gather *gather = nullptr;
    uint32_t **counts = nullptr;  // each member's count, as one array of pointers
    int members = 0;
    // The fill's directory over the ghost table: the ghosts of global indices
    // [b << directory_shift, (b + 1) << directory_shift) start at directory[b].
    int32_t *directory = nullptr;
    int directory_shift = 0;
};

// Slots of a member's filter of recently noted ghosts (64 KiB each): R-MAT 20/8 at K = 2
// loaded in 1.10 s with 2^12 slots, 1.04 with 2^14, 1.00 with 2^16.
constexpr int RECENT_BITS = 14;

build_state building;

inline bool owned(int32_t x) { return uint32_t(x - first_local_node) < uint32_t(num_local_nodes); }

// The arrived lines member m of members handles: a contiguous share, in file order.
int64_t share_first(int64_t lines, int m, int members) { return lines * m / members; }

// ------------------------------------------------------------------ counting

// Members with their counts (zeroed, untouched) and nothing gathered yet.
void open_members(int members) {
    const size_t n_local = size_t(num_local_nodes);
    agree_on_memory(size_t(members) * n_local * sizeof(uint32_t));
    building.members = members;
    building.gather = static_cast<member_gather *>(allocate_array(size_t(members), sizeof(member_gather)));
    building.counts = static_cast<uint32_t **>(allocate_array(size_t(members), sizeof(uint32_t *)));
    for (int m = 0; m < members; ++m) {
        building.counts[m] = static_cast<uint32_t *>(allocate_zeroed_array(n_local, sizeof(uint32_t)));
        int32_t *recent = static_cast<int32_t *>(allocate_array(size_t(1) << RECENT_BITS, sizeof(int32_t)));
        std::fill(recent, recent + (size_t(1) << RECENT_BITS), -1);
        building.gather[m] = member_gather{building.counts[m], {nullptr, 0, 0, false}, nullptr, 0, 0, nullptr, 0, 0, 0, 0, recent, false};
    }
}

// Notes ghost x met by member g, unless it was the last noted in its slot of the filter;
// out of memory, it says so and drops it.
void note_ghost(member_gather &g, int32_t x) {
    int32_t &last = g.recent[(uint32_t(x) * 0x9e3779b1u) >> (32 - RECENT_BITS)];
    if (last == x) return;
    last = x;
    if (g.num_ghosts == g.ghost_capacity) {
        if (g.out_of_memory || !memory_available((g.ghost_capacity + 16) * 2 * sizeof(int32_t) + (size_t(1) << 20))) {
            g.out_of_memory = true;
            return;
        }
        grow_array(g.ghosts, g.ghost_capacity, g.num_ghosts + 1, g.num_ghosts);
    }
    g.ghosts[g.num_ghosts++] = x;
}

// Counts the records line e gives owned nodes, and notes the other end of a line with
// one owned end as a ghost; whether both ends are owned here.
inline bool count_line(const edge_line &e, member_gather &g) {
    const bool a = owned(e.u), b = owned(e.v);
    if (a) ++g.count[e.u - first_local_node];
    if (b) ++g.count[e.v - first_local_node];
    if (a != b) note_ghost(g, a ? e.v : e.u);
    return a && b;
}

// The running checksum of a member's scanned lines, after line.
inline uint64_t running_sum(uint64_t sum, const edge_line &line) {
    return (sum ^ ((uint64_t(uint32_t(line.u)) << 32) | uint32_t(line.v))) * 0x9e3779b97f4a7c15ULL +
           uint32_t(line.weight);
}

// Notes the first scan's running checksum at a checkpoint; false when memory is short.
bool note_checkpoint(member_gather &g) {
    if (g.num_checkpoints == g.checkpoint_capacity) {
        if (!memory_available((g.checkpoint_capacity + 16) * 2 * sizeof(uint64_t) + (size_t(1) << 20))) return false;
        grow_array(g.checkpoint_sums, g.checkpoint_capacity, g.num_checkpoints + 1, g.num_checkpoints);
    }
    g.checkpoint_sums[g.num_checkpoints++] = g.running;
    return true;
}

// First scan of a plain file: counts each line, and holds those with an end another
// process owns for the exchange.
void count_scanned(const edge_line *lines, size_t count, void *context) {
    part_sink &sink = *static_cast<part_sink *>(context);
    member_gather &g = *static_cast<member_gather *>(sink.state);
    edge_line leaving[BATCH_LINES];
    size_t held = 0;
    for (size_t i = 0; i < count; ++i) {
        const edge_line &e = lines[i];
        g.running = running_sum(g.running, e);
        if (++g.scanned % size_t(checked_lines) == 0 && !note_checkpoint(g)) g.out_of_memory = true;
        if (count_line(e, g)) continue;
        leaving[held++] = e;
        if (held == BATCH_LINES) {
            hold_lines(g.outgoing, leaving, held);
            held = 0;
        }
    }
    hold_lines(g.outgoing, leaving, held);
    sink.out_of_memory = g.out_of_memory || g.outgoing.out_of_memory;
}

// Ends the run everywhere with the memory message when some member ran out.
void agree_on_gathered() {
    bool short_of_memory = false;
    for (int m = 0; m < building.members; ++m) short_of_memory = short_of_memory || building.gather[m].out_of_memory;
    if (agree_on_fault(short_of_memory ? fault_key(0, FAULT_MEMORY) : NO_FAULT) != NO_FAULT) end_everywhere(MEMORY_MESSAGE);
}

// A plain file: the arrivals from processes before this one precede its range in file
// order, so they count in the first member's slots; those after it in the last member's.
void count_arrivals() {
    const int64_t lines = arrived_lines(), low = exchange.from_before;
    member_gather &first = building.gather[0], &last = building.gather[building.members - 1];
    for_arrived(0, low, [&](const edge_line &e) { count_line(e, first); });
    for_arrived(low, lines, [&](const edge_line &e) { count_line(e, last); });
}

// Held parts: member m counts its share of all the arrived lines, in file order.
void count_shares(int members, int64_t lines) {
#pragma omp parallel num_threads(members) if (members > 1)
    for (int m = omp_get_thread_num(); m < members; m += omp_get_num_threads()) {
        member_gather &g = building.gather[m];
        for_arrived(share_first(lines, m, members), share_first(lines, m + 1, members),
                    [&](const edge_line &e) { count_line(e, g); });
    }
}

// ------------------------------------------------------------------ ghosts and rows

// A run's next target and the run, ordered so that a max-heap pops the least target.
struct run_head {
    int32_t target;
    int run;
};
inline bool after(const run_head &a, const run_head &b) {
    return a.target != b.target ? a.target > b.target : a.run > b.run;
}

// Merges the members' sorted runs (member m's: its noted ghosts), dropping repeats, into
// out (null: only counts), through a heap of the runs' heads; returns the distinct nodes.
int64_t merge_runs(int members, int32_t *out) {
    run_head *heads = static_cast<run_head *>(allocate_array(size_t(members), sizeof(run_head)));
    uint64_t *at = static_cast<uint64_t *>(allocate_array(size_t(members), sizeof(uint64_t)));
    int live = 0;
    for (int m = 0; m < members; ++m) {
        at[m] = 0;
        if (at[m] < building.gather[m].num_ghosts) heads[live++] = run_head{building.gather[m].ghosts[0], m};
    }
    std::make_heap(heads, heads + live, after);
    int64_t written = 0;
    int32_t last = -1;
    while (live > 0) {
        std::pop_heap(heads, heads + live, after);
        const run_head head = heads[--live];
        if (head.target != last) {
            if (out != nullptr) out[written] = head.target;
            ++written;
            last = head.target;
        }
        const member_gather &g = building.gather[head.run];
        if (++at[head.run] < g.num_ghosts) {
            heads[live++] = run_head{g.ghosts[at[head.run]], head.run};
            std::push_heap(heads, heads + live, after);
        }
    }
    release_array(heads);
    release_array(at);
    return written;
}

// The fill's directory: about a ghost a bucket, so that a lookup is a miss in the
// directory and a short search, not a search of the whole table.
void open_directory() {
    const int64_t n = num_nodes, ghosts = num_ghosts > 0 ? num_ghosts : 1;
    int shift = 0;
    while ((n >> shift) > ghosts) ++shift;
    const int64_t buckets = (n >> shift) + 1;
    agree_on_memory(size_t(buckets + 1) * sizeof(int32_t));
    int32_t *first = static_cast<int32_t *>(allocate_array(size_t(buckets + 1), sizeof(int32_t)));
    int32_t g = 0;
    for (int64_t b = 0; b <= buckets; ++b) {
        while (g < num_ghosts && ghost_nodes[g] < (b << shift)) ++g;
        first[b] = g;
    }
    building.directory = first;
    building.directory_shift = shift;
}

// The ghost table: every ghost the members noted, once, ascending; those below the block first.
void find_ghosts(int members) {
    // A team smaller than asked (a thread limit) takes the members' notes in turn.
#pragma omp parallel num_threads(members) if (members > 1)
    for (int m = omp_get_thread_num(); m < members; m += omp_get_num_threads()) {
        member_gather &g = building.gather[m];
        std::sort(g.ghosts, g.ghosts + g.num_ghosts);
        g.num_ghosts = size_t(std::unique(g.ghosts, g.ghosts + g.num_ghosts) - g.ghosts);
    }
    const int64_t distinct = merge_runs(members, nullptr);
    agree_on_memory(size_t(distinct) * sizeof(int32_t));
    num_ghosts = int32_t(distinct);
    ghost_nodes = static_cast<int32_t *>(allocate_array(size_t(num_ghosts), sizeof(int32_t)));
    merge_runs(members, ghost_nodes);
    ghosts_below = int32_t(std::lower_bound(ghost_nodes, ghost_nodes + num_ghosts, first_local_node) - ghost_nodes);
    for (int m = 0; m < members; ++m) {
        drop_array(building.gather[m].ghosts);
        drop_array(building.gather[m].recent);
    }
    open_directory();
}

// Places every owned row, a slot per member in member order, by the pass both programs
// share; the records of all rows.
uint64_t lay_out_rows(int members) {
    const uint64_t total = place_all_rows(local_rows, building.counts, num_local_nodes, members, settings.build_piece_rows);
    local_rows[num_local_nodes] = uint32_t(total);
    return total;
}

// Whether some owned row is longer than SHORT_ROW.
bool any_long_row() {
    const int32_t n_local = num_local_nodes;
    bool any = false;
#pragma omp parallel for schedule(static) reduction(|| : any) if (n_local >= (int32_t(1) << 16))
    for (int32_t i = 0; i < n_local; ++i) any = any || local_rows[i + 1] - local_rows[i] > SHORT_ROW;
    return any;
}

// The records' pool, packed when the kept lines of the whole file fit the packed layout
// (the one-process rule: local offsets never exceed global ones), wide otherwise.
void allocate_records(uint64_t total, const edge_stats &stats) {
    any_negative_weight = stats.kept > 0 && stats.min_weight < 0;
    const int bits = packing_bits(stats);
    const size_t record_bytes = bits >= 0 ? sizeof(uint32_t) : sizeof(edge_record);
    agree_on_memory(size_t(total) * record_bytes + size_t(num_local_nodes) * 5);
    if (bits >= 0) {
        local_weight_bits = bits;
        local_packed = static_cast<uint32_t *>(allocate_array(size_t(total), sizeof(uint32_t)));
    } else {
        local_records = static_cast<edge_record *>(allocate_array(size_t(total), sizeof(edge_record)));
    }
}

// ------------------------------------------------------------------ filling

// The local index of node x, owned or a ghost; -1 for neither (the file changed).
inline int32_t local_index(int32_t x) {
    if (owned(x)) return local_of_owned(x - first_local_node);
    if (uint32_t(x) >= uint32_t(num_nodes)) return -1;
    const int32_t b = x >> building.directory_shift;
    const int32_t *end = ghost_nodes + building.directory[b + 1];
    const int32_t *at = std::lower_bound(static_cast<const int32_t *>(ghost_nodes) + building.directory[b], end, x);
    return at != end && *at == x ? local_of_ghost(int32_t(at - ghost_nodes)) : -1;
}

// A member's cursors in the rows, and whether a record found no place in its row (the
// file changed between the scans). A second scan also has the first's checkpoints, the
// lines it holds since its last one and their running checksum.
struct member_fill {
    uint32_t *cursor;
    bool overflow;
    const uint64_t *checkpoint_sums;
    size_t num_checkpoints;
    size_t checkpoints;  // met so far
    uint64_t running;
    edge_line *held;
    size_t num_held;
};

// Writes owned node i's record of neighbour x at i's cursor.
template <bool packed>
inline void put_record(member_fill &f, int32_t i, int32_t x, int32_t weight) {
    const uint32_t slot = f.cursor[i]++;
    const int32_t target = local_index(x);
    if (slot >= local_rows[i + 1] || target < 0) {
        f.overflow = true;
        return;
    }
    if (packed) {
        local_packed[slot] = pack_record(local_of_owned(i), target, weight, local_weight_bits);
    } else {
        local_records[slot] = edge_record{target, weight};
    }
}

template <bool packed>
inline void fill_line(member_fill &f, const edge_line &e) {
    if (owned(e.u)) put_record<packed>(f, e.u - first_local_node, e.v, e.weight);
    if (owned(e.v)) put_record<packed>(f, e.v - first_local_node, e.u, e.weight);
}

// Second scan of a plain file: every line's records of owned ends at the member's
// cursors, held back until the running checksum meets the first scan's at the next
// checkpoint: a file changed in between never has a member write in another's slots.
template <bool packed>
void fill_scanned(const edge_line *lines, size_t count, void *context) {
    member_fill &f = *static_cast<member_fill *>(static_cast<part_sink *>(context)->state);
    for (size_t i = 0; i < count && !f.overflow; ++i) {
        f.running = running_sum(f.running, lines[i]);
        f.held[f.num_held++] = lines[i];
        if (f.num_held < size_t(checked_lines)) continue;
        if (f.checkpoints == f.num_checkpoints || f.checkpoint_sums[f.checkpoints++] != f.running) {
            f.overflow = true;
            break;
        }
        for (size_t k = 0; k < f.num_held; ++k) fill_line<packed>(f, f.held[k]);
        f.num_held = 0;
    }
}

// A plain file: the first member fills the arrivals from before the range, every member
// its piece of the range again, the last member the arrivals from after it.
template <bool packed>
void fill_from_scans(int members) {
    member_fill *fills = static_cast<member_fill *>(allocate_array(size_t(members), sizeof(member_fill)));
    part_sink *sinks = static_cast<part_sink *>(allocate_array(size_t(members), sizeof(part_sink)));
    agree_on_memory(size_t(members) * size_t(checked_lines) * sizeof(edge_line));
    for (int m = 0; m < members; ++m) {
        const member_gather &g = building.gather[m];
        edge_line *held = static_cast<edge_line *>(allocate_array(size_t(checked_lines), sizeof(edge_line)));
        fills[m] = member_fill{building.counts[m], false, g.checkpoint_sums, g.num_checkpoints, 0, 0, held, 0};
        sinks[m] = part_sink{&fills[m], false};
    }
    const int64_t lines = arrived_lines(), low = exchange.from_before;
    for_arrived(0, low, [&](const edge_line &e) { fill_line<packed>(fills[0], e); });
    scan_part_again(fill_scanned<packed>, sinks);
    // Every member met the lines the first scan did, by count and checksum: the lines
    // held since the last checkpoint are those.
    bool overflow = false;
    for (int m = 0; m < members; ++m) {
        member_fill &f = fills[m];
        for (size_t k = 0; k < f.num_held && !f.overflow; ++k) fill_line<packed>(f, f.held[k]);
        overflow = overflow || f.overflow;
        release_array(f.held);
    }
    for_arrived(low, lines, [&](const edge_line &e) { fill_line<packed>(fills[members - 1], e); });
    overflow = overflow || fills[members - 1].overflow;
    release_array(fills);
    release_array(sinks);
    const int64_t agreed = agree_on_fault(overflow ? fault_key(0, FAULT_READ) : NO_FAULT);
    if (agreed == NO_FAULT) return;
    end_unless_rank0();
    fail_read();
}

// Held parts: each member writes its share of the lines' records at its cursors, in file order.
template <bool packed>
void fill_from_shares(int members, int64_t lines) {
#pragma omp parallel num_threads(members) if (members > 1)
    for (int m = omp_get_thread_num(); m < members; m += omp_get_num_threads()) {
        member_fill f = {building.counts[m], false, nullptr, 0, 0, 0, nullptr, 0};
        for_arrived(share_first(lines, m, members), share_first(lines, m + 1, members),
                    [&](const edge_line &e) { fill_line<packed>(f, e); });
    }
}

// Frees the arrived lines and the members' cursors once the rows are filled, but the
// first member's: it holds the stash of the moves that close the gaps.
void release_arrivals_and_cursors(int members) {
    release_arrivals();
    for (int m = 1; m < members; ++m) drop_array(building.counts[m]);
}

// Keeps the first record per neighbour in every owned row by the shared rule, with marks
// indexed by local index (owned nodes and ghosts), one array per member (none without
// long rows).
void keep_first_per_neighbour(int members, uint64_t total, bool long_rows) {
    const size_t indices = size_t(num_local_nodes) + size_t(num_ghosts);
    agree_on_memory(long_rows ? size_t(members) * indices * sizeof(uint32_t) : 0);
    uint32_t **marks = static_cast<uint32_t **>(allocate_array(size_t(members), sizeof(uint32_t *)));
    for (int m = 0; m < members; ++m) {
        marks[m] = long_rows ? static_cast<uint32_t *>(allocate_array(indices, sizeof(uint32_t))) : nullptr;
    }
    unsigned char *stash = reinterpret_cast<unsigned char *>(building.counts[0]);
    const size_t stash_bytes = size_t(num_local_nodes) * sizeof(uint32_t);
    if (local_packed != nullptr) {
        const int32_t below = ghosts_below;
        const int bits = local_weight_bits;
        keep_first_in_rows(local_rows, num_local_nodes, local_packed, total, members, marks, stash, stash_bytes,
                           settings.build_piece_records,
                           [below, bits](uint32_t r, int32_t i) { return below + i + (int32_t(r) >> bits); });
    } else {
        keep_first_in_rows(local_rows, num_local_nodes, local_records, total, members, marks, stash, stash_bytes,
                           settings.build_piece_records, [](const edge_record &r, int32_t) { return r.target; });
    }
    for (int m = 0; m < members; ++m) release_array(marks[m]);
    release_array(marks);
}

// Ghosts, rows and records from what the members counted; fill writes the records.
template <class Fill>
void build_rows(int members, const edge_stats &stats, Fill &&fill) {
    agree_on_gathered();
    find_ghosts(members);
    const uint64_t total = lay_out_rows(members);
    allocate_records(total, stats);
    if (local_packed != nullptr) {
        fill(std::true_type());
    } else {
        fill(std::false_type());
    }
    release_arrivals_and_cursors(members);
    drop_array(building.directory);
    // A long row looks its targets up in marks of one slot per local index.
    keep_first_per_neighbour(members, total, any_long_row());
}

// A plain file: scanned once to count and exchange, once more to fill.
void build_from_scans() {
    const int members = part_members();
    open_members(members);
    part_sink *sinks = static_cast<part_sink *>(allocate_array(size_t(members), sizeof(part_sink)));
    for (int m = 0; m < members; ++m) sinks[m] = part_sink{&building.gather[m], false};
    scan_part(count_scanned, sinks);
    release_array(sinks);
    member_lines *outgoing = static_cast<member_lines *>(allocate_array(size_t(members), sizeof(member_lines)));
    for (int m = 0; m < members; ++m) outgoing[m] = building.gather[m].outgoing;
    held_lines part = {nullptr, 0, 0};
    hand_over(outgoing, members, &part);
    for (int m = 0; m < members; ++m) building.gather[m].outgoing = member_lines{nullptr, 0, 0, false};
    release_array(outgoing);
    exchange_part(part, building.n, false);
    release_held_lines(&part);
    count_arrivals();
    build_rows(members, kept_line_stats(), [members](auto packed) { fill_from_scans<decltype(packed)::value>(members); });
    release_distributed_reading();
}

// Other inputs: every part held and exchanged as it comes, then counted and filled in shares.
void build_from_parts() {
    held_lines part = {nullptr, 0, 0};
    while (next_held_lines(&part)) {
        exchange_part(part, building.n, true);
        release_held_lines(&part);
    }
    const edge_stats stats = kept_line_stats();
    release_distributed_reading();
    const int64_t lines = arrived_lines();
    const int members = lines + num_local_nodes >= settings.build_team_min_work ? omp_get_max_threads() : 1;
    open_members(members);
    count_shares(members, lines);
    build_rows(members, stats, [members, lines](auto packed) { fill_from_shares<decltype(packed)::value>(members, lines); });
}

}  // namespace

void build_distributed_store(int32_t n, int32_t m) {
    building.n = n;
    build_bytes_sent = 0;
    build_rounds = 0;
    num_nodes = n;
    num_edges = m;
    const int64_t k = num_processes;
    first_local_node = block_first(n, k, process_rank);
    num_local_nodes = block_first(n, k, process_rank + 1) - first_local_node;
    // The least this process's share of the graph announced needs, by norvane's measure:
    // M is only a bound, and the lines that come are checked again as they arrive.
    const int64_t share_lines = int64_t(m) / k;
    const int members = num_local_nodes + share_lines >= settings.build_team_min_work ? omp_get_max_threads() : 1;
    agree_on_memory(least_graph_bytes(num_local_nodes, share_lines, members));
    local_rows = static_cast<uint32_t *>(allocate_array(size_t(num_local_nodes) + 1, sizeof(uint32_t)));
    if (parts_scanned_twice()) {
        build_from_scans();
    } else {
        build_from_parts();
    }
    release_distributed_building();
    // Idle members would spin on a core the next step may need.
    rest_team();
    local_distance = static_cast<int32_t *>(allocate_array(size_t(num_local_nodes), sizeof(int32_t)));
    local_settled = static_cast<uint8_t *>(allocate_array(size_t(num_local_nodes), sizeof(uint8_t)));
}

void release_distributed_building() {
    release_arrivals();
    for (int m = 0; m < building.members && building.gather != nullptr; ++m) {
        release_array(building.counts[m]);
        release_array(building.gather[m].ghosts);
        release_array(building.gather[m].checkpoint_sums);
        for (size_t b = 0; b < building.gather[m].outgoing.num_blocks; ++b)
            release_array(building.gather[m].outgoing.blocks[b].lines);
        free(building.gather[m].outgoing.blocks);
    }
    release_array(building.gather);
    release_array(building.counts);
    building = build_state();
}
