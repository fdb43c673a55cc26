// The exchange in rounds. Each round every process fills a slot of at most a round's share
// for each destination, in file order, until one slot is full; the slots' counts and
// whether more will follow travel first, then the lines. A part that fits one round is
// appended as it arrives; a longer one is gathered per source and joined in rank order.
#include "distributed_exchange.h"

#include <mpi.h>

#include <algorithm>

#include "distributed_run.h"
#include "distributed_settings.h"
#include "memory.h"
#include "ownership.h"
#include "store.h"

namespace {

// One exchange in progress.
struct exchange_round {
    int k;
    int64_t per_pair;      // lines a slot holds
    edge_line *out;        // k slots
    edge_line *in;         // k slots
    int64_t *counts;       // per process: sent and more, received and more (4 k)
    int *bytes;            // per process: send bytes, send at, receive bytes, receive at (4 k)
    line_store *arrived;   // per source, for a part of several rounds
};

// The destinations of line e: its ends' owners, each once, this process only with to_self;
// -1 for none.
inline void owners_of(const edge_line &e, bool to_self, int *a, int *c) {
    *a = owner_of(e.u);
    *c = owner_of(e.v);
    if (*c == *a || (!to_self && *c == process_rank)) *c = -1;
    if (!to_self && *a == process_rank) *a = -1;
}

// Fills the round's slots from the cursor on with at most left lines (which counts down);
// whether lines are left after them.
bool fill_slots(exchange_round &x, const line_store &lines, line_cursor &at, int64_t &left, bool to_self) {
    int64_t *sent = x.counts;
    for (int d = 0; d < x.k; ++d) sent[2 * d] = 0;
    for (; left > 0 && !at_store_end(lines, at); --left) {
        line_cursor next = at;
        const edge_line e = next_held_line(lines, next);
        int a, c;
        owners_of(e, to_self, &a, &c);
        if ((a >= 0 && sent[2 * a] == x.per_pair) || (c >= 0 && sent[2 * c] == x.per_pair)) return true;
        if (a >= 0) x.out[a * x.per_pair + sent[2 * a]++] = e;
        if (c >= 0) x.out[c * x.per_pair + sent[2 * c]++] = e;
        at = next;
    }
    return false;
}

// Sends the slots and receives this round's lines; whether any process has more.
bool trade_slots(exchange_round &x, bool more) {
    int64_t *sent = x.counts, *received = x.counts + 2 * x.k;
    for (int d = 0; d < x.k; ++d) sent[2 * d + 1] = more;
    MPI_Alltoall(sent, 2, MPI_INT64_T, received, 2, MPI_INT64_T, MPI_COMM_WORLD);
    int *send_bytes = x.bytes, *send_at = x.bytes + x.k, *receive_bytes = x.bytes + 2 * x.k, *receive_at = x.bytes + 3 * x.k;
    bool any_more = false;
    for (int p = 0; p < x.k; ++p) {
        send_bytes[p] = int(sent[2 * p] * int64_t(sizeof(edge_line)));
        send_at[p] = int(p * x.per_pair * int64_t(sizeof(edge_line)));
        receive_bytes[p] = int(received[2 * p] * int64_t(sizeof(edge_line)));
        receive_at[p] = send_at[p];
        any_more = any_more || received[2 * p + 1] != 0;
        if (p != process_rank) distributed_report.build_bytes_sent += send_bytes[p];
    }
    MPI_Alltoallv(x.out, send_bytes, send_at, MPI_BYTE, x.in, receive_bytes, receive_at, MPI_BYTE, MPI_COMM_WORLD);
    ++distributed_report.build_rounds;
    return any_more;
}

// Appends what came from each source this round: to its own store, or to before or after.
void keep_arrivals(exchange_round &x, line_store &before, line_store &after, bool gathered) {
    const int64_t *received = x.counts + 2 * x.k;
    for (int s = 0; s < x.k; ++s) {
        line_store &to = gathered ? x.arrived[s] : s < process_rank ? before : after;
        append_lines(to, x.in + s * x.per_pair, size_t(received[2 * s]));
    }
}

// The lines that will arrive here: each process counts its lines per destination.
int64_t incoming_lines(const line_store &lines, line_cursor at, int64_t count, bool to_self, int64_t *counts) {
    const int k = num_processes;
    int64_t *to = counts, *from = counts + k;
    for (int d = 0; d < k; ++d) to[d] = 0;
    for (int64_t i = 0; i < count && !at_store_end(lines, at); ++i) {
        int a, c;
        owners_of(next_held_line(lines, at), to_self, &a, &c);
        if (a >= 0) ++to[a];
        if (c >= 0) ++to[c];
    }
    MPI_Alltoall(to, 1, MPI_INT64_T, from, 1, MPI_INT64_T, MPI_COMM_WORLD);
    int64_t incoming = 0;
    for (int s = 0; s < k; ++s) incoming += from[s];
    return incoming;
}

// Whether some process holds a line whose weight does not fit beside its ends (such a line
// takes 12 bytes where it arrives, the others 8).
bool any_escapes(const line_store &lines) {
    int mine = 0, any = 0;
    for (size_t b = 0; b < lines.num_blocks && mine == 0; ++b)
        mine = lines.blocks[b].words != nullptr && lines.blocks[b].num_escapes > 0;
    MPI_Allreduce(&mine, &any, 1, MPI_INT, MPI_MAX, MPI_COMM_WORLD);
    return any != 0;
}

// The round's buffers, once every process can hold them and the lines that will arrive
// (8 or 12 bytes a line, and a block per source), less the blocks of lines that
// leave as they are sent (8 bytes a line at the least), beside one round's arrivals.
exchange_round open_round(const line_store &lines, const line_cursor &at, int64_t count, bool to_self) {
    exchange_round x;
    x.k = num_processes;
    x.per_pair = distributed_settings.exchange_round_bytes / int64_t(sizeof(edge_line)) / x.k;
    if (x.per_pair < 1) x.per_pair = 1;
    const size_t slots = size_t(x.per_pair) * size_t(x.k);
    x.counts = static_cast<int64_t *>(allocate_array(4 * size_t(x.k), sizeof(int64_t)));
    const int64_t incoming = incoming_lines(lines, at, count, to_self, x.counts);
    const size_t arriving = size_t(incoming) * (any_escapes(lines) ? sizeof(edge_line) : sizeof(uint64_t));
    const size_t leaving = size_t(std::min(count, lines.count)) * sizeof(uint64_t);
    // The buffers' pages are touched only as far as lines fill them.
    const size_t sent = std::min<size_t>(slots, size_t(std::min(count, lines.count)));
    const size_t one_round = std::min<size_t>(slots, size_t(incoming));
    agree_on_memory((sent + 2 * one_round) * sizeof(edge_line) + (arriving > leaving ? arriving - leaving : 0) +
                    size_t(x.k) * ((size_t(256) << 10) + 64));
    x.out = static_cast<edge_line *>(allocate_array(slots, sizeof(edge_line)));
    x.in = static_cast<edge_line *>(allocate_array(slots, sizeof(edge_line)));
    x.bytes = static_cast<int *>(allocate_array(4 * size_t(x.k), sizeof(int)));
    x.arrived = static_cast<line_store *>(allocate_array(size_t(x.k), sizeof(line_store)));
    for (int s = 0; s < x.k; ++s) {
        x.arrived[s] = line_store();
        x.arrived[s].node_bits = lines.node_bits;
        x.arrived[s].block_words = (size_t(256) << 10) / sizeof(uint64_t);  // joined whole: small blocks waste little
    }
    return x;
}

void close_round(exchange_round &x, line_store &before, line_store &after) {
    for (int s = 0; s < x.k; ++s) {
        append_store(s < process_rank ? before : after, x.arrived[s]);
        release_lines(x.arrived[s]);
    }
    discard_array(x.out);
    discard_array(x.in);
    release_array(x.counts);
    release_array(x.bytes);
    release_array(x.arrived);
}

}  // namespace

void exchange_lines(line_store &lines, line_cursor &at, int64_t count, bool to_self, line_store &before,
                    line_store &after) {
    exchange_round x = open_round(lines, at, count, to_self);
    before.node_bits = after.node_bits = lines.node_bits;
    for (int round = 0;; ++round) {
        const bool more = fill_slots(x, lines, at, count, to_self);
        // The blocks sent leave at once: what arrives takes their place.
        at_store_end(lines, at);
        for (size_t b = 0; b < at.block; ++b) {
            discard_array(lines.blocks[b].words);
            lines.blocks[b].words = nullptr;
        }
        const bool any_more = trade_slots(x, more);
        keep_arrivals(x, before, after, round > 0 || any_more);
        if (!any_more) break;
    }
    close_round(x, before, after);
    runtime_buffers_grown();
}
