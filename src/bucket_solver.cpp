// Bucket solver (delta-stepping): the least non-empty bucket of width delta is settled by
// relaxing its nodes' rows until it stays empty. O(m + n + D/delta) plus the few nodes a
// bucket relaxes twice; chosen for non-negative weights from a thousand nodes, and on a team
// because a bucket's rows can be relaxed at once. Invariant: an entry (node, distance) is
// live while min_distance[node] == distance, in its distance's bucket or the overflow bin.
#include "bucket_solver.h"

#include <omp.h>

#include <atomic>
#include <climits>
#include <new>

#include "last_run.h"
#include "settings.h"
#include "store.h"
#include "bucket_ring.h"
#include "bucket_width.h"
#include "chunk_bins.h"
#include "grow.h"
#include "memory.h"
#include "relax.h"
#include "rows.h"
#include "team_barrier.h"


namespace {

// One member's bins and its share of a round. The fields after claimed are read by the
// other members; they keep to cache lines of their own.
struct alignas(64) member {
    bucket_ring<bin> ring;
    chunk_pool pool;
    size_t shared_capacity;
    alignas(64) std::atomic<size_t> claimed;
    chunk **shared;  // this round's chunks of its buckets, claimed by anyone by slices
    size_t shared_count;
    int64_t next_bucket;   // its least non-empty bucket after a round
    int64_t settled_work;  // records of the entries it settled, over all rounds so far
};

struct bucket_run {
    int shift;  // delta = 1 << shift
    int64_t ring_size;
    // A claim of the team's shared work is a slice of a chunk: whole chunks for short
    // rows, single entries for rows of thousands, so that a bucket of a few long rows
    // still spreads over the team.
    int32_t slice_entries;
    int32_t slices_per_chunk;
    int64_t row_length;  // mean row length, rounded up
    int64_t span_low;
    int64_t span_high;
    // Slabs double up to an eighth of a chunk per node, so that the last one overshoots
    // what the bins need by little.
    size_t largest_slab;
    member *members;
    team_barrier barrier;
};

// An entry is live while its node's distance is still the entry's. A lambda, not a
// function: the ring's templates inline its calls.
template <bool team>
const auto live = [](entry e) { return read_distance<team>(e.node) == e.distance; };

// Takes the chunks of bucket b's ring bin, leaving it empty.
inline chunk *detach(member &m, int64_t b) { return ring_take(m.ring, b, bin{nullptr, 0}).head; }

// Settles entries with the shared settle: the whole graph's rows, lowered nodes into m's bins.
template <bool team, class Rows>
inline void settle_entries(const Rows &rows, member &m, const entry *entries, int32_t count) {
    settle_entries<team, true>(
        rows, entries, count, [&m](entry e) { ring_push(m.ring, m.pool, e); }, [](int32_t, int32_t) {});
}

// Settles a list of chunks and frees them to m.
template <bool team, class Rows>
void settle_list(const Rows &rows, member &m, chunk *list) {
    while (list != nullptr) {
        chunk *c = list;
        list = c->next;
        settle_entries<team>(rows, m, c->entries, c->count);
        free_chunk(m.pool, c);
    }
}

void open_member(member &m, const bucket_run &run) {
    bin *bins = static_cast<bin *>(allocate_array(size_t(run.ring_size), sizeof(bin)));
    uint64_t *occupied = static_cast<uint64_t *>(allocate_array(size_t(run.ring_size / 64), sizeof(uint64_t)));
    open_ring(m.ring, bins, occupied, run.ring_size, run.shift);
    m.pool = open_pool(run.largest_slab);
    m.shared = nullptr;
    m.shared_count = 0;
    m.shared_capacity = 0;
    m.claimed.store(0, std::memory_order_relaxed);
    m.next_bucket = NO_BUCKET;
    m.settled_work = 0;
}

void close_member(member &m) {
    release_array(m.ring.bins);
    release_array(m.ring.occupied);
    release_array(m.shared);
    close_pool(m.pool);
}

// Queues node 0's light direct edges, the starting values below 2^30.
template <class Rows>
void queue_start(const Rows &rows, member &m) {
    queue_start(rows, [&m](entry e) { ring_push(m.ring, m.pool, e); });
}

// Marks settled exactly the nodes below 2^30; clears complete unless that is every node.
// Inside a region each member marks its static share.
void mark_settled(std::atomic<bool> &complete) {
    const int32_t n = num_owned_nodes;
    bool all = true;
#pragma omp for schedule(static)
    for (int32_t i = 0; i < n; ++i) {
        const bool settled = min_distance[i] < INFINITE_DISTANCE;
        tree[i] = settled;
        all = all && settled;
    }
    if (!all) complete.store(false, std::memory_order_relaxed);
}

// Settles bucket after bucket from the ring's base on, alone: no other member touches
// the bins or the distances any more.
template <class Rows>
void settle_alone(const Rows &rows, member &m) {
    for (;;) {
        const int64_t cur = least_bucket(m.ring, m.ring.base);
        if (cur == NO_BUCKET) return;
        advance_ring(m.ring, m.pool, cur, live<false>);
        // Entries the bucket gains while it is settled are settled in turn.
        while (bin_size(m.ring.bins[cur & m.ring.mask]) > 0) settle_list<false>(rows, m, detach(m, cur));
    }
}

template <class Rows>
bool buckets_alone(const Rows &rows, bucket_run &run) {
    member &m = run.members[0];
    last_run.bucket_team = 1;
    start_from_node_zero();
    queue_start(rows, m);
    settle_alone(rows, m);
    std::atomic<bool> complete{true};
    mark_settled(complete);
    return complete.load();
}

// ------------------------------------------------------------------ the team's rounds
// Each round every member publishes its chunks of the buckets cur .. cur + span - 1; all
// claim slices of them (their own first) until none is left, and settle alone whatever
// small bins of those buckets they filled meanwhile (bucket fusion); then the team agrees
// on the next bucket. Barriers: one after publishing, one after settling. Once members
// have kept the others waiting too long (or after settings.bucket_team_rounds_max rounds), the
// first member takes every bin over and settles the rest alone while the others sleep.

// The team's next bucket, the least any member holds (NO_BUCKET when none holds any), and
// the records the team has settled so far: the same for every member between rounds.
int64_t next_team_bucket(const bucket_run &run, int team, int64_t &settled) {
    int64_t cur = NO_BUCKET;
    settled = 0;
    for (int k = 0; k < team; ++k) {
        cur = run.members[k].next_bucket < cur ? run.members[k].next_bucket : cur;
        settled += run.members[k].settled_work;
    }
    return cur;
}

// The span after a round of round_work records: wider after little work, narrower after much.
int64_t adapt_span(const bucket_run &run, int64_t span, int64_t round_work) {
    if (round_work < run.span_low && span < run.ring_size / 2) return span * 2;
    if (round_work > run.span_high && span > 1) return span / 2;
    return span;
}

// Publishes m's chunks of the buckets cur .. end - 1 for the team to claim, emptying them.
void publish_chunks(member &m, int64_t cur, int64_t end) {
    size_t chunks = 0;
    for (int64_t b = first_occupied(m.ring, cur, end); b != NO_BUCKET; b = first_occupied(m.ring, b + 1, end))
        chunks += size_t((bin_size(m.ring.bins[b & m.ring.mask]) + CHUNK_ENTRIES - 1) / CHUNK_ENTRIES);
    grow_array(m.shared, m.shared_capacity, chunks, 0);
    m.shared_count = 0;
    for (int64_t b = first_occupied(m.ring, cur, end); b != NO_BUCKET; b = first_occupied(m.ring, b + 1, end))
        for (chunk *c = detach(m, b); c != nullptr; c = c->next) m.shared[m.shared_count++] = c;
    m.claimed.store(0, std::memory_order_relaxed);
}

// Claims slices of every member's published chunks, member t's own first, and settles
// them, until no slice is left.
template <class Rows>
void claim_and_settle(const Rows &rows, member &m, const bucket_run &run, int t, int team) {
    const size_t per_chunk = size_t(run.slices_per_chunk);
    for (int k = 0; k < team; ++k) {
        member &owner = run.members[(t + k) % team];
        const size_t slices = owner.shared_count * per_chunk;
        for (;;) {
            const size_t claim = owner.claimed.fetch_add(1, std::memory_order_relaxed);
            if (claim >= slices) break;
            const chunk *c = owner.shared[claim / per_chunk];
            const int32_t from = int32_t(claim % per_chunk) * run.slice_entries;
            if (from >= c->count) continue;
            const int32_t count = c->count - from < run.slice_entries ? c->count - from : run.slice_entries;
            m.settled_work += count * run.row_length;
            settle_entries<true>(rows, m, c->entries + from, count);
        }
    }
}

// Settles alone the bins of cur .. end - 1 that m filled meanwhile while they stay small
// (bucket fusion): the team would spend more meeting over them than settling them.
template <class Rows>
void settle_small_bins(const Rows &rows, member &m, const bucket_run &run, int64_t cur, int64_t end) {
    for (int64_t b = first_occupied(m.ring, cur, end); b != NO_BUCKET; b = first_occupied(m.ring, b + 1, end)) {
        const bin &own = m.ring.bins[b & m.ring.mask];
        while (own.size > 0 && own.size < settings.bucket_fusion_max) {
            m.settled_work += own.size * run.row_length;
            settle_list<true>(rows, m, detach(m, b));
        }
    }
}

// One round from bucket cur over span buckets; m's least bucket after it in next_bucket.
template <class Rows>
void run_round(const Rows &rows, member &m, bucket_run &run, int t, int team, int64_t cur, int64_t span) {
    advance_ring(m.ring, m.pool, cur, live<true>);
    publish_chunks(m, cur, cur + span);
    barrier_wait(run.barrier, t);
    claim_and_settle(rows, m, run, t, team);
    settle_small_bins(rows, m, run, cur, cur + span);
    m.next_bucket = least_bucket(m.ring, cur);
    barrier_wait(run.barrier, t);
    // Every claim is done: the published chunks are free again.
    for (size_t k = 0; k < m.shared_count; ++k) free_chunk(m.pool, m.shared[k]);
}

// Member 0 takes every member's bins over and settles the rest alone; the others wait.
template <class Rows>
void hand_over(const Rows &rows, bucket_run &run, int t, int team) {
    if (t == 0) {
        member &m = run.members[0];
        last_run.team_handed_over = true;
        for (int k = 1; k < team; ++k) merge_ring(m.ring, run.members[k].ring);
        settle_alone(rows, m);
    }
    barrier_wait(run.barrier, t, 0);
}

// Member t's part of the team's rounds, after the start; the rounds the team went through.
template <class Rows>
int64_t settle_with_team(const Rows &rows, bucket_run &run, int t, int team) {
    member &m = run.members[t];
    // Every member derives the same span from the same totals.
    int64_t span = 1;
    int64_t settled_before = 0;
    for (int64_t rounds = 0;; ++rounds) {
        int64_t settled = 0;
        const int64_t cur = next_team_bucket(run, team, settled);
        if (cur == NO_BUCKET) return rounds;
        // The same for every member: set before the barrier all have passed.
        if (run.barrier.alone.load(std::memory_order_relaxed) || rounds == settings.bucket_team_rounds_max) {
            hand_over(rows, run, t, team);
            return rounds;
        }
        span = adapt_span(run, span, settled - settled_before);
        settled_before = settled;
        run_round(rows, m, run, t, team, cur, span);
    }
}

template <class Rows>
bool buckets_with_team(const Rows &rows, bucket_run &run, int threads) {
    std::atomic<bool> complete{true};
#pragma omp parallel num_threads(threads)
    {
        const int t = omp_get_thread_num();
        const int team = omp_get_num_threads();
#pragma omp single
        {
            run.barrier.members = team;
            last_run.bucket_team = team;
        }
        start_from_node_zero();
        member &m = run.members[t];
        if (t == 0) {
            last_run.team_handed_over = false;
            queue_start(rows, m);
        }
        m.next_bucket = least_bucket(m.ring, 0);
        barrier_wait(run.barrier, t);
        const int64_t rounds = settle_with_team(rows, run, t, team);
        if (t == 0) last_run.team_rounds = rounds;
        mark_settled(complete);
    }
    return complete.load();
}

int64_t mean_row_length() { return num_owned_nodes > 0 ? edge_counter / num_owned_nodes : 0; }

// The width (delta, or the rule's from a sample), the ring, the slabs, the claims and the
// span thresholds of a run on threads.
void size_run(bucket_run &run, int threads, int32_t delta) {
    const row_sample sample = sample_rows();
    run.shift = floor_log2(delta > 0 ? delta : bucket_width_for(sample, edge_counter, num_owned_nodes));
    // The ring reaches from a bucket to every bucket its rows can queue into; weights the
    // sample missed only send a few entries to the overflow bin.
    run.ring_size = ring_size_for((sample.heaviest >> run.shift) + 2, settings.bucket_ring_max);
    run.row_length = mean_row_length() + 1;
    run.largest_slab = 64;
    while (run.largest_slab * CHUNK_ENTRIES * 8 < size_t(num_owned_nodes)) run.largest_slab *= 2;
    const int64_t slice = settings.bucket_claim_records / run.row_length;
    run.slice_entries = int32_t(slice < 1 ? 1 : slice > CHUNK_ENTRIES ? CHUNK_ENTRIES : slice);
    run.slices_per_chunk = (CHUNK_ENTRIES + run.slice_entries - 1) / run.slice_entries;
    // A round of fewer records than this per member costs more in its two barriers (a
    // few microseconds) than it relaxes in parallel; eight times more and the span shrinks.
    run.span_low = 4096 * int64_t(threads);
    run.span_high = 8 * run.span_low;
}

}  // namespace

int32_t choose_delta() { return bucket_width_for(sample_rows(), edge_counter, num_owned_nodes); }

size_t bucket_solver_bytes(int threads) {
    const size_t ring = size_t(settings.bucket_ring_max) * (sizeof(bin) + 1);
    return size_t(threads) * (sizeof(member) + ring + first_slab_bytes()) + 64;
}

bool solve_with_buckets(int threads, int32_t delta) {
    bucket_run run;
    size_run(run, threads, delta);
    open_barrier(run.barrier, threads, settings.bucket_late_ns, settings.bucket_late_budget_ns);
    char *block = static_cast<char *>(allocate_array(size_t(threads) * sizeof(member) + 64, 1));
    member *members =
        reinterpret_cast<member *>((reinterpret_cast<uintptr_t>(block) + 63) & ~uintptr_t(63));
    for (int k = 0; k < threads; ++k) {
        new (&members[k]) member;
        open_member(members[k], run);
    }
    run.members = members;
    const bool complete = with_rows([&run, threads](const auto &rows) {
        return threads > 1 ? buckets_with_team(rows, run, threads) : buckets_alone(rows, run);
    });
    for (int k = 0; k < threads; ++k) {
        close_member(members[k]);
        members[k].~member();
    }
    release_array(block);
    close_barrier(run.barrier);
    return complete;
}
