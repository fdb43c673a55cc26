// The solvers called directly, against the faithful model: the scan (alone and with its
// team) and the queue on both of its heaps on signed weights; the radix queue and the
// bucket team (with and without fusion) on non-negative weights full of ties and of sums
// near 2^30.
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "bucket_solver.h"
#include "faithful_model.h"
#include "last_run.h"
#include "queue_solver.h"
#include "rows.h"
#include "scan_solver.h"
#include "settings.h"
#include "test_support.h"

namespace {

class fast_solvers : public tunables_restored {};

std::string joined(const std::vector<int32_t> &values) {
    std::string text;
    for (int32_t v : values) text += std::to_string(v) + " ";
    return text;
}

// The solver's distances and completeness against the model's distances and warning.
testing::AssertionResult same_as_model(const char *solver, bool complete, const model_run &want) {
    const std::vector<int32_t> got(min_distance, min_distance + num_nodes);
    if (got != want.min_distance)
        return testing::AssertionFailure()
               << solver << " gave " << joined(got) << "\nmodel gave " << joined(want.min_distance);
    if (complete == want.warned)
        return testing::AssertionFailure()
               << solver << (complete ? " settled every node, the model warned"
                                      : " left nodes unsettled, the model did not");
    return testing::AssertionSuccess();
}

TEST_F(fast_solvers, scan_and_queue_match_model_on_signed_weights) {
    int with_negative = 0;
    for (uint32_t seed = 1; seed <= 2000; ++seed) {
        std::mt19937 rng(seed);
        const random_graph g = make_random_graph(rng, 24, [&] { return signed_weight(rng); });
        const std::string text = decorated_text(rng, g);
        const model_run want = run_model(text);
        ASSERT_TRUE(want.ok) << "seed " << seed;
        load_graph(text);
        with_negative += negative_weights;
        ASSERT_TRUE(same_as_model("scan", solve_with_scan(), want))
            << "seed " << seed << "\n" << text;
        ASSERT_TRUE(same_as_model("queue", solve_with_queue(), want))
            << "seed " << seed << "\n" << text;
    }
    // Both heaps of the queue solver must have been exercised.
    EXPECT_GT(with_negative, 1000);
    EXPECT_LT(with_negative, 1950);
}

// Ties dominate; values near 2^29 make two hops straddle 2^30 and spread the radix
// heap's keys over many buckets; heavy edges are never relaxed through.
int32_t non_negative_weight(std::mt19937 &rng) {
    switch (pick(rng, 0, 9)) {
    case 0: return (1 << 29) + pick(rng, -2, 2);
    case 1: return pick(rng, 0, 1 << 29);
    default: return tie_weight(rng);
    }
}

TEST_F(fast_solvers, radix_queue_and_bucket_team_match_model_on_non_negative_weights) {
    for (uint32_t seed = 1; seed <= 1500; ++seed) {
        std::mt19937 rng(seed);
        const random_graph g = make_random_graph(rng, 40, [&] { return non_negative_weight(rng); });
        const std::string text = plain_text(g);
        const model_run want = run_model(text);
        ASSERT_TRUE(want.ok) << "seed " << seed;
        load_graph(text);
        ASSERT_FALSE(negative_weights) << "seed " << seed;
        ASSERT_TRUE(same_as_model("radix queue", solve_with_queue(), want))
            << "seed " << seed << "\n" << text;
        // A team forks once a graph: a third of the graphs keep the run short. Without
        // fusion every bucket's entries are shared among the members.
        if (seed % 3 != 0) continue;
        settings.bucket_fusion_max = seed % 2 ? 0 : 1000;
        for (int threads = 2; threads <= 3; ++threads) {
            ASSERT_TRUE(same_as_model("bucket team", solve_with_buckets(threads), want))
                << "seed " << seed << ", " << threads << " threads\n" << text;
            ASSERT_EQ(last_run.bucket_team, threads);
        }
    }
}

}  // namespace
