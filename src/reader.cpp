// Graph file reader. The input hands over large runs of whole lines; the lines before the
// problem line are handled on the calling thread, every later run is cut at line
// boundaries and scanned by the whole team, each member into its own buffer, then
// gathered in file order. Errors always name the first offending line in file order.
#include "reader.h"

#include <omp.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "builder.h"
#include "failure.h"
#include "graph.h"
#include "input.h"
#include "memory.h"

namespace {

// The shortest edge line is "a 1+1+1" and a newline: a bound on lines per byte.
constexpr size_t MIN_EDGE_LINE_BYTES = 8;

}  // namespace

size_t read_team_min_bytes = size_t(1) << 20;

namespace {

// One member's share of a run: its lines, what it accepted and where it stopped.
struct chunk_result {
    const char *start;       // first line of the chunk; the next chunk's start ends it
    edge_line *lines;
    size_t capacity;
    int64_t count;           // accepted lines, or -1 when no buffer could be had
    int64_t offset;          // where its lines go among all accepted ones
    const char *error_line;  // first offending line of the chunk, if any
    bool negative;
};

edge_line *accepted = nullptr;  // sized for the M edge lines announced
int64_t num_accepted = 0;
chunk_result *results = nullptr;
int num_results = 0;

// Prints the whole line that starts at line, with its newline if it has one; limit is
// the end of the run, where an unterminated last line stops.
[[noreturn]] void fail_line(const char *line, const char *limit) {
    const char *newline = static_cast<const char *>(memchr(line, '\n', size_t(limit - line)));
    const char *stop = newline != nullptr ? newline + 1 : limit;
    fputs("Error in file format in line:\n", stderr);
    fwrite(line, 1, size_t(stop - line), stderr);
    end_with_failure();
}

// Start of the line after the one holding p; a newline is known to stand at or after p.
inline const char *next_line(const char *p) {
    return static_cast<const char *>(rawmemchr(p, '\n')) + 1;
}

// The C library's white space minus the newline, which ends the line here.
struct blank_table {
    bool is_blank[256] = {};
    constexpr blank_table() : is_blank() {
        is_blank[int(' ')] = is_blank[int('\t')] = is_blank[int('\r')] = true;
        is_blank[int('\v')] = is_blank[int('\f')] = true;
    }
};
constexpr blank_table blanks;

// Scans one decimal integer with optional sign after blanks, never past the line's
// newline. A value of more than ten significant digits comes back outside the 32-bit
// range (2^40) rather than wrapped.
inline bool scan_int(const char *&pos, int64_t *out) {
    const unsigned char *p = reinterpret_cast<const unsigned char *>(pos);
    while (blanks.is_blank[*p]) ++p;
    bool negative = false;
    unsigned digit = unsigned(*p) - '0';
    if (digit > 9) {
        if (*p != '+' && *p != '-') return false;
        negative = *p == '-';
        digit = unsigned(*++p) - '0';
        if (digit > 9) return false;
    }
    while (digit == 0) {  // leading zeros do not count towards the length
        digit = unsigned(*++p) - '0';
        if (digit > 9) break;
    }
    const unsigned char *first = p;
    uint64_t value = 0;
    while (digit <= 9) {  // wraps past 20 digits, but the length below rules those out
        value = value * 10 + digit;
        digit = unsigned(*++p) - '0';
    }
    if (p - first > 10) value = uint64_t(1) << 40;
    pos = reinterpret_cast<const char *>(p);
    *out = negative ? -int64_t(value) : int64_t(value);
    return true;
}

inline bool in_int32(int64_t x) { return x >= INT32_MIN && x <= INT32_MAX; }

// Handles the problem line: the counts must be there and sane before the size line.
void read_problem_line(const char *line, const char *limit) {
    const char *p = line;
    for (int k = 0; k < 5; ++k, ++p) {
        if (*p == '\n') fail_line(line, limit);  // no counts inside the line
    }
    int64_t n, m;
    if (!scan_int(p, &n) || !scan_int(p, &m)) fail_line(line, limit);
    if (!in_int32(n) || !in_int32(m) || n < 1 || m < 0) fail_line(line, limit);
    num_nodes = int32_t(n);
    num_edges = int32_t(m);
    fprintf(stderr, "Graph contains %d nodes and %d edges\n", num_nodes, num_edges);
    allocate_graph(num_nodes, num_edges);
    accepted = static_cast<edge_line *>(allocate_array(size_t(m), sizeof(edge_line)));
}

// Scans the whole lines [p, stop) after the problem line into result; stops at the first
// offending line. Lines end in a newline at or before stop's, or the buffer's spare one.
void scan_chunk(const char *p, const char *stop, chunk_result &result) {
    size_t bound = size_t(stop - p) / MIN_EDGE_LINE_BYTES + 1;
    if (bound > result.capacity) {
        free(result.lines);
        result.lines = static_cast<edge_line *>(malloc(bound * sizeof(edge_line)));
        result.capacity = result.lines == nullptr ? 0 : bound;
        if (result.lines == nullptr) {  // reported by the gathering thread
            result.error_line = nullptr;
            result.count = -1;
            return;
        }
    }
    result.count = 0;
    result.error_line = nullptr;
    const int64_t n = num_nodes;
    edge_line *out = result.lines;
    bool negative = false;
    while (p < stop) {
        if (*p == 'a') {
            const char *q = p + 2;
            int64_t u, v, w;
            if (p[1] == '\n' || !scan_int(q, &u) || !scan_int(q, &v) || !scan_int(q, &w) ||
                u < 1 || u > n || v < 1 || v > n || !in_int32(w)) {
                result.error_line = p;
                break;
            }
            *out++ = edge_line{int32_t(u - 1), int32_t(v - 1), int32_t(w)};
            negative |= w < 0;
            p = *q == '\n' ? q + 1 : next_line(q);
        } else if (*p == 'p') {  // a second problem line
            result.error_line = p;
            break;
        } else {
            p = next_line(p);
        }
    }
    result.count = out - result.lines;
    result.negative = negative;
}

// The k-th (0-based) edge line of the whole lines from p on.
const char *find_edge_line(const char *p, int64_t k) {
    for (;; p = next_line(p)) {
        if (*p == 'a' && k-- == 0) return p;
    }
}

// Scans the lines [lo, hi) with the team, then gathers the members' lines in file order
// or reports the first offending line, counting a line past the M announced as one.
void scan_lines(const char *lo, const char *hi) {
    const size_t length = size_t(hi - lo);
    const int members = length >= read_team_min_bytes ? omp_get_max_threads() : 1;
    // One spare entry whose start ends the last chunk.
    if (members + 1 > num_results) {
        chunk_result *grown = static_cast<chunk_result *>(
            realloc(results, size_t(members + 1) * sizeof(chunk_result)));
        if (grown == nullptr) fail_memory();
        memset(grown + num_results, 0, size_t(members + 1 - num_results) * sizeof(chunk_result));
        results = grown;
        num_results = members + 1;
    }
    results[0].start = lo;
    results[members].start = hi;
    for (int t = 1; t < members; ++t) {
        const char *p = lo + length * size_t(t) / size_t(members);
        if (p < results[t - 1].start) p = results[t - 1].start;
        if (p > lo && p < hi && p[-1] != '\n') p = next_line(p);
        results[t].start = p < hi ? p : hi;
    }
#pragma omp parallel for schedule(static, 1) num_threads(members) if (members > 1)
    for (int t = 0; t < members; ++t) scan_chunk(results[t].start, results[t + 1].start, results[t]);

    int64_t before = num_accepted;  // edge lines ahead of chunk t
    const int64_t m = num_edges;
    for (int t = 0; t < members; ++t) {
        chunk_result &r = results[t];
        if (r.count < 0) fail_memory();
        // The line past the M announced is offending too, and may come first.
        if (before + r.count > m) fail_line(find_edge_line(r.start, m - before), hi);
        if (r.error_line != nullptr) fail_line(r.error_line, hi);
        r.offset = before;
        before += r.count;
    }
#pragma omp parallel for schedule(static, 1) num_threads(members) if (members > 1)
    for (int t = 0; t < members; ++t) {
        const chunk_result &r = results[t];
        memcpy(accepted + r.offset, r.lines, size_t(r.count) * sizeof(edge_line));
    }
    for (int t = 0; t < members; ++t) negative_weights |= results[t].negative;
    num_accepted = before;
}

}  // namespace

void release_reading() {
    close_input();
    for (int t = 0; t < num_results; ++t) free(results[t].lines);
    free(results);
    results = nullptr;
    num_results = 0;
    release_array(accepted);
    accepted = nullptr;
    num_accepted = 0;
}

edge_line *read_edge_lines(const char *path, int64_t *count) {
    open_input(path);
    bool have_problem = false;
    const char *lines;
    size_t length;
    while (next_lines(&lines, &length)) {
        const char *p = lines;
        const char *hi = lines + length;
        while (!have_problem && p < hi) {
            if (*p == 'p') {
                read_problem_line(p, hi);
                have_problem = true;
            } else if (*p == 'a') {
                fail_line(p, hi);  // an edge line before the problem line
            }
            p = next_line(p);
        }
        if (p < hi) scan_lines(p, hi);
    }
    if (!have_problem) {
        fputs("Error in file format: no problem line.\n", stderr);
        end_with_failure();
    }
    *count = num_accepted;
    edge_line *result = accepted;
    accepted = nullptr;
    release_reading();
    return result;
}
