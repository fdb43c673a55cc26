// A small sequential model of the whole run, for differential tests: a whole-line reader
// with the program's acceptance rules, a linked-list adjacency store, and the scan solver
// on one thread. It is meant for small files held in memory, and shares no code with src/.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct model_run {
    bool ok = false;
    std::string size_line;      // "Graph contains ..." once a problem line is accepted
    std::string error_message;  // when !ok: the bytes that end the run, offending line included
    std::vector<int32_t> min_distance;  // when ok: every node, node 0 included
    bool warned = false;                // when ok: the early-end warning was written
};

// Reads the bytes of a graph file and, when they are valid, computes the distances.
model_run run_model(const std::string &file_bytes);

// The standard output the program writes after a successful run.
std::string model_listing(const model_run &run);
