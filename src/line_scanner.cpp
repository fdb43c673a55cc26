// Line scanning: what an edge line must hold and what one scan keeps of it. The scan is
// the hot loop of reading; it never writes past out's capacity and stops at the first
// offending line, so every caller reports the first fault of its run in file order.
#include "line_scanner.h"

#include <cstdio>

#include "failure.h"

const char *scan_lines(const char *p, const char *stop, scan_state &s) {
    const int64_t n = s.nodes;
    while (p < stop) {
        if (*p == 'a') {
            const char *q = p + 2;
            int64_t u, v, w;
            if (p[1] == '\n' || !scan_int(q, &u) || !scan_int(q, &v) || !scan_int(q, &w) || u < 1 || u > n ||
                v < 1 || v > n || !in_int32(w) || s.lines == s.line_limit) {
                s.fault = p;
                return p;
            }
            ++s.lines;
            p = *q == '\n' ? q + 1 : next_line(q);
            const int32_t a = int32_t(u - 1), b = int32_t(v - 1), weight = int32_t(w);
            const bool repeat = (a == s.previous_u && b == s.previous_v) || (a == s.previous_v && b == s.previous_u);
            s.previous_u = a;
            s.previous_v = b;
            if (a == b || repeat) continue;
            if (s.out != nullptr) s.out[s.count++] = edge_line{a, b, weight};
            ++s.kept;
            s.min_weight = weight < s.min_weight ? weight : s.min_weight;
            s.max_weight = weight > s.max_weight ? weight : s.max_weight;
            const uint32_t offset = a > b ? uint32_t(a - b) : uint32_t(b - a);
            s.max_offset = offset > s.max_offset ? offset : s.max_offset;
            if (s.count == s.capacity && s.out != nullptr) return p;
        } else if (*p == 'p') {  // a second problem line
            s.fault = p;
            return p;
        } else {
            p = next_line(p);
        }
    }
    return p;
}

void fail_line_in_run(const char *line, const char *limit) {
    const char *newline = static_cast<const char *>(memchr(line, '\n', size_t(limit - line)));
    const char *stop = newline != nullptr ? newline + 1 : limit;
    fputs("Error in file format in line:\n", stderr);
    fwrite(line, 1, size_t(stop - line), stderr);
    end_with_failure();
}

void fail_line_in_file(int64_t offset) {
    fputs("Error in file format in line:\n", stderr);
    char piece[1 << 16];
    for (;;) {
        const int64_t got = read_input_at(offset, piece, sizeof piece);
        if (got <= 0) break;
        const char *newline = static_cast<const char *>(memchr(piece, '\n', size_t(got)));
        const size_t length = newline != nullptr ? size_t(newline - piece) + 1 : size_t(got);
        fwrite(piece, 1, length, stderr);
        if (newline != nullptr) break;
        offset += got;
    }
    end_with_failure();
}
