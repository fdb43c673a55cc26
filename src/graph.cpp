// Graph file reader and adjacency store. Lines are read whole, whatever their length,
// and classified by their first byte; integers are scanned by hand so that a number
// outside the signed 32-bit range is rejected rather than wrapped.
// Invariant: each accepted edge line takes two consecutive pool records, appended to
// the ends of its two nodes' lists, so the earliest line joining two nodes answers lookups.
#include "graph.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

int32_t num_nodes = 0;
int32_t num_edges = 0;
edge_record *edges = nullptr;
int64_t edge_counter = 0;
edge_record **nodes = nullptr;
int32_t *min_distance = nullptr;
uint8_t *tree = nullptr;

namespace {

enum scan_result { SCAN_OK, SCAN_NONE, SCAN_RANGE };

// The white space that the C library's integer scanning skips in the C locale.
bool is_scan_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Scans one decimal integer with optional sign after any white space, from *pos up to
// end. A NUL byte ends the scan like any other non-digit.
scan_result scan_int(const char *&pos, const char *end, int32_t *out) {
    const char *p = pos;
    while (p < end && is_scan_space(*p)) ++p;
    bool negative = false;
    if (p < end && (*p == '+' || *p == '-')) {
        negative = *p == '-';
        ++p;
    }
    if (p >= end || *p < '0' || *p > '9') return SCAN_NONE;
    int64_t value = 0;
    bool too_big = false;
    for (; p < end && *p >= '0' && *p <= '9'; ++p) {
        if (!too_big) {
            value = value * 10 + (*p - '0');
            if (value > int64_t(INT32_MAX) + 1) too_big = true;
        }
    }
    pos = p;
    if (negative) value = -value;
    if (too_big || value > INT32_MAX || value < INT32_MIN) return SCAN_RANGE;
    *out = int32_t(value);
    return SCAN_OK;
}

// Scans count integers from the line after its skipped prefix; false unless all are there
// and in range. A line no longer than the prefix has no integers.
bool scan_ints(const char *line, size_t length, size_t prefix, int32_t *out, int count) {
    if (length <= prefix) return false;
    const char *pos = line + prefix;
    const char *end = line + length;
    for (int k = 0; k < count; ++k) {
        if (scan_int(pos, end, &out[k]) != SCAN_OK) return false;
    }
    return true;
}

[[noreturn]] void fail_line(const char *line, size_t length) {
    fputs("Error in file format in line:\n", stderr);
    fwrite(line, 1, length, stderr);
    exit(-1);
}

[[noreturn]] void fail_memory() {
    fputs("Error: cannot allocate memory.\n", stderr);
    exit(-1);
}

// malloc that treats a request of zero bytes as a success.
void *allocate(size_t count, size_t size) {
    void *p = malloc(count == 0 ? 1 : count * size);
    if (p == nullptr) fail_memory();
    return p;
}

void append(int32_t node, int32_t target, int32_t weight) {
    edge_record *record = &edges[edge_counter++];
    record->target = target;
    record->weight = weight;
    record->next = nullptr;
    edge_record **link = &nodes[node];
    while (*link != nullptr) link = &(*link)->next;
    *link = record;
}

void read_problem_line(const char *line, size_t length) {
    int32_t counts[2];
    if (nodes != nullptr) fail_line(line, length);  // a second problem line
    if (!scan_ints(line, length, 5, counts, 2)) fail_line(line, length);
    if (counts[0] < 1 || counts[1] < 0) fail_line(line, length);
    num_nodes = counts[0];
    num_edges = counts[1];
    fprintf(stderr, "Graph contains %d nodes and %d edges\n", num_nodes, num_edges);
    // 64-bit sizes: 2 * M records must not wrap.
    size_t n = size_t(num_nodes);
    size_t records = 2 * size_t(num_edges);
    edges = static_cast<edge_record *>(allocate(records, sizeof(edge_record)));
    nodes = static_cast<edge_record **>(allocate(n, sizeof(edge_record *)));
    for (size_t i = 0; i < n; ++i) nodes[i] = nullptr;
    min_distance = static_cast<int32_t *>(allocate(n, sizeof(int32_t)));
    tree = static_cast<uint8_t *>(allocate(n, sizeof(uint8_t)));
}

void read_edge_line(const char *line, size_t length) {
    int32_t fields[3];
    if (nodes == nullptr) fail_line(line, length);                 // before the problem line
    if (edge_counter >= 2 * int64_t(num_edges)) fail_line(line, length);  // beyond M lines
    if (!scan_ints(line, length, 2, fields, 3)) fail_line(line, length);
    if (fields[0] < 1 || fields[0] > num_nodes || fields[1] < 1 || fields[1] > num_nodes)
        fail_line(line, length);
    int32_t u = fields[0] - 1;
    int32_t v = fields[1] - 1;
    append(u, v, fields[2]);
    append(v, u, fields[2]);
}

}  // namespace

void read_graph(const char *path) {
    FILE *file = fopen(path, "r");
    if (file == nullptr) {
        fprintf(stderr, "File %s not found.\n", path);
        exit(-1);
    }
    char *line = nullptr;
    size_t capacity = 0;
    ssize_t length;
    while ((length = getline(&line, &capacity, file)) >= 0) {
        if (line[0] == 'p') {
            read_problem_line(line, size_t(length));
        } else if (line[0] == 'a') {
            read_edge_line(line, size_t(length));
        }
    }
    // A failed read is not the end of the file: a graph cut short must not pass.
    if (ferror(file)) {
        fprintf(stderr, "Error: cannot read file %s.\n", path);
        exit(-1);
    }
    free(line);
    fclose(file);
    if (nodes == nullptr) {
        fputs("Error in file format: no problem line.\n", stderr);
        exit(-1);
    }
}

int32_t get_distance(int32_t from, int32_t to) {
    if (from == to) return 0;
    for (const edge_record *r = nodes[from]; r != nullptr; r = r->next) {
        if (r->target == to) return r->weight;
    }
    return INFINITE_DISTANCE;
}

void release_graph() {
    free(nodes);
    free(edges);
    free(min_distance);
    free(tree);
    nodes = nullptr;
    edges = nullptr;
    min_distance = nullptr;
    tree = nullptr;
    edge_counter = 0;
    num_nodes = 0;
    num_edges = 0;
}
