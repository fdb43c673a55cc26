// Unit tests of get_distance and compute_distances on small graphs built by read_graph:
// hand-worked cases whose expected distances and warnings follow from the documented
// rules (earliest edge line wins, 2^30 settle bound, lowest index first, clamped sums).
#include <climits>

#include "test_support.h"

namespace {

class graph_test : public testing::Test {
protected:
    void TearDown() override { release_graph(); }
};

TEST_F(graph_test, earliest_duplicate_answers_in_both_directions) {
    load_graph("p sp 3 4\na 1 2 7\na 2 1 3\na 3 2 9\na 2 3 1\n");
    EXPECT_EQ(get_distance(0, 1), 7);
    EXPECT_EQ(get_distance(1, 0), 7);
    EXPECT_EQ(get_distance(1, 2), 9);
    EXPECT_EQ(get_distance(2, 1), 9);
}

TEST_F(graph_test, self_loop_answers_zero_and_leaves_other_lookups_alone) {
    load_graph("p sp 3 3\na 3 3 5\na 1 1 -4\na 3 1 6\n");
    EXPECT_EQ(get_distance(2, 2), 0);
    EXPECT_EQ(get_distance(0, 0), 0);
    EXPECT_EQ(get_distance(2, 0), 6);
    EXPECT_EQ(get_distance(0, 2), 6);
    const solved_graph g = solve_loaded(1);
    EXPECT_EQ(g.distances, (std::vector<int32_t>{0, infinite, 6}));
    EXPECT_EQ(g.standard_error, early_end_warning);
}

TEST_F(graph_test, absent_edge_answers_infinite_distance) {
    load_graph("p sp 4 1\na 1 2 3\n");
    EXPECT_EQ(get_distance(0, 2), 1073741824);
    EXPECT_EQ(get_distance(3, 1), 1073741824);
    EXPECT_EQ(get_distance(3, 0), 1073741824);
}

TEST_F(graph_test, reader_reports_the_size_line) {
    EXPECT_EQ(load_graph("c x\np sp 4 2\na 1 2 3\n"), "Graph contains 4 nodes and 2 edges\n");
}

struct solver_case {
    const char *name;
    const char *file;
    std::vector<int32_t> distances;
    bool early_end;
};

// Keeps the discovered test names free of the parameter's raw bytes.
void PrintTo(const solver_case &c, std::ostream *os) { *os << c.name; }

class solver_cases : public testing::TestWithParam<solver_case> {};

TEST_P(solver_cases, distances_and_warning) {
    const solver_case &c = GetParam();
    const solved_graph g = solve_text(c.file);
    EXPECT_EQ(g.distances, c.distances);
    EXPECT_EQ(g.standard_error, warning_if(c.early_end));
}

// The tie case: nodes 1 and 2 both start at 5; only settling node 1 first lets the
// negative edge lower node 2, so the listing shows which one went first.
INSTANTIATE_TEST_SUITE_P(
    worked, solver_cases,
    testing::Values(
        solver_case{"one_node", "p sp 1 0\n", {0}, false},
        solver_case{"path", "p sp 3 2\na 1 2 4\na 2 3 5\n", {0, 4, 9}, false},
        solver_case{"triangle", "p sp 3 3\na 1 2 10\na 1 3 1\na 3 2 2\n", {0, 3, 1}, false},
        solver_case{"zero_weight", "p sp 3 2\na 1 2 6\na 3 2 0\n", {0, 6, 6}, false},
        solver_case{"later_lighter_duplicate_ignored", "p sp 2 2\na 2 1 8\na 1 2 1\n", {0, 8},
                    false},
        solver_case{"source_without_edges", "p sp 3 1\na 2 3 1\n", {0, infinite, infinite}, true},
        solver_case{"two_components", "p sp 5 3\na 1 2 2\na 3 4 1\na 4 5 1\n",
                    {0, 2, infinite, infinite, infinite}, true},
        solver_case{"beyond_settle_bound", "p sp 3 2\na 1 2 536870912\na 2 3 536870912\n",
                    {0, 536870912, infinite}, true},
        solver_case{"heavy_edges",
                    "p sp 3 3\na 1 3 2147483647\na 1 2 1073741823\na 2 3 1073741823\n",
                    {0, 1073741823, 2147483646}, true},
        solver_case{"heavy_edge_between_others_ignored",
                    "p sp 3 3\na 1 3 2147483647\na 1 2 1\na 2 3 1073741824\n",
                    {0, 1, 2147483647}, true},
        solver_case{"equal_distances_settle_lowest_index_first",
                    "p sp 3 3\na 1 3 5\na 1 2 5\na 3 2 -10\n", {0, 5, -5}, false},
        solver_case{"negative_sums_clamp_instead_of_wrapping",
                    "p sp 3 2\na 1 2 -2147483648\na 2 3 -2147483648\n",
                    {0, INT32_MIN, INT32_MIN}, false}),
    [](const testing::TestParamInfo<solver_case> &info) { return std::string(info.param.name); });

}  // namespace
