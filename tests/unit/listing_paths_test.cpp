// The listing against the faithful model: small graphs on any team size, paths whose
// running sums span the formatting chunks (one full chunk, a line past it, batches on a
// team), and a full device reported as a failed write on both paths.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "faithful_model.h"
#include "listing.h"
#include "queue_solver.h"
#include "test_support.h"

namespace {

class fast_listing : public tunables_restored {};

TEST_F(fast_listing, small_graphs_list_like_model) {
    for (uint32_t seed = 1; seed <= 300; ++seed) {
        std::mt19937 rng(seed);
        const random_graph g = make_random_graph(rng, 24, [&] { return signed_weight(rng); });
        const model_run want = run_model(plain_text(g));
        load_graph(plain_text(g));
        solve_with_queue();
        omp_set_num_threads(pick(rng, 1, 3));
        bool written = false;
        ASSERT_EQ(captured_listing(&written), model_listing(want)) << "seed " << seed;
        ASSERT_TRUE(written);
    }
}

// A path's distances are its running sums, whatever the signs, as long as they stay
// below 2^30: no node can be offered a value by any but its two neighbours. Around the
// 2^13-node formatting chunks: one full chunk, one line past it on one thread, and many
// batches on a team (from 2^16 nodes).
TEST_F(fast_listing, paths_spanning_formatting_chunks_list_like_model) {
    std::mt19937 rng(11);
    for (int32_t n : {(1 << 13) + 1, (1 << 13) + 2, 300000}) {
        std::string text = "p sp " + std::to_string(n) + " " + std::to_string(n - 1) + "\n";
        model_run want;
        want.min_distance.assign(size_t(n), 0);
        for (int32_t i = 1; i < n; ++i) {
            const int32_t w = pick(rng, -1000, 1000);
            text += "a " + std::to_string(i + 1) + " " + std::to_string(i) + " " +
                    std::to_string(w) + "\n";
            want.min_distance[size_t(i)] = want.min_distance[size_t(i) - 1] + w;
        }
        const std::string listing = model_listing(want);
        load_graph(text);
        ASSERT_TRUE(solve_with_queue());
        for (int threads = 1; threads <= 3; ++threads) {
            omp_set_num_threads(threads);
            bool written = false;
            const std::string got = captured_listing(&written);
            ASSERT_TRUE(written);
            // Compared whole but not printed whole: a failure shows where they part.
            const size_t at = size_t(
                std::mismatch(got.begin(), got.end(), listing.begin(), listing.end()).first -
                got.begin());
            ASSERT_TRUE(got == listing) << n << " nodes, " << threads << " threads; from byte "
                                        << at << " got \"" << got.substr(at, 80)
                                        << "\"\nwant \"" << listing.substr(at, 80) << "\"";
        }
    }
}

// A full device must be reported, on the one-buffer path and on the chunked one.
TEST_F(fast_listing, write_failure_is_reported) {
    for (int32_t n : {3, 300000}) {
        load_graph("p sp " + std::to_string(n) + " 0\n");
        solve_with_queue();
        fflush(stdout);
        const int full = open("/dev/full", O_WRONLY);
        ASSERT_GE(full, 0);
        const int saved = dup(STDOUT_FILENO);
        dup2(full, STDOUT_FILENO);
        const bool written = write_listing();
        dup2(saved, STDOUT_FILENO);
        close(saved);
        close(full);
        EXPECT_FALSE(written) << n << " nodes";
    }
}

}  // namespace
