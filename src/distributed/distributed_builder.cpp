// Distributed store builder over the shared one. A plain file: the ranges of this
// process's span are counted, and the lines with an end another process owns are held and
// sent to that owner; what arrives is counted by the first member (from processes before
// this one) and the last (after it), around the ranges' second pass, which fills the rows
// in place. Any other input comes in parts, each line sent to every owner of its ends
// (this process too), and what arrives is built from as a stream. Invariant: arrivals
// keep file order, so every row is filled in file order and keeps the earliest line.
#include "distributed_builder.h"

#include <algorithm>

#include "balance.h"
#include "builder.h"
#include "distributed_exchange.h"
#include "distributed_listing.h"
#include "distributed_reader.h"
#include "distributed_run.h"
#include "distributed_settings.h"
#include "ghosts.h"
#include "grow.h"
#include "line_scanner.h"
#include "memory.h"
#include "ownership.h"
#include "reader.h"
#include "solver.h"
#include "store.h"
#include "team.h"

namespace {

// Lines a member holds for other owners while it counts, a batch at a time.
struct member_hold {
    edge_line batch[BATCH_LINES];
    size_t count;
    line_store lines;
};

struct distributed_build {
    member_hold *holds = nullptr;
    int members = 0;
    bool holding = false;  // the first pass of a plain file: lines for other owners are held
    line_store before;     // arrivals from processes ranked below this one
    line_store after;      // from those above it, or every arrival of a stream
};
distributed_build dbuild;

void flush_hold(member_hold &h) {
    append_lines(h.lines, h.batch, h.count);
    h.count = 0;
}

// The shared builder met a line with an end outside the block: the other end of a line
// with one owned end is a ghost; on the first pass the line goes to its other owner.
void line_met(int member, const edge_line &e, bool u_owned, bool v_owned) {
    if (u_owned != v_owned) note_ghost(member, u_owned ? e.v : e.u);
    if (!dbuild.holding) return;
    member_hold &h = dbuild.holds[member];
    h.batch[h.count++] = e;
    if (h.count == BATCH_LINES) flush_hold(h);
}

void grant_memory(size_t bytes) { agree_on_memory(bytes); }

build_driver block_driver = {grant_memory, line_met, ghost_index_of, 0, 0, 0};

bool member_short(int member) { return ghost_notes_short(member) || dbuild.holds[member].lines.out_of_memory; }

void open_members(int members) {
    open_build(&block_driver, members);
    open_ghost_notes(members);
    dbuild.members = members;
    dbuild.holds = static_cast<member_hold *>(allocate_array(size_t(members), sizeof(member_hold)));
    for (int m = 0; m < members; ++m) {
        dbuild.holds[m].count = 0;
        dbuild.holds[m].lines = line_store();
        dbuild.holds[m].lines.node_bits = node_bits_for(num_nodes);
        dbuild.holds[m].lines.checked = true;
    }
    dbuild.before.node_bits = dbuild.after.node_bits = node_bits_for(num_nodes);
}

// The members' held lines, in member order: file order.
void join_holds(line_store &out) {
    out.node_bits = node_bits_for(num_nodes);
    for (int m = 0; m < dbuild.members; ++m) {
        flush_hold(dbuild.holds[m]);
        append_store(out, dbuild.holds[m].lines);
    }
}

// Every share of records this process knows after its first pass: the records its members
// counted for owned nodes, and the ends outside the block of the lines it holds for others.
line_store *held_for_shares = nullptr;
void first_pass_shares(add_records_fn add, void *context) {
    for_each_counted_row(add, context);
    const line_store &lines = *held_for_shares;
    for (line_cursor at; !at_store_end(lines, at);) {
        const edge_line e = next_held_line(lines, at);
        if (uint32_t(e.u - first_owned_node) >= uint32_t(num_owned_nodes)) add(e.u, 1, context);
        if (uint32_t(e.v - first_owned_node) >= uint32_t(num_owned_nodes)) add(e.v, 1, context);
    }
}

// Every end of the kept lines a stream's parts handed this process.
void held_shares(add_records_fn add, void *context) {
    const line_store &lines = *held_for_shares;
    for (line_cursor at; !at_store_end(lines, at);) {
        const edge_line e = next_held_line(lines, at);
        add(e.u, 1, context);
        add(e.v, 1, context);
    }
}

// The store's rows for this process's block, once every process can hold its share: by
// what its first pass will touch, and by what the counts announce (M is only a bound, and
// the lines that come are checked again as they arrive).
void open_block_rows(int members) {
    const int64_t share_lines = int64_t(num_edges) / num_processes;
    agree_on_memory(count_touch_bytes(num_owned_nodes, share_lines, members, false),
                    least_graph_bytes(num_owned_nodes, share_lines, members));
    drop_array(nodes);
    allocate_rows(num_owned_nodes);
}

// The requests of a phase, beyond what the solver checks as they grow.
constexpr size_t REQUEST_BYTES = size_t(2) << 20;

// What the run touches after the build beyond the shared builder's count: the least offer
// sent per ghost and the requests of a phase, or later the listing's buffers, and where a
// weight is negative, the whole graph on rank 0.
size_t later_bytes(const edge_stats &stats) {
    distributed_report.build_records = counted_records();
    const int64_t records = sum_over_processes(distributed_report.build_records);
    // The solve's tables are given back before the listing starts: the larger of the two.
    const size_t solve = size_t(num_ghosts) * sizeof(int32_t) + size_t(num_owned_nodes) + REQUEST_BYTES;
    size_t later = std::max(solve, listing_touch_bytes());
    if (process_rank == 0 && stats.kept > 0 && stats.min_weight < 0 && num_processes > 1)
        later += size_t(num_nodes + 1) * sizeof(uint32_t) + size_t(records) * sizeof(edge_record) +
                 size_t(num_nodes) * 5 + solver_bytes(num_nodes, records, 1);
    return later;
}

// What the first pass under the blocks before gathered is dropped: the members count again.
void forget_first_pass(line_store &outgoing, int members) {
    release_lines(outgoing);
    for (int m = 0; m < dbuild.members; ++m) release_lines(dbuild.holds[m].lines);
    release_array(dbuild.holds);
    dbuild.holds = nullptr;
    release_ghosts();
    release_building();
    open_block_rows(members);
    read_first_pass_again();
}

// The ghost table once every process can hold what the members noted, then the rows.
template <class Fill>
void build_rows(const edge_stats &stats, Fill &&fill) {
    bool short_of_memory = false;
    for (int m = 0; m < dbuild.members; ++m) short_of_memory = short_of_memory || ghost_notes_short(m);
    if (agree_on_fault(short_of_memory ? fault_key(0, FAULT_MEMORY) : NO_FAULT) != NO_FAULT)
        end_everywhere(MEMORY_MESSAGE);
    build_ghost_table();
    block_driver.below = ghosts_below;
    block_driver.above = num_ghosts - ghosts_below;
    block_driver.later_bytes = later_bytes(stats);
    const uint64_t total = lay_out_rows(stats);
    agree_on_second_pass(fill());
    release_lines(dbuild.before);
    release_lines(dbuild.after);
    close_ghost_lookup();
    finish_rows(total);
}

// A plain file: its span scanned twice, what other owners need sent between the scans.
// The first pass under the blocks as they are: lines counted, ghosts noted, lines for
// other owners held, faults agreed on.
void first_pass(int ranges, line_store &outgoing) {
    open_members(ranges);
    dbuild.holding = true;
    count_ranges();
    dbuild.holding = false;
    join_holds(outgoing);
    agree_on_first_pass(ranges, member_short);
}

void build_from_spans(int members) {
    const int ranges = prepare_edge_lines(members);
    line_store outgoing;
    first_pass(ranges, outgoing);
    held_for_shares = &outgoing;
    // Blocks of about equal records: the first pass is made again under the new cuts.
    if (balance_blocks(first_pass_shares)) {
        forget_first_pass(outgoing, members);
        first_pass(ranges, outgoing);
    }
    const edge_stats stats = agree_on_line_stats();
    line_cursor at;
    exchange_lines(outgoing, at, outgoing.count, false, dbuild.before, dbuild.after);
    release_lines(outgoing);
    count_held_lines(0, dbuild.before);
    count_held_lines(ranges - 1, dbuild.after);
    build_rows(stats, [ranges] {
        const bool before = fill_held_lines(0, dbuild.before), spans = fill_ranges();
        return fill_held_lines(ranges - 1, dbuild.after) && before && spans;
    });
}

// Other inputs: every part exchanged as it comes, then built from like a stream.
void build_from_parts() {
    // The parts are held until the blocks are cut by their records, then sent wave by wave,
    // so that what arrives keeps file order.
    line_store parts, &arrived = dbuild.after;
    int64_t *wave_lines = nullptr;
    size_t waves = 0, capacity = 0;
    for (int64_t before = 0; next_stream_part(parts); before = parts.count) {
        grow_array(wave_lines, capacity, waves + 1, waves);
        wave_lines[waves++] = parts.count - before;
    }
    held_for_shares = &parts;
    if (balance_blocks(held_shares)) open_block_rows(build_members(num_owned_nodes, int64_t(num_edges) / num_processes));
    line_cursor at;
    for (size_t w = 0; w < waves; ++w) exchange_lines(parts, at, wave_lines[w], true, arrived, arrived);
    release_lines(parts);
    release_array(wave_lines);
    const edge_stats stats = agree_on_line_stats();
    read_held_lines(arrived, edge_stats{arrived.count, arrived.count, 0, 0, 0});
    const int members = build_members(read_line_stats().kept + num_owned_nodes, 0);
    open_members(prepare_edge_lines(members));
    count_ranges();
    build_rows(stats, [] { return fill_ranges(); });
}

}  // namespace

void build_distributed_store() {
    distributed_report.build_bytes_sent = 0;
    distributed_report.build_rounds = 0;
    cut_equal_blocks();
    // The least this process's share of the graph announced needs, by norvane's measure:
    // M is only a bound, and the lines that come are checked again as they arrive.
    const int members = build_members(num_owned_nodes, int64_t(num_edges) / num_processes);
    open_block_rows(members);
    if (read_in_spans()) {
        build_from_spans(members);
    } else {
        build_from_parts();
    }
    release_distributed_building();
    release_distributed_reading();
    // Idle members would spin on a core the next step may need.
    rest_team();
}

void release_distributed_building() {
    for (int m = 0; m < dbuild.members && dbuild.holds != nullptr; ++m) release_lines(dbuild.holds[m].lines);
    release_array(dbuild.holds);
    release_lines(dbuild.before);
    release_lines(dbuild.after);
    dbuild = distributed_build();
    release_building();
}
