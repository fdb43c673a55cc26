// Distributed solver: delta-stepping in phases over the least bucket any process holds. In a
// phase each process settles the entries of that bucket and of the next few (the span) it
// owns, again and again as its own relaxations refill them (local fusion), with the shared
// settle; offers to nodes other processes own wait. Then each process sends every other one
// message, its requests for that owner and its least bucket. Invariant: an entry is live
// while its node's distance is its distance, and sits in its distance's bucket (ring or
// overflow). Across hosts that exchange costs tens of microseconds, so phases, not work,
// bound a road graph's solve. Negative weights: the rows go to rank 0 and the one-process
// solver runs there (solve_gathered).
#include "distributed_solver.h"

#include <mpi.h>
#include <omp.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <type_traits>

#include "bucket_width.h"
#include "distributed_run.h"
#include "distributed_settings.h"
#include "entry_list.h"
#include "gathered_solve.h"
#include "ghosts.h"
#include "ownership.h"
#include "relax.h"
#include "rows.h"
#include "solver.h"
#include "store.h"

namespace {

// A phase settles ahead while its crossing records times its span stay below the records
// over this factor: settling ahead costs work again where a request lowers a node settled
// here, so the more records cross, the nearer.
constexpr int64_t PHASE_SPAN_FACTOR = 4;
// The most buckets a phase settles ahead: farther, a process settles its own part of the
// front while the others wait for the requests that start theirs, and they take turns.
constexpr int64_t PHASE_SPAN_MAX = 64;
// Entries a member claims at a time from a long frontier or list of requests.
constexpr size_t SLICE_ENTRIES = 256;

// One member's output of a relaxation or an application of requests.
struct member_work {
    entry_list *outgoing;  // requests per process
    entry_list pushes;     // owned nodes lowered below 2^30
    bool out_of_memory;
    char padding[64];      // members' hot fields on lines of their own
};

struct solve_state {
    int64_t span = 1;  // buckets a phase settles here
    // Bins of entries by relative index; the ring's base is the phase's first bucket.
    bucket_ring<entry_list> ring = {};
    list_pool pool = {nullptr};
    // Per ghost, the least offer this process has sent its owner: an offer no lower than
    // one sent before cannot lower the node, and is never sent.
    int32_t *sent = nullptr;
    entry_list frontier = {nullptr, 0, 0};
    entry_list send = {nullptr, 0, 0};
    entry_list receive = {nullptr, 0, 0};
    int *counts = nullptr;            // per process: to send, send offset, to receive
    int32_t *ghost_first = nullptr;   // per process and one past: its first ghost here
    MPI_Request *requests = nullptr;  // a send per process
    member_work *work = nullptr;
    int team = 1;
};
solve_state solving;

[[noreturn]] void out_of_memory() { abort_everywhere(MEMORY_MESSAGE); }

// A lambda, not a function: the ring's templates inline its calls.
const auto live = [](entry e) { return min_distance[e.node] == e.distance; };

inline void push(entry e) { ring_push(solving.ring, solving.pool, e); }

// ------------------------------------------------------------------ relaxation

// The owner of ghost g: ghosts ascend by node, so each owner's form one range.
inline int ghost_owner(int32_t g) {
    const int32_t *first = solving.ghost_first;
    return int(std::upper_bound(first + 1, first + num_processes, g) - (first + 1));
}

// Queues an offer of sum to ghost g for its owner. The request holds the ghost, not its
// node: that lookup is a miss of its own, left to the packing, where many overlap.
inline void request(int32_t g, int32_t sum, member_work &w) {
    if (!append(w.outgoing[ghost_owner(g)], entry{g, sum})) w.out_of_memory = true;
}

// Relaxes the rows of a slice of live frontier entries: owned neighbours at once, others
// by request when the offer is lower than any sent for them before.
template <bool team, class Rows>
void relax_slice(const Rows &rows, const entry *entries, int64_t count, member_work &w) {
    settle_entries<team, false>(
        rows, entries, count,
        [&w](entry e) {
            if (!append(w.pushes, e)) w.out_of_memory = true;
        },
        [&w](int32_t t, int32_t sum) {
            const int32_t g = ghost_of(t);
            if (lower_value<team>(solving.sent[g], sum)) request(g, sum, w);
        });
}

// Requests for owned nodes (by node): each lowers its node if it can.
template <bool team>
void apply_requests(const entry *entries, int64_t count, member_work &w) {
    for (int64_t k = 0; k < count; ++k) {
        const entry e{entries[k].node - first_owned_node, entries[k].distance};
        if (lower_value<team>(min_distance[e.node], e.distance) && e.distance < INFINITE_DISTANCE &&
            !append(w.pushes, e))
            w.out_of_memory = true;
    }
}

// Pushes what the members lowered, once every member is done; every member's list is
// read, also of members a short list left idle.
void push_lowered() {
    for (int m = 0; m < solving.team; ++m) {
        member_work &w = solving.work[m];
        if (w.out_of_memory) out_of_memory();
        // Lowered again since by another member: the later entry is the live one.
        for (size_t k = 0; k < w.pushes.count; ++k)
            if (live(w.pushes.items[k])) push(w.pushes.items[k]);
        w.pushes.count = 0;
    }
}

// Runs f(entries, count, member, team) over slices of list on the team (the whole list on
// one thread when it is short), then pushes what they lowered.
template <class F>
void for_slices(const entry_list &list, F &&f) {
    if (int64_t(list.count) < distributed_settings.team_min_entries || solving.team == 1) {
        f(list.items, int64_t(list.count), solving.work[0], std::false_type());
    } else {
        const size_t slices = (list.count + SLICE_ENTRIES - 1) / SLICE_ENTRIES;
#pragma omp parallel for schedule(dynamic, 1) num_threads(solving.team)
        for (size_t s = 0; s < slices; ++s) {
            const size_t first = s * SLICE_ENTRIES, count = std::min(SLICE_ENTRIES, list.count - first);
            f(list.items + first, int64_t(count), solving.work[omp_get_thread_num()], std::true_type());
        }
    }
    push_lowered();
}

// ------------------------------------------------------------------ requests

// A message of requests ends with a slot that holds its sender's least bucket.
static_assert(sizeof(entry) == sizeof(int64_t), "a bucket fits an entry's slot");
inline entry bucket_slot(int64_t bucket) {
    entry slot;
    memcpy(&slot, &bucket, sizeof slot);
    return slot;
}
inline int64_t bucket_in(entry slot) {
    int64_t bucket;
    memcpy(&bucket, &slot, sizeof bucket);
    return bucket;
}

// Packs the members' requests by owner into the send buffer, each by its ghost's node and
// each owner's followed by a slot for the least bucket, and empties their lists; the least
// distance requested. to_send and send_at get each owner's count and offset.
int32_t pack_requests(int *to_send, int *send_at) {
    size_t total = 0;
    for (int p = 0; p < num_processes; ++p) {
        size_t count = 0;
        for (int m = 0; m < solving.team; ++m) count += solving.work[m].outgoing[p].count;
        // A phase sends a process fewer requests than it has records: far below 2^31.
        to_send[p] = int(count);
        send_at[p] = int(total);
        total += count + 1;
    }
    if (!reserve(solving.send, total)) out_of_memory();
    int32_t least = INFINITE_DISTANCE;
    for (int p = 0; p < num_processes; ++p) {
        entry *at = solving.send.items + send_at[p];
        for (int m = 0; m < solving.team; ++m) {
            entry_list &out = solving.work[m].outgoing[p];
            for (size_t r = 0; r < out.count; ++r) {
                *at++ = entry{ghost_nodes[out.items[r].node], out.items[r].distance};
                least = std::min(least, out.items[r].distance);
            }
            out.count = 0;
        }
        if (p != process_rank) distributed_report.solve_bytes_sent += int64_t(to_send[p]) * int64_t(sizeof(entry));
    }
    return least;
}

// Receives every other process's message in rank order, each where the one before ends
// (its last slot is read before the next lands on it); the least bucket of all of them
// and least.
int64_t receive_requests(int64_t least) {
    int *to_receive = solving.counts + 2 * num_processes;
    size_t incoming = 0;
    for (int p = 0; p < num_processes; ++p) {
        to_receive[p] = 0;
        if (p == process_rank) continue;
        MPI_Status status;
        MPI_Probe(p, 1, MPI_COMM_WORLD, &status);
        int slots = 0;
        MPI_Get_count(&status, MPI_UINT64_T, &slots);
        to_receive[p] = slots - 1;
        incoming += size_t(to_receive[p]);
    }
    if (!reserve(solving.receive, incoming + 1)) out_of_memory();
    size_t at = 0;
    for (int p = 0; p < num_processes; ++p) {
        if (p == process_rank) continue;
        MPI_Recv(solving.receive.items + at, to_receive[p] + 1, MPI_UINT64_T, p, 1, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
        at += size_t(to_receive[p]);
        least = std::min(least, bucket_in(solving.receive.items[at]));
    }
    solving.receive.count = incoming;
    return least;
}

// Sends the members' requests to their owners; what arrives lands in solving.receive.
// least_here is this process's least live bucket; the answer is the least bucket of all
// processes and of all requests, the same everywhere. Each process sends every other one
// message, its requests and its least bucket (that of its requests below 2^30 too: their
// owners push them there at the latest): one trip across the network a phase.
int64_t exchange_requests(int64_t least_here) {
    int *to_send = solving.counts, *send_at = solving.counts + num_processes;
    const int32_t requested = pack_requests(to_send, send_at);
    const int shift = solving.ring.shift;
    const int64_t least = std::min(requested < INFINITE_DISTANCE ? bucket_of(requested, shift) : NO_BUCKET, least_here);
    int pending = 0;
    for (int p = 0; p < num_processes; ++p) {
        if (p == process_rank) continue;
        entry *message = solving.send.items + send_at[p];
        message[to_send[p]] = bucket_slot(least);
        MPI_Isend(message, to_send[p] + 1, MPI_UINT64_T, p, 1, MPI_COMM_WORLD, &solving.requests[pending++]);
    }
    const int64_t agreed = receive_requests(least);
    MPI_Waitall(pending, solving.requests, MPI_STATUSES_IGNORE);
    return agreed;
}

// ------------------------------------------------------------------ phases

// Settles this process's live entries of bucket cur, and those its own relaxations put
// back into cur, until none is left; requests for other owners wait for the exchange.
void settle_bucket_here(int64_t cur) {
    while (drop_dead(solving.ring, solving.pool, cur, live) > 0) {
        // The bin's entries become the frontier; entries pushed into cur meanwhile wait
        // for the next pass.
        entry_list emptied = solving.frontier;
        emptied.count = 0;
        solving.frontier = ring_take(solving.ring, cur, emptied);
        distributed_report.solve_settled += int64_t(solving.frontier.count);
        with_rows([](const auto &rows) {
            for_slices(solving.frontier, [&rows](const entry *entries, int64_t count, member_work &w, auto team) {
                relax_slice<decltype(team)::value>(rows, entries, count, w);
            });
        });
    }
}

// One phase from bucket cur, the least of all: the buckets cur to cur + span - 1 settled
// here in order, the requests exchanged and applied; the next phase's bucket, agreed by
// all. A request may lower a node settled here: it is settled again in a later phase.
int64_t run_phase(int64_t cur) {
    advance_ring(solving.ring, solving.pool, cur, live);
    int64_t here = cur;
    while (here < cur + solving.span) {
        settle_bucket_here(here);
        here = least_live_bucket(solving.ring, solving.pool, here, live);
    }
    const int64_t next = exchange_requests(here);
    if (next != NO_BUCKET) advance_ring(solving.ring, solving.pool, next, live);
    for_slices(solving.receive, [](const entry *entries, int64_t count, member_work &w, auto team) {
        apply_requests<decltype(team)::value>(entries, count, w);
    });
    return next;
}

// An offer of node 0's owner to a neighbour of node 0 another process owns.
void request_start(int32_t target, int32_t weight, void *) { request(ghost_of(target), weight, solving.work[0]); }

// Node 0's owner sets every neighbour of node 0 to its direct weight, whatever its size,
// and queues those below 2^30; the others' owners get the weights by request. The first
// phase's bucket, agreed by all.
int64_t start_everywhere() {
#pragma omp parallel num_threads(solving.team) if (num_owned_nodes >= distributed_settings.team_min_entries)
    start_from_node_zero(request_start, nullptr);
    with_rows([](const auto &rows) { queue_start(rows, push); });
    if (solving.work[0].out_of_memory) out_of_memory();
    const int64_t first = exchange_requests(least_live_bucket(solving.ring, solving.pool, 0, live));
    for (size_t k = 0; k < solving.receive.count; ++k) {
        const entry e{solving.receive.items[k].node - first_owned_node, solving.receive.items[k].distance};
        min_distance[e.node] = e.distance;
        if (e.distance < INFINITE_DISTANCE) push(e);
    }
    return first;
}

// ------------------------------------------------------------------ buckets

// Buckets a phase settles here: the rarer records cross between processes, the farther
// ahead, up to PHASE_SPAN_MAX.
int64_t phase_span(int64_t all_records, int64_t crossing) {
    if (distributed_settings.phase_span > 0) return distributed_settings.phase_span;
    int64_t span = 1;
    while (span < PHASE_SPAN_MAX && crossing * span * PHASE_SPAN_FACTOR < all_records) span *= 2;
    return span;
}

// The bucket width by the one-process rule over the summed samples of all processes, the
// span, and the ring that reaches from a phase's base past its last bucket by the heaviest
// sampled edge. Returns the ring's size; sets its shift and the span.
int64_t choose_buckets(int *shift) {
    row_sample own = sample_rows(), all;
    const int64_t records = edge_counter;
    all.weight_sum = sum_over_processes(own.weight_sum);
    all.weights = sum_over_processes(own.weights);
    all.heaviest = max_over_processes(own.heaviest);
    const int64_t all_records = sum_over_processes(records);
    // Each process's mean row, weighed by its records: the row a record of all leads to.
    all.sampled = all_records;
    all.row_lengths = sum_over_processes(own.sampled > 0 ? int64_t(double(records) * double(own.row_lengths) / double(own.sampled)) : 0);
    // This process's crossing records, as many of all its records as of its sample.
    all.crossing = sum_over_processes(own.sampled > 0 ? records * own.crossing / own.sampled : 0);
    const int32_t width = distributed_settings.bucket_width > 0 ? distributed_settings.bucket_width
                                                                : bucket_width_for(all, all_records, num_nodes);
    *shift = floor_log2(width);
    const int64_t reach = (all.heaviest >> *shift) + 2;
    solving.span = phase_span(all_records, all.crossing);
    while (solving.span > 1 && solving.span + reach > RING_MAX_BUCKETS) solving.span /= 2;
    return ring_size_for(reach + solving.span, RING_MAX_BUCKETS);
}

void open_solving(int64_t ring_size, int shift) {
    const int k = num_processes;
    solving.team = omp_get_max_threads();
    entry_list *bins = static_cast<entry_list *>(calloc(size_t(ring_size), sizeof(entry_list)));
    uint64_t *occupied = static_cast<uint64_t *>(calloc(size_t(ring_size / 64), sizeof(uint64_t)));
    solving.counts = static_cast<int *>(calloc(3 * size_t(k), sizeof(int)));
    solving.ghost_first = static_cast<int32_t *>(calloc(size_t(k) + 1, sizeof(int32_t)));
    solving.requests = static_cast<MPI_Request *>(calloc(size_t(k), sizeof(MPI_Request)));
    solving.work = static_cast<member_work *>(calloc(size_t(solving.team), sizeof(member_work)));
    solving.sent = static_cast<int32_t *>(calloc(size_t(num_ghosts) + 1, sizeof(int32_t)));
    if (bins == nullptr || occupied == nullptr || solving.counts == nullptr || solving.ghost_first == nullptr ||
        solving.requests == nullptr || solving.work == nullptr || solving.sent == nullptr)
        out_of_memory();
    for (int p = 0; p <= k; ++p)
        solving.ghost_first[p] = int32_t(std::lower_bound(ghost_nodes, ghost_nodes + num_ghosts, first_node_of(p)) - ghost_nodes);
    std::fill(solving.sent, solving.sent + num_ghosts, INT32_MAX);
    open_ring(solving.ring, bins, occupied, ring_size, shift);
    solving.pool.out_of_memory = out_of_memory;
    for (int m = 0; m < solving.team; ++m) {
        solving.work[m].outgoing = static_cast<entry_list *>(calloc(size_t(k), sizeof(entry_list)));
        if (solving.work[m].outgoing == nullptr) out_of_memory();
    }
}

void close_solving() {
    for (int64_t b = 0; b < solving.ring.size; ++b) free_list(solving.ring.bins[b]);
    for (int m = 0; m < solving.team; ++m) {
        for (int p = 0; p < num_processes; ++p) free_list(solving.work[m].outgoing[p]);
        free_list(solving.work[m].pushes);
        free(solving.work[m].outgoing);
    }
    free_list(solving.ring.overflow);
    free_list(solving.frontier);
    free_list(solving.send);
    free_list(solving.receive);
    free(solving.ring.bins);
    free(solving.ring.occupied);
    free(solving.counts);
    free(solving.ghost_first);
    free(solving.requests);
    free(solving.work);
    free(solving.sent);
    solving = solve_state();
}

// Marks settled the owned nodes below 2^30; whether every node of every process is.
bool all_settled() {
    const int32_t owned = num_owned_nodes;
    int complete = 1;
#pragma omp parallel for schedule(static) reduction(&& : complete) if (owned >= distributed_settings.team_min_entries)
    for (int32_t i = 0; i < owned; ++i) {
        tree[i] = min_distance[i] < INFINITE_DISTANCE;
        complete = complete && tree[i];
    }
    return min_over_processes(complete) != 0;
}

// Delta-stepping over all processes; false when some node is left unsettled anywhere.
bool solve_with_buckets_everywhere() {
    int shift = 0;
    const int64_t ring_size = choose_buckets(&shift);
    // Bins and requests at their usual share (a byte an owned node; beyond it they grow
    // through checked allocations), the least offer sent per ghost, the counts per process.
    agree_on_memory(size_t(num_owned_nodes) + size_t(num_ghosts) * sizeof(int32_t) + size_t(num_processes) * 64 +
                    (size_t(1) << 20));
    open_solving(ring_size, shift);
    for (int64_t cur = start_everywhere(); cur != NO_BUCKET; ++distributed_report.solve_phases) cur = run_phase(cur);
    close_solving();
    return all_settled();
}

}  // namespace

double compute_distances_everywhere() {
    distributed_report.solve_bytes_sent = 0;
    distributed_report.solve_phases = 0;
    distributed_report.solve_settled = 0;
    MPI_Barrier(MPI_COMM_WORLD);
    const double t0 = get_time();
    if (negative_weights) {
        solve_gathered();
    } else if (!solve_with_buckets_everywhere() && process_rank == 0) {
        fputs(EARLY_END_WARNING, stderr);
    }
    return get_time() - t0;
}
