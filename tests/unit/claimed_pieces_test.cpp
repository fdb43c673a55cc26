// The work a team claims in pieces, shrunk to a row, a record or a line a piece so that
// piece boundaries fall everywhere: the builder's slot pass, its pass that drops repeated
// neighbours and the compaction after it, and the listing's chunks, on teams of one to
// three, against the faithful model (rows compared record by record in file order). The
// same with a team smaller than the one asked for: the reader's ranges, the builder's
// passes, the listing and the solvers on the members the runtime gives.
#include <fcntl.h>
#include <unistd.h>

#include <set>
#include <utility>

#include "builder.h"
#include "faithful_model.h"
#include "bucket_solver.h"
#include "listing.h"
#include "queue_solver.h"
#include "scan_solver.h"
#include "settings.h"
#include "test_support.h"

namespace {

class claimed_pieces : public tunables_restored {};

using row = std::vector<std::pair<int32_t, int32_t>>;

// Node u's row as the model has it: the first record of each neighbour, in file order,
// u itself left out.
row model_first_records(const model_run &run, int32_t u) {
    row kept;
    std::set<int32_t> seen = {u};
    for (int k = run.graph.heads[size_t(u)]; k != -1; k = run.graph.pool[size_t(k)].next) {
        const model_store::record &r = run.graph.pool[size_t(k)];
        if (seen.insert(r.target).second) kept.push_back({r.target, r.weight});
    }
    return kept;
}

std::string shown(const row &r) {
    std::string text;
    for (const auto &[target, weight] : r) text += std::to_string(target) + ":" + std::to_string(weight) + " ";
    return text;
}

// Every row holds the model's first records in file order, and the rows fill the pool
// back to back.
testing::AssertionResult store_is_model(const model_run &want) {
    const testing::AssertionResult spans = rows_fill_pool(int32_t(want.graph.heads.size()));
    if (!spans) return spans;
    for (int32_t u = 0; u < num_nodes; ++u) {
        const row got = stored_row(u), expected = model_first_records(want, u);
        if (got != expected)
            return testing::AssertionFailure() << "row " << u << " holds " << shown(got) << "\nmodel has "
                                               << shown(expected);
    }
    return testing::AssertionSuccess();
}

// A team of threads reading the file in ranges, and pieces of one to three rows or records.
void shrink_pieces(std::mt19937 &rng, int threads) {
    settings.read_team_min_bytes = 1;
    settings.build_team_min_work = 1;
    settings.read_block_bytes = pick(rng, 0, 1) ? size_t(pick(rng, 8, 64)) : size_t(1) << 16;
    settings.build_piece_rows = pick(rng, 1, 3);
    settings.build_piece_records = pick(rng, 1, 3);
    omp_set_num_threads(threads);
}

// A file as road files are written: every line again with its ends swapped, so that half
// the records are repeats and the pieces move far left when the gaps close.
random_graph listed_both_ways(random_graph g) {
    const size_t lines = g.edges.size();
    // Another weight, so that keeping the later line would show.
    for (size_t k = 0; k < lines; ++k) {
        const int32_t w = g.edges[k].w;
        g.edges.push_back({g.edges[k].v, g.edges[k].u, w == INT32_MAX ? w - 1 : w + 1});
    }
    return g;
}

// A random graph of 40 nodes with repeats in either direction, self-loops, isolated nodes
// and a few negative weights, as text; listed both ways for even seeds.
std::string repeats_text(std::mt19937 &rng, uint32_t seed) {
    random_graph g = make_random_graph(rng, 40, [&] { return pick(rng, 0, 9) == 0 ? pick(rng, -5, 5) : pick(rng, 0, 9); });
    if (seed % 2 == 0) g = listed_both_ways(g);
    return plain_text(g);
}

// Random graphs with repeats in either direction, self-loops and isolated nodes; half
// listed both ways (moves of many pieces side by side), half with few repeats (moves in
// order); packed and wide pools.
TEST_F(claimed_pieces, rows_of_any_piece_size_and_team_match_model) {
    for (uint32_t seed = 1; seed <= 600; ++seed) {
        std::mt19937 rng(seed);
        const std::string text = repeats_text(rng, seed);
        const model_run want = run_model(text, false);
        ASSERT_TRUE(want.ok) << "seed " << seed;
        const int threads = 1 + int(seed % 3);
        shrink_pieces(rng, threads);
        settings.pack_records = seed % 5 != 0;
        ASSERT_EQ(load_graph(text, seed % 7 == 0), want.size_line) << "seed " << seed;
        ASSERT_TRUE(store_is_model(want)) << "seed " << seed << ", " << threads << " threads, pieces of "
                                          << settings.build_piece_rows << " rows, " << settings.build_piece_records
                                          << " records\n" << text;
    }
}

// One file with every boundary the pieces meet: rows of no record at the start, between
// pieces and at the end; repeats of one neighbour far apart in the file (so in different
// members' slots), both ways and with a self-loop between; a hub longer than the short-row
// limit with repeats; a stretch without repeats after one full of them. Every piece size
// from one to three rows and records on every team, 25 rows so that the last piece is
// short.
TEST_F(claimed_pieces, every_boundary_of_small_pieces_matches_model) {
    std::string lines;
    int count = 0;
    auto line = [&](int u, int v, int w) {
        lines += "a " + std::to_string(u) + " " + std::to_string(v) + " " + std::to_string(w) + "\n";
        ++count;
    };
    line(2, 3, 5);
    line(3, 2, 7);
    line(2, 4, 4);
    line(4, 4, 2);
    line(2, 4, 9);
    for (int u = 7; u < 15; ++u) line(u, u + 1, u);
    line(16, 17, 3);
    line(17, 16, 6);
    static const int hub_targets[] = {9, 21, 10, 22, 11, 19, 12, 21, 13};
    for (int k = 0; k < 40; ++k) line(k % 4 == 3 ? hub_targets[k % 9] : 20, k % 4 == 3 ? 20 : hub_targets[k % 9], k);
    line(16, 17, 8);
    line(4, 2, 1);
    line(23, 22, 1);
    line(22, 23, 2);
    const std::string text = "p sp 25 " + std::to_string(count) + "\n" + lines;
    const model_run want = run_model(text, false);
    ASSERT_TRUE(want.ok);
    for (int threads = 1; threads <= 3; ++threads)
        for (int rows = 1; rows <= 3; ++rows)
            for (int records = 1; records <= 3; ++records)
                for (const bool packed : {true, false}) {
                    settings.read_team_min_bytes = 1;
                    settings.build_team_min_work = 1;
                    settings.read_block_bytes = 16;
                    settings.build_piece_rows = rows;
                    settings.build_piece_records = records;
                    settings.pack_records = packed;
                    omp_set_num_threads(threads);
                    ASSERT_EQ(load_graph(text), want.size_line);
                    ASSERT_TRUE(store_is_model(want)) << threads << " threads, pieces of " << rows << " rows, "
                                                      << records << " records" << (packed ? "" : ", wide");
                }
}

// More pieces than a pass may hold: the piece size grows to keep their number bounded,
// and thousands of pieces listed both ways move in long steps side by side.
TEST_F(claimed_pieces, thousands_of_pieces_match_model) {
    std::mt19937 rng(3);
    random_graph g;
    g.n = 9000;
    for (int k = 0; k < 12000; ++k) {
        const int32_t u = pick(rng, 1, g.n);
        const int32_t v = pick(rng, 0, 9) == 0 ? u : std::clamp(u + pick(rng, -30, 30), 1, g.n);
        g.edges.push_back({u, v, pick(rng, 0, 1000)});
    }
    g = listed_both_ways(g);
    for (int k = 0; k < 2000; ++k) g.edges.push_back(g.edges[size_t(pick(rng, 0, 11999))]);
    const std::string text = plain_text(g);
    const model_run want = run_model(text, false);
    ASSERT_TRUE(want.ok);
    for (int threads = 1; threads <= 3; ++threads) {
        settings.read_team_min_bytes = 1;
        settings.build_team_min_work = 1;
        settings.build_piece_rows = 1;
        settings.build_piece_records = 1;
        omp_set_num_threads(threads);
        ASSERT_EQ(load_graph(text), want.size_line);
        ASSERT_TRUE(store_is_model(want)) << threads << " threads";
    }
}

// Whole runs built from small pieces and listed in chunks of one to three lines (or in
// one buffer) by teams of one to three: the model's listing, byte for byte.
TEST_F(claimed_pieces, listings_in_chunks_of_a_few_lines_match_model) {
    for (uint32_t seed = 1; seed <= 300; ++seed) {
        std::mt19937 rng(seed);
        random_graph g = make_random_graph(rng, 30, [&] { return signed_weight(rng); });
        if (seed % 2 == 0) g = listed_both_ways(g);
        const std::string text = plain_text(g);
        const model_run want = run_model(text);
        ASSERT_TRUE(want.ok) << "seed " << seed;
        const int threads = pick(rng, 1, 3);
        shrink_pieces(rng, threads);
        load_graph(text);
        ASSERT_EQ(solve_loaded(threads).standard_error, warning_if(want.warned)) << "seed " << seed;
        settings.listing_chunk_nodes = pick(rng, 0, 3) == 0 ? int64_t(1) << 13 : pick(rng, 1, 3);
        settings.listing_team_min_nodes = 0;
        omp_set_num_threads(threads);
        bool written = false;
        ASSERT_EQ(captured_listing(&written), model_listing(want))
            << "seed " << seed << ", " << threads << " threads, chunks of " << settings.listing_chunk_nodes << "\n" << text;
        ASSERT_TRUE(written);
    }
}

// How a run is given fewer members than it asks for: no level may be active (as
// OMP_MAX_ACTIVE_LEVELS=0 does), or the run is a member of an enclosing team and one
// active level is allowed, so that every region inside it gets that member alone.
enum class fewer_members { no_active_level, nested };

// Runs f with omp_get_max_threads() members asked for and one given; fails when the
// runtime gave more.
template <class F>
void with_fewer_members(fewer_members how, F &&f) {
    const int levels = omp_get_max_active_levels();
    auto checked = [&] {
        int given = 0;
#pragma omp parallel num_threads(3)
        given = omp_get_num_threads();
        EXPECT_EQ(given, 1) << "the runtime gave the whole team";
        f();
    };
    if (how == fewer_members::no_active_level) {
        omp_set_max_active_levels(0);
        checked();
    } else {
        omp_set_max_active_levels(1);
#pragma omp parallel num_threads(2)
        {
            // A region of its own, so that the solvers' orphaned work-sharing binds there
            // and not to the enclosing team, whose other member never comes.
#pragma omp master
#pragma omp parallel num_threads(1)
            checked();
        }
    }
    omp_set_max_active_levels(levels);
}

const char *shown(fewer_members how) { return how == fewer_members::nested ? "nested" : "no active level"; }

// The reader's ranges (plain files scanned twice or replayed, streams), the builder's
// passes and the pieces that drop repeats, asked of two or three members and done by one.
TEST_F(claimed_pieces, rows_built_by_fewer_members_than_asked_match_model) {
    for (uint32_t seed = 1; seed <= 300; ++seed) {
        std::mt19937 rng(seed);
        const std::string text = repeats_text(rng, seed);
        const model_run want = run_model(text, false);
        ASSERT_TRUE(want.ok) << "seed " << seed;
        const int threads = 2 + int(seed % 2);
        shrink_pieces(rng, threads);
        settings.keep_lines_max_bytes = seed % 3 == 0 ? 0 : int64_t(1) << 30;
        const fewer_members how = seed % 4 < 2 ? fewer_members::nested : fewer_members::no_active_level;
        std::string size_line;
        with_fewer_members(how, [&] { size_line = load_graph(text, seed % 5 == 0); });
        ASSERT_EQ(size_line, want.size_line) << "seed " << seed;
        ASSERT_TRUE(store_is_model(want)) << "seed " << seed << ", " << threads << " asked, " << shown(how) << "\n"
                                          << text;
    }
}

// The solvers and the listing on the rows of a smaller team, asked of two or three
// members and done by one: the model's distances, warning and listing.
TEST_F(claimed_pieces, solvers_and_listing_of_fewer_members_than_asked_match_model) {
    for (uint32_t seed = 1; seed <= 200; ++seed) {
        std::mt19937 rng(seed);
        const bool signed_weights = seed % 2 == 0;
        const random_graph g =
            make_random_graph(rng, 30, [&] { return signed_weights ? signed_weight(rng) : tie_weight(rng); });
        const std::string text = plain_text(g);
        const model_run want = run_model(text);
        ASSERT_TRUE(want.ok) << "seed " << seed;
        const int threads = 2 + int(seed % 2);
        shrink_pieces(rng, threads);
        settings.bucket_team_min_work = 0;
        settings.listing_team_min_nodes = 0;
        settings.listing_chunk_nodes = pick(rng, 1, 3);
        const fewer_members how = seed % 4 < 2 ? fewer_members::nested : fewer_members::no_active_level;
        with_fewer_members(how, [&] {
            load_graph(text);
            const std::string context = "seed " + std::to_string(seed) + ", " + shown(how) + "\n" + text;
            EXPECT_EQ(solve_with_scan(), !want.warned) << context;
            EXPECT_EQ(std::vector<int32_t>(min_distance, min_distance + num_nodes), want.min_distance) << context;
            EXPECT_EQ(solve_with_queue(), !want.warned) << context;
            EXPECT_EQ(std::vector<int32_t>(min_distance, min_distance + num_nodes), want.min_distance) << context;
            if (!negative_weights) {
                EXPECT_EQ(solve_with_buckets(threads), !want.warned) << context;
                EXPECT_EQ(std::vector<int32_t>(min_distance, min_distance + num_nodes), want.min_distance) << context;
            }
            EXPECT_EQ(solve_loaded(threads).standard_error, warning_if(want.warned)) << context;
            omp_set_num_threads(threads);
            bool written = false;
            EXPECT_EQ(captured_listing(&written), model_listing(want)) << context;
            EXPECT_TRUE(written);
        });
        if (testing::Test::HasFailure()) return;
    }
}

}  // namespace
