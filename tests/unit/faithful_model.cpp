// The straightforward design, re-implemented for comparison: lines split at '\n' only,
// integers scanned with strtoll and range-checked, edges appended to singly linked lists
// in file order, and rounds that scan every node, settling the lowest index among equals.
#include "faithful_model.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>

namespace {

const int64_t infinite_distance = 1073741824;

// Reads count integers after the line's first prefix bytes, each with optional leading
// white space and sign. A NUL byte stops strtoll like the end of the line would.
bool scan_after_prefix(const std::string &line, size_t prefix, int count, int32_t *out) {
    if (line.size() <= prefix) return false;
    const std::string rest = line.substr(prefix);
    const char *pos = rest.c_str();
    for (int k = 0; k < count; ++k) {
        char *end = nullptr;
        errno = 0;
        const long long value = strtoll(pos, &end, 10);
        if (end == pos || errno == ERANGE || value < INT32_MIN || value > INT32_MAX) return false;
        out[k] = int32_t(value);
        pos = end;
    }
    return true;
}

int32_t clamp_sum(int32_t a, int32_t b) {
    const int64_t sum = int64_t(a) + b;
    return int32_t(sum > INT32_MAX ? INT32_MAX : sum < INT32_MIN ? INT32_MIN : sum);
}

void solve(const model_store &graph, int32_t n, model_run &run) {
    std::vector<int32_t> &dist = run.min_distance;
    std::vector<bool> settled(n, false);
    settled[0] = true;
    dist.resize(n);
    for (int32_t i = 0; i < n; ++i) dist[i] = graph.lookup(0, i);
    for (int32_t round = 1; round < n; ++round) {
        int32_t best = -1;
        for (int32_t i = 0; i < n; ++i)
            if (!settled[i] && dist[i] < infinite_distance && (best == -1 || dist[i] < dist[best]))
                best = i;
        if (best == -1) {
            run.warned = true;
            return;
        }
        settled[best] = true;
        for (int32_t i = 0; i < n; ++i) {
            const int32_t d = graph.lookup(best, i);
            if (!settled[i] && d < infinite_distance) {
                const int32_t sum = clamp_sum(dist[best], d);
                if (sum < dist[i]) dist[i] = sum;
            }
        }
    }
}

}  // namespace

void model_store::append(int32_t node, int32_t target, int32_t weight) {
    pool.push_back({target, weight, -1});
    const int added = int(pool.size()) - 1;
    int *link = &heads[node];
    while (*link != -1) link = &pool[*link].next;
    *link = added;
}

int32_t model_store::lookup(int32_t from, int32_t to) const {
    if (from == to) return 0;
    for (int r = heads[from]; r != -1; r = pool[r].next)
        if (pool[r].target == to) return pool[r].weight;
    return int32_t(infinite_distance);
}

model_run run_model(const std::string &file_bytes, bool solve_too) {
    model_run run;
    model_store &graph = run.graph;
    bool have_problem = false;
    int32_t n = 0;
    int64_t lines_left = 0;
    auto reject = [&run](const std::string &line) {
        run.error_message = "Error in file format in line:\n" + line;
        return run;
    };
    for (size_t start = 0; start < file_bytes.size();) {
        const size_t newline = file_bytes.find('\n', start);
        const size_t stop = newline == std::string::npos ? file_bytes.size() : newline + 1;
        const std::string line = file_bytes.substr(start, stop - start);
        start = stop;
        if (line[0] == 'p') {
            int32_t counts[2];
            if (have_problem || !scan_after_prefix(line, 5, 2, counts) || counts[0] == 0)
                return reject(line);
            have_problem = true;
            n = counts[0];
            lines_left = counts[1];
            run.size_line = "Graph contains " + std::to_string(counts[0]) + " nodes and " +
                            std::to_string(counts[1]) + " edges\n";
            // A negative count asks for more memory than there is.
            if (n < 0 || lines_left < 0) {
                run.error_message = "Error: cannot allocate memory.\n";
                return run;
            }
            graph.heads.assign(size_t(n), -1);
        } else if (line[0] == 'a') {
            int32_t f[3];
            if (!have_problem || lines_left == 0 || !scan_after_prefix(line, 2, 3, f) || f[0] < 1 ||
                f[0] > n || f[1] < 1 || f[1] > n)
                return reject(line);
            --lines_left;
            graph.append(f[0] - 1, f[1] - 1, f[2]);
            graph.append(f[1] - 1, f[0] - 1, f[2]);
        }
    }
    if (!have_problem) {
        run.error_message = "Error in file format: no problem line.\n";
        return run;
    }
    run.ok = true;
    if (solve_too) solve(graph, n, run);
    return run;
}

std::vector<std::pair<int32_t, int32_t>> model_row(const model_run &run, int32_t u) {
    std::vector<std::pair<int32_t, int32_t>> row;
    for (int r = run.graph.heads[u]; r != -1; r = run.graph.pool[r].next) {
        const int32_t v = run.graph.pool[r].target;
        if (v != u) row.push_back({v, run.graph.lookup(u, v)});
    }
    std::sort(row.begin(), row.end());
    row.erase(std::unique(row.begin(), row.end()), row.end());
    return row;
}

std::string model_listing(const model_run &run) {
    std::string out = "\nMinimal distance from node 0 to every other node:\n";
    for (size_t i = 1; i < run.min_distance.size(); ++i)
        out += "Node " + std::to_string(i) + ": \t" + std::to_string(run.min_distance[i]) + "\n";
    return out;
}
