// Bucket solver (delta-stepping): the least non-empty bucket of width delta is settled by
// relaxing its nodes' rows until it stays empty. O(m + n + D/delta) plus the few nodes a
// bucket relaxes twice; chosen for non-negative weights from a thousand nodes, and on a team
// because a bucket's rows can be relaxed at once. Invariant: an entry (node, distance) is
// live while min_distance[node] == distance, in its distance's bucket or the overflow bin.
#include "bucket_solver.h"

#include <linux/futex.h>
#include <omp.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstring>
#include <ctime>
#include <new>

#include "graph.h"
#include "grow.h"
#include "memory.h"
#include "relax.h"
#include "rows.h"

int64_t bucket_fusion_max = 1024;
int64_t bucket_claim_records = 2048;
int32_t bucket_ring_max = 1 << 13;
int bucket_last_team = 0;
int64_t bucket_team_rounds_max = INT64_MAX;
int64_t bucket_team_rounds_last = 0;
bool bucket_team_handed_over = false;
// A round's members arrive within microseconds of each other; one that arrives a
// millisecond late was off its core (a competitor, a quota). A few such waits and the
// team costs more than it gains: what is left is settled on one thread.
int64_t bucket_late_ns = 1000000;
int64_t bucket_late_budget_ns = 2000000;

namespace {

struct entry {
    int32_t node;
    int32_t distance;
};

// Entries are queued in chunks of 1 KiB: a bin is a list of chunks, and a bucket's work
// is shared among the team in slices of chunks.
constexpr int32_t CHUNK_ENTRIES = 126;
struct chunk {
    chunk *next;
    int32_t count;
    int32_t unused;
    entry entries[CHUNK_ENTRIES];
};

// Chunks are carved from slabs of the member that fills them and always return to its
// free list (a published chunk once the round is over); every slab goes at the end.
struct slab {
    slab *next;
};
constexpr size_t SLAB_HEADER = 64;
constexpr size_t FIRST_SLAB_CHUNKS = 64;

struct bin {
    chunk *head;  // the chunk being filled, then older ones
    int64_t size;
};

constexpr int64_t NO_BUCKET = INT64_MAX;

// One member's bins and its share of a round. Buckets cur .. cur + ring_size - 1 live in
// ring[bucket & ring_mask]; occupied has a bit per non-empty ring bin. The fields after
// claimed are read by the other members; they keep to cache lines of their own.
struct alignas(64) member {
    bin *ring;
    uint64_t *occupied;
    bin overflow;
    int64_t overflow_min;  // no bucket in overflow is below it
    chunk *free_chunks;
    slab *slabs;
    size_t next_slab_chunks;
    size_t shared_capacity;
    alignas(64) std::atomic<size_t> claimed;
    chunk **shared;  // this round's chunks of its buckets, claimed by anyone by slices
    size_t shared_count;
    int64_t next_bucket;   // its least non-empty bucket after a round
    int64_t settled_work;  // records of the entries it settled, over all rounds so far
};

// The team's barrier between rounds: spins for a while, then sleeps on a futex, whatever
// OMP_WAIT_POLICY says (the runtime's own barriers spin for milliseconds by default, or
// sleep at once when told to be passive, which costs a wake-up per round).
// It also measures how long the last member kept the first waiting, and says when those
// waits have cost enough that the rest should run alone.
struct team_barrier {
    alignas(64) std::atomic<int32_t> arrived;
    std::atomic<int32_t> sleepers;
    std::atomic<int64_t> *arrival_ns;  // per member, its latest arrival
    alignas(64) std::atomic<uint32_t> generation;
    std::atomic<bool> alone;  // set by the last to arrive, read by all once it has passed
    int32_t members;
    int64_t spin_ns;
    int64_t late_ns;  // waits of the last member's lateness beyond bucket_late_ns, summed
};

inline void cpu_relax() { __builtin_ia32_pause(); }

inline int64_t now_ns() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
}

void barrier_wait(team_barrier &b, int t, int64_t spin_ns) {
    const uint32_t gen = b.generation.load(std::memory_order_acquire);
    const int64_t arrival = now_ns();
    b.arrival_ns[t].store(arrival, std::memory_order_relaxed);
    if (b.arrived.fetch_add(1, std::memory_order_acq_rel) + 1 == b.members) {
        b.arrived.store(0, std::memory_order_relaxed);
        // Every stamp was written before its member's count, which this one has seen.
        int64_t first = arrival;
        for (int32_t k = 0; k < b.members; ++k) {
            const int64_t at = b.arrival_ns[k].load(std::memory_order_relaxed);
            first = at < first ? at : first;
        }
        if (arrival - first > bucket_late_ns) b.late_ns += arrival - first;
        if (b.late_ns > bucket_late_budget_ns) b.alone.store(true, std::memory_order_relaxed);
        b.generation.store(gen + 1, std::memory_order_seq_cst);
        if (b.sleepers.load(std::memory_order_seq_cst) > 0)
            syscall(SYS_futex, &b.generation, FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
        return;
    }
    if (spin_ns > 0) {
        // Pauses for the first twentieth, then yields: another runnable thread on this
        // processor gets it at once, and an idle one costs a system call per check.
        const int64_t start = now_ns();
        for (int32_t k = 1;; ++k) {
            if (b.generation.load(std::memory_order_acquire) != gen) return;
            if (k % 64 != 0) {
                cpu_relax();
                continue;
            }
            const int64_t waited = now_ns() - start;
            if (waited > spin_ns) break;
            if (waited > spin_ns / 20) sched_yield();
        }
    }
    b.sleepers.fetch_add(1, std::memory_order_seq_cst);
    while (b.generation.load(std::memory_order_seq_cst) == gen)
        syscall(SYS_futex, &b.generation, FUTEX_WAIT_PRIVATE, gen, nullptr, nullptr, 0);
    b.sleepers.fetch_sub(1, std::memory_order_relaxed);
}

void barrier_wait(team_barrier &b, int t) { barrier_wait(b, t, b.spin_ns); }

// A millisecond of waiting awake: longer than a member's usual lead at a round's end, so
// that members rarely sleep (waking a sleeper took from 20 microseconds to several
// milliseconds on this virtual machine, whose idle processors halt), and a fraction of a
// time slice. None when the team outnumbers the processors: the awaited member may need
// this member's processor.
int64_t barrier_spin_ns(int threads) {
    const long cpus = sysconf(_SC_NPROCESSORS_ONLN);
    return cpus > 0 && threads > cpus ? 0 : 1000000;
}

struct bucket_run {
    int shift;  // delta = 1 << shift
    int64_t ring_size;
    int64_t ring_mask;
    // A claim of the team's shared work is a slice of a chunk: whole chunks for short
    // rows, single entries for rows of thousands, so that a bucket of a few long rows
    // still spreads over the team.
    int32_t slice_entries;
    int32_t slices_per_chunk;
    int64_t row_length;  // mean row length, rounded up
    int64_t span_low;
    int64_t span_high;
    size_t ring_words;
    // Slabs double up to an eighth of a chunk per node, so that the last one overshoots
    // what the bins need by little.
    size_t largest_slab;
    member *members;
    team_barrier barrier;
};

chunk *take_chunk(member &m, const bucket_run &run) {
    if (m.free_chunks == nullptr) {
        const size_t count = m.next_slab_chunks;
        if (m.next_slab_chunks < run.largest_slab) m.next_slab_chunks *= 2;
        char *bytes = static_cast<char *>(allocate_array(1, SLAB_HEADER + count * sizeof(chunk)));
        slab *s = reinterpret_cast<slab *>(bytes);
        s->next = m.slabs;
        m.slabs = s;
        chunk *chunks = reinterpret_cast<chunk *>(bytes + SLAB_HEADER);
        for (size_t k = 0; k < count; ++k)
            chunks[k].next = k + 1 < count ? chunks + k + 1 : nullptr;
        m.free_chunks = chunks;
    }
    chunk *c = m.free_chunks;
    m.free_chunks = c->next;
    return c;
}

inline void free_chunk(member &m, chunk *c) {
    c->next = m.free_chunks;
    m.free_chunks = c;
}

inline void add_entry(member &m, const bucket_run &run, bin &b, entry e) {
    chunk *c = b.head;
    if (c == nullptr || c->count == CHUNK_ENTRIES) {
        chunk *fresh = take_chunk(m, run);
        fresh->next = c;
        fresh->count = 0;
        b.head = c = fresh;
    }
    c->entries[c->count++] = e;
    ++b.size;
}

// Queues (node, distance) in its bucket, which is never below cur.
inline void push(member &m, const bucket_run &run, int64_t cur, int32_t node, int32_t distance) {
    const int64_t b = int64_t(distance) >> run.shift;
    if (b - cur < run.ring_size) {
        const int64_t slot = b & run.ring_mask;
        if (m.ring[slot].size == 0) m.occupied[slot >> 6] |= uint64_t(1) << (slot & 63);
        add_entry(m, run, m.ring[slot], entry{node, distance});
    } else {
        if (b < m.overflow_min) m.overflow_min = b;
        add_entry(m, run, m.overflow, entry{node, distance});
    }
}

// Takes the chunks of bucket cur's ring bin, leaving it empty.
inline chunk *detach(member &m, const bucket_run &run, int64_t cur) {
    const int64_t slot = cur & run.ring_mask;
    chunk *list = m.ring[slot].head;
    m.ring[slot].head = nullptr;
    m.ring[slot].size = 0;
    m.occupied[slot >> 6] &= ~(uint64_t(1) << (slot & 63));
    return list;
}

inline int32_t read_distance(int32_t node, bool team) {
    return team ? __atomic_load_n(&min_distance[node], __ATOMIC_RELAXED) : min_distance[node];
}

// The least bucket in from .. end - 1 whose ring bin holds an entry, NO_BUCKET if none;
// the range lies within the ring's reach.
int64_t first_occupied(const member &m, const bucket_run &run, int64_t from, int64_t end) {
    for (int64_t b = from; b < end;) {
        const int64_t slot = b & run.ring_mask;
        const uint64_t bits = m.occupied[slot >> 6] >> (slot & 63);
        if (bits != 0) {
            const int64_t found = b + __builtin_ctzll(bits);
            return found < end ? found : NO_BUCKET;
        }
        b += 64 - (slot & 63);
    }
    return NO_BUCKET;
}

// The member's least bucket from cur on holding an entry, NO_BUCKET when it holds none.
int64_t least_bucket(const member &m, const bucket_run &run, int64_t cur) {
    const int64_t least = m.overflow.size > 0 ? m.overflow_min : NO_BUCKET;
    const int64_t ring = first_occupied(m, run, cur, cur + run.ring_size);
    return ring < least ? ring : least;
}

// Moves the overflow entries that the ring now reaches into it, dropping dead ones.
void refill_from_overflow(member &m, const bucket_run &run, int64_t cur, bool team) {
    if (m.overflow.size == 0 || m.overflow_min - cur >= run.ring_size) return;
    chunk *list = m.overflow.head;
    m.overflow.head = nullptr;
    m.overflow.size = 0;
    m.overflow_min = NO_BUCKET;
    while (list != nullptr) {
        chunk *c = list;
        list = c->next;
        for (int32_t k = 0; k < c->count; ++k) {
            const entry e = c->entries[k];
            if (read_distance(e.node, team) == e.distance) push(m, run, cur, e.node, e.distance);
        }
        free_chunk(m, c);
    }
}

// Relaxes the rows of the live entries. Rows are fetched a few entries ahead: an entry's
// node is a random one, and its row and distance are the misses that dominate.
template <bool team, class Rows>
void settle_entries(const Rows &rows, member &m, const bucket_run &run, int64_t cur,
                    const entry *entries, int32_t count) {
    constexpr int32_t AHEAD_OFFSETS = 16;
    constexpr int32_t AHEAD_ROWS = 8;
    for (int32_t k = 0; k < count; ++k) {
        if (k + AHEAD_OFFSETS < count) {
            const int32_t ahead = entries[k + AHEAD_OFFSETS].node;
            __builtin_prefetch(&rows.offsets[ahead]);
            __builtin_prefetch(&min_distance[ahead]);
        }
        if (k + AHEAD_ROWS < count) {
            const int32_t ahead = entries[k + AHEAD_ROWS].node;
            __builtin_prefetch(rows.address(rows.offsets[ahead]));
            __builtin_prefetch(static_cast<const char *>(rows.address(rows.offsets[ahead + 1])) -
                               1);
        }
        const int32_t u = entries[k].node;
        const int32_t base = entries[k].distance;
        if (read_distance(u, team) != base) continue;
        relax_row(rows, u, base, [&](int32_t t, int64_t offer) {
            // Both terms are below 2^30: the sum fits, and sums of 2^30 or more are kept
            // (the least value offered to a node never settled) but never queued.
            const int32_t sum = int32_t(offer);
            if (team) {
                int32_t seen = __atomic_load_n(&min_distance[t], __ATOMIC_RELAXED);
                do {
                    if (sum >= seen) return;
                } while (!__atomic_compare_exchange_n(&min_distance[t], &seen, sum, true,
                                                      __ATOMIC_RELAXED, __ATOMIC_RELAXED));
            } else {
                if (sum >= min_distance[t]) return;
                min_distance[t] = sum;
            }
            if (sum < INFINITE_DISTANCE) push(m, run, cur, t, sum);
        });
    }
}

// Settles a list of chunks and frees them to m.
template <bool team, class Rows>
void settle_list(const Rows &rows, member &m, const bucket_run &run, int64_t cur, chunk *list) {
    while (list != nullptr) {
        chunk *c = list;
        list = c->next;
        settle_entries<team>(rows, m, run, cur, c->entries, c->count);
        free_chunk(m, c);
    }
}

void open_member(member &m, const bucket_run &run) {
    m.ring = static_cast<bin *>(allocate_array(size_t(run.ring_size), sizeof(bin)));
    m.occupied = static_cast<uint64_t *>(allocate_array(run.ring_words, sizeof(uint64_t)));
    memset(m.ring, 0, size_t(run.ring_size) * sizeof(bin));
    memset(m.occupied, 0, run.ring_words * sizeof(uint64_t));
    m.overflow = bin{nullptr, 0};
    m.overflow_min = NO_BUCKET;
    m.free_chunks = nullptr;
    m.slabs = nullptr;
    m.next_slab_chunks = FIRST_SLAB_CHUNKS;
    m.shared = nullptr;
    m.shared_count = 0;
    m.shared_capacity = 0;
    m.claimed.store(0, std::memory_order_relaxed);
    m.next_bucket = NO_BUCKET;
    m.settled_work = 0;
}

void close_member(member &m) {
    release_array(m.ring);
    release_array(m.occupied);
    release_array(m.shared);
    for (slab *s = m.slabs; s != nullptr;) {
        slab *next = s->next;
        release_array(s);
        s = next;
    }
}

// Queues node 0's light direct edges, the starting values below 2^30.
template <class Rows>
void queue_start(const Rows &rows, member &m, const bucket_run &run) {
    for (uint32_t k = rows.offsets[0]; k < rows.offsets[1]; ++k) {
        const int32_t t = rows.target(k, 0);
        if (min_distance[t] < INFINITE_DISTANCE) push(m, run, 0, t, min_distance[t]);
    }
}

// Marks settled exactly the nodes below 2^30; clears complete unless that is every node.
// Inside a region each member marks its static share.
void mark_settled(std::atomic<bool> &complete) {
    const int32_t n = num_nodes;
    bool all = true;
#pragma omp for schedule(static)
    for (int32_t i = 0; i < n; ++i) {
        const bool settled = min_distance[i] < INFINITE_DISTANCE;
        tree[i] = settled;
        all = all && settled;
    }
    if (!all) complete.store(false, std::memory_order_relaxed);
}

// Settles bucket after bucket from cur on, alone: no other member touches the bins or
// the distances any more.
template <class Rows>
void settle_alone(const Rows &rows, member &m, bucket_run &run, int64_t cur) {
    for (;;) {
        cur = least_bucket(m, run, cur);
        if (cur == NO_BUCKET) return;
        refill_from_overflow(m, run, cur, false);
        // Entries the bucket gains while it is settled are settled in turn.
        while (m.ring[cur & run.ring_mask].size > 0)
            settle_list<false>(rows, m, run, cur, detach(m, run, cur));
    }
}

template <class Rows>
bool buckets_alone(const Rows &rows, bucket_run &run) {
    member &m = run.members[0];
    bucket_last_team = 1;
    start_from_node_zero();
    queue_start(rows, m, run);
    settle_alone(rows, m, run, 0);
    std::atomic<bool> complete{true};
    mark_settled(complete);
    return complete.load();
}

// Puts bin from on the front of bin to.
inline void splice_bin(bin &to, bin &from) {
    if (from.head == nullptr) return;
    chunk *last = from.head;
    while (last->next != nullptr) last = last->next;
    last->next = to.head;
    to.head = from.head;
    to.size += from.size;
    from = bin{nullptr, 0};
}

// Moves every entry other holds into m's bins; between rounds both rings hold the same
// buckets in the same slots.
void take_over(member &m, member &other, const bucket_run &run) {
    for (size_t word = 0; word < run.ring_words; ++word) {
        for (uint64_t bits = other.occupied[word]; bits != 0; bits &= bits - 1) {
            const size_t slot = word * 64 + size_t(__builtin_ctzll(bits));
            splice_bin(m.ring[slot], other.ring[slot]);
        }
        m.occupied[word] |= other.occupied[word];
        other.occupied[word] = 0;
    }
    if (other.overflow.size > 0) {
        m.overflow_min = other.overflow_min < m.overflow_min ? other.overflow_min : m.overflow_min;
        splice_bin(m.overflow, other.overflow);
    }
}

// Each round every member publishes its chunks of the buckets cur .. cur + span - 1; all
// claim slices of them (their own first) until none is left, and settle alone whatever
// small bins of those buckets they filled meanwhile (bucket fusion); then the team agrees
// on the next bucket. Barriers: one after publishing, one after settling. Once members
// have kept the others waiting too long (or after bucket_team_rounds_max rounds), the
// first member takes every bin over and settles the rest alone while the others sleep.
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
            bucket_last_team = team;
        }
        start_from_node_zero();
        member &m = run.members[t];
        if (t == 0) {
            bucket_team_handed_over = false;
            queue_start(rows, m, run);
        }
        m.next_bucket = least_bucket(m, run, 0);
        barrier_wait(run.barrier, t);
        // Every member derives the same span from the same totals.
        int64_t span = 1;
        int64_t settled_before = 0;
        int64_t rounds = 0;
        for (;; ++rounds) {
            int64_t cur = NO_BUCKET;
            int64_t settled = 0;
            for (int k = 0; k < team; ++k) {
                cur = run.members[k].next_bucket < cur ? run.members[k].next_bucket : cur;
                settled += run.members[k].settled_work;
            }
            if (cur == NO_BUCKET) break;
            // The same for every member: set before the barrier all have passed.
            if (run.barrier.alone.load(std::memory_order_relaxed) || rounds == bucket_team_rounds_max) {
                if (t == 0) {
                    bucket_team_handed_over = true;
                    for (int k = 1; k < team; ++k) take_over(m, run.members[k], run);
                    settle_alone(rows, m, run, cur);
                }
                barrier_wait(run.barrier, t, 0);
                break;
            }
            const int64_t round_work = settled - settled_before;
            settled_before = settled;
            if (round_work < run.span_low && span < run.ring_size / 2) span *= 2;
            else if (round_work > run.span_high && span > 1) span /= 2;
            refill_from_overflow(m, run, cur, true);
            const int64_t end = cur + span;
            size_t chunks = 0;
            for (int64_t b = first_occupied(m, run, cur, end); b != NO_BUCKET;
                 b = first_occupied(m, run, b + 1, end))
                chunks +=
                    size_t((m.ring[b & run.ring_mask].size + CHUNK_ENTRIES - 1) / CHUNK_ENTRIES);
            grow_array(m.shared, m.shared_capacity, chunks, 0);
            m.shared_count = 0;
            for (int64_t b = first_occupied(m, run, cur, end); b != NO_BUCKET;
                 b = first_occupied(m, run, b + 1, end))
                for (chunk *c = detach(m, run, b); c != nullptr; c = c->next)
                    m.shared[m.shared_count++] = c;
            m.claimed.store(0, std::memory_order_relaxed);
            barrier_wait(run.barrier, t);
            for (int k = 0; k < team; ++k) {
                member &owner = run.members[(t + k) % team];
                const size_t slices = owner.shared_count * size_t(run.slices_per_chunk);
                for (;;) {
                    const size_t claim = owner.claimed.fetch_add(1, std::memory_order_relaxed);
                    if (claim >= slices) break;
                    const chunk *c = owner.shared[claim / size_t(run.slices_per_chunk)];
                    const int32_t from =
                        int32_t(claim % size_t(run.slices_per_chunk)) * run.slice_entries;
                    if (from >= c->count) continue;
                    const int32_t count =
                        c->count - from < run.slice_entries ? c->count - from : run.slice_entries;
                    m.settled_work += count * run.row_length;
                    settle_entries<true>(rows, m, run, cur, c->entries + from, count);
                }
            }
            for (int64_t b = first_occupied(m, run, cur, end); b != NO_BUCKET;
                 b = first_occupied(m, run, b + 1, end)) {
                bin &own = m.ring[b & run.ring_mask];
                while (own.size > 0 && own.size < bucket_fusion_max) {
                    m.settled_work += own.size * run.row_length;
                    settle_list<true>(rows, m, run, cur, detach(m, run, b));
                }
            }
            m.next_bucket = least_bucket(m, run, cur);
            barrier_wait(run.barrier, t);
            // Every claim is done: the published chunks are free again.
            for (size_t k = 0; k < m.shared_count; ++k) free_chunk(m, m.shared[k]);
        }
        if (t == 0) bucket_team_rounds_last = rounds;
        mark_settled(complete);
    }
    return complete.load();
}

// Weights of 64 runs of 64 records spread over the pool (runs, so that the sample costs
// a few dozen cache misses): their mean and maximum below 2^30.
struct weight_sample {
    int64_t mean;
    int64_t max;
};

template <class Rows>
weight_sample sample_weights(const Rows &rows) {
    constexpr int64_t RUNS = 64, RUN = 64;
    const int64_t records = rows.offsets[num_nodes];
    const int64_t gap = records > RUNS * RUN ? records / RUNS : RUN;
    int64_t sum = 0, count = 0, max = 0;
    for (int64_t start = 0; start < records; start += gap) {
        for (int64_t k = start; k < start + RUN && k < records; ++k) {
            const int64_t w = rows.weight(uint32_t(k));
            if (w >= INFINITE_DISTANCE) continue;
            sum += w;
            ++count;
            max = w > max ? w : max;
        }
    }
    return weight_sample{count > 0 ? sum / count : 1, max};
}

int floor_log2(int64_t v) { return v <= 1 ? 0 : 63 - __builtin_clzll(uint64_t(v)); }

int64_t mean_row_length() { return num_nodes > 0 ? edge_counter / num_nodes : 0; }

// Half the mean weight over the mean row length, to the nearest power of two: a bucket
// then holds about the nodes that one settled node's row reaches, so few nodes are
// relaxed twice; on the bench graphs every width within a factor two of it measured
// within 10 % of the best, on one thread and on two (where the span merges thin buckets).
// Never 1: buckets of one distance each make the team meet for every distance.
int32_t width_for(const weight_sample &w) { return bucket_width_for(w.mean, mean_row_length()); }

}  // namespace

int32_t bucket_width_for(int64_t mean_weight, int64_t row_length) {
    const int64_t width = row_length > 0 ? mean_weight / (2 * row_length) : mean_weight;
    // The nearest power of two: up when width is at least 1.5 times the one below.
    const int shift = floor_log2(width > 0 ? width : 1);
    const int nearest = width >= (int64_t(3) << shift) / 2 ? shift + 1 : shift;
    return int32_t(1) << (nearest > 1 ? nearest : 1);
}

int32_t choose_delta() {
    return width_for(with_rows([](const auto &rows) { return sample_weights(rows); }));
}

size_t bucket_solver_bytes(int threads) {
    const size_t ring = size_t(bucket_ring_max) * (sizeof(bin) + 1);
    const size_t slab = SLAB_HEADER + FIRST_SLAB_CHUNKS * sizeof(chunk);
    return size_t(threads) * (sizeof(member) + ring + slab) + 64;
}

bool solve_with_buckets(int threads, int32_t delta) {
    const weight_sample w = with_rows([](const auto &rows) { return sample_weights(rows); });
    bucket_run run;
    run.shift = floor_log2(delta > 0 ? delta : width_for(w));
    // The ring reaches from a bucket to every bucket its rows can queue into; weights the
    // sample missed only send a few entries to the overflow bin.
    const int64_t reach = (w.max >> run.shift) + 2;
    int64_t ring = 64;
    while (ring < reach && ring < bucket_ring_max) ring *= 2;
    run.ring_size = ring;
    run.ring_mask = ring - 1;
    run.ring_words = size_t(ring / 64);
    run.row_length = mean_row_length() + 1;
    run.largest_slab = FIRST_SLAB_CHUNKS;
    while (run.largest_slab * CHUNK_ENTRIES * 8 < size_t(num_nodes)) run.largest_slab *= 2;
    const int64_t slice = bucket_claim_records / run.row_length;
    run.slice_entries = int32_t(slice < 1 ? 1 : slice > CHUNK_ENTRIES ? CHUNK_ENTRIES : slice);
    run.slices_per_chunk = (CHUNK_ENTRIES + run.slice_entries - 1) / run.slice_entries;
    // A round of fewer records than this per member costs more in its two barriers (a
    // few microseconds) than it relaxes in parallel; eight times more and the span shrinks.
    run.span_low = 4096 * int64_t(threads);
    run.span_high = 8 * run.span_low;
    run.barrier.arrived.store(0);
    run.barrier.sleepers.store(0);
    run.barrier.generation.store(0);
    run.barrier.members = threads;
    run.barrier.spin_ns = barrier_spin_ns(threads);
    run.barrier.alone.store(false);
    run.barrier.late_ns = 0;

    std::atomic<int64_t> *arrivals = static_cast<std::atomic<int64_t> *>(
        allocate_array(size_t(threads), sizeof(std::atomic<int64_t>)));
    for (int k = 0; k < threads; ++k) new (&arrivals[k]) std::atomic<int64_t>(0);
    run.barrier.arrival_ns = arrivals;
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
    release_array(arrivals);
    return complete;
}
