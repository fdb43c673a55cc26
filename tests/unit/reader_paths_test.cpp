// The block reader against the faithful model: tiny blocks and every team size, the wide
// layout, numbers of every length and a large team-built store; its error exits (in a
// child process, since they end it), the first fault in file order; and files changed
// while read: between the two scans, between two reads, a gzip file's members, a plain
// file's head.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <iterator>

#include "builder.h"
#include "faithful_model.h"
#include "paths_support.h"
#include "reader.h"
#include "rows.h"
#include "settings.h"
#include "test_hooks.h"
#include "test_support.h"

namespace {

class fast_reader : public tunables_restored {};

// Tiny blocks put block edges inside nearly every line; one large block leaves all the
// cutting to the team's chunk edges. Either way any member may get a run of lines.
// Half the plain files are scanned twice from disk, half scanned once with their lines
// kept for the second pass, in blocks of a few lines or in one; half the gzip files are
// inflated by the build's fast way (ISA-L's stream, or libdeflate whole), half by the zlib
// stream.
void shrink_reader(std::mt19937 &rng, int threads) {
    settings.read_block_bytes = pick(rng, 0, 1) ? size_t(pick(rng, 1, 64)) : size_t(1) << 16;
    settings.read_team_min_bytes = 1;
    settings.build_team_min_work = 1;
    settings.keep_lines_max_bytes = pick(rng, 0, 1) ? 0 : int64_t(1) << 30;
    settings.line_block_bytes = pick(rng, 0, 1) ? size_t(pick(rng, 2, 6)) * 8 : size_t(2) << 20;
    settings.inflate_whole_max_bytes = pick(rng, 0, 1) ? 0 : int64_t(1) << 30;
    settings.inflate_with_zlib = settings.inflate_whole_max_bytes == 0;
    omp_set_num_threads(threads);
}

// Node u's row of the compact store as (target, weight) pairs, ascending by target: the
// store keeps rows in file order, the model lists them sorted.
std::vector<std::pair<int32_t, int32_t>> row_of(int32_t u) {
    std::vector<std::pair<int32_t, int32_t>> row = stored_row(u);
    std::sort(row.begin(), row.end());
    return row;
}

// Each row holds exactly the model's neighbours once, without u itself, and the rows fill
// the pool back to back.
testing::AssertionResult store_matches(const model_run &want) {
    const testing::AssertionResult spans = rows_fill_pool(int32_t(want.graph.heads.size()));
    if (!spans) return spans;
    for (int32_t u = 0; u < num_nodes; ++u) {
        if (row_of(u) != model_row(want, u))
            return testing::AssertionFailure() << "row " << u << " differs from the model's";
    }
    return testing::AssertionSuccess();
}

TEST_F(fast_reader, tiny_blocks_and_any_team_build_the_model_store) {
    for (uint32_t seed = 1; seed <= 1500; ++seed) {
        std::mt19937 rng(seed);
        const random_graph g = make_random_graph(rng, 24, [&] { return signed_weight(rng); });
        const std::string text = decorated_text(rng, g);
        const model_run want = run_model(text, false);
        ASSERT_TRUE(want.ok) << "seed " << seed;
        shrink_reader(rng, pick(rng, 1, 4));
        // Odd seeds go through the stream path: one scan into blocks, then ranges of lines.
        const bool compressed = seed % 2 == 1;
        ASSERT_EQ(load_graph(text, compressed), want.size_line) << "seed " << seed;
        ASSERT_TRUE(store_matches(want)) << "seed " << seed << (compressed ? ", gzip" : "")
                                         << ", block " << settings.read_block_bytes << "\n" << text;
        for (int32_t u = 0; u < g.n; ++u)
            for (int32_t v = 0; v < g.n; ++v)
                ASSERT_EQ(get_distance(u, v), want.graph.lookup(u, v))
                    << "get_distance(" << u << ", " << v << "), seed " << seed << "\n" << text;
    }
}

// Non-negative weights that would pack, built into the wide layout instead (as weights
// too large to pack beside their offsets are): every team builds the model's store, and
// the whole solve at any team size lists the model's distances and warning.
TEST_F(fast_reader, wide_records_of_non_negative_weights_build_and_solve_like_model) {
    int wide = 0;
    for (uint32_t seed = 1; seed <= 200; ++seed) {
        std::mt19937 rng(seed);
        const random_graph g =
            make_random_graph(rng, 40, [&] { return pick(rng, 0, 9) == 0 ? pick(rng, 0, 1000) : pick(rng, 0, 2); });
        const std::string text = plain_text(g);
        const model_run want = run_model(text);
        ASSERT_TRUE(want.ok) << "seed " << seed;
        const int threads = pick(rng, 1, 3);
        shrink_reader(rng, threads);
        settings.bucket_team_min_work = 0;  // a team of two or three solves every graph
        settings.pack_records = seed % 2 == 0;
        ASSERT_EQ(load_graph(text, seed % 3 == 0), want.size_line) << "seed " << seed;
        ASSERT_TRUE(store_matches(want)) << "seed " << seed << "\n" << text;
        if (!settings.pack_records) {
            ASSERT_EQ(packed_edges, nullptr) << "seed " << seed;
        }
        wide += packed_edges == nullptr && edge_counter > 0;
        const solved_graph got = solve_loaded(threads);
        ASSERT_EQ(got.distances, want.min_distance) << "seed " << seed << ", " << threads << " threads\n" << text;
        ASSERT_EQ(got.standard_error, warning_if(want.warned)) << "seed " << seed;
    }
    EXPECT_GT(wide, 75);
}

// Numbers of every length from one digit to ten, in the usual form and in the others
// (signs, leading zeros, tabs), so that every path of the integer scanner is read back
// exactly: node numbers up to seven digits on a graph of three million nodes, weights
// over the whole 32-bit range.
TEST_F(fast_reader, numbers_of_every_length_read_exactly) {
    std::mt19937 rng(5);
    const int32_t n = 3000000;
    auto of_length = [&](int digits, int64_t limit) {
        int64_t low = 1;
        for (int d = 1; d < digits; ++d) low *= 10;
        return std::min<int64_t>(limit, low + std::uniform_int_distribution<int64_t>(0, 9 * low - 1)(rng));
    };
    // 2^20 - 1 is the weight field's escape value for ends of 22 bits.
    std::string text = "p sp " + std::to_string(n) + " 30003\na 1 2 1048574\na 2 3 1048575\na 3 4 1048576\n";
    for (int k = 0; k < 30000; ++k) {
        const int64_t u = of_length(pick(rng, 1, 7), n), v = of_length(pick(rng, 1, 7), n);
        int64_t w = of_length(pick(rng, 1, 10), INT32_MAX);
        if (pick(rng, 0, 3) == 0) w = -w;
        auto form = [&](int64_t x) {
            switch (pick(rng, 0, 5)) {
            case 0: return "\t" + std::to_string(x);
            case 1: return " 000" + std::to_string(x);
            case 2: return std::string(x < 0 ? " " : " +") + std::to_string(x);
            default: return " " + std::to_string(x);
            }
        };
        text += "a" + form(u) + form(v) + form(w) + (pick(rng, 0, 3) == 0 ? " x\n" : "\n");
    }
    const model_run want = run_model(text, false);
    ASSERT_TRUE(want.ok) << want.error_message;
    // Held lines (the plain file's between its scans, the gzip stream's) pack both ends
    // in 22 bits each: most of these weights do not fit beside them and take a slot at
    // their block's far end; blocks of five words put those slots at every block edge.
    for (int threads = 1; threads <= 2; ++threads) {
        for (const bool compressed : {false, true}) {
            settings.read_team_min_bytes = 4096;
            settings.line_block_bytes = compressed == (threads == 1) ? 40 : size_t(2) << 20;
            omp_set_num_threads(threads);
            ASSERT_EQ(load_graph(text, compressed), want.size_line);
            ASSERT_TRUE(store_matches(want)) << threads << " threads, block bytes " << settings.line_block_bytes
                                             << (compressed ? ", gzip" : "");
        }
    }
}

// Large enough that the builder splits the rows among the team, with repeats in both
// directions and self-loops landing in every member's range of nodes, and a few hubs
// whose long rows, full of repeats, take the sort that short rows never reach.
TEST_F(fast_reader, team_built_store_of_a_large_graph_matches_model) {
    std::mt19937 rng(7);
    random_graph g;
    g.n = 40000;
    g.edges.push_back({1, 2, 5});
    for (int k = 1; k < 70000; ++k) {
        const int32_t u = pick(rng, 0, 19) == 0 ? pick(rng, 1, 5) : pick(rng, 1, g.n);
        const int32_t near = pick(rng, std::max(1, u - 50), std::min(g.n, u + 50));
        const file_edge old = g.edges[size_t(pick(rng, 0, int(g.edges.size()) - 1))];
        switch (pick(rng, 0, 9)) {
        case 0: g.edges.push_back({u, u, signed_weight(rng)}); break;
        case 1: g.edges.push_back({old.u, old.v, signed_weight(rng)}); break;
        case 2: g.edges.push_back({old.v, old.u, signed_weight(rng)}); break;
        default: g.edges.push_back({u, near, signed_weight(rng)});
        }
    }
    const std::string text = decorated_text(rng, g);
    const model_run want = run_model(text, false);
    ASSERT_TRUE(want.ok);
    for (int threads = 2; threads <= 3; ++threads) {
        settings.read_block_bytes = 4096;
        settings.read_team_min_bytes = 1;
        omp_set_num_threads(threads);
        ASSERT_EQ(load_graph(text), want.size_line);
        ASSERT_TRUE(store_matches(want)) << threads << " threads";
        for (int k = 0; k < 20000; ++k) {
            const int32_t u = pick(rng, 0, g.n - 1);
            const int32_t v = pick(rng, 0, 1) ? pick(rng, 0, g.n - 1)
                                              : std::clamp(u + pick(rng, -50, 50), 0, g.n - 1);
            ASSERT_EQ(get_distance(u, v), want.graph.lookup(u, v)) << u << " " << v;
        }
    }
}

// A valid file's lines with up to three faults dropped in anywhere (before the problem
// line too), padding comments that push them across block and chunk edges, and
// sometimes an M lowered below the edge lines present, so that the line past M competes
// with the other faults for first place.
std::string faulty_text(std::mt19937 &rng) {
    using namespace std::string_literals;
    const random_graph g = make_random_graph(rng, 10, [&] { return signed_weight(rng); });
    const std::string n = std::to_string(g.n), above = std::to_string(g.n + 1);
    const int64_t lines = int64_t(g.edges.size());
    const int64_t m = lines > 0 && pick(rng, 0, 2) == 0
                          ? lines - pick(rng, 1, int(std::min<int64_t>(lines, 3)))
                          : lines;
    std::vector<std::string> file;
    if (pick(rng, 0, 19) != 0) file.push_back("p sp " + n + " " + std::to_string(m) + "\n");
    for (const file_edge &e : g.edges)
        file.push_back("a " + std::to_string(e.u) + " " + std::to_string(e.v) + " " +
                       std::to_string(e.w) + "\n");
    // Short, cut, NUL-split and long malformed lines; a second (or bad first) problem
    // line; nodes outside 1..N; integers past 32 bits, one of 30 digits; and two valid
    // lines that can only offend by overrunning M.
    const std::string faults[] = {
        "a 1 2\n", "a\n", "a", "a 1 x 2\n", "a 1 2 -\n", "a 1\0 2 3\n"s,
        "a 1 2" + std::string(300, ' ') + "\n", "a 1 " + std::string(300, 'x') + "\n",
        "p sp 3 3\n", "p sp 0 1\n", "p sp 3 -1\n", "p 3 3\n", "p\n", "p sp 2147483648 1\n",
        "a 0 1 1\n", "a 1 " + above + " 1\n", "a " + above + " 1 1\n", "a -1 1 1\n",
        "a 4294967297 1 1\n", "a 1 1 2147483648\n", "a 1 1 -2147483649\n",
        "a " + n + " 1 " + std::string(30, '9') + "\n", "a 1 1 7\n", "a " + n + " " + n + " -7\n"};
    const int count = pick(rng, m < lines ? 0 : 1, 3);
    auto anywhere = [&] { return file.begin() + pick(rng, 0, int(file.size())); };
    for (int k = 0; k < count; ++k)
        file.insert(anywhere(), faults[pick(rng, 0, int(std::size(faults)) - 1)]);
    for (int k = pick(rng, 0, 3); k > 0; --k)
        file.insert(anywhere(), "c " + std::string(size_t(pick(rng, 0, 200)), 'z') + "\n");
    std::string text;
    for (const std::string &line : file) text += line;
    if (pick(rng, 0, 3) == 0 && !text.empty() && text.back() == '\n') text.pop_back();
    return text;
}

TEST_F(fast_reader, first_fault_in_file_order_is_reported) {
    int after_size_line = 0, before_size_line = 0, accepted = 0;
    const std::string path = graph_file_path();
    for (uint32_t seed = 1; seed <= 300; ++seed) {
        std::mt19937 rng(seed);
        const std::string text = faulty_text(rng);
        const model_run want = run_model(text, false);
        const bool compressed = seed % 3 == 0;
        write_graph_file(path, text, compressed);
        shrink_reader(rng, pick(rng, 1, 4));
        const child_outcome got = read_in_child(path);
        ASSERT_EQ(got.standard_error, want.size_line + want.error_message)
            << "seed " << seed << (compressed ? ", gzip" : "") << ", block " << settings.read_block_bytes << "\n"
            << text;
        ASSERT_EQ(got.status, want.ok ? 0 : 255) << "seed " << seed;
        accepted += want.ok;
        (want.size_line.empty() ? before_size_line : after_size_line) += !want.ok;
    }
    remove(path.c_str());
    EXPECT_GT(after_size_line, 150);
    EXPECT_GT(before_size_line, 20);
    EXPECT_LT(accepted, 30);
}

// A plain file is scanned twice; one that changes between the scans must end the run
// with the read message (unless it only grew: what it gained is never read), never with
// rows built from two different files (or written out
// of bounds: the address sanitizer build runs this too). The change happens in the hook
// between the passes, in the child that reads.
std::string changed_text, changed_path;  // set before the fork: the child's pid differs
void change_graph_file() {
    FILE *file = fopen(changed_path.c_str(), "wb");
    if (file == nullptr) return;
    fwrite(changed_text.data(), 1, changed_text.size(), file);
    fclose(file);
}

TEST_F(fast_reader, file_changed_between_passes_is_a_failed_read) {
    std::string text = "p sp 60 400\n";
    std::mt19937 rng(3);
    for (int k = 0; k < 300; ++k)
        text += "a " + std::to_string(pick(rng, 1, 60)) + " " + std::to_string(pick(rng, 1, 60)) + " " +
                std::to_string(pick(rng, 0, 99)) + "\n";
    std::string heavier = text, hub = "p sp 60 400\n";
    for (char &c : heavier)
        if (c == '7') c = '8';
    for (int k = 0; k < 400; ++k) hub += "a 1 2 5\n";
    const std::string changes[] = {
        heavier,                             // same lines, other weights
        hub,                                 // far more records for two nodes than counted
        "p sp 60 400\n",                     // cut down to the problem line
        text + "a 1 2 3\na 1\n",             // grown: read only to its size at open
        text.substr(0, text.size() / 2) + "a 1\n" + text.substr(text.size() / 2)};  // an offending line
    const std::string path = graph_file_path();
    const std::string size_line = "Graph contains 60 nodes and 400 edges\n";
    for (const std::string &change : changes) {
        const bool grown = change.size() > text.size() && change.compare(0, text.size(), text) == 0;
        const std::string expected = size_line + (grown ? "" : "Error: cannot read file " + path + ".\n");
        for (int threads = 1; threads <= 3; ++threads) {
            write_graph_file(path, text, false);
            settings.read_block_bytes = 64;
            settings.read_team_min_bytes = 1;
            settings.build_team_min_work = 1;
            settings.keep_lines_max_bytes = 0;  // a file kept from the first scan is not read again
            omp_set_num_threads(threads);
            changed_text = change;
            changed_path = path;
            test_hooks.first_pass_checked = change_graph_file;
            const child_outcome got = read_in_child(path);
            test_hooks.first_pass_checked = nullptr;
            EXPECT_EQ(got.standard_error, expected) << threads << " threads, changed to\n" << change;
            EXPECT_EQ(got.status, grown ? 0 : 255);
        }
    }
    remove(path.c_str());
}

// A file whose first lines stay and whose later ones all become one edge, each line
// keeping its length, between the scans: the second scan hands the lines up to a checked
// point over and must stop before the others, which give two nodes far more records
// than their slots hold.
TEST_F(fast_reader, file_changed_past_its_first_lines_is_a_failed_read) {
    std::string text = "p sp 60 5000\n", hub = text;
    std::mt19937 rng(4);
    for (int k = 0; k < 4000; ++k) {
        const std::string line = "a " + std::to_string(pick(rng, 1, 60)) + " " + std::to_string(pick(rng, 1, 60)) +
                                 " " + std::to_string(pick(rng, 0, 99)) + "\n";
        text += line;
        hub += k < 2500 ? line : "a 1 2 5" + std::string(line.size() - 8, ' ') + "\n";
    }
    const std::string path = graph_file_path();
    for (int threads = 1; threads <= 3; ++threads) {
        write_graph_file(path, text, false);
        settings.read_team_min_bytes = 1;
        settings.build_team_min_work = 1;
        settings.keep_lines_max_bytes = 0;
        omp_set_num_threads(threads);
        changed_text = hub;
        changed_path = path;
        test_hooks.first_pass_checked = change_graph_file;
        const child_outcome got = read_in_child(path);
        test_hooks.first_pass_checked = nullptr;
        EXPECT_EQ(got.standard_error, "Graph contains 60 nodes and 5000 edges\nError: cannot read file " + path + ".\n")
            << threads << " threads";
        EXPECT_EQ(got.status, 255);
    }
    remove(path.c_str());
}

// A plain file cut or grown under the reader, between two of its reads: the hook runs
// before a read, once, at the first read past a quarter of the file.
std::string hooked_path, grown_tail;
int64_t hook_from = 0;
std::atomic<bool> hook_done{false};
void change_before_read(int64_t offset) {
    if (offset < hook_from || hook_done.exchange(true)) return;
    if (grown_tail.empty()) {
        if (truncate(hooked_path.c_str(), off_t(offset)) != 0) ADD_FAILURE() << "truncate failed";
        return;
    }
    FILE *file = fopen(hooked_path.c_str(), "ab");
    if (file == nullptr) return;
    fwrite(grown_tail.data(), 1, grown_tail.size(), file);
    fclose(file);
}

// Lines of 22 bytes in windows of 64: a cut at a window's end falls inside a line, whose
// head would read as a lighter edge ("a 1 37 10") if the early end were taken for the end
// of the file. Every weight differs from its own heads.
std::string star_text(int lines) {
    std::string text = "p sp " + std::to_string(lines + 1) + " " + std::to_string(lines) + "\n";
    for (int k = 2; k <= lines + 1; ++k) {
        const std::string node = std::to_string(k);
        text += "a 1 " + std::string(6 - node.size(), '0') + node + " 1000000000\n";
    }
    return text;
}

child_outcome read_changed_file(const std::string &text, const std::string &tail, bool held, int threads) {
    const std::string path = graph_file_path();
    write_graph_file(path, text, false);
    settings.read_block_bytes = 64;
    settings.read_team_min_bytes = 1;
    settings.build_team_min_work = 1;
    settings.keep_lines_max_bytes = held ? int64_t(1) << 30 : 0;
    omp_set_num_threads(threads);
    hooked_path = path;
    grown_tail = tail;
    hook_from = int64_t(text.size() / 4);
    hook_done = false;
    test_hooks.before_read_at = change_before_read;
    const child_outcome got = read_in_process(path);
    test_hooks.before_read_at = nullptr;
    EXPECT_TRUE(hook_done) << "the file was never changed";
    remove(path.c_str());
    return got;
}

TEST_F(fast_reader, file_cut_between_two_reads_is_a_failed_read) {
    const std::string text = star_text(400);
    const std::string expected =
        "Graph contains 401 nodes and 400 edges\nError: cannot read file " + graph_file_path() + ".\n";
    for (bool held : {true, false}) {
        for (int threads = 1; threads <= 3; ++threads) {
            const child_outcome got = read_changed_file(text, "", held, threads);
            EXPECT_EQ(got.standard_error, expected) << (held ? "held lines, " : "two passes, ") << threads << " threads";
            EXPECT_EQ(got.status, 255);
            release_graph();
        }
    }
}

TEST_F(fast_reader, file_grown_while_read_is_read_to_its_size_at_open) {
    const std::string text = star_text(400);
    const model_run want = run_model(text);
    ASSERT_TRUE(want.ok);
    for (bool held : {true, false}) {
        for (int threads = 1; threads <= 3; ++threads) {
            // Read, the added lines would offend: one too many, and a bare edge line.
            const child_outcome got = read_changed_file(text, "a 1 2 1\na 1\n", held, threads);
            ASSERT_EQ(got.standard_error, want.size_line) << (held ? "held lines, " : "two passes, ") << threads;
            ASSERT_EQ(got.status, 0);
            EXPECT_EQ(solve_loaded(1).distances, want.min_distance);
            release_graph();
        }
    }
}

// A regular file read in order by read(2), cut back or grown between two of its reads: a
// gzip file's compressed bytes (on the inflating thread), or a plain file's head. The
// hook runs before a read, once, at the first read from stream_from bytes on; it cuts the
// file to stream_cut bytes, or appends stream_tail.
std::string stream_path, stream_tail;
int64_t stream_from = 0, stream_cut = 0;
std::atomic<bool> stream_changed{false};
void change_before_stream_read(int64_t offset) {
    if (offset < stream_from || stream_changed.exchange(true)) return;
    if (stream_tail.empty()) {
        if (truncate(stream_path.c_str(), off_t(stream_cut)) != 0) ADD_FAILURE() << "truncate failed";
        return;
    }
    FILE *file = fopen(stream_path.c_str(), "ab");
    if (file == nullptr) return;
    fwrite(stream_tail.data(), 1, stream_tail.size(), file);
    fclose(file);
}

child_outcome read_stream_changed(const std::string &bytes, int64_t from, int64_t cut, const std::string &tail) {
    const std::string path = graph_file_path();
    FILE *file = fopen(path.c_str(), "wb");
    EXPECT_NE(file, nullptr);
    if (file == nullptr) return {"", -1};
    fwrite(bytes.data(), 1, bytes.size(), file);
    fclose(file);
    settings.read_block_bytes = 64;
    settings.inflate_whole_max_bytes = 0;  // the gzip stream, not a whole inflated copy
    stream_path = path;
    stream_from = from;
    stream_cut = cut;
    stream_tail = tail;
    stream_changed = false;
    test_hooks.before_stream_read = change_before_stream_read;
    const child_outcome got = read_in_process(path);
    test_hooks.before_stream_read = nullptr;
    EXPECT_TRUE(stream_changed) << "the file was never changed";
    remove(path.c_str());
    return got;
}

// A comment line of random letters that gzip cannot shrink below 256 KiB, the most one
// read of the compressed bytes takes: the member needs two reads.
std::string incompressible_comment() {
    std::mt19937 rng(5);
    std::string line = "c ";
    for (int k = 0; k < 600000; ++k) line += char('a' + pick(rng, 0, 25));
    return line + "\n";
}

constexpr int64_t PACKED_READ_BYTES = int64_t(256) << 10;

TEST_F(fast_reader, gzip_file_grown_while_read_is_read_to_its_size_at_open) {
    const std::string text = incompressible_comment() + "p sp 3 2\na 1 2 4\na 2 3 5\n";
    const std::string packed = gzipped(text);
    ASSERT_GT(int64_t(packed.size()), PACKED_READ_BYTES);
    for (bool zlib : {false, true}) {
        for (int64_t from : {int64_t(0), PACKED_READ_BYTES}) {
            settings.inflate_with_zlib = zlib;
            // Read, the second member's line would be one edge line too many.
            const child_outcome got = read_stream_changed(packed, from, 0, gzipped("a 1 3 1\n"));
            const std::string label = std::string(zlib ? "zlib" : "default inflater") + ", grown at read from " +
                                      std::to_string(from);
            ASSERT_EQ(got.standard_error, "Graph contains 3 nodes and 2 edges\n") << label;
            ASSERT_EQ(got.status, 0) << label;
            EXPECT_EQ(solve_loaded(1).distances, (std::vector<int32_t>{0, 4, 9})) << label;
            release_graph();
        }
    }
}

TEST_F(fast_reader, gzip_file_cut_to_its_first_member_while_read_is_a_failed_read) {
    const std::string first = gzipped(incompressible_comment() + "p sp 3 3\na 1 2 4\na 2 3 5\n");
    ASSERT_GT(int64_t(first.size()), PACKED_READ_BYTES);
    const std::string expected =
        "Graph contains 3 nodes and 3 edges\nError: cannot read file " + graph_file_path() + ".\n";
    for (bool zlib : {false, true}) {
        for (int64_t from : {int64_t(0), PACKED_READ_BYTES}) {
            settings.inflate_with_zlib = zlib;
            // Taken for the end, the cut would leave a whole graph of two edge lines.
            const std::string bytes = first + gzipped("a 1 3 1\n");
            const child_outcome got = read_stream_changed(bytes, from, int64_t(first.size()), "");
            const std::string label = std::string(zlib ? "zlib" : "default inflater") + ", cut at read from " +
                                      std::to_string(from);
            EXPECT_EQ(got.standard_error, expected) << label;
            EXPECT_EQ(got.status, 255) << label;
            release_graph();
        }
    }
}

// A plain file's head is read in order too, up to its problem line.
TEST_F(fast_reader, plain_file_head_changed_while_read_in_order) {
    std::string comments;
    for (int k = 0; k < 40; ++k) comments += "c a comment line of the head\n";
    const std::string lines = "p sp 3 2\na 1 2 4\na 2 3 5\n";
    const std::string path = graph_file_path();
    // Cut inside the comments: taken for the end, it would read as a file without a problem line.
    const child_outcome cut = read_stream_changed(comments + lines, 256, 300, "");
    EXPECT_EQ(cut.standard_error, "Error: cannot read file " + path + ".\n");
    EXPECT_EQ(cut.status, 255);
    release_graph();
    // Grown by the problem line and edges after it was opened: the file as it was has none.
    const child_outcome grown = read_stream_changed(comments, 256, 0, lines);
    EXPECT_EQ(grown.standard_error, "Error in file format: no problem line.\n");
    EXPECT_EQ(grown.status, 255);
    release_graph();
}

}  // namespace
