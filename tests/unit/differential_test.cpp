// Differential tests: read_graph + compute_distances on one thread against the faithful
// model over thousands of random valid files (negative weights, ties, odd but legal
// syntax), and larger thread teams against one thread where weights are non-negative.
#include <climits>

#include "bucket_solver.h"
#include "faithful_model.h"
#include "last_run.h"
#include "settings.h"
#include "test_support.h"

namespace {

struct model_case {
    const char *file;
    const char *error;  // nullptr when the file is valid
};

// The model's verdicts on files the program must reject are written out by hand here,
// so the model is trusted only as far as these bytes agree with the documented messages.
TEST(faithful_model, rejects_and_accepts_like_the_documented_reader) {
    using namespace std::string_literals;
    const char *fmt = "Error in file format in line:\n";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"", "Error in file format: no problem line.\n"},
        {"c only\n\n", "Error in file format: no problem line.\n"},
        {"p 4 3\n", fmt + "p 4 3\n"s},
        {"p sp 0 0\n", fmt + "p sp 0 0\n"s},
        {"p sp 2 -1\n", "Error: cannot allocate memory.\n"},
        {"p sp -2 1\na 1 2 3\n", "Error: cannot allocate memory.\n"},
        {"p", fmt + "p"s},
        {"a 1 2 3\np sp 2 1\n", fmt + "a 1 2 3\n"s},
        {"p sp 2 1\np sp 2 1\n", fmt + "p sp 2 1\n"s},
        {"p sp 2 1\na 1 2 3\na 1 2 3\n", fmt + "a 1 2 3\n"s},
        {"p sp 2 1\na 1 3 3\n", fmt + "a 1 3 3\n"s},
        {"p sp 2 1\na 1 2\n", fmt + "a 1 2\n"s},
        {"p sp 2 1\na 1 2 2147483648\n", fmt + "a 1 2 2147483648\n"s},
        {"p sp 2 1\na 1\0 2 3\n"s, fmt + "a 1\0 2 3\n"s},
        {"p sp 2 1\na", fmt + "a"s},
        {"p sp 2 1\n" + std::string(253, 'c') + "a 1 2 3\n", ""},
        {"p xx 2 1 extra\r\n a\na12 1 -7 x\n", ""},
    };
    for (const auto &[file, error] : cases) {
        const model_run run = run_model(file);
        EXPECT_EQ(run.ok, error.empty()) << file;
        EXPECT_EQ(run.error_message, error) << file;
    }
    const model_run run = run_model("p xx 2 1 extra\r\n a\na12 1 -7 x\n");
    EXPECT_EQ(run.size_line, "Graph contains 2 nodes and 1 edges\n");
    EXPECT_EQ(model_listing(run), "\nMinimal distance from node 0 to every other node:\nNode 1: \t-7\n");
}

TEST(differential, one_thread_matches_faithful_model_on_random_files) {
    for (uint32_t seed = 1; seed <= 3000; ++seed) {
        std::mt19937 rng(seed);
        const random_graph g = make_random_graph(rng, 24, [&] { return signed_weight(rng); });
        const std::string text = decorated_text(rng, g);
        const model_run want = run_model(text);
        ASSERT_TRUE(want.ok) << "seed " << seed << " generated an invalid file:\n" << text;
        ASSERT_EQ(load_graph(text), want.size_line) << "seed " << seed;
        const solved_graph got = solve_loaded(1);
        release_graph();
        ASSERT_EQ(got.distances, want.min_distance) << "seed " << seed << "\n" << text;
        ASSERT_EQ(got.standard_error, warning_if(want.warned)) << "seed " << seed;
    }
}

// The rule starts the team on every graph here (its threshold lowered), so the whole run
// of compute_distances on a team is held against the same run on one thread.
class thread_team : public testing::TestWithParam<int> {
  protected:
    void SetUp() override { settings.bucket_team_min_work = 0; }
    void TearDown() override { settings.bucket_team_min_work = saved_team_min_work; }

  private:
    const int64_t saved_team_min_work = settings.bucket_team_min_work;
};

TEST_P(thread_team, matches_one_thread_on_graphs_with_many_ties) {
    for (uint32_t seed = 1; seed <= 300; ++seed) {
        std::mt19937 rng(seed);
        const random_graph g = make_random_graph(rng, 40, [&] { return tie_weight(rng); });
        load_graph(plain_text(g));
        last_run.bucket_team = 0;
        const solved_graph one = solve_loaded(1);
        ASSERT_EQ(last_run.bucket_team, 0) << "one thread must not start a team";
        const solved_graph team = solve_loaded(GetParam());
        release_graph();
        ASSERT_EQ(last_run.bucket_team, GetParam()) << "seed " << seed << ": the team did not run";
        ASSERT_EQ(team.distances, one.distances) << "seed " << seed << "\n" << plain_text(g);
        ASSERT_EQ(team.standard_error, one.standard_error) << "seed " << seed;
    }
}

// 8 is more members than many of these graphs have nodes, so some blocks are empty.
INSTANTIATE_TEST_SUITE_P(sizes, thread_team, testing::Values(2, 3, 8));

}  // namespace
