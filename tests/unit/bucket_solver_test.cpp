// The bucket solver against the faithful model: thousands of random non-negative graphs
// at 1, 2, 3 and 8 threads, with bucket widths from 1 up, rings small enough to overflow,
// fusion on and off, weights that tie, weigh zero or straddle 2^30, several components,
// both store layouts and shuffled rows; and the one-thread order that negative weights keep.
#include "bucket_solver.h"

#include <algorithm>

#include "faithful_model.h"
#include "last_run.h"
#include "settings.h"
#include "test_support.h"

namespace {

class bucket_solver_test : public tunables_restored {};

// Ties and zeros; weights of a bench graph; and weights around the settle bound: near
// 2^29 (two hops straddle 2^30), just below 2^30, and heavy ones that only node 0's
// direct edges can use. Only the first two can be packed.
int32_t bucket_weight(std::mt19937 &rng, int kind) {
    if (kind == 0) return pick(rng, 0, 2);
    if (kind == 1) return pick(rng, 0, 19) == 0 ? 0 : pick(rng, 1, 1000);
    switch (pick(rng, 0, 10)) {
    case 0: return (1 << 29) + pick(rng, -2, 2);
    case 1: return pick(rng, 0, 1 << 29);
    case 2: return infinite - 1 - pick(rng, 0, 1);
    case 3: return infinite + pick(rng, 0, 1);
    case 4: return pick(rng, infinite, INT32_MAX);
    case 5: return 0;
    default: return pick(rng, 1, 1000);
    }
}

// Distances, completeness and settled flags against the model; with non-negative
// weights a node is settled exactly when its distance is below 2^30.
testing::AssertionResult same_as_model(bool complete, const model_run &want) {
    for (int32_t i = 0; i < num_nodes; ++i) {
        if (min_distance[i] != want.min_distance[size_t(i)])
            return testing::AssertionFailure() << "node " << i << " got " << min_distance[i]
                                               << ", model " << want.min_distance[size_t(i)];
        if (tree[i] != (want.min_distance[size_t(i)] < infinite))
            return testing::AssertionFailure() << "node " << i << " settled flag " << int(tree[i]);
    }
    if (complete == want.warned)
        return testing::AssertionFailure()
               << (complete ? "settled every node, the model warned"
                            : "left nodes unsettled, the model did not");
    return testing::AssertionSuccess();
}

// Widths from exact order (1) to one bucket for everything (2^29); 0 is the solver's own.
const int32_t widths[] = {1, 2, 4, 64, 1024, 0, 1 << 29};

TEST_F(bucket_solver_test, small_graphs_match_model_at_every_team_size) {
    int warned = 0, packed = 0, overflowed = 0;
    for (uint32_t seed = 1; seed <= 2500; ++seed) {
        std::mt19937 rng(seed);
        const int kind = int(seed % 3);
        const random_graph g = make_random_graph(rng, 60, [&] { return bucket_weight(rng, kind); });
        const std::string text = plain_text(g);
        const model_run want = run_model(text);
        ASSERT_TRUE(want.ok) << "seed " << seed;
        load_graph(text);
        packed += reshape_loaded_store(rng, pick(rng, 0, 1));
        warned += want.warned;
        for (int threads : {1, 2, 3, 8}) {
            const int32_t delta = widths[pick(rng, 0, int(std::size(widths)) - 1)];
            // The least ring reaches 62 buckets past the current one: with width 1 and
            // weights of hundreds, entries overflow.
            settings.bucket_ring_max = pick(rng, 0, 1) ? 64 : 1 << 13;
            settings.bucket_fusion_max = std::vector<int64_t>{0, 1, 4, 1 << 20}[size_t(pick(rng, 0, 3))];
            // Claims of single entries, of a few, or of whole chunks.
            settings.bucket_claim_records = std::vector<int64_t>{1, 16, 2048}[size_t(pick(rng, 0, 2))];
            overflowed += settings.bucket_ring_max == 64 && (delta == 1 || delta == 2) && kind > 0;
            ASSERT_TRUE(same_as_model(solve_with_buckets(threads, delta), want))
                << "seed " << seed << ", " << threads << " threads, delta " << delta << ", ring "
                << settings.bucket_ring_max << ", fusion below " << settings.bucket_fusion_max << ", claims of "
                << settings.bucket_claim_records << " records\n"
                << text;
            ASSERT_EQ(last_run.bucket_team, threads) << "seed " << seed;
        }
    }
    // Both outcomes, both layouts and the overflow must all have been exercised.
    EXPECT_GT(warned, 500);
    EXPECT_LT(warned, 2000);
    EXPECT_GT(packed, 500);
    EXPECT_GT(overflowed, 300);
}

// Node 0's direct edges weigh 2^30 or more, or sit near 2^29 or just below 2^30, and the
// other edges are small or near 2^29, so that many sums land exactly on 2^30 or beside
// it: a node at 2^30 must show the least value offered but never be settled or relax its
// row, and a heavy start value must give way only to a strictly smaller offer.
TEST_F(bucket_solver_test, values_around_the_settle_bound_match_model) {
    static const int32_t from_source[] = {infinite,      infinite + 1, INT32_MAX,     INT32_MAX - 1,
                                          (1 << 29) - 1, 1 << 29,      (1 << 29) + 1, infinite - 1};
    static const int32_t between[] = {
        0, 1, 2, (1 << 29) - 1, 1 << 29, (1 << 29) + 1, infinite - 1, infinite, infinite + 1};
    int above_bound = 0;
    for (uint32_t seed = 1; seed <= 1500; ++seed) {
        std::mt19937 rng(seed);
        random_graph g;
        g.n = pick(rng, 2, 30);
        for (int32_t v = 2; v <= g.n; ++v)
            if (pick(rng, 0, 1)) g.edges.push_back({1, v, from_source[pick(rng, 0, 7)]});
        for (int k = pick(rng, 0, 2 * g.n); k > 0; --k)
            g.edges.push_back({pick(rng, 2, g.n), pick(rng, 2, g.n), between[pick(rng, 0, 8)]});
        const std::string text = plain_text(g);
        const model_run want = run_model(text);
        ASSERT_TRUE(want.ok);
        above_bound +=
            *std::max_element(want.min_distance.begin(), want.min_distance.end()) > infinite;
        load_graph(text);
        reshape_loaded_store(rng, false);
        for (int threads : {1, 2, 3}) {
            const int32_t delta =
                std::vector<int32_t>{2, 1 << 20, 1 << 29, 0}[size_t(pick(rng, 0, 3))];
            ASSERT_TRUE(same_as_model(solve_with_buckets(threads, delta), want))
                << "seed " << seed << ", " << threads << " threads, delta " << delta << "\n"
                << text;
        }
    }
    // Unsettled nodes that kept a heavy start value or took a heavy offer.
    EXPECT_GT(above_bound, 300);
}

// The least ring (64 buckets) at widths 1 and 2, with weights that land an entry on the
// ring's last bucket, just past it (the overflow bin) or on the current bucket, in sparse
// graphs where such an entry is often the only one left.
TEST_F(bucket_solver_test, entries_at_the_ring_edges_match_model) {
    static const int32_t near_edges[] = {0, 1, 2, 61, 62, 63, 64, 65, 66, 125, 126, 127, 128, 129};
    for (uint32_t seed = 1; seed <= 1500; ++seed) {
        std::mt19937 rng(seed);
        const random_graph g = make_random_graph(
            rng, 30, [&] { return near_edges[pick(rng, 0, int(std::size(near_edges)) - 1)]; });
        const std::string text = plain_text(g);
        const model_run want = run_model(text);
        ASSERT_TRUE(want.ok);
        load_graph(text);
        reshape_loaded_store(rng, true);
        settings.bucket_ring_max = 64;
        for (int threads : {1, 2, 3}) {
            const int32_t delta = pick(rng, 1, 2);
            settings.bucket_fusion_max = pick(rng, 0, 1) ? 0 : 1 << 20;
            ASSERT_TRUE(same_as_model(solve_with_buckets(threads, delta), want))
                << "seed " << seed << ", " << threads << " threads, delta " << delta << "\n"
                << text;
        }
    }
}

// Buckets of hundreds of entries, so that every member publishes several chunks and
// claims others' while they queue into the same nodes' rows.
TEST_F(bucket_solver_test, large_buckets_shared_by_the_team_match_model) {
    for (uint32_t seed = 1; seed <= 24; ++seed) {
        std::mt19937 rng(seed);
        random_graph g;
        g.n = pick(rng, 1000, 2500);
        const int kind = int(seed % 3);
        // A spanning tree keeps most nodes in reach; a few hubs make long rows.
        for (int32_t v = 2; v <= g.n; ++v)
            g.edges.push_back({v, pick(rng, 1, v - 1), bucket_weight(rng, kind)});
        for (int k = 3 * g.n; k > 0; --k) {
            const int32_t u = pick(rng, 0, 9) == 0 ? pick(rng, 1, 8) : pick(rng, 1, g.n);
            g.edges.push_back({u, pick(rng, 1, g.n), bucket_weight(rng, kind)});
        }
        const std::string text = plain_text(g);
        const model_run want = run_model(text);
        ASSERT_TRUE(want.ok);
        load_graph(text);
        reshape_loaded_store(rng, seed % 2 == 0);
        for (int threads : {2, 3, 8}) {
            settings.bucket_fusion_max = pick(rng, 0, 1) ? 0 : 100;
            settings.bucket_claim_records = pick(rng, 0, 1) ? 1 : 2048;
            const int32_t delta =
                kind == 0 ? 1 : std::vector<int32_t>{256, 4096, 1 << 29}[size_t(pick(rng, 0, 2))];
            ASSERT_TRUE(same_as_model(solve_with_buckets(threads, delta), want))
                << "seed " << seed << ", " << threads << " threads, delta " << delta
                << ", claims of " << settings.bucket_claim_records << " records";
            ASSERT_EQ(last_run.bucket_team, threads);
        }
    }
}

// Negative weights make the order in which equally near nodes are settled visible in the
// listing: it must be the one-thread order at any team size, on graphs large enough for a
// team to start were their weights non-negative. One sparse graph (the binary heap's) and
// one dense (the scan's); the reference is the one-thread run of the same graph.
std::string signed_graph_text(std::mt19937 &rng, int32_t n, int64_t lines, bool complete) {
    std::string text = "p sp " + std::to_string(n) + " " + std::to_string(lines) + "\n";
    auto line = [&](int32_t u, int32_t v) {
        text += "a " + std::to_string(u) + " " + std::to_string(v) + " " + std::to_string(signed_weight(rng)) + "\n";
    };
    if (complete) {
        for (int32_t u = 1; u <= n; ++u)
            for (int32_t v = u + 1; v <= n; ++v) line(u, v);
        return text;
    }
    for (int32_t u = 2; u <= n; ++u) line(u, pick(rng, 1, u - 1));
    for (int64_t k = n - 1; k < lines; ++k) line(pick(rng, 1, n), pick(rng, 1, n));
    return text;
}

TEST(solver_rule, negative_weights_list_in_the_one_thread_order_at_any_team_size) {
    std::mt19937 rng(17);
    const std::string texts[] = {signed_graph_text(rng, 150000, 200000, false),
                                 signed_graph_text(rng, 600, 600 * 599 / 2, true)};
    for (const std::string &text : texts) {
        load_graph(text);
        ASSERT_TRUE(negative_weights);
        ASSERT_GE(num_nodes + edge_counter, settings.bucket_team_min_work) << "too small for a team to start";
        const solved_graph one = solve_loaded(1);
        for (int threads : {2, 3, 8}) {
            const solved_graph team = solve_loaded(threads);
            ASSERT_EQ(team.distances, one.distances) << num_nodes << " nodes, " << threads << " threads";
            ASSERT_EQ(team.standard_error, one.standard_error) << threads << " threads";
        }
        release_graph();
    }
}

// The team hands its bins over to one member after round k, for every k a run has: the
// entries of every member's ring and overflow bin must all be settled by the one left,
// whatever bucket, span and fusion the team had reached. Then the same with the hand-over
// decided by lateness: with every wait counted as late it comes at once.
TEST_F(bucket_solver_test, team_handing_over_to_one_member_after_any_round_matches_model) {
    int handed_over = 0, late = 0;
    for (uint32_t seed = 1; seed <= 150; ++seed) {
        std::mt19937 rng(seed);
        const int kind = int(seed % 3);
        const random_graph g = make_random_graph(rng, seed % 4 == 0 ? 400 : 60,
                                                 [&] { return bucket_weight(rng, kind); });
        const std::string text = plain_text(g);
        const model_run want = run_model(text);
        ASSERT_TRUE(want.ok);
        load_graph(text);
        reshape_loaded_store(rng, pick(rng, 0, 1));
        for (int threads : {2, 3}) {
            const int32_t delta = widths[pick(rng, 0, int(std::size(widths)) - 1)];
            settings.bucket_ring_max = pick(rng, 0, 1) ? 64 : 1 << 13;
            settings.bucket_fusion_max = std::vector<int64_t>{0, 4, 1 << 20}[size_t(pick(rng, 0, 2))];
            settings.bucket_claim_records = pick(rng, 0, 1) ? 1 : 2048;
            settings.bucket_team_rounds_max = INT64_MAX;
            settings.bucket_late_budget_ns = INT64_MAX;  // a loaded machine must not decide for the test
            ASSERT_TRUE(same_as_model(solve_with_buckets(threads, delta), want)) << "seed " << seed;
            // Claims race, so the rounds of a run vary a little with the spans they lead to.
            const int64_t rounds = last_run.team_rounds;
            for (int64_t k = 0; k <= rounds; ++k) {
                settings.bucket_team_rounds_max = k;
                ASSERT_TRUE(same_as_model(solve_with_buckets(threads, delta), want))
                    << "seed " << seed << ", " << threads << " threads, delta " << delta
                    << ", alone after round " << k << " of " << rounds << "\n"
                    << text;
                ASSERT_LE(last_run.team_rounds, k);
                if (last_run.team_handed_over) {
                    ASSERT_EQ(last_run.team_rounds, k);
                }
                handed_over += last_run.team_handed_over;
            }
            settings.bucket_team_rounds_max = INT64_MAX;
            // Every wait counted as late, the hand-over comes once they sum past a budget:
            // at once, or at any barrier of a round, the one after publishing included.
            settings.bucket_late_ns = 0;
            for (int64_t budget : {int64_t(0), int64_t(pick(rng, 1, 200000))}) {
                settings.bucket_late_budget_ns = budget;
                ASSERT_TRUE(same_as_model(solve_with_buckets(threads, delta), want))
                    << "seed " << seed << ", " << threads << " threads, delta " << delta << ", late budget "
                    << budget << " ns, handed over after round " << last_run.team_rounds << "\n"
                    << text;
                late += last_run.team_handed_over;
            }
            settings.bucket_late_ns = 1000000;
        }
    }
    EXPECT_GT(handed_over, 1000);
    EXPECT_GT(late, 100);
}

}  // namespace
