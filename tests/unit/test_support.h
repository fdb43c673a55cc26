// Helpers shared by the unit, oracle, differential and thread-team tests: they run the
// real reader on text written to a temporary file and the real solver on a chosen team
// size, and keep what a user would see (distances and standard error).
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <zlib.h>
#include <omp.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "bucket_solver.h"
#include "builder.h"
#include "failure.h"
#include "graph.h"
#include "gzip_input.h"
#include "gzip_text.h"
#include "input.h"
#include "listing.h"
#include "memory.h"
#include "reader.h"
#include "rows.h"
#include "settings.h"
#include "solver.h"
#include "test_hooks.h"

constexpr int32_t infinite = 1073741824;
constexpr const char *early_end_warning =
    "Warning: Search ended early, the graph might not be connected.\n";

// One file per process, rewritten for every graph: tests of one binary never run in
// parallel, and ctest runs each discovered test in its own process.
inline std::string graph_file_path() {
    return testing::TempDir() + "norvane_unit_" + std::to_string(getpid()) + ".gr";
}

// Every test puts the settings, the hooks and the team size back, so that a failed
// assertion cannot leave a later test in the same process on shrunken blocks.
class tunables_restored : public testing::Test {
  protected:
    void TearDown() override {
        settings = default_settings;
        test_hooks = test_hook_set{};
        omp_set_num_threads(saved_threads);
        release_graph();
    }

  private:
    const int saved_threads = omp_get_max_threads();
};

struct read_rejected {};
[[noreturn]] inline void throw_read_rejected() { throw read_rejected(); }

// What write_listing puts on standard output, taken from a temporary file put there, and
// whether it says it wrote it all.
inline std::string captured_listing(bool *written) {
    const std::string path = graph_file_path() + ".out";
    fflush(stdout);
    const int file = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    const int saved = dup(STDOUT_FILENO);
    dup2(file, STDOUT_FILENO);
    *written = write_listing();
    dup2(saved, STDOUT_FILENO);
    close(saved);
    std::string bytes;
    char chunk[1 << 16];
    lseek(file, 0, SEEK_SET);
    for (ssize_t got; (got = read(file, chunk, sizeof chunk)) > 0;) bytes.append(chunk, size_t(got));
    close(file);
    remove(path.c_str());
    return bytes;
}

// Writes text to path, gzip-compressed when asked: the reader then takes the stream path
// (one scan into blocks) instead of the plain file's ranges.
inline void write_graph_file(const std::string &path, const std::string &text, bool compressed) {
    const std::string bytes = compressed ? gzipped(text) : text;
    FILE *file = fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr) << path;
    fwrite(bytes.data(), 1, bytes.size(), file);
    fclose(file);
}

// Frees whatever an earlier graph left, then builds the state from text. Returns the
// reader's standard error (the size line) so that it stays out of the test log.
// A file the reader rejects would end the whole test binary; it fails the test at hand
// instead, with the reader's message, and leaves a one-node graph to carry on with.
inline std::string load_graph(const std::string &text, bool compressed = false) {
    release_graph();
    // The default block is sized for graphs of millions of lines; allocating it for every
    // small file dominates a sanitizer build. Tests that shrink it further keep theirs.
    if (settings.read_block_bytes > (size_t(1) << 16)) settings.read_block_bytes = size_t(1) << 16;
    const std::string path = graph_file_path();
    write_graph_file(path, text, compressed);
    testing::internal::CaptureStderr();
    bool rejected = false;
    failure_handler = throw_read_rejected;
    try {
        read_graph(path.c_str());
    } catch (const read_rejected &) {
        rejected = true;
    }
    failure_handler = nullptr;
    std::string err = testing::internal::GetCapturedStderr();
    remove(path.c_str());
    if (rejected) {
        ADD_FAILURE() << "read_graph rejected the file:\n" << err;
        load_graph("p sp 1 0\n");
    }
    return err;
}

// Node u's row of the loaded store as (target, weight) pairs, in the store's order.
inline std::vector<std::pair<int32_t, int32_t>> stored_row(int32_t u) {
    std::vector<std::pair<int32_t, int32_t>> row;
    with_rows([&](const auto &rows) {
        for (uint32_t k = rows.offsets[u]; k < rows.offsets[u + 1]; ++k)
            row.push_back({rows.target(k, u), rows.weight(k)});
    });
    return row;
}

// The loaded store has n rows that fill its pool back to back, none ending before it starts.
inline testing::AssertionResult rows_fill_pool(int32_t n) {
    if (num_nodes != n) return testing::AssertionFailure() << "num_nodes " << num_nodes;
    if (nodes[0] != 0 || nodes[num_nodes] != edge_counter)
        return testing::AssertionFailure() << "rows span " << nodes[0] << ".." << nodes[num_nodes]
                                           << ", edge_counter " << edge_counter;
    for (int32_t u = 0; u < num_nodes; ++u) {
        if (nodes[u] > nodes[u + 1]) return testing::AssertionFailure() << "row " << u << " ends before it starts";
    }
    return testing::AssertionSuccess();
}

// Shuffles each row of the loaded store and rewrites the pool packed (weight in the low
// bits, the target's offset in the rest) when pack is set and every record fits, wide
// otherwise, whatever layout the builder chose: the solvers must rely on neither the
// layout nor the order of a row. Returns whether the pool is packed.
inline bool reshape_loaded_store(std::mt19937 &rng, bool pack) {
    const int64_t records = edge_counter;
    std::vector<edge_record> pool(static_cast<size_t>(records));
    with_rows([&](const auto &rows) {
        for (int32_t u = 0; u < num_nodes; ++u)
            for (uint32_t k = rows.offsets[u]; k < rows.offsets[u + 1]; ++k)
                pool[k] = edge_record{rows.target(k, u), rows.weight(k)};
    });
    int32_t max_weight = 0;
    int64_t max_offset = 0;
    bool negative = false;
    for (int32_t u = 0; u < num_nodes; ++u) {
        std::shuffle(pool.begin() + nodes[u], pool.begin() + nodes[u + 1], rng);
        for (uint32_t k = nodes[u]; k < nodes[u + 1]; ++k) {
            negative |= pool[k].weight < 0;
            max_weight = std::max(max_weight, pool[k].weight);
            max_offset = std::max(max_offset, std::abs(int64_t(pool[k].target) - u));
        }
    }
    int bits = 1;
    while (bits < 31 && (int64_t(1) << bits) <= max_weight) ++bits;
    pack = pack && !negative && max_offset + 1 <= (int64_t(1) << (31 - bits));
    release_array(edges);
    release_array(packed_edges);
    edges = nullptr;
    packed_edges = nullptr;
    packed_weight_bits = 0;
    if (pack) {
        packed_edges = static_cast<uint32_t *>(allocate_array(size_t(records), sizeof(uint32_t)));
        for (int32_t u = 0; u < num_nodes; ++u)
            for (uint32_t k = nodes[u]; k < nodes[u + 1]; ++k)
                packed_edges[k] = pack_record(u, pool[k].target, pool[k].weight, bits);
        packed_weight_bits = bits;
    } else {
        edges = static_cast<edge_record *>(allocate_array(size_t(records), sizeof(edge_record)));
        std::copy(pool.begin(), pool.end(), edges);
    }
    return pack;
}

struct solved_graph {
    std::vector<int32_t> distances;  // min_distance of every node, node 0 included
    std::string standard_error;      // what compute_distances wrote
};

// Runs the solver on the loaded graph with a team of the given size.
inline solved_graph solve_loaded(int threads) {
    omp_set_num_threads(threads);
    testing::internal::CaptureStderr();
    compute_distances();
    solved_graph result;
    result.standard_error = testing::internal::GetCapturedStderr();
    result.distances.assign(min_distance, min_distance + num_nodes);
    omp_set_num_threads(1);
    return result;
}

inline solved_graph solve_text(const std::string &text, int threads = 1) {
    load_graph(text);
    solved_graph result = solve_loaded(threads);
    release_graph();
    return result;
}

inline std::string warning_if(bool early_end) { return early_end ? early_end_warning : ""; }

struct file_edge {
    int32_t u, v, w;  // file numbering, 1-based
};

struct random_graph {
    int32_t n;
    std::vector<file_edge> edges;
};

inline int pick(std::mt19937 &rng, int lo, int hi) {
    return std::uniform_int_distribution<int>(lo, hi)(rng);
}

// Half the graphs are one component and the rest up to four, so that some nodes stay out
// of reach; about one line
// in ten repeats an earlier pair (in either direction) and one in ten is a self-loop.
template <class weight_fn>
random_graph make_random_graph(std::mt19937 &rng, int max_nodes, weight_fn weight) {
    random_graph g;
    g.n = pick(rng, 1, max_nodes);
    std::vector<std::vector<int32_t>> members(pick(rng, 0, 1) ? 1 : pick(rng, 2, 4));
    for (int32_t node = 1; node <= g.n; ++node)
        members[node == 1 ? 0 : pick(rng, 0, int(members.size()) - 1)].push_back(node);
    std::vector<int> component_of(g.n + 1);
    for (size_t c = 0; c < members.size(); ++c)
        for (int32_t node : members[c]) component_of[node] = int(c);
    // Half the graphs start with a spanning tree of each component; sparse random lines
    // alone leave isolated nodes in nearly every graph.
    if (pick(rng, 0, 1)) {
        for (const std::vector<int32_t> &peers : members)
            for (size_t k = 1; k < peers.size(); ++k)
                g.edges.push_back({peers[k], peers[size_t(pick(rng, 0, int(k) - 1))], weight()});
    }
    const int lines = pick(rng, 0, 2 * g.n);
    for (int k = 0; k < lines; ++k) {
        const int kind = pick(rng, 0, 9);
        const int32_t u = pick(rng, 1, g.n);
        if (kind == 0 && !g.edges.empty()) {
            const file_edge old = g.edges[pick(rng, 0, int(g.edges.size()) - 1)];
            g.edges.push_back(pick(rng, 0, 1) ? file_edge{old.v, old.u, weight()}
                                               : file_edge{old.u, old.v, weight()});
        } else if (kind == 1) {
            g.edges.push_back({u, u, weight()});
        } else {
            const std::vector<int32_t> &peers = members[component_of[u]];
            g.edges.push_back({u, peers[pick(rng, 0, int(peers.size()) - 1)], weight()});
        }
    }
    return g;
}

inline std::string plain_text(const random_graph &g) {
    std::string text = "p sp " + std::to_string(g.n) + " " + std::to_string(g.edges.size()) + "\n";
    for (const file_edge &e : g.edges)
        text += "a " + std::to_string(e.u) + " " + std::to_string(e.v) + " " + std::to_string(e.w) + "\n";
    return text;
}

// Mostly small values of both signs so that ties and negative cycles abound, with the
// extremes that only clamping keeps from wrapping.
inline int32_t signed_weight(std::mt19937 &rng) {
    static const int32_t extremes[] = {INT32_MIN, INT32_MIN + 1, -1073741824, 1073741823,
                                       1073741824, INT32_MAX};
    if (pick(rng, 0, 9) == 0) return extremes[pick(rng, 0, 5)];
    return pick(rng, -3, 6);
}

// Weights 0..2 make equal tentative distances the rule; a few heavy edges keep some
// nodes unsettled. Non-negative weights make the final distances independent of which
// equally near node a team settles first.
inline int32_t tie_weight(std::mt19937 &rng) {
    const int k = pick(rng, 0, 19);
    return k == 0 ? pick(rng, infinite, INT32_MAX) : k % 3;
}

// Writes g with legal variations the reader must take in its stride: comments (some
// longer than 255 bytes hiding a problem line where a cut would fall, some holding NUL
// bytes), blank and foreign lines, any skipped prefix byte, signs, leading zeros, tabs and
// long runs of blanks, trailing words or NUL bytes, CRLF, slack in M, no final newline.
inline std::string decorated_text(std::mt19937 &rng, const random_graph &g) {
    using namespace std::string_literals;
    auto noise = [&]() -> std::string {
        switch (pick(rng, 0, 13)) {
        case 0: return "c " + std::string(size_t(pick(rng, 0, 300)), 'x') + "\n";
        case 1: return "c" + std::string(254, ' ') + "p sp 1 0\n";
        case 2: return "\n";
        case 3: return " a 1 1 1\n";
        case 4: return "A 1 2 3\nP sp 1 1\n";
        case 5: return "c \0 a 1 2\0\n"s;
        case 6: return "\0a 1 1 1\n"s;
        default: return "";
        }
    };
    auto number = [&](int64_t v) {
        const std::string digits = std::to_string(v < 0 ? -v : v);
        const std::string sign = v < 0 ? "-" : pick(rng, 0, 5) == 0 ? "+" : "";
        return sign + std::string(pick(rng, 0, 7) == 0 ? 12 : 0, '0') + digits;
    };
    static const char *gaps[] = {" ", "  ", "\t", " \t ", "\v \f"};
    auto gap = [&] { return pick(rng, 0, 29) == 0 ? std::string(70, ' ') : gaps[pick(rng, 0, 4)]; };
    static const std::string ends[] = {"\n", "\n", "\n", " trailing words\n", "\r\n", "\t\n",
                                       "\0tail\n"s};
    auto end = [&] { return ends[pick(rng, 0, 6)]; };

    std::string text = noise();
    text += "p " + std::string(pick(rng, 0, 1) ? "sp" : "zz") + gap() + number(g.n) + gap() +
            number(int64_t(g.edges.size()) + pick(rng, 0, 2)) + end();
    for (const file_edge &e : g.edges) {
        text += noise();
        text += std::string("a") + " \t9x"[pick(rng, 0, 3)] + gap() + number(e.u) + gap() +
                number(e.v) + gap() + number(e.w) + end();
    }
    text += noise();
    if (pick(rng, 0, 3) == 0 && text.back() == '\n') text.pop_back();
    return text;
}
