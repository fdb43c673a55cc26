// Distributed solver: delta-stepping in phases over the least bucket any process holds. In a
// phase each process settles the entries of that bucket it owns, again and again as its own
// relaxations refill it (local fusion), and keeps the requests for other owners; then each
// process sends every other one message, its requests for that owner and its least bucket.
// Invariant: an entry is live while its node's distance is its distance, and sits in its
// distance's bucket (ring or overflow). Across hosts that exchange costs tens of
// microseconds, so phases, not work, bound a road graph's solve. Negative
// weights: the rows go to rank 0 and the one-process solver runs there.
#include "distributed_solver.h"

#include <mpi.h>
#include <omp.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <type_traits>

#include "bucket_solver.h"
#include "distributed_run.h"
#include "distributed_store.h"
#include "entry_list.h"
#include "store.h"
#include "memory.h"
#include "relax.h"
#include "rows.h"
#include "solver.h"

int64_t solve_bytes_sent = 0;
int64_t solve_phases = 0;
int64_t solve_settled = 0;
int64_t distributed_team_min_entries = int64_t(1) << 14;
int32_t distributed_bucket_width = 0;
int64_t distributed_phase_span = 0;

namespace {

// A phase settles ahead while its crossing records times its span stay below the records
// over this factor. R-MAT 20/8 across two emulated hosts (a quarter to a half of its
// records cross): 4 settles one bucket a phase and takes 0.33 s at K = 2, 0.38 at K = 4;
// 1 settled four ahead, settled 16% more entries and took 0.37 and 0.51. Road graphs,
// whose few records cross, keep 64 either way.
constexpr int64_t PHASE_SPAN_FACTOR = 4;
// The most buckets a phase settles ahead: on road graphs of 0.26M to 24M nodes across two
// emulated hosts, K = 2 and 4, 32 to 128 settled fastest; 4,096 took 1.5 to 2.5 times as long.
constexpr int64_t PHASE_SPAN_MAX = 64;

// One member's output of a relaxation or an application of requests.
struct member_work {
    entry_list *outgoing;  // requests per process
    entry_list pushes;     // owned nodes lowered below 2^30
    bool out_of_memory;
    char padding[64];      // members' hot fields on lines of their own
};

struct solve_state {
    int shift = 0;
    int64_t span = 1;  // buckets a phase settles here
    int64_t ring_size = 0;
    // Bins of entries by owned index (a request's node is a global one); the ring's base
    // is the phase's first bucket.
    bucket_ring<entry_list> ring = {};
    list_pool pool = {nullptr};
    // Per ghost, the least offer this process has sent its owner: an offer no lower than
    // one sent before cannot lower the node, and is never sent.
    int32_t *sent = nullptr;
    entry_list frontier = {nullptr, 0, 0};
    entry_list send = {nullptr, 0, 0};
    entry_list receive = {nullptr, 0, 0};
    int *counts = nullptr;  // per process: to send, send offset, to receive
    int32_t *ghost_first = nullptr;  // per process and one past: its first ghost here
    MPI_Request *requests = nullptr;  // a receive and a send per process at most
    member_work *work = nullptr;
    int team = 1;
};

solve_state solving;

inline bool owned(int32_t x) { return uint32_t(x - first_local_node) < uint32_t(num_local_nodes); }

[[noreturn]] void out_of_memory() { abort_everywhere(MEMORY_MESSAGE); }

// ------------------------------------------------------------------ buckets

inline void push(entry e) { ring_push(solving.ring, solving.pool, e); }

// A lambda, not a function: the ring's templates inline its calls.
const auto live = [](entry e) { return local_distance[e.node] == e.distance; };

// This process's least bucket from cur on holding a live entry, or NO_BUCKET; cur is at
// least the phase's base and no live entry lies between them. An overflow bucket may turn
// out dead once the ring reaches it; that costs one empty phase.
int64_t least_bucket(int64_t cur) { return least_live_bucket(solving.ring, solving.pool, cur, live); }

// ------------------------------------------------------------------ relaxation

// Offers sum to owned node i (local index); a lowered node below 2^30 is pushed.
template <bool team>
inline void lower(int32_t i, int32_t sum, member_work &w) {
    if (lower_value<team>(local_distance[i], sum) && sum < INFINITE_DISTANCE && !append(w.pushes, entry{i, sum}))
        w.out_of_memory = true;
}

// Whether an offer of sum to ghost g can lower it, as far as this process has offered:
// it then counts as offered.
template <bool team>
inline bool worth_sending(int32_t g, int32_t sum) {
    return lower_value<team>(solving.sent[g], sum);
}

// The owner of ghost g: ghosts ascend by global index, so each owner's form one range.
inline int ghost_owner(int32_t g) {
    const int32_t *first = solving.ghost_first;
    return int(std::upper_bound(first + 1, first + num_processes, g) - (first + 1));
}

// Queues an offer of sum to ghost g for its owner. The request holds the ghost, not its
// global index: that lookup is a miss of its own, left to the packing, where many overlap.
inline void request(int32_t g, int32_t sum, member_work &w) {
    if (!append(w.outgoing[ghost_owner(g)], entry{g, sum})) w.out_of_memory = true;
}

// Relaxes the row of a live frontier entry with the shared relaxation (edges of 2^30 or
// more skipped): owned neighbours at once, others by request. Both terms are below 2^30,
// so the sum fits; sums of 2^30 or more are still offered (the least value offered to a
// node never settled is what it shows) but never pushed.
template <bool team, class Rows>
void relax_entry(const Rows &rows, entry e, member_work &w) {
    const int32_t u = e.node;
    const int32_t base = team ? __atomic_load_n(&local_distance[u], __ATOMIC_RELAXED) : local_distance[u];
    if (base != e.distance) return;
    const int32_t below = ghosts_below, n_local = num_local_nodes;
    relax_row(rows, u, base, [&](int32_t t, int64_t offer) {
        const int32_t sum = int32_t(offer);
        if (uint32_t(t - below) < uint32_t(n_local)) {
            lower<team>(t - below, sum, w);
        } else {
            const int32_t g = t < below ? t : t - n_local;
            if (worth_sending<team>(g, sum)) request(g, sum, w);
        }
    });
}

template <bool team>
void apply_request(entry e, member_work &w) {
    lower<team>(e.node - first_local_node, e.distance, w);
}

// Empties every member's pushes, also of members a short list left idle: push_lowered
// reads them all. Requests gather across a phase's passes until the exchange sends them.
void clear_work() {
    for (int m = 0; m < solving.team; ++m) {
        solving.work[m].pushes.count = 0;
        solving.work[m].out_of_memory = false;
    }
}

// Pushes what the members lowered, once every member is done.
void push_lowered(int members) {
    for (int m = 0; m < members; ++m) {
        member_work &w = solving.work[m];
        if (w.out_of_memory) out_of_memory();
        for (size_t k = 0; k < w.pushes.count; ++k) {
            // Lowered again since by another member: the later entry is the live one.
            if (live(w.pushes.items[k])) push(w.pushes.items[k]);
        }
    }
}

// Runs f(k, member) over the entries k of list on members threads (one when the list is short).
template <class F>
void for_entries(const entry_list &list, F &&f) {
    const int members = int64_t(list.count) >= distributed_team_min_entries ? solving.team : 1;
    clear_work();
    if (members == 1) {
        for (size_t k = 0; k < list.count; ++k) f(k, solving.work[0], std::false_type());
        return;
    }
#pragma omp parallel num_threads(members)
    {
        member_work &w = solving.work[omp_get_thread_num()];
#pragma omp for schedule(dynamic, 256)
        for (size_t k = 0; k < list.count; ++k) f(k, w, std::true_type());
    }
}

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

// Packs the members' requests by owner into the send buffer, each by its node's global
// index and each owner's followed by a slot for the least bucket, and empties their lists;
// the least distance requested. to_send and send_at get each owner's count and offset.
int32_t pack_requests(int *to_send, int *send_at) {
    const int k = num_processes;
    size_t total = 0;
    for (int p = 0; p < k; ++p) {
        size_t count = 0;
        for (int m = 0; m < solving.team; ++m) count += solving.work[m].outgoing[p].count;
        // A phase sends a process fewer requests than it has records: far below 2^31.
        to_send[p] = int(count);
        send_at[p] = int(total);
        total += count + 1;
    }
    if (!reserve(solving.send, total)) out_of_memory();
    int32_t least = INFINITE_DISTANCE;
    for (int p = 0; p < k; ++p) {
        entry *at = solving.send.items + send_at[p];
        for (int m = 0; m < solving.team; ++m) {
            entry_list &out = solving.work[m].outgoing[p];
            for (size_t r = 0; r < out.count; ++r) {
                const int32_t d = out.items[r].distance;
                *at++ = entry{ghost_nodes[out.items[r].node], d};
                least = d < least ? d : least;
            }
            out.count = 0;
        }
        if (p != process_rank) solve_bytes_sent += int64_t(to_send[p]) * int64_t(sizeof(entry));
    }
    return least;
}

// Sends the members' requests to their owners; what arrives lands in solving.receive.
// least_here is this process's least live bucket; the answer is the least bucket of all
// processes and of all requests, the same everywhere. Each process sends every other one
// message, its requests for that owner and its least bucket (that of its requests below
// 2^30 too: their owners push them there at the latest): one trip across the network a
// phase, where counts first and then requests took two.
int64_t exchange_requests(int64_t least_here) {
    const int k = num_processes, me = process_rank;
    int *to_send = solving.counts, *send_at = solving.counts + k, *to_receive = solving.counts + 2 * k;
    const int32_t requested = pack_requests(to_send, send_at);
    int64_t least = requested < INFINITE_DISTANCE ? bucket_of(requested, solving.shift) : NO_BUCKET;
    least = least < least_here ? least : least_here;
    int pending = 0;
    for (int p = 0; p < k; ++p) {
        if (p == me) continue;
        entry *message = solving.send.items + send_at[p];
        message[to_send[p]] = bucket_slot(least);
        MPI_Isend(message, to_send[p] + 1, MPI_UINT64_T, p, 1, MPI_COMM_WORLD, &solving.requests[pending++]);
    }
    size_t incoming = 0;
    for (int p = 0; p < k; ++p) {
        to_receive[p] = 0;
        if (p == me) continue;
        MPI_Status status;
        MPI_Probe(p, 1, MPI_COMM_WORLD, &status);
        int slots = 0;
        MPI_Get_count(&status, MPI_UINT64_T, &slots);
        to_receive[p] = slots - 1;
        incoming += size_t(to_receive[p]);
    }
    if (!reserve(solving.receive, incoming + 1)) out_of_memory();
    // In rank order, each message where the one before ends: its last slot is read before
    // the next message lands on it.
    int64_t agreed = least;
    size_t at = 0;
    for (int p = 0; p < k; ++p) {
        if (p == me) continue;
        MPI_Recv(solving.receive.items + at, to_receive[p] + 1, MPI_UINT64_T, p, 1, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
        at += size_t(to_receive[p]);
        const int64_t theirs = bucket_in(solving.receive.items[at]);
        agreed = theirs < agreed ? theirs : agreed;
    }
    MPI_Waitall(pending, solving.requests, MPI_STATUSES_IGNORE);
    solving.receive.count = incoming;
    return agreed;
}

// Settles this process's live entries of bucket cur, and those its own relaxations put
// back into cur, until none is left; requests for other owners wait for the exchange.
void settle_bucket_here(int64_t cur) {
    while (drop_dead(solving.ring, solving.pool, cur, live) > 0) {
        // The bin's entries become the frontier; entries pushed into cur meanwhile wait
        // for the next pass.
        entry_list emptied = solving.frontier;
        emptied.count = 0;
        solving.frontier = ring_take(solving.ring, cur, emptied);
        solve_settled += int64_t(solving.frontier.count);
        with_local_rows([](const auto &rows) {
            const entry_list &frontier = solving.frontier;
            for_entries(frontier, [&rows, &frontier](size_t k, member_work &w, auto team) {
                fetch_rows_ahead(rows, local_distance, frontier.items, int64_t(frontier.count), int64_t(k));
                relax_entry<decltype(team)::value>(rows, frontier.items[k], w);
            });
        });
        push_lowered(solving.team);
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
        here = least_bucket(here);
    }
    const int64_t next = exchange_requests(here);
    if (next != NO_BUCKET) advance_ring(solving.ring, solving.pool, next, live);
    for_entries(solving.receive, [](size_t k, member_work &w, auto team) {
        apply_request<decltype(team)::value>(solving.receive.items[k], w);
    });
    push_lowered(solving.team);
    return next;
}

// Node 0's owner sets every neighbour of node 0 to its direct weight, whatever its size,
// and pushes those below 2^30; the others' owners get the weights by request. The first
// phase's bucket, agreed by all.
int64_t start_everywhere() {
    const int32_t n_local = num_local_nodes;
#pragma omp parallel for schedule(static) if (n_local >= distributed_team_min_entries)
    for (int32_t i = 0; i < n_local; ++i) local_distance[i] = INFINITE_DISTANCE;
    clear_work();
    member_work &w = solving.work[0];
    if (owned(0)) {
        const int32_t zero = 0 - first_local_node;
        local_distance[zero] = 0;
        with_local_rows([&](const auto &rows) {
            for (uint32_t r = rows.offsets[zero]; r < rows.offsets[zero + 1]; ++r) {
                const int32_t t = rows.target(r, zero), weight = rows.weight(r);
                const int32_t i = owned_index(t);
                if (i >= 0) {
                    local_distance[i] = weight;
                    if (weight < INFINITE_DISTANCE) push(entry{i, weight});
                } else {
                    request(ghost_index(t), weight, w);
                }
            }
        });
        if (w.out_of_memory) out_of_memory();
    }
    const int64_t first = exchange_requests(least_bucket(0));
    for (size_t k = 0; k < solving.receive.count; ++k) {
        const entry e = solving.receive.items[k];
        local_distance[e.node - first_local_node] = e.distance;
        if (e.distance < INFINITE_DISTANCE) push(entry{e.node - first_local_node, e.distance});
    }
    return first;
}

// What the choice of buckets reads of this process's rows: the row lengths whole (the
// offsets alone), the weights and the crossing records in the one-process solver's sample
// of its pool. Reading every record took a fifth of R-MAT 20/8's solve (0.05 of 0.26 s);
// a weight the sample misses only sends a few entries to the overflow bin.
struct row_census {
    int64_t weight_sum = 0;  // of the sampled weights below 2^30
    int64_t weights = 0;     // sampled records below 2^30
    int64_t heaviest = 0;    // sampled weight below 2^30
    int64_t sampled = 0;     // records sampled
    int64_t crossing = 0;    // sampled records whose target another process owns
    double squares = 0;      // squared row lengths
};

row_census take_census() {
    const int32_t n_local = num_local_nodes;
    row_census c;
    double squares = 0;
    with_local_rows([&](const auto &rows) {
#pragma omp parallel for schedule(static) reduction(+ : squares) if (n_local >= distributed_team_min_entries)
        for (int32_t i = 0; i < n_local; ++i) {
            const double length = double(rows.offsets[i + 1] - rows.offsets[i]);
            squares += length * length;
        }
        const uint32_t *offsets = rows.offsets;
        for_sampled_records(offsets[n_local], [&](uint32_t r) {
            // The row that holds record r: the last whose first record is at or before it.
            const int32_t i = int32_t(std::upper_bound(offsets, offsets + n_local + 1, r) - offsets) - 1;
            ++c.sampled;
            c.crossing += owned_index(rows.target(r, i)) < 0;
            const int64_t w = rows.weight(r);
            if (w >= INFINITE_DISTANCE) return;
            c.weight_sum += w;
            ++c.weights;
            c.heaviest = w > c.heaviest ? w : c.heaviest;
        });
    });
    c.squares = squares;
    return c;
}

// Buckets a phase settles here. Each phase costs an exchange (tens of microseconds across
// hosts); settling ahead costs work again only where a request from another process lowers
// a node already settled, so the fewer records lead to other owners, the farther ahead,
// up to PHASE_SPAN_MAX buckets: farther, a process settles its own part of the front
// while the others wait for the requests that start theirs, and they take turns.
int64_t phase_span(int64_t all_records, int64_t crossing) {
    if (distributed_phase_span > 0) return distributed_phase_span;
    int64_t span = 1;
    while (span < PHASE_SPAN_MAX && crossing * span * PHASE_SPAN_FACTOR < all_records) span *= 2;
    return span;
}

// The row length a relaxed record leads to on average (the sum of the squared row lengths
// over all records), at most MET_ROW_FACTOR times the mean: settling a node again costs its
// row, and a graph with hubs meets them far more often than its mean row length says, so
// its buckets narrow. R-MAT 20/8 across two emulated hosts (mean row 16), medians of 5:
// the one-process rule's width 16 took 0.33 s at K = 2 and 0.38 at K = 4; this one (width
// 4) 0.26 and 0.38; uncapped (width 2) 0.26 and 0.45, K = 4 paying for the more phases.
// Road graphs' widths stay as they were.
constexpr int64_t MET_ROW_FACTOR = 4;
int64_t met_row_length(int64_t all_records, double squares) {
    const double cap = double(int64_t(1) << 62) / double(num_processes);
    const int64_t sum = sum_over_processes(int64_t(squares < cap ? squares : cap));
    if (all_records == 0) return 0;
    const int64_t mean = all_records / num_nodes, met = sum / all_records;
    return met < MET_ROW_FACTOR * mean ? met : MET_ROW_FACTOR * mean;
}

// The bucket width by the one-process solver's rule, from the weights below 2^30 and the
// row length of all processes; the span; and the ring that reaches from a bucket to the
// farthest one the heaviest sampled weight pushes into.
void choose_buckets() {
    const row_census c = take_census();
    const int64_t sum = sum_over_processes(c.weight_sum), count = sum_over_processes(c.weights);
    const int64_t max = max_over_processes(c.heaviest);
    const int64_t records = local_rows[num_local_nodes];
    const int64_t all_records = sum_over_processes(records);
    // This process's crossing records, as many of all its records as of its sample.
    const int64_t crossing = sum_over_processes(c.sampled > 0 ? records * c.crossing / c.sampled : 0);
    const int64_t mean = count > 0 ? sum / count : 1;
    const int32_t width = distributed_bucket_width > 0 ? distributed_bucket_width
                                                       : bucket_width_for(mean, met_row_length(all_records, c.squares));
    solving.shift = floor_log2(width);
    const int64_t reach = (max >> solving.shift) + 2;
    solving.span = phase_span(all_records, crossing);
    // The ring reaches from a phase's base past its last bucket by the heaviest sampled edge.
    while (solving.span > 1 && solving.span + reach > RING_MAX_BUCKETS) solving.span /= 2;
    solving.ring_size = ring_size_for(reach + solving.span, RING_MAX_BUCKETS);
}

void open_solving() {
    const int k = num_processes;
    solving.team = omp_get_max_threads();
    entry_list *bins = static_cast<entry_list *>(calloc(size_t(solving.ring_size), sizeof(entry_list)));
    uint64_t *occupied = static_cast<uint64_t *>(calloc(size_t(solving.ring_size / 64), sizeof(uint64_t)));
    solving.counts = static_cast<int *>(calloc(3 * size_t(k), sizeof(int)));
    solving.ghost_first = static_cast<int32_t *>(calloc(size_t(k) + 1, sizeof(int32_t)));
    if (solving.ghost_first == nullptr) out_of_memory();
    for (int p = 0; p <= k; ++p)
        solving.ghost_first[p] = int32_t(std::lower_bound(ghost_nodes, ghost_nodes + num_ghosts, block_first(num_nodes, k, p)) - ghost_nodes);
    solving.requests = static_cast<MPI_Request *>(calloc(2 * size_t(k), sizeof(MPI_Request)));
    solving.work = static_cast<member_work *>(calloc(size_t(solving.team), sizeof(member_work)));
    solving.sent = static_cast<int32_t *>(allocate_array(size_t(num_ghosts), sizeof(int32_t)));
    const int32_t ghosts = num_ghosts;
#pragma omp parallel for schedule(static) if (ghosts >= distributed_team_min_entries)
    for (int32_t g = 0; g < ghosts; ++g) solving.sent[g] = INT32_MAX;
    if (bins == nullptr || occupied == nullptr || solving.counts == nullptr || solving.requests == nullptr ||
        solving.work == nullptr)
        out_of_memory();
    open_ring(solving.ring, bins, occupied, solving.ring_size, solving.shift);
    solving.pool.out_of_memory = out_of_memory;
    for (int m = 0; m < solving.team; ++m) {
        solving.work[m].outgoing = static_cast<entry_list *>(calloc(size_t(k), sizeof(entry_list)));
        if (solving.work[m].outgoing == nullptr) out_of_memory();
    }
}

void close_solving() {
    for (int64_t b = 0; b < solving.ring_size; ++b) free_list(solving.ring.bins[b]);
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
    release_array(solving.sent);
    solving = solve_state();
}

// Delta-stepping over all processes; false when some node is left unsettled anywhere.
bool solve_with_buckets_everywhere() {
    choose_buckets();
    // Bins and requests: about an entry per owned node, the least offer sent per ghost,
    // and the counts per process.
    agree_on_memory(size_t(num_local_nodes) * 2 * sizeof(entry) + size_t(num_ghosts) * sizeof(int32_t) +
                    size_t(num_processes) * 64 + (size_t(1) << 20));
    open_solving();
    int64_t cur = start_everywhere();
    while (cur != NO_BUCKET) {
        cur = run_phase(cur);
        ++solve_phases;
    }
    close_solving();
    const int32_t n_local = num_local_nodes;
    int complete = 1;
#pragma omp parallel for schedule(static) reduction(&& : complete) if (n_local >= distributed_team_min_entries)
    for (int32_t i = 0; i < n_local; ++i) {
        local_settled[i] = local_distance[i] < INFINITE_DISTANCE;
        complete = complete && local_settled[i];
    }
    return min_over_processes(complete) != 0;
}

// ------------------------------------------------------------------ negative weights

template <class T>
void send_array(const T *items, int64_t count, int to) {
    send_bytes(items, count * int64_t(sizeof(T)), to);
    solve_bytes_sent += count * int64_t(sizeof(T));
}

template <class T>
void receive_array(T *items, int64_t count, int from) {
    receive_bytes(items, count * int64_t(sizeof(T)), from);
}

// The records' targets back to global indices, as the one-process store holds them
// (negative weights: the records are wide).
void globalize_targets(uint32_t records) {
#pragma omp parallel for schedule(static) if (int64_t(records) >= distributed_team_min_entries)
    for (uint32_t r = 0; r < records; ++r) local_records[r].target = global_of(local_records[r].target);
}

// The rows of every process in rank 0's graph state, the one-process solver there (it
// writes the warning), and the distances back to their owners.
void solve_gathered() {
    const int64_t n = num_nodes, k = num_processes;
    const int64_t records = local_rows[num_local_nodes];
    const int64_t total = sum_over_processes(records);
    // Rank 0 holds the whole graph beside its own block, and the solver's queue or keys.
    const bool alone = k == 1;
    const size_t solver = solver_bytes(n, total, omp_get_max_threads());
    const size_t need = process_rank != 0 ? 0
                        : alone ? solver
                                : size_t(n + 1) * sizeof(uint32_t) + size_t(total) * sizeof(edge_record) +
                                      size_t(n) * 5 + solver;
    agree_on_memory(need + (size_t(1) << 20));
    globalize_targets(uint32_t(records));
    if (process_rank != 0) {
        send_array(&records, 1, 0);
        send_array(local_rows, num_local_nodes, 0);
        send_array(local_records, records, 0);
        receive_array(local_distance, num_local_nodes, 0);
        receive_array(local_settled, num_local_nodes, 0);
        return;
    }
    if (alone) {
        adopt_store(local_rows, local_records, total, local_distance, local_settled);
    } else {
        allocate_rows(int32_t(n));
        allocate_pool(total, false);
        allocate_distances(int32_t(n));
        memcpy(nodes, local_rows, size_t(num_local_nodes) * sizeof(uint32_t));
        memcpy(edges, local_records, size_t(records) * sizeof(edge_record));
        int64_t base = records;
        for (int64_t p = 1; p < k; ++p) {
            const int64_t first = block_first(n, k, p), count = block_first(n, k, p + 1) - first;
            int64_t their_records = 0;
            receive_array(&their_records, 1, int(p));
            receive_array(nodes + first, count, int(p));
            receive_array(edges + base, their_records, int(p));
            for (int64_t u = first; u < first + count; ++u) nodes[u] += uint32_t(base);
            base += their_records;
        }
        nodes[n] = uint32_t(total);
    }
    edge_counter = total;
    negative_weights = true;
    compute_distances();
    if (!alone) {
        for (int64_t p = 1; p < k; ++p) {
            const int64_t first = block_first(n, k, p), count = block_first(n, k, p + 1) - first;
            send_array(min_distance + first, count, int(p));
            send_array(tree + first, count, int(p));
        }
        memcpy(local_distance, min_distance, size_t(num_local_nodes) * sizeof(int32_t));
        memcpy(local_settled, tree, size_t(num_local_nodes));
    }
    // Alone, the store's arrays are this process's own and stay with it.
    if (alone) {
        forget_store();
    } else {
        release_store();
    }
}

}  // namespace

double compute_distances_everywhere() {
    solve_bytes_sent = 0;
    solve_phases = 0;
    solve_settled = 0;
    MPI_Barrier(MPI_COMM_WORLD);
    const double t0 = get_time();
    if (any_negative_weight) {
        solve_gathered();
    } else if (!solve_with_buckets_everywhere() && process_rank == 0) {
        fputs(EARLY_END_WARNING, stderr);
    }
    return get_time() - t0;
}
