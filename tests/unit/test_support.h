// Helpers shared by the unit, oracle, differential and thread-team tests: they run the
// real reader on text written to a temporary file and the real solver on a chosen team
// size, and keep what a user would see (distances and standard error).
#pragma once

#include <gtest/gtest.h>
#include <omp.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "graph.h"
#include "solver.h"

constexpr int32_t infinite = 1073741824;
constexpr const char *early_end_warning =
    "Warning: Search ended early, the graph might not be connected.\n";

// One file per process, rewritten for every graph: tests of one binary never run in
// parallel, and ctest runs each discovered test in its own process.
inline std::string graph_file_path() {
    return testing::TempDir() + "norvane_unit_" + std::to_string(getpid()) + ".gr";
}

// Frees whatever an earlier graph left, then builds the state from text. Returns the
// reader's standard error (the size line) so that it stays out of the test log.
inline std::string load_graph(const std::string &text) {
    release_graph();
    const std::string path = graph_file_path();
    FILE *file = fopen(path.c_str(), "wb");
    EXPECT_NE(file, nullptr) << path;
    if (file == nullptr) return "";
    fwrite(text.data(), 1, text.size(), file);
    fclose(file);
    testing::internal::CaptureStderr();
    read_graph(path.c_str());
    std::string err = testing::internal::GetCapturedStderr();
    remove(path.c_str());
    return err;
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

struct edge_line {
    int32_t u, v, w;  // file numbering, 1-based
};

struct random_graph {
    int32_t n;
    std::vector<edge_line> edges;
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
            const edge_line old = g.edges[pick(rng, 0, int(g.edges.size()) - 1)];
            g.edges.push_back(pick(rng, 0, 1) ? edge_line{old.v, old.u, weight()}
                                               : edge_line{old.u, old.v, weight()});
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
    for (const edge_line &e : g.edges)
        text += "a " + std::to_string(e.u) + " " + std::to_string(e.v) + " " + std::to_string(e.w) + "\n";
    return text;
}
