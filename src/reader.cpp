// Graph file reader. Lines up to the problem line come from the input's runs on the
// calling thread. After it, a plain file is cut into byte ranges, each owning the lines
// that start inside it; a range is read with pread into a buffer of its own and scanned
// twice, once to check and count, once to fill, so the edge lines are never held; the
// second hands a batch over only where the first pass's running checksum agrees. Any
// other input is scanned once, in order, into blocks of edge lines. Every fault found in a
// range is kept with its file offset, so the one reported is the first in file order.
#include "reader.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "failure.h"
#include "file_window.h"
#include "grow.h"
#include "input.h"
#include "line_scanner.h"
#include "line_store.h"
#include "memory.h"
#include "settings.h"
#include "test_hooks.h"

namespace {

constexpr int64_t NO_FAULT_OFFSET = -1;
// What a kept line of a stream counts for against settings.read_team_min_bytes.
constexpr int64_t STREAM_LINE_BYTES = 16;

// ------------------------------------------------------------------ reading state

// One range of a plain file and what its passes found.
struct range_state {
    int64_t first;  // cut offset: the range owns the lines that start in [first, next's first)
    int64_t lines;
    int64_t kept;
    uint64_t checksum;
    int32_t min_weight;
    int32_t max_weight;
    uint32_t max_offset;
    fault_kind fault;
    int64_t fault_offset;
    // The second pass, which must agree with the first.
    int64_t lines_again;
    int64_t kept_again;
    uint64_t checksum_again;
    fault_kind fault_again;
    file_window window;  // kept from the first pass for the second
    line_store lines_kept;  // a small file's kept lines, replayed by the second pass
    // A file scanned twice: the lines' running checksum after each batch the first pass
    // handed over, which the second must meet before it hands the same batch over.
    uint64_t *batch_sums;
    size_t num_batch_sums;
    size_t batch_sums_capacity;
};

struct range_reader_state {
    problem_counts counts = {0, 0};
    bool plain = false;
    int64_t edges_start = 0;  // content offset of the first line after the problem line
    // The rest of the run that held the problem line, still to scan (streams).
    const char *pending = nullptr;
    size_t pending_length = 0;
    int num_ranges = 0;
    range_state *ranges = nullptr;  // num_ranges + 1, the last holding the end of the file
    line_store stream_lines;  // a stream's kept lines
    int *stream_passes = nullptr;  // passes over each of a stream's ranges so far
    bool keep_file_lines = false;  // a plain file small enough to hold its kept lines
    edge_stats stream_stats = {0, 0, 0, 0, 0};
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
    range_reading.counts = problem_counts{int32_t(n), int32_t(m)};
}

// ------------------------------------------------------------------ streams

// Scans one run of a stream into the blocks; reports its first offending line at once,
// before anything later is read.
void scan_stream_run(const char *p, const char *stop, scan_state &s) {
    edge_line lines[BATCH_LINES];
    s.out = lines;
    s.capacity = BATCH_LINES;
    while (p < stop) {
        s.count = 0;
        p = scan_lines(p, stop, s);
        append_lines(range_reading.stream_lines, lines, s.count);
        if (s.fault != nullptr) fail_line_in_run(s.fault, stop);
    }
    s.out = nullptr;
    s.count = s.capacity = 0;
}

// Ranges for a stream of kept lines: one per settings.read_team_min_bytes of them, at most max_ranges.
int stream_range_count(int64_t kept, int max_ranges) {
    const int64_t lines_per_range = int64_t(settings.read_team_min_bytes) / STREAM_LINE_BYTES;
    const int64_t ranges = kept / (lines_per_range > 0 ? lines_per_range : 1) + 1;
    return ranges > max_ranges ? max_ranges : int(ranges);
}

int prepare_stream(int max_ranges) {
    scan_state s;
    s.nodes = range_reading.counts.nodes;
    s.line_limit = range_reading.counts.edges;
    range_reading.stream_lines.node_bits = node_bits_for(range_reading.counts.nodes);
    if (range_reading.pending_length > 0) {
        scan_stream_run(range_reading.pending, range_reading.pending + range_reading.pending_length, s);
    }
    const char *lines;
    size_t length;
    while (next_lines(&lines, &length)) scan_stream_run(lines, lines + length, s);
    range_reading.stream_stats = edge_stats{s.lines, s.kept, s.kept > 0 ? s.min_weight : 0,
                                            s.kept > 0 ? s.max_weight : 0, s.max_offset};
    const int ranges = stream_range_count(s.kept, max_ranges);
    range_reading.stream_passes = static_cast<int *>(allocate_array(size_t(ranges), sizeof(int)));
    for (int r = 0; r < ranges; ++r) range_reading.stream_passes[r] = 0;
    return ranges;
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


// What a pass over a range found.
struct pass_result {
    fault_kind fault = FAULT_NONE;
    int64_t fault_offset = NO_FAULT_OFFSET;
};

// Scans the lines that start in [from, to) of the plain file, handing kept lines to batch
// (when set) as they come. With the line limit lowered the pass stops at the line past it,
// which is how the line past the M announced is found again.
pass_result scan_file_range(int64_t from, int64_t to, bool seek, scan_state &s, edge_batch_fn batch,
                            void *context, file_window &w) {
    pass_result result;
    edge_line lines[BATCH_LINES];
    s.out = lines;
    s.capacity = BATCH_LINES;
    w.have = 0;
    w.at_eof = w.failed = false;
    if (w.buffer == nullptr && !grow_window(w)) return pass_result{FAULT_MEMORY, from};
    bool found = true;
    if (seek) {
        found = seek_line_start(w, from);
        if (!found && w.failed) result = pass_result{FAULT_READ, w.base};
    } else {
        w.base = from;
    }
    while (found && w.base < to) {
        fill_window(w);
        const char *last = static_cast<const char *>(memrchr(w.buffer, '\n', w.have));
        size_t whole = last != nullptr ? size_t(last - w.buffer) + 1 : 0;
        if (w.at_eof) whole = w.have;
        if (whole == 0) {
            if (w.at_eof) break;
            if (w.failed) {
                result = pass_result{FAULT_READ, w.base};
                break;
            }
            if (w.have == w.capacity) {
                // One line fills the window: an ignored one streams past, another grows it.
                if (w.buffer[0] != 'a' && w.buffer[0] != 'p') {
                    w.base += int64_t(w.have);
                    w.have = 0;
                    if (!seek_line_start(w, w.base + 1)) {
                        if (w.failed) result = pass_result{FAULT_READ, w.base};
                        break;
                    }
                } else if (!grow_window(w)) {
                    result = pass_result{FAULT_MEMORY, w.base};
                    break;
                }
            }
            continue;
        }
        if (whole == w.have) w.buffer[whole] = '\n';  // ends an unterminated last line
        const int64_t room = to - w.base;
        const char *stop = w.buffer + (room < int64_t(whole) ? size_t(room) : whole);
        const char *p = w.buffer;
        while (p < stop) {
            p = scan_lines(p, stop, s);
            if (s.count > 0 && batch != nullptr) batch(lines, s.count, context);
            s.count = 0;
            if (s.fault != nullptr) break;
        }
        if (s.fault != nullptr) {
            result = pass_result{FAULT_LINE, w.base + (s.fault - w.buffer)};
            break;
        }
        if (w.at_eof && whole == w.have) break;
        advance_window(w, size_t(p - w.buffer));
    }
    return result;
}

// The range's lines are [ranges[r].first, ranges[r + 1].first); the first range starts at
// a line start, the others at the first line start at or past their cut.
pass_result scan_range(int r, scan_state &s, edge_batch_fn batch, void *context) {
    s.nodes = range_reading.counts.nodes;
    return scan_file_range(range_reading.ranges[r].first, range_reading.ranges[r + 1].first, r > 0, s, batch, context,
                           range_reading.ranges[r].window);
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

// A plain file scanned twice: the first pass notes a checksum of the lines it hands over
// at every CHECKED_LINES of them (and at its end); the second holds its lines back until
// their checksum agrees with the first's at the same line. A file changed between the
// passes then never gives a range more records for a node than its slots hold, so no
// member writes in another's slots before check_second_pass ends the run.
constexpr size_t CHECKED_LINES = 1024;

struct checked_batches {
    range_state *range;
    edge_batch_fn batch;
    void *context;
    uint64_t sum;    // of the lines handed over so far
    size_t lines;
    bool differs;    // the second pass met lines the first did not hand over there
    size_t num_held;
    edge_line held[CHECKED_LINES];  // the second pass's lines since the last checkpoint
};

uint64_t mixed(uint64_t sum, const edge_line &e) {
    return (sum ^ ((uint64_t(uint32_t(e.u)) << 32) | uint32_t(e.v))) * 0x9e3779b97f4a7c15ULL + uint32_t(e.weight);
}

void note_sum(checked_batches &c) {
    range_state &range = *c.range;
    grow_array(range.batch_sums, range.batch_sums_capacity, range.num_batch_sums + 1, range.num_batch_sums);
    range.batch_sums[range.num_batch_sums++] = c.sum;
}

void note_batch(const edge_line *lines, size_t count, void *context) {
    checked_batches &c = *static_cast<checked_batches *>(context);
    for (size_t i = 0; i < count; ++i) {
        c.sum = mixed(c.sum, lines[i]);
        if (++c.lines % CHECKED_LINES == 0) note_sum(c);
    }
    c.batch(lines, count, c.context);
}

// Hands the held lines over when the first pass noted the same checksum at the same line.
void release_held(checked_batches &c) {
    const size_t at = (c.lines - 1) / CHECKED_LINES;
    c.differs = c.differs || at >= c.range->num_batch_sums || c.range->batch_sums[at] != c.sum;
    if (!c.differs && c.num_held > 0) c.batch(c.held, c.num_held, c.context);
    c.num_held = 0;
}

void check_batch(const edge_line *lines, size_t count, void *context) {
    checked_batches &c = *static_cast<checked_batches *>(context);
    for (size_t i = 0; i < count && !c.differs; ++i) {
        c.sum = mixed(c.sum, lines[i]);
        c.held[c.num_held++] = lines[i];
        if (++c.lines % CHECKED_LINES == 0) release_held(c);
    }
}

void read_file_range(int r, edge_batch_fn batch, void *context) {
    range_state &range = range_reading.ranges[r];
    const bool again = range.fault != FAULT_NONE || range.lines >= 0;
    if (again && range_reading.keep_file_lines) {
        replay_lines(range.lines_kept, 0, range.lines_kept.num_blocks, batch, context, true);
        range.lines_again = range.lines;
        range.kept_again = range.kept;
        range.checksum_again = range.checksum;
        range.fault_again = FAULT_NONE;
        return;
    }
    scan_state s;
    // A range alone past M is an offence for sure; stopping there bounds every count.
    s.line_limit = range_reading.counts.edges;
    keeping keep = {&range.lines_kept, batch, context};
    checked_batches &checked = *static_cast<checked_batches *>(allocate_array(1, sizeof(checked_batches)));
    checked = checked_batches{&range, batch, context, 0, 0, false, 0, {}};
    const bool keep_lines = !again && range_reading.keep_file_lines;
    range.lines_kept.node_bits = node_bits_for(range_reading.counts.nodes);
    const pass_result result = keep_lines ? scan_range(r, s, keep_batch, &keep)
                                          : scan_range(r, s, again ? check_batch : note_batch, &checked);
    if (!again && !keep_lines && checked.lines % CHECKED_LINES != 0) note_sum(checked);
    if (again && checked.num_held > 0) release_held(checked);
    const bool differs = checked.differs;
    release_array(&checked);
    if (!again) {
        range.lines = s.lines;
        range.kept = s.kept;
        range.checksum = s.checksum;
        range.min_weight = s.min_weight;
        range.max_weight = s.max_weight;
        range.max_offset = s.max_offset;
        range.fault = result.fault;
        range.fault_offset = result.fault_offset;
        if (keep_lines) {  // the second pass replays the lines; the window would only add to the peak
            free(range.window.buffer);
            range.window = file_window();
        }
    } else {
        range.lines_again = s.lines;
        range.kept_again = s.kept;
        range.checksum_again = s.checksum;
        range.fault_again = differs ? FAULT_READ : result.fault;
    }
}

// Offset of the k-th (0-based) accepted line of range r, found by scanning it again.
int64_t find_edge_line(int r, int64_t k) {
    scan_state s;
    s.line_limit = k;
    const pass_result result = scan_range(r, s, nullptr, nullptr);
    if (result.fault != FAULT_LINE) fail_read();  // the file changed under the run
    return result.fault_offset;
}

// Bytes of a plain file after the problem line.
int64_t edge_bytes() {
    const int64_t size = input_size();
    return size > range_reading.edges_start ? size - range_reading.edges_start : 0;
}

// Ranges for a plain file: one per settings.read_team_min_bytes of its edge lines, at most max_ranges.
int file_range_count(int max_ranges) {
    int64_t count = edge_bytes() / int64_t(settings.read_team_min_bytes > 0 ? settings.read_team_min_bytes : 1);
    if (count > max_ranges) count = max_ranges;
    return count < 1 ? 1 : int(count);
}

int prepare_file(int max_ranges) {
    stop_lines();
    const int64_t held_bytes = int64_t(range_reading.counts.edges) * int64_t(sizeof(edge_line));
    range_reading.keep_file_lines = held_bytes <= settings.keep_lines_max_bytes;
    const int64_t bytes = edge_bytes();
    const int ranges = file_range_count(max_ranges);
    range_reading.ranges = static_cast<range_state *>(allocate_array(size_t(ranges) + 1, sizeof(range_state)));
    for (int r = 0; r <= ranges; ++r) {
        range_state &range = range_reading.ranges[r];
        range = range_state();
        range.first = r == ranges ? INT64_MAX : range_reading.edges_start + bytes * r / ranges;
        range.lines = -1;  // no pass yet
        range.fault = FAULT_NONE;
        range.fault_offset = NO_FAULT_OFFSET;
    }
    return ranges;
}

}  // namespace

problem_counts read_problem_line() {
    const char *lines;
    size_t length;
    while (next_lines(&lines, &length)) {
        const char *hi = lines + length;
        for (const char *p = lines; p < hi; p = next_line(p)) {
            if (*p == 'p') {
                handle_problem_line(p, hi);
                const char *rest = next_line(p);
                range_reading.edges_start = lines_offset() + (rest - lines);
                range_reading.pending = rest;
                range_reading.pending_length = size_t(hi > rest ? hi - rest : 0);
                range_reading.plain = input_is_plain_file();
                return range_reading.counts;
            }
            if (*p == 'a') fail_line_in_run(p, hi);  // an edge line before the problem line
        }
    }
    fail_no_problem_line();
}

int prepare_edge_lines(int max_ranges) {
    if (max_ranges < 1) max_ranges = 1;
    range_reading.num_ranges = range_reading.plain ? prepare_file(max_ranges) : prepare_stream(max_ranges);
    return range_reading.num_ranges;
}

int planned_edge_ranges(int max_ranges) {
    if (max_ranges < 1) max_ranges = 1;
    return range_reading.plain ? file_range_count(max_ranges)
                               : stream_range_count(range_reading.counts.edges, max_ranges);
}

void read_edge_range(int r, edge_batch_fn batch, void *context) {
    if (range_reading.plain) {
        read_file_range(r, batch, context);
    } else {
        read_stream_range(r, batch, context);
    }
}

edge_stats check_edge_lines() {
    if (!range_reading.plain) return range_reading.stream_stats;
    edge_stats stats = {0, 0, INT32_MAX, INT32_MIN, 0};
    const int64_t m = range_reading.counts.edges;
    for (int r = 0; r < range_reading.num_ranges; ++r) {
        const range_state &range = range_reading.ranges[r];
        // The line past the M announced is offending too, and may come first.
        if (stats.lines + range.lines > m) fail_line_in_file(find_edge_line(r, m - stats.lines));
        if (range.fault == FAULT_LINE) fail_line_in_file(range.fault_offset);
        if (range.fault == FAULT_READ) fail_read();
        if (range.fault == FAULT_MEMORY) fail_memory();
        stats.lines += range.lines;
        stats.kept += range.kept;
        stats.min_weight = range.min_weight < stats.min_weight ? range.min_weight : stats.min_weight;
        stats.max_weight = range.max_weight > stats.max_weight ? range.max_weight : stats.max_weight;
        stats.max_offset = range.max_offset > stats.max_offset ? range.max_offset : stats.max_offset;
    }
    if (stats.kept == 0) stats.min_weight = stats.max_weight = 0;
    // Every line is checked and the second pass replays the held ones: an inflated text
    // would only add to the peak while the rows fill.
    if (range_reading.keep_file_lines) drop_inflated_content();
    if (test_hooks.first_pass_checked != nullptr) test_hooks.first_pass_checked();
    return stats;
}

void check_second_pass() {
    if (!range_reading.plain) return;
    for (int r = 0; r < range_reading.num_ranges; ++r) {
        const range_state &range = range_reading.ranges[r];
        if (range.fault_again != FAULT_NONE || range.lines_again != range.lines ||
            range.kept_again != range.kept || range.checksum_again != range.checksum) {
            fail_read();
        }
    }
}

void release_reading() {
    close_input();
    release_lines(range_reading.stream_lines);
    release_array(range_reading.stream_passes);
    for (int r = 0; r < range_reading.num_ranges && range_reading.ranges != nullptr; ++r) {
        free(range_reading.ranges[r].window.buffer);
        release_lines(range_reading.ranges[r].lines_kept);
        release_array(range_reading.ranges[r].batch_sums);
    }
    release_array(range_reading.ranges);
    range_reading = range_reader_state();
}

// ------------------------------------------------------------------ parts read elsewhere

lines_scan scan_file_lines(int64_t from, int64_t to, int64_t nodes, int64_t line_limit,
                           edge_batch_fn batch, void *context) {
    scan_state s;
    s.nodes = nodes;
    s.line_limit = line_limit;
    file_window w;
    // Every part but the first starts after a cut; the first line start at or past it is
    // the part's, as for the ranges above.
    const pass_result result = scan_file_range(from, to, true, s, batch, context, w);
    free(w.buffer);
    return lines_scan{s.lines,     s.kept,         s.min_weight, result.fault, result.fault_offset,
                      s.max_weight, s.max_offset, s.checksum};
}

lines_scan scan_run_lines(const char *lines, size_t length, int64_t offset, int64_t nodes,
                          int64_t line_limit, edge_batch_fn batch, void *context) {
    scan_state s;
    s.nodes = nodes;
    s.line_limit = line_limit;
    edge_line out[BATCH_LINES];
    s.out = out;
    s.capacity = BATCH_LINES;
    const char *p = lines;
    const char *stop = lines + length;
    while (p < stop && s.fault == nullptr) {
        p = scan_lines(p, stop, s);
        if (s.count > 0 && batch != nullptr) batch(out, s.count, context);
        s.count = 0;
    }
    const bool faulty = s.fault != nullptr;
    return lines_scan{s.lines,      s.kept,       s.min_weight, faulty ? FAULT_LINE : FAULT_NONE,
                      faulty ? offset + (s.fault - lines) : NO_FAULT_OFFSET,
                      s.max_weight, s.max_offset, s.checksum};
}

int64_t edge_lines_start() { return range_reading.edges_start; }

void pending_edge_lines(const char **lines, size_t *length) {
    *lines = range_reading.pending;
    *length = range_reading.pending_length;
}
