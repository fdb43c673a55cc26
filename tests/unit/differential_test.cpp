// Differential tests: read_graph + compute_distances on one thread against the faithful
// model over thousands of random valid files (negative weights, ties, odd but legal
// syntax), and larger thread teams against one thread where weights are non-negative.
#include <climits>

#include "faithful_model.h"
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
        {"p sp 2 -1\n", fmt + "p sp 2 -1\n"s},
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

// Mostly small values of both signs so that ties and negative cycles abound, with the
// extremes that only clamping keeps from wrapping.
int32_t signed_weight(std::mt19937 &rng) {
    static const int32_t extremes[] = {INT32_MIN, INT32_MIN + 1, -1073741824, 1073741823,
                                       1073741824, INT32_MAX};
    if (pick(rng, 0, 9) == 0) return extremes[pick(rng, 0, 5)];
    return pick(rng, -3, 6);
}

// Writes g with legal variations the reader must take in its stride: comments (some
// longer than 255 bytes hiding a problem line where a cut would fall), blank and foreign lines,
// any skipped prefix byte, signs, tabs, trailing words, CRLF, slack in M, no final newline.
std::string decorated_text(std::mt19937 &rng, const random_graph &g) {
    auto noise = [&]() -> std::string {
        switch (pick(rng, 0, 11)) {
        case 0: return "c " + std::string(size_t(pick(rng, 0, 300)), 'x') + "\n";
        case 1: return "c" + std::string(254, ' ') + "p sp 1 0\n";
        case 2: return "\n";
        case 3: return " a 1 1 1\n";
        case 4: return "A 1 2 3\nP sp 1 1\n";
        default: return "";
        }
    };
    auto number = [&](int64_t v) {
        const std::string text = std::to_string(v);
        return (v >= 0 && pick(rng, 0, 5) == 0 ? "+" : "") + text;
    };
    static const char *gaps[] = {" ", "  ", "\t", " \t "};
    auto gap = [&] { return std::string(gaps[pick(rng, 0, 3)]); };
    static const char *ends[] = {"\n", "\n", "\n", " trailing words\n", "\r\n", "\t\n"};
    auto end = [&] { return std::string(ends[pick(rng, 0, 5)]); };

    std::string text = noise();
    text += "p " + std::string(pick(rng, 0, 1) ? "sp" : "zz") + gap() + number(g.n) + gap() +
            number(int64_t(g.edges.size()) + pick(rng, 0, 2)) + end();
    for (const edge_line &e : g.edges) {
        text += noise();
        text += std::string("a") + " \t9x"[pick(rng, 0, 3)] + gap() + number(e.u) + gap() +
                number(e.v) + gap() + number(e.w) + end();
    }
    text += noise();
    if (pick(rng, 0, 3) == 0 && text.back() == '\n') text.pop_back();
    return text;
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

// Weights 0..2 make equal tentative distances the rule; a few heavy edges keep some
// nodes unsettled. Non-negative weights make the final distances independent of which
// equally near node a team settles first.
int32_t tie_weight(std::mt19937 &rng) {
    const int k = pick(rng, 0, 19);
    return k == 0 ? pick(rng, infinite, INT32_MAX) : k % 3;
}

class thread_team : public testing::TestWithParam<int> {};

TEST_P(thread_team, matches_one_thread_on_graphs_with_many_ties) {
    for (uint32_t seed = 1; seed <= 300; ++seed) {
        std::mt19937 rng(seed);
        const random_graph g = make_random_graph(rng, 40, [&] { return tie_weight(rng); });
        load_graph(plain_text(g));
        const solved_graph one = solve_loaded(1);
        const solved_graph team = solve_loaded(GetParam());
        release_graph();
        ASSERT_EQ(team.distances, one.distances) << "seed " << seed << "\n" << plain_text(g);
        ASSERT_EQ(team.standard_error, one.standard_error) << "seed " << seed;
    }
}

// 8 is more members than many of these graphs have nodes, so some blocks are empty.
INSTANTIATE_TEST_SUITE_P(sizes, thread_team, testing::Values(2, 3, 8));

}  // namespace
