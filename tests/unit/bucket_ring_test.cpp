// The bucket ring against a model (an ordered multimap of live entries by bucket), over
// both bin storages the solvers use: entries at the last bucket the ring reaches and the
// first it does not, refills after the ring has wrapped, dead entries dropped, and the
// least bucket when only the overflow holds a live one.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <random>
#include <tuple>
#include <vector>

#include "bucket_ring.h"
#include "chunk_bins.h"
#include "entry_list.h"

namespace {

void lists_out_of_memory() { abort(); }

// A ring with its storage and its pool, for either bin kind.
template <class Bin, class Pool>
struct ring_under_test {
    std::vector<Bin> bins;
    std::vector<uint64_t> occupied;
    bucket_ring<Bin> ring;
    Pool pool;
};

struct chunk_kind {
    using bin_type = bin;
    using pool_type = chunk_pool;
    static chunk_pool open() { return open_pool(64); }
    static void drop(chunk_pool &pool, bin &b) { bin_filter(pool, b, [](entry) { return false; }); }
    static void close(ring_under_test<bin, chunk_pool> &t) { close_pool(t.pool); }
};

struct list_kind {
    using bin_type = entry_list;
    using pool_type = list_pool;
    static list_pool open() { return list_pool{lists_out_of_memory}; }
    static void drop(list_pool &, entry_list &b) { free_list(b); }
    static void close(ring_under_test<entry_list, list_pool> &t) {
        for (entry_list &b : t.bins) free_list(b);
        free_list(t.ring.overflow);
    }
};

template <class Kind>
class bucket_ring_test : public testing::Test {
  protected:
    using Bin = typename Kind::bin_type;
    using Pool = typename Kind::pool_type;

    void open(int64_t size, int shift) {
        t.bins.assign(size_t(size), Bin{});
        t.occupied.assign(size_t(size / 64), 0);
        t.pool = Kind::open();
        open_ring(t.ring, t.bins.data(), t.occupied.data(), size, shift);
        model.clear();
        distance.assign(NODES, -1);
    }
    void TearDown() override { Kind::close(t); }

    // Pushes (node, d) into ring and model; the node's earlier entries die.
    void push(int32_t node, int32_t d) {
        const int32_t old = distance[size_t(node)];
        if (old >= 0) {
            auto range = model.equal_range(bucket_of(old, t.ring.shift));
            for (auto it = range.first; it != range.second; ++it)
                if (it->second.node == node) {
                    model.erase(it);
                    break;
                }
        }
        distance[size_t(node)] = d;
        model.emplace(bucket_of(d, t.ring.shift), entry{node, d});
        ring_push(t.ring, t.pool, entry{node, d});
    }

    auto liveness() {
        return [this](entry e) { return distance[size_t(e.node)] == e.distance; };
    }

    std::vector<entry> contents(Bin &b) {
        std::vector<entry> out;
        bin_filter(t.pool, b, [&](entry e) {
            out.push_back(e);
            return true;
        });
        return out;
    }

    // Every entry where the ring's invariant puts it, the occupied bits exact, the
    // overflow's minimum its least bucket, and the live entries exactly the model's.
    testing::AssertionResult matches_model() {
        const bucket_ring<Bin> &r = t.ring;
        std::vector<std::tuple<int64_t, int32_t, int32_t>> live, want;
        for (int64_t slot = 0; slot < r.size; ++slot) {
            const std::vector<entry> in = contents(t.bins[size_t(slot)]);
            const bool bit = (r.occupied[slot >> 6] >> (slot & 63)) & 1;
            if (bit != !in.empty())
                return testing::AssertionFailure() << "slot " << slot << " occupied bit " << bit;
            for (entry e : in) {
                const int64_t b = bucket_of(e.distance, r.shift);
                if (b - r.base < 0 || b - r.base >= r.size || (b & r.mask) != slot)
                    return testing::AssertionFailure()
                           << "bucket " << b << " in slot " << slot << ", base " << r.base;
                if (liveness()(e)) live.emplace_back(b, e.node, e.distance);
            }
        }
        int64_t least = NO_BUCKET;
        for (entry e : contents(t.ring.overflow)) {
            const int64_t b = bucket_of(e.distance, r.shift);
            if (b - r.base < r.size)
                return testing::AssertionFailure() << "bucket " << b << " in the overflow, base " << r.base;
            least = std::min(least, b);
            if (liveness()(e)) live.emplace_back(b, e.node, e.distance);
        }
        if (least != NO_BUCKET && r.overflow_min != least)
            return testing::AssertionFailure() << "overflow minimum " << r.overflow_min << ", least " << least;
        for (const auto &m : model) want.emplace_back(m.first, m.second.node, m.second.distance);
        std::sort(live.begin(), live.end());
        std::sort(want.begin(), want.end());
        if (live != want)
            return testing::AssertionFailure() << live.size() << " live entries, model " << want.size();
        return testing::AssertionSuccess();
    }

    // Settles the least live bucket as the solvers do: finds it, moves the base there
    // (refilling from the overflow) and takes its bin. Nothing live may lie below it, and
    // the bin's live entries are the model's of that bucket. The bucket, or NO_BUCKET.
    int64_t settle_least() {
        const int64_t cur = least_live_bucket(t.ring, t.pool, t.ring.base, liveness());
        if (cur == NO_BUCKET) {
            EXPECT_TRUE(model.empty()) << "no bucket found, the model holds " << model.size();
            return NO_BUCKET;
        }
        EXPECT_TRUE(model.empty() || model.begin()->first >= cur)
            << "least bucket " << cur << ", a live entry in " << model.begin()->first;
        advance_ring(t.ring, t.pool, cur, liveness());
        Bin taken = ring_take(t.ring, cur, Bin{});
        std::vector<std::pair<int32_t, int32_t>> got, want;
        for (entry e : contents(taken)) {
            EXPECT_EQ(bucket_of(e.distance, t.ring.shift), cur);
            if (liveness()(e)) got.emplace_back(e.node, e.distance);
        }
        auto range = model.equal_range(cur);
        for (auto it = range.first; it != range.second; ++it) want.emplace_back(it->second.node, it->second.distance);
        std::sort(got.begin(), got.end());
        std::sort(want.begin(), want.end());
        EXPECT_EQ(got, want) << "bucket " << cur;
        for (const auto &g : got) distance[size_t(g.first)] = -2;  // settled
        model.erase(cur);
        Kind::drop(t.pool, taken);
        return cur;
    }

    static constexpr int32_t NODES = 4000;
    ring_under_test<Bin, Pool> t;
    std::multimap<int64_t, entry> model;
    std::vector<int32_t> distance;  // per node, the live entry's distance
};

using bin_kinds = testing::Types<chunk_kind, list_kind>;
TYPED_TEST_SUITE(bucket_ring_test, bin_kinds);

// Base 200 (slot 8 of 64): bucket 263 is the last the ring reaches and goes into the ring
// (slot 7, after the wrap), 264 the first it does not and waits in the overflow until
// the base moves past 200.
TYPED_TEST(bucket_ring_test, entries_at_the_ring_reach) {
    this->open(64, 0);
    advance_ring(this->t.ring, this->t.pool, 200, this->liveness());
    this->push(1, 263);
    this->push(2, 264);
    EXPECT_EQ(bin_size(this->t.bins[263 & 63]), 1);
    EXPECT_EQ(bin_size(this->t.ring.overflow), 1);
    EXPECT_EQ(this->t.ring.overflow_min, 264);
    ASSERT_TRUE(this->matches_model());
    EXPECT_EQ(least_bucket(this->t.ring, 200), 263);
    EXPECT_EQ(this->settle_least(), 263);
    EXPECT_EQ(least_bucket(this->t.ring, 263), 264);
    EXPECT_EQ(this->settle_least(), 264);
    EXPECT_EQ(bin_size(this->t.ring.overflow), 0);
    ASSERT_TRUE(this->matches_model());
    EXPECT_EQ(this->settle_least(), NO_BUCKET);
}

// Only dead entries in the ring and a live one in the overflow: the least live bucket
// is the overflow's, the dead bins are emptied on the way and the refill drops the
// overflow's dead entries.
TYPED_TEST(bucket_ring_test, least_live_bucket_past_dead_entries) {
    this->open(64, 2);
    this->push(1, 40);          // bucket 10, dies below
    this->push(2, 4 * 70);      // bucket 70, overflow, dies below
    this->push(3, 4 * 90 + 3);  // bucket 90, overflow, stays live
    this->push(1, 4 * 80);      // bucket 80: node 1's entry in bucket 10 is dead
    this->push(2, 4 * 85);      // bucket 85: node 2's entry in bucket 70 is dead
    ASSERT_TRUE(this->matches_model());
    EXPECT_EQ(least_bucket(this->t.ring, 0), 10);  // dead or alive
    EXPECT_EQ(least_live_bucket(this->t.ring, this->t.pool, 0, this->liveness()), 70);
    EXPECT_EQ(bin_size(this->t.bins[10]), 0);
    EXPECT_EQ(this->t.occupied[0], 0u);
    advance_ring(this->t.ring, this->t.pool, 70, this->liveness());
    EXPECT_EQ(bin_size(this->t.ring.overflow), 0);
    EXPECT_EQ(bin_size(this->t.bins[80 & 63]) + bin_size(this->t.bins[85 & 63]) + bin_size(this->t.bins[90 & 63]), 3);
    ASSERT_TRUE(this->matches_model());
    EXPECT_EQ(this->settle_least(), 80);
    EXPECT_EQ(this->settle_least(), 85);
    EXPECT_EQ(this->settle_least(), 90);
    EXPECT_EQ(this->settle_least(), NO_BUCKET);
}

// Random pushes at and around the ring's reach (the last bucket it holds, the first it
// does not, and up to three rings ahead), some lowering a node and killing its earlier entry, between
// settlements that move the base around the ring twenty times. Each seed compares the
// whole ring with the model after every step: the sanitizer builds take a tenth of them.
#ifdef NORVANE_TEST_SANITIZED
constexpr uint32_t RING_SEEDS = 5;
#else
constexpr uint32_t RING_SEEDS = 50;
#endif
TYPED_TEST(bucket_ring_test, random_pushes_and_settlements_match_model) {
    int refilled = 0, wrapped = 0;
    for (uint32_t seed = 1; seed <= RING_SEEDS; ++seed) {
        std::mt19937 rng(seed);
        auto pick = [&rng](int64_t lo, int64_t hi) { return std::uniform_int_distribution<int64_t>(lo, hi)(rng); };
        const int64_t size = pick(0, 1) ? 64 : 128;
        const int shift = int(pick(0, 3));
        this->open(size, shift);
        while (this->t.ring.base < 20 * size) {
            for (int64_t k = pick(1, 40); k > 0; --k) {
                const int32_t node = int32_t(pick(0, this->NODES - 1));
                if (this->distance[size_t(node)] == -2) continue;
                const int64_t base = this->t.ring.base;
                const int64_t ahead = pick(0, 3) == 0 ? size - 1 + pick(0, 1) : pick(0, 3 * size);
                const int32_t d = int32_t(((base + ahead) << shift) + pick(0, (int64_t(1) << shift) - 1));
                // Distances only fall, as relaxations lower them: a dead entry never revives.
                const int32_t old = this->distance[size_t(node)];
                if (old >= 0 && d >= old) continue;
                this->push(node, d);
            }
            ASSERT_TRUE(this->matches_model()) << "seed " << seed;
            const int64_t overflow = bin_size(this->t.ring.overflow);
            for (int64_t k = pick(1, 4); k > 0; --k) {
                if (this->settle_least() == NO_BUCKET) break;
                ASSERT_TRUE(this->matches_model()) << "seed " << seed << ", base " << this->t.ring.base;
            }
            refilled += bin_size(this->t.ring.overflow) < overflow;
            if (testing::Test::HasFailure()) return;
        }
        wrapped += this->t.ring.base / size >= 20;
        while (this->settle_least() != NO_BUCKET) {
        }
        ASSERT_TRUE(this->model.empty()) << "seed " << seed;
        this->TearDown();
    }
    EXPECT_GT(refilled, int(20 * RING_SEEDS));
    EXPECT_EQ(wrapped, int(RING_SEEDS));
}

}  // namespace
