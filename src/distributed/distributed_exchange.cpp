// The exchange of edge lines between their owners: each part's lines go, in rounds of at
// most exchange_round_bytes per process, to the other owners of their ends, and what
// arrives is held in file order. Invariant: a process keeps what arrives from process s
// after what came from s before, sources in rank order, its own kept lines at its own rank.
#include "distributed_exchange.h"

#include <mpi.h>

#include <cstring>

#include "distributed_run.h"
#include "distributed_store.h"
#include "grow.h"
#include "memory.h"

int64_t exchange_round_bytes = int64_t(16) << 20;
exchange_state exchange;

namespace {

inline int owner(int32_t x) { return owner_of(x, exchange.n, num_processes); }
inline bool owned(int32_t x) { return uint32_t(x - first_local_node) < uint32_t(num_local_nodes); }

void add_arrival(edge_line *lines, int64_t count, edge_line *allocation) {
    grow_array(exchange.arrivals, exchange.capacity, exchange.count + 1, exchange.count);
    exchange.arrivals[exchange.count++] = arrival{lines, count, allocation};
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

}  // namespace

void exchange_part(held_lines &part, int64_t n, bool keep_own) {
    exchange.n = n;
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
    exchange.from_before += from_before;
    if (keep_own) keep_own_lines(part);
    add_arrival(arrived + from_before, incoming - from_before, nullptr);
}

int64_t arrived_lines() {
    int64_t total = 0;
    for (size_t a = 0; a < exchange.count; ++a) total += exchange.arrivals[a].count;
    return total;
}


void release_arrivals() {
    for (size_t a = 0; a < exchange.count; ++a) release_array(exchange.arrivals[a].allocation);
    release_array(exchange.arrivals);
    exchange = exchange_state();
}
