// Graph file reader. Lines up to the problem line come from the input's runs on the
// calling thread. After it, a plain file's span (all of its edge lines, or one process's
// part) is cut into byte ranges, each owning the lines that start inside it; a range is
// read with pread into a window of its own and scanned twice, once to check and count,
// once to fill, so the edge lines are never held (a small whole file keeps them between
// the passes instead); the second pass hands a line over only once the checkpoints have
// met the first's. Any other input is scanned once, in order, into blocks of edge lines.
// Every fault found in a range is kept with its file offset, so the one reported is the
// first in file order.
#include "reader.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "failure.h"
#include "file_window.h"
#include "input.h"
#include "line_scanner.h"
#include "memory.h"
#include "range_scan.h"
#include "scan_check.h"
#include "settings.h"
#include "store.h"
#include "test_hooks.h"

namespace {

constexpr int64_t NO_FAULT_OFFSET = -1;
// What a kept line of a stream counts for against settings.read_team_min_bytes.
constexpr int64_t STREAM_LINE_BYTES = 16;

// One range of a plain file and what its passes found.
struct range_state {
    int64_t first;  // cut offset: the range owns the lines that start in [first, next's first)
    int64_t lines;  // -1 before the first pass
    int64_t kept;
    int32_t min_weight;
    int32_t max_weight;
    uint32_t max_offset;
    pass_result first_pass;
    // The second pass, which must meet the first.
    int64_t lines_again;
    int64_t kept_again;
    bool differs_again;
    pass_result second_pass;
    file_window window;     // kept from the first pass for the second
    line_store lines_kept;  // a small file's kept lines, replayed by the second pass
    scan_sums sums;         // the first pass's checkpoints
};

struct range_reader_state {
    bool plain = false;
    int64_t edges_start = 0;  // content offset of the first line after the problem line
    int64_t span_from = 0;    // the plain file's bytes whose lines are read here
    int64_t span_to = INT64_MAX;
    // The rest of the run that held the problem line, still to scan (streams).
    const char *pending = nullptr;
    size_t pending_length = 0;
    int num_ranges = 0;
    range_state *ranges = nullptr;  // num_ranges + 1, the last holding the span's end
    line_store stream_lines;        // a stream's kept lines
    int *stream_passes = nullptr;   // passes over each of a stream's ranges so far
    bool keep_file_lines = false;   // a plain file small enough to hold its kept lines
    edge_stats stream_stats = {0, 0, 0, 0, 0};
    bool lines_given = false;  // the stream's lines came whole from read_held_lines
};

range_reader_state range_reading;

[[noreturn]] void fail_no_problem_line() {
    fputs("Error in file format: no problem line.\n", stderr);
    end_with_failure();
}

// Handles the problem line: the counts must be there and sane before the size line.
void handle_problem_line(const char *line, const char *limit) {
    const char *p = line;
    for (int k = 0; k < 5; ++k, ++p) {
        if (*p == '\n') fail_line_in_run(line, limit);  // no counts inside the line
    }
    int64_t n, m;
    if (!scan_int(p, &n) || !scan_int(p, &m)) fail_line_in_run(line, limit);
    if (!in_int32(n) || !in_int32(m) || n == 0) fail_line_in_run(line, limit);
    fprintf(stderr, "Graph contains %d nodes and %d edges\n", int(n), int(m));
    // A negative count asks for more memory than any machine has.
    if (n < 0 || m < 0) fail_memory();
    num_nodes = int32_t(n);
    num_edges = int32_t(m);
}

// ------------------------------------------------------------------ streams

// Ranges for a stream of kept lines: one per settings.read_team_min_bytes of them, at most max_ranges.
int stream_range_count(int64_t kept, int max_ranges) {
    const int64_t lines_per_range = int64_t(settings.read_team_min_bytes) / STREAM_LINE_BYTES;
    const int64_t ranges = kept / (lines_per_range > 0 ? lines_per_range : 1) + 1;
    return ranges > max_ranges ? max_ranges : int(ranges);
}

// Scans one run of a stream into the blocks; reports its first offending line at once,
// before anything later is read.
void scan_stream_run(const char *lines, size_t length, int64_t offset, edge_stats &stats) {
    const lines_scan scan = scan_run_lines(lines, length, offset, int64_t(num_edges) - stats.lines,
                                           &range_reading.stream_lines);
    if (scan.fault_offset >= 0) fail_line_in_run(lines + (scan.fault_offset - offset), lines + length);
    stats.lines += scan.lines;
    if (scan.kept == 0) return;
    stats.min_weight = stats.kept == 0 || scan.min_weight < stats.min_weight ? scan.min_weight : stats.min_weight;
    stats.max_weight = stats.kept == 0 || scan.max_weight > stats.max_weight ? scan.max_weight : stats.max_weight;
    stats.max_offset = scan.max_offset > stats.max_offset ? scan.max_offset : stats.max_offset;
    stats.kept += scan.kept;
}

int stream_ranges(int max_ranges) {
    const int ranges = stream_range_count(range_reading.stream_stats.kept, max_ranges);
    range_reading.stream_passes = static_cast<int *>(allocate_array(size_t(ranges), sizeof(int)));
    for (int r = 0; r < ranges; ++r) range_reading.stream_passes[r] = 0;
    return ranges;
}

int prepare_stream(int max_ranges) {
    if (!range_reading.lines_given) {
        edge_stats stats = {0, 0, 0, 0, 0};
        range_reading.stream_lines.node_bits = node_bits_for(num_nodes);
        if (range_reading.pending_length > 0)
            scan_stream_run(range_reading.pending, range_reading.pending_length, edge_lines_start(), stats);
        const char *lines;
        size_t length;
        while (next_lines(&lines, &length)) scan_stream_run(lines, length, lines_offset(), stats);
        if (input_read_failed()) fail_read();
        range_reading.stream_stats = stats;
    }
    return stream_ranges(max_ranges);
}

// A stream's range r is whole blocks, so that no block is shared by two members and each
// can be released by the one that fills from it. The second pass releases them.
void read_stream_range(int r, edge_batch_fn batch, void *context) {
    const size_t blocks = range_reading.stream_lines.num_blocks, ranges = size_t(range_reading.num_ranges);
    const bool second = range_reading.stream_passes[r]++ > 0;
    replay_lines(range_reading.stream_lines, blocks * size_t(r) / ranges, blocks * size_t(r + 1) / ranges, batch,
                 context, second);
}

// ------------------------------------------------------------------ plain files

// The range's lines are [ranges[r].first, ranges[r + 1].first); a range that begins at a
// cut starts at the first line that begins at or past it.
pass_result scan_range(int r, scan_state &s, edge_batch_fn batch, void *context) {
    s.nodes = num_nodes;
    const int64_t from = range_reading.ranges[r].first;
    return scan_file_range(from, range_reading.ranges[r + 1].first, from != range_reading.edges_start, s, batch,
                           context, range_reading.ranges[r].window);
}

// The first pass over a small file keeps what it hands over, for the second.
struct keeping {
    line_store *store;
    edge_batch_fn batch;
    void *context;
};

void keep_batch(const edge_line *lines, size_t count, void *context) {
    keeping &keep = *static_cast<keeping *>(context);
    append_lines(*keep.store, lines, count);
    keep.batch(lines, count, keep.context);
}

void note_first_pass(range_state &range, const scan_state &s, pass_result result) {
    range.lines = s.lines;
    range.kept = s.kept;
    range.min_weight = s.min_weight;
    range.max_weight = s.max_weight;
    range.max_offset = s.max_offset;
    range.first_pass = result;
    if (range_reading.keep_file_lines) {  // the second pass replays the lines; the window would only add to the peak
        free(range.window.buffer);
        range.window = file_window();
    }
}

// The second pass over a range whose first kept its lines: they are replayed, unchanged.
void replay_range(range_state &range, edge_batch_fn batch, void *context) {
    replay_lines(range.lines_kept, 0, range.lines_kept.num_blocks, batch, context, true);
    range.lines_again = range.lines;
    range.kept_again = range.kept;
    range.differs_again = false;
    range.second_pass = pass_result{FAULT_NONE, NO_FAULT_OFFSET};
}

void read_file_range(int r, edge_batch_fn batch, void *context) {
    range_state &range = range_reading.ranges[r];
    const bool again = range.lines >= 0;
    if (again && range_reading.keep_file_lines) return replay_range(range, batch, context);
    scan_state s;
    // A range alone past M is an offence for sure; stopping there bounds every count.
    s.line_limit = num_edges;
    if (!again && range_reading.keep_file_lines) {
        keeping keep = {&range.lines_kept, batch, context};
        range.lines_kept.node_bits = node_bits_for(num_nodes);
        return note_first_pass(range, s, scan_range(r, s, keep_batch, &keep));
    }
    checked_scan checked = open_checked_scan(range.sums, batch, context, again);
    const pass_result result = scan_range(r, s, again ? meet_checked_batch : note_checked_batch, &checked);
    const bool met = close_checked_scan(checked, again);
    if (!again) return note_first_pass(range, s, result);
    range.lines_again = s.lines;
    range.kept_again = s.kept;
    range.differs_again = !met;
    range.second_pass = result;
}

// Offset of the k-th (0-based) accepted line of range r, found by scanning it again; a
// file that no longer holds it counts as a failed read at the range's start.
read_fault find_edge_line(int r, int64_t k) {
    scan_state s;
    s.line_limit = k;
    const pass_result result = scan_range(r, s, nullptr, nullptr);
    if (result.fault != FAULT_LINE) return read_fault{FAULT_READ, range_reading.ranges[r].first};
    return read_fault{FAULT_LINE, result.fault_offset};
}

// Bytes of the span after the problem line.
int64_t span_bytes() {
    const int64_t end = input_size() < range_reading.span_to ? input_size() : range_reading.span_to;
    return end > range_reading.span_from ? end - range_reading.span_from : 0;
}

// Ranges for a plain file: one per settings.read_team_min_bytes of its span, at most max_ranges.
int file_range_count(int max_ranges) {
    int64_t count = span_bytes() / int64_t(settings.read_team_min_bytes > 0 ? settings.read_team_min_bytes : 1);
    if (count > max_ranges) count = max_ranges;
    return count < 1 ? 1 : int(count);
}

int prepare_file(int max_ranges) {
    stop_lines();
    range_reading.keep_file_lines = held_file_lines();
    const int64_t bytes = span_bytes();
    const int ranges = file_range_count(max_ranges);
    range_reading.ranges = static_cast<range_state *>(allocate_array(size_t(ranges) + 1, sizeof(range_state)));
    for (int r = 0; r <= ranges; ++r) {
        range_state &range = range_reading.ranges[r];
        range = range_state();
        range.first = r == ranges ? range_reading.span_to : range_reading.span_from + bytes * r / ranges;
        range.lines = -1;
        range.first_pass = range.second_pass = pass_result{FAULT_NONE, NO_FAULT_OFFSET};
    }
    return ranges;
}

void add_range_stats(edge_stats &stats, const range_state &range) {
    stats.lines += range.lines;
    stats.kept += range.kept;
    stats.min_weight = range.min_weight < stats.min_weight ? range.min_weight : stats.min_weight;
    stats.max_weight = range.max_weight > stats.max_weight ? range.max_weight : stats.max_weight;
    stats.max_offset = range.max_offset > stats.max_offset ? range.max_offset : stats.max_offset;
}

}  // namespace

void read_problem_line() {
    const char *lines;
    size_t length;
    while (next_lines(&lines, &length)) {
        const char *hi = lines + length;
        for (const char *p = lines; p < hi; p = next_line(p)) {
            if (*p == 'p') {
                handle_problem_line(p, hi);
                const char *rest = next_line(p);
                range_reading.edges_start = lines_offset() + (rest - lines);
                range_reading.span_from = range_reading.edges_start;
                range_reading.pending = rest;
                range_reading.pending_length = size_t(hi > rest ? hi - rest : 0);
                range_reading.plain = input_is_plain_file();
                return;
            }
            if (*p == 'a') fail_line_in_run(p, hi);  // an edge line before the problem line
        }
    }
    if (input_read_failed()) fail_read();
    fail_no_problem_line();
}

bool held_file_lines() {
    const bool whole = range_reading.span_from == range_reading.edges_start && range_reading.span_to == INT64_MAX;
    const int64_t held_bytes = int64_t(num_edges) * int64_t(sizeof(edge_line));
    return range_reading.plain && whole && held_bytes <= settings.keep_lines_max_bytes;
}

void read_edge_span(int64_t edges_start, int64_t from, int64_t to) {
    range_reading.plain = true;
    range_reading.edges_start = edges_start;
    range_reading.span_from = from;
    range_reading.span_to = to;
}

void read_held_lines(line_store &held, const edge_stats &stats) {
    range_reading.plain = false;
    release_lines(range_reading.stream_lines);
    range_reading.stream_lines = held;
    held = line_store();
    range_reading.stream_stats = stats;
    range_reading.lines_given = true;
}

int prepare_edge_lines(int max_ranges) {
    if (max_ranges < 1) max_ranges = 1;
    range_reading.num_ranges = range_reading.plain ? prepare_file(max_ranges) : prepare_stream(max_ranges);
    return range_reading.num_ranges;
}

int planned_edge_ranges(int max_ranges) {
    if (max_ranges < 1) max_ranges = 1;
    return range_reading.plain ? file_range_count(max_ranges) : stream_range_count(num_edges, max_ranges);
}

void read_edge_range(int r, edge_batch_fn batch, void *context) {
    if (range_reading.plain) {
        read_file_range(r, batch, context);
    } else {
        read_stream_range(r, batch, context);
    }
}

void read_first_pass_again() {
    for (int r = 0; range_reading.plain && r < range_reading.num_ranges; ++r) {
        range_state &range = range_reading.ranges[r];
        range.lines = -1;
        range.first_pass = pass_result{FAULT_NONE, NO_FAULT_OFFSET};
        range.sums.count = 0;
        release_lines(range.lines_kept);
    }
}

int64_t accepted_lines() {
    if (!range_reading.plain) return range_reading.stream_stats.lines;
    int64_t lines = 0;
    for (int r = 0; r < range_reading.num_ranges; ++r) {
        lines += range_reading.ranges[r].lines;
        if (range_reading.ranges[r].first_pass.fault != FAULT_NONE) break;
    }
    return lines;
}

read_fault first_read_fault(int64_t lines_before) {
    if (!range_reading.plain) return read_fault{FAULT_NONE, NO_FAULT_OFFSET};
    const int64_t m = num_edges;
    int64_t at = lines_before;
    for (int r = 0; r < range_reading.num_ranges && at <= m; ++r) {
        const range_state &range = range_reading.ranges[r];
        // The line past the M announced is offending too, and may come first.
        if (at + range.lines > m) return find_edge_line(r, m - at);
        if (range.first_pass.fault != FAULT_NONE) return read_fault{range.first_pass.fault, range.first_pass.fault_offset};
        at += range.lines;
    }
    return read_fault{FAULT_NONE, NO_FAULT_OFFSET};
}

edge_stats read_line_stats() {
    if (!range_reading.plain) return range_reading.stream_stats;
    edge_stats stats = {0, 0, INT32_MAX, INT32_MIN, 0};
    for (int r = 0; r < range_reading.num_ranges; ++r) add_range_stats(stats, range_reading.ranges[r]);
    return stats;
}

edge_stats check_edge_lines() {
    const read_fault fault = first_read_fault(0);
    if (fault.kind == FAULT_LINE) fail_line_in_file(fault.offset);
    if (fault.kind == FAULT_READ) fail_read();
    if (fault.kind == FAULT_MEMORY) fail_memory();
    edge_stats stats = read_line_stats();
    if (stats.kept == 0) stats.min_weight = stats.max_weight = 0;
    // Every line is checked and the second pass replays the held ones: an inflated text
    // would only add to the peak while the rows fill.
    if (range_reading.keep_file_lines) drop_inflated_content();
    return stats;
}

read_fault second_pass_fault() {
    for (int r = 0; range_reading.plain && r < range_reading.num_ranges; ++r) {
        const range_state &range = range_reading.ranges[r];
        if (range.second_pass.fault != FAULT_NONE || range.differs_again || range.lines_again != range.lines ||
            range.kept_again != range.kept)
            return read_fault{FAULT_READ, range.first};
    }
    return read_fault{FAULT_NONE, NO_FAULT_OFFSET};
}

void check_second_pass() {
    if (second_pass_fault().kind != FAULT_NONE) fail_read();
}

int64_t range_start(int r) { return range_reading.plain ? range_reading.ranges[r].first : 0; }

lines_scan scan_run_lines(const char *lines, size_t length, int64_t offset, int64_t line_limit, line_store *held) {
    scan_state s;
    s.nodes = num_nodes;
    s.line_limit = line_limit;
    edge_line out[BATCH_LINES];
    s.out = out;
    s.capacity = BATCH_LINES;
    const char *p = lines;
    const char *stop = lines + length;
    while (p < stop && s.fault == nullptr) {
        p = scan_lines(p, stop, s);
        if (s.count > 0 && held != nullptr) append_lines(*held, out, s.count);
        s.count = 0;
    }
    return lines_scan{s.lines, s.kept, s.min_weight, s.max_weight, s.max_offset,
                      s.fault != nullptr ? offset + (s.fault - lines) : NO_FAULT_OFFSET};
}

int64_t edge_lines_start() { return range_reading.edges_start; }

void pending_edge_lines(const char **lines, size_t *length) {
    *lines = range_reading.pending;
    *length = range_reading.pending_length;
}

void release_reading() {
    close_input();
    release_lines(range_reading.stream_lines);
    release_array(range_reading.stream_passes);
    for (int r = 0; r < range_reading.num_ranges && range_reading.ranges != nullptr; ++r) {
        free(range_reading.ranges[r].window.buffer);
        release_lines(range_reading.ranges[r].lines_kept);
        release_array(range_reading.ranges[r].sums.sums);
    }
    release_array(range_reading.ranges);
    range_reading = range_reader_state();
}
