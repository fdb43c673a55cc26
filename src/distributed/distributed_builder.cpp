// Distributed store builder: each part's edge lines go, in bounded rounds, to the other
// owners of their ends. Invariant: a process keeps what arrives from process s after what
// came from s before, sources in rank order, its own lines in place at its own rank; parts
// precede each other in file order by rank and wave, so arrivals stand in file order, every
// row is filled in file order (a slot per member, in order), and the first record per
// neighbour is the earliest edge line's. Targets then become local indices (ghosts).
#include "distributed_builder.h"

#include <mpi.h>
#include <omp.h>

#include <algorithm>
#include <cstring>

#include "builder.h"
#include "distributed_reader.h"
#include "distributed_run.h"
#include "distributed_store.h"
#include "first_records.h"
#include "grow.h"
#include "memory.h"
#include "team.h"

int64_t exchange_round_bytes = int64_t(16) << 20;

namespace {

// Lines of one part's exchange, in file order: arrived from other processes, or kept
// from this process's own part; allocation is what to free (null when another arrival
// frees it).
struct arrival {
    edge_line *lines;
    int64_t count;
    edge_line *allocation;
};

struct build_state {
    int64_t n = 0;
    arrival *arrivals = nullptr;
    size_t num_arrivals = 0;
    size_t arrival_capacity = 0;
    uint32_t **member_counts = nullptr;
    int members = 0;
};

build_state building;

inline int owner(int32_t x) { return owner_of(x, building.n, num_processes); }
inline bool owned(int32_t x) { return uint32_t(x - first_local_node) < uint32_t(num_local_nodes); }

void add_arrival(edge_line *lines, int64_t count, edge_line *allocation) {
    grow_array(building.arrivals, building.arrival_capacity, building.num_arrivals + 1, building.num_arrivals);
    building.arrivals[building.num_arrivals++] = arrival{lines, count, allocation};
}

// Keeps the lines of part with an owned end, in order and in place (lines only move
// toward the front), as arrivals of their own; the blocks left empty leave the process.
// The part's blocks are then the arrivals': part keeps none.
void keep_own_lines(held_lines &part) {
    size_t to_block = 0, to_index = 0;
    for (size_t b = 0; b < part.num_blocks; ++b) {
        for (size_t i = 0; i < part.blocks[b].count; ++i) {
            const edge_line e = part.blocks[b].lines[i];
            if (!owned(e.u) && !owned(e.v)) continue;
            // A block written into was read whole already: its count is its room. The
            // writing place never passes the reading one, so a block with room is found.
            while (to_index == part.blocks[to_block].count) {
                ++to_block;
                to_index = 0;
            }
            part.blocks[to_block].lines[to_index++] = e;
        }
    }
    for (size_t b = 0; b < part.num_blocks; ++b) {
        const size_t kept = b < to_block ? part.blocks[b].count : b == to_block ? to_index : 0;
        if (kept > 0) {
            add_arrival(part.blocks[b].lines, int64_t(kept), part.blocks[b].lines);
        } else {
            discard_array(part.blocks[b].lines);
        }
    }
    part.num_blocks = 0;
    part.count = 0;
}

// Sends every line of part to the other owners of its ends and keeps what arrives, in
// order: what came from processes before this one, this process's own lines (never
// copied), then what came from those after it.
void exchange_part(held_lines &part) {
    const int k = num_processes;
    int64_t *counts = static_cast<int64_t *>(allocate_array(6 * size_t(k), sizeof(int64_t)));
    int64_t *lines_to = counts;
    int64_t *lines_from = counts + k;
    int64_t *round_out = counts + 2 * k;   // per destination: lines this round, more to come
    int64_t *round_in = counts + 4 * k;
    for (int d = 0; d < k; ++d) lines_to[d] = 0;
    for (size_t b = 0; b < part.num_blocks; ++b) {
        for (size_t i = 0; i < part.blocks[b].count; ++i) {
            const edge_line &e = part.blocks[b].lines[i];
            const int a = owner(e.u), c = owner(e.v);
            ++lines_to[a];
            if (c != a) ++lines_to[c];
        }
    }
    MPI_Alltoall(lines_to, 1, MPI_INT64_T, lines_from, 1, MPI_INT64_T, MPI_COMM_WORLD);
    int64_t incoming = 0;
    for (int s = 0; s < k; ++s) incoming += s == process_rank ? 0 : lines_from[s];
    int64_t per_pair = exchange_round_bytes / int64_t(sizeof(edge_line)) / k;
    if (per_pair < 1) per_pair = 1;
    const size_t round_lines = size_t(per_pair) * size_t(k);
    agree_on_memory((size_t(incoming) + 2 * round_lines) * sizeof(edge_line));

    edge_line *arrived = static_cast<edge_line *>(allocate_array(size_t(incoming), sizeof(edge_line)));
    edge_line *out = static_cast<edge_line *>(allocate_array(round_lines, sizeof(edge_line)));
    edge_line *in = static_cast<edge_line *>(allocate_array(round_lines, sizeof(edge_line)));
    int *bytes = static_cast<int *>(allocate_array(4 * size_t(k), sizeof(int)));
    int64_t *filled = static_cast<int64_t *>(allocate_array(size_t(k), sizeof(int64_t)));
    int64_t start = 0;
    for (int s = 0; s < k; ++s) {
        filled[s] = start;  // where the next lines from s go
        start += s == process_rank ? 0 : lines_from[s];
    }
    const int64_t from_before = filled[process_rank];
    size_t block = 0, index = 0;
    for (;;) {
        // Lines in file order until one of their owners' slots is full.
        int64_t *sent = round_out;
        for (int d = 0; d < k; ++d) sent[2 * d] = 0;
        for (; block < part.num_blocks; ++block, index = 0) {
            const edge_line_block &lines = part.blocks[block];
            for (; index < lines.count; ++index) {
                const edge_line &e = lines.lines[index];
                // Owners other than this process, -1 for none.
                const int own = process_rank;
                int a = owner(e.u), c = owner(e.v);
                if (c == a || c == own) c = -1;
                if (a == own) a = -1;
                if ((a >= 0 && sent[2 * a] == per_pair) || (c >= 0 && sent[2 * c] == per_pair)) break;
                if (a >= 0) out[size_t(a) * size_t(per_pair) + size_t(sent[2 * a]++)] = e;
                if (c >= 0) out[size_t(c) * size_t(per_pair) + size_t(sent[2 * c]++)] = e;
            }
            if (index < lines.count) break;
        }
        const int64_t more = block < part.num_blocks ? 1 : 0;
        for (int d = 0; d < k; ++d) sent[2 * d + 1] = more;
        MPI_Alltoall(round_out, 2, MPI_INT64_T, round_in, 2, MPI_INT64_T, MPI_COMM_WORLD);
        ++build_rounds;
        int *send_bytes = bytes, *send_at = bytes + k, *receive_bytes = bytes + 2 * k, *receive_at = bytes + 3 * k;
        bool any_more = false;
        for (int p = 0; p < k; ++p) {
            send_bytes[p] = int(sent[2 * p] * int64_t(sizeof(edge_line)));
            send_at[p] = int(int64_t(p) * per_pair * int64_t(sizeof(edge_line)));
            receive_bytes[p] = int(round_in[2 * p] * int64_t(sizeof(edge_line)));
            receive_at[p] = send_at[p];
            any_more = any_more || round_in[2 * p + 1] != 0;
            if (p != process_rank) build_bytes_sent += send_bytes[p];
        }
        MPI_Alltoallv(out, send_bytes, send_at, MPI_BYTE, in, receive_bytes, receive_at, MPI_BYTE,
                      MPI_COMM_WORLD);
        for (int s = 0; s < k; ++s) {
            memcpy(arrived + filled[s], in + size_t(s) * size_t(per_pair), size_t(round_in[2 * s]) * sizeof(edge_line));
            filled[s] += round_in[2 * s];
        }
        if (!any_more) break;
    }
    release_array(out);
    release_array(in);
    release_array(bytes);
    release_array(filled);
    release_array(counts);
    add_arrival(arrived, from_before, arrived);
    keep_own_lines(part);
    add_arrival(arrived + from_before, incoming - from_before, nullptr);
}

// The lines [first, last) of all arrivals together, handed to f one at a time, in order.
template <class F>
void for_arrived(int64_t first, int64_t last, F &&f) {
    int64_t base = 0;
    for (size_t a = 0; a < building.num_arrivals && base < last; ++a) {
        const arrival &part = building.arrivals[a];
        const int64_t lo = first > base ? first - base : 0;
        const int64_t hi = last - base < part.count ? last - base : part.count;
        for (int64_t i = lo; i < hi; ++i) f(part.lines[i]);
        base += part.count;
    }
}

// Edge lines in all arrivals.
int64_t arrived_lines() {
    int64_t total = 0;
    for (size_t a = 0; a < building.num_arrivals; ++a) total += building.arrivals[a].count;
    return total;
}

// The arrived lines member m of members handles: a contiguous share, in file order.
int64_t share_first(int64_t lines, int m, int members) { return lines * m / members; }

// Member m counts the records its share of the lines gives each owned node.
void count_member_records(int m, int members, int64_t lines) {
    uint32_t *count = building.member_counts[m];
    const int32_t first = first_local_node;
    for_arrived(share_first(lines, m, members), share_first(lines, m + 1, members), [&](const edge_line &e) {
        if (owned(e.u)) ++count[e.u - first];
        if (owned(e.v)) ++count[e.v - first];
    });
}

// Row lengths of owned nodes [lo, hi) into local_rows, each member's count turned into
// its offset inside the row; returns the block's records and sets *longest.
uint64_t size_rows(int members, int64_t lo, int64_t hi, uint32_t *longest) {
    uint64_t records = 0;
    uint32_t row_max = 0;
    for (int64_t u = lo; u < hi; ++u) {
        uint32_t within = 0;
        for (int j = 0; j < members; ++j) {
            const uint32_t c = building.member_counts[j][u];
            building.member_counts[j][u] = within;
            within += c;
        }
        local_rows[u] = within;
        records += within;
        row_max = within > row_max ? within : row_max;
    }
    *longest = row_max;
    return records;
}

// Row starts of owned nodes [lo, hi) from the block's first record at start, and every
// member's cursor in them.
void place_rows(int members, int64_t lo, int64_t hi, uint64_t start) {
    for (int64_t u = lo; u < hi; ++u) {
        const uint32_t length = local_rows[u];
        local_rows[u] = uint32_t(start);
        for (int j = 0; j < members; ++j) building.member_counts[j][u] += uint32_t(start);
        start += length;
    }
}

// Counts, sizes and places every owned row, a slot per member in member order; returns
// the records of all rows and sets *longest to the longest row.
uint64_t lay_out_rows(int members, int64_t lines, uint32_t *longest) {
    const int64_t n_local = num_local_nodes;
    uint64_t *block_records = static_cast<uint64_t *>(allocate_array(size_t(members), sizeof(uint64_t)));
    uint32_t *block_longest = static_cast<uint32_t *>(allocate_array(size_t(members), sizeof(uint32_t)));
#pragma omp parallel num_threads(members) if (members > 1)
    {
        // A team smaller than asked for shares the members' parts out.
        const int first = omp_get_thread_num(), team = omp_get_num_threads();
        for (int m = first; m < members; m += team) count_member_records(m, members, lines);
#pragma omp barrier
        for (int m = first; m < members; m += team)
            block_records[m] = size_rows(members, n_local * m / members, n_local * (m + 1) / members, &block_longest[m]);
#pragma omp barrier
        for (int m = first; m < members; m += team) {
            uint64_t start = 0;
            for (int j = 0; j < m; ++j) start += block_records[j];
            place_rows(members, n_local * m / members, n_local * (m + 1) / members, start);
        }
    }
    uint64_t total = 0;
    *longest = 0;
    for (int m = 0; m < members; ++m) {
        total += block_records[m];
        *longest = block_longest[m] > *longest ? block_longest[m] : *longest;
    }
    local_rows[n_local] = uint32_t(total);
    release_array(block_records);
    release_array(block_longest);
    return total;
}

// Each member writes its share of the lines' records at its cursors, in file order.
void fill_rows(int members, int64_t lines) {
    const int32_t first = first_local_node;
#pragma omp parallel num_threads(members) if (members > 1)
    for (int m = omp_get_thread_num(); m < members; m += omp_get_num_threads()) {
        uint32_t *cursor = building.member_counts[m];
        for_arrived(share_first(lines, m, members), share_first(lines, m + 1, members), [&](const edge_line &e) {
            if (owned(e.u)) local_records[cursor[e.u - first]++] = edge_record{e.v, e.weight};
            if (owned(e.v)) local_records[cursor[e.v - first]++] = edge_record{e.u, e.weight};
        });
    }
}

// Frees the arrived lines and the members' cursors once the rows are filled, but the
// first member's: it holds the stash of the moves that close the gaps.
void release_arrivals_and_cursors(int members) {
    for (size_t a = 0; a < building.num_arrivals; ++a) release_array(building.arrivals[a].allocation);
    building.num_arrivals = 0;
    for (int m = 1; m < members; ++m) release_array(building.member_counts[m]);
}

// The records [first, last) member m of members handles.
uint64_t slice_first(uint64_t total, int m, int members) { return total * uint64_t(m) / uint64_t(members); }

// Member m's slice of the records: the targets other processes own, sorted and distinct,
// written from run; returns how many.
uint64_t ghost_run(int m, int members, uint64_t total, int32_t *run) {
    uint64_t count = 0;
    for (uint64_t r = slice_first(total, m, members); r < slice_first(total, m + 1, members); ++r) {
        if (!owned(local_records[r].target)) run[count++] = local_records[r].target;
    }
    std::sort(run, run + count);
    return uint64_t(std::unique(run, run + count) - run);
}

// A run's next target and the run, ordered so that a max-heap pops the least target.
struct run_head {
    int32_t target;
    int run;
};
inline bool after(const run_head &a, const run_head &b) {
    return a.target != b.target ? a.target > b.target : a.run > b.run;
}

// Merges the members' sorted runs [begin[m], end[m]) of runs, dropping repeats, into out
// (null: only counts), through a heap of the runs' heads; returns the distinct targets.
int64_t merge_runs(int members, const int32_t *runs, const uint64_t *begin, const uint64_t *end, int32_t *out) {
    run_head *heads = static_cast<run_head *>(allocate_array(size_t(members), sizeof(run_head)));
    uint64_t *at = static_cast<uint64_t *>(allocate_array(size_t(members), sizeof(uint64_t)));
    int live = 0;
    for (int m = 0; m < members; ++m) {
        at[m] = begin[m];
        if (at[m] < end[m]) heads[live++] = run_head{runs[at[m]], m};
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
        if (++at[head.run] < end[head.run]) {
            heads[live++] = run_head{runs[at[head.run]], head.run};
            std::push_heap(heads, heads + live, after);
        }
    }
    release_array(heads);
    release_array(at);
    return written;
}

// The ghost table: every target of the records that another process owns, once, ascending.
void find_ghosts(int members, uint64_t total) {
    uint64_t *begin = static_cast<uint64_t *>(allocate_array(2 * size_t(members) + 1, sizeof(uint64_t)));
    uint64_t *end = begin + members + 1;
    // A team smaller than asked (a thread limit) runs the members' slices in turn.
#pragma omp parallel num_threads(members) if (members > 1)
    for (int m = omp_get_thread_num(); m < members; m += omp_get_num_threads()) {
        uint64_t count = 0;
        for (uint64_t r = slice_first(total, m, members); r < slice_first(total, m + 1, members); ++r)
            count += !owned(local_records[r].target);
        begin[m + 1] = count;
    }
    begin[0] = 0;
    for (int m = 0; m < members; ++m) begin[m + 1] += begin[m];
    agree_on_memory(size_t(begin[members]) * 2 * sizeof(int32_t));
    int32_t *runs = static_cast<int32_t *>(allocate_array(size_t(begin[members]), sizeof(int32_t)));
#pragma omp parallel num_threads(members) if (members > 1)
    for (int m = omp_get_thread_num(); m < members; m += omp_get_num_threads())
        end[m] = begin[m] + ghost_run(m, members, total, runs + begin[m]);
    num_ghosts = int32_t(merge_runs(members, runs, begin, end, nullptr));
    ghost_nodes = static_cast<int32_t *>(allocate_array(size_t(num_ghosts), sizeof(int32_t)));
    merge_runs(members, runs, begin, end, ghost_nodes);
    release_array(runs);
    release_array(begin);
}

// Every record's target turned into its local index: an owned node's offset in the block,
// or num_local_nodes plus its place in the ghost table.
void localize_targets(int members, uint64_t total) {
    const int32_t first = first_local_node, n_local = num_local_nodes;
    const int32_t *ghosts = ghost_nodes, *ghosts_end = ghost_nodes + num_ghosts;
#pragma omp parallel num_threads(members) if (members > 1)
    for (int m = omp_get_thread_num(); m < members; m += omp_get_num_threads()) {
        for (uint64_t r = slice_first(total, m, members); r < slice_first(total, m + 1, members); ++r) {
            const int32_t t = local_records[r].target;
            local_records[r].target =
                owned(t) ? t - first : n_local + int32_t(std::lower_bound(ghosts, ghosts_end, t) - ghosts);
        }
    }
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
    uint32_t *stash = building.member_counts[0];
    keep_first_in_rows(local_rows, num_local_nodes, local_records, total, members, marks,
                       reinterpret_cast<unsigned char *>(stash), size_t(num_local_nodes) * sizeof(uint32_t),
                       build_piece_records, [](const edge_record &r, int32_t) { return r.target; });
    for (int m = 0; m < members; ++m) release_array(marks[m]);
    release_array(marks);
    release_array(stash);
    release_array(building.member_counts);
    building.member_counts = nullptr;
}

// Rows from the arrived lines: count per member, a slot per member in each row in member
// order, fill, then keep the first record per neighbour.
void build_rows() {
    const int64_t n_local = num_local_nodes;
    const int64_t lines = arrived_lines();
    const int members = lines + n_local >= build_team_min_work ? omp_get_max_threads() : 1;
    agree_on_memory(size_t(members) * size_t(n_local) * sizeof(uint32_t));
    building.members = members;
    building.member_counts = static_cast<uint32_t **>(allocate_array(size_t(members), sizeof(uint32_t *)));
    for (int m = 0; m < members; ++m)
        building.member_counts[m] = static_cast<uint32_t *>(allocate_zeroed_array(size_t(n_local), sizeof(uint32_t)));
    uint32_t longest = 0;
    const uint64_t total = lay_out_rows(members, lines, &longest);
    agree_on_memory(size_t(total) * sizeof(edge_record) + size_t(n_local) * 5);
    local_records = static_cast<edge_record *>(allocate_array(size_t(total), sizeof(edge_record)));
    fill_rows(members, lines);
    release_arrivals_and_cursors(members);
    find_ghosts(members, total);
    localize_targets(members, total);
    // A long row looks its targets up in marks of one slot per local index.
    keep_first_per_neighbour(members, total, longest > SHORT_ROW);
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
    const int members = num_local_nodes + share_lines >= build_team_min_work ? omp_get_max_threads() : 1;
    agree_on_memory(least_graph_bytes(num_local_nodes, share_lines, members));
    local_rows = static_cast<uint32_t *>(allocate_array(size_t(num_local_nodes) + 1, sizeof(uint32_t)));
    held_lines part = {nullptr, 0, 0};
    while (next_held_lines(&part)) {
        exchange_part(part);
        release_held_lines(&part);
    }
    any_negative_weight = least_kept_weight() < 0;
    release_distributed_reading();
    build_rows();
    release_distributed_building();
    // Idle members would spin on a core the next step may need.
    rest_team();
    local_distance = static_cast<int32_t *>(allocate_array(size_t(num_local_nodes), sizeof(int32_t)));
    local_settled = static_cast<uint8_t *>(allocate_array(size_t(num_local_nodes), sizeof(uint8_t)));
}

void release_distributed_building() {
    for (size_t a = 0; a < building.num_arrivals; ++a) release_array(building.arrivals[a].allocation);
    release_array(building.arrivals);
    building = build_state();
}
