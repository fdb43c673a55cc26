// A small sequential model of the whole run, for differential tests: a whole-line reader
// with the program's acceptance rules, a linked-list adjacency store, and the scan solver
// on one thread. It is meant for files held in memory (small ones when solving), and
// shares no code with src/.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// Adjacency lists in file order, each new record appended at its list's end.
struct model_store {
    struct record {
        int32_t target;
        int32_t weight;
        int next;  // index into the pool, -1 at the end of a list
    };
    std::vector<record> pool;
    std::vector<int> heads;

    void append(int32_t node, int32_t target, int32_t weight);
    // The weight of the first record from `from` to `to`; 0 to itself; 2^30 when none.
    int32_t lookup(int32_t from, int32_t to) const;
};

struct model_run {
    bool ok = false;
    std::string size_line;      // "Graph contains ..." once a problem line is accepted
    std::string error_message;  // when !ok: the bytes that end the run, offending line included
    std::vector<int32_t> min_distance;  // when ok: every node, node 0 included
    bool warned = false;                // when ok: the early-end warning was written
    model_store graph;                  // when ok: every record of every edge line
};

// Reads the bytes of a graph file and, when they are valid and solve is set, computes
// the distances (an O(n^2) scan: leave it off for large graphs).
model_run run_model(const std::string &file_bytes, bool solve = true);

// Node u's neighbours other than itself, ascending, each once with the weight its
// lookup answers: what a compact row of u must hold.
std::vector<std::pair<int32_t, int32_t>> model_row(const model_run &run, int32_t u);

// The standard output the program writes after a successful run.
std::string model_listing(const model_run &run);
