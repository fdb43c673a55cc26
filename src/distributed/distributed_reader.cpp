// Distributed reading. A plain file is cut into one byte range per process (each owns the
// lines that start in it), scanned by its team with the shared line rules; any other input
// is read by rank 0, which hands run k of each wave to process k, keeping parts in file
// order by rank. Invariant: a part is handed on only after all agree on the first fault in
// file order; a failed read counts after every line handed out before it.
#include "distributed_reader.h"

#include <fcntl.h>
#include <mpi.h>
#include <omp.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "distributed_run.h"
#include "input.h"
#include "line_scanner.h"
#include "memory.h"
#include "settings.h"
#include "test_hooks.h"

namespace {

// Kept lines are held in blocks of this many (768 KiB).
constexpr size_t BLOCK_LINES = size_t(1) << 16;

struct part_reader_state {
    const char *path = nullptr;
    problem_counts counts = {0, 0};
    bool plain = false;
    int64_t edges_start = 0;
    int64_t size = 0;
    bool done = false;            // no part is left
    bool first_wave = true;
    int64_t lines_before = 0;     // accepted lines in the waves before
    // What the kept lines of this process's parts hold.
    int64_t accepted = 0;
    int64_t kept = 0;
    int32_t min_weight = INT32_MAX;
    int32_t max_weight = INT32_MIN;
    uint32_t max_offset = 0;
    // A plain file: this process's range cut among its members, and what each member's
    // first scan found, which the second must meet.
    int members = 0;
    int64_t *cuts = nullptr;
    lines_scan *first_scans = nullptr;
    // Streams: this process's run and, on rank 0, the wave's runs back to back.
    char *run = nullptr;
    size_t run_capacity = 0;
    char *wave = nullptr;
    size_t wave_capacity = 0;
};

part_reader_state part_reading;

bool add_member_block(member_lines &m) {
    if (m.out_of_memory || !memory_available(BLOCK_LINES * sizeof(edge_line) + (size_t(1) << 20))) {
        m.out_of_memory = true;
        return false;
    }
    if (m.num_blocks == m.capacity) {
        const size_t capacity = m.capacity == 0 ? 16 : 2 * m.capacity;
        edge_line_block *blocks = static_cast<edge_line_block *>(realloc(m.blocks, capacity * sizeof(edge_line_block)));
        if (blocks == nullptr) {
            m.out_of_memory = true;
            return false;
        }
        m.blocks = blocks;
        m.capacity = capacity;
    }
    edge_line *lines = static_cast<edge_line *>(allocate_array(BLOCK_LINES, sizeof(edge_line)));
    m.blocks[m.num_blocks++] = edge_line_block{lines, 0};
    return true;
}

}  // namespace

void hold_lines(member_lines &m, const edge_line *lines, size_t count) {
    while (count > 0) {
        if ((m.num_blocks == 0 || m.blocks[m.num_blocks - 1].count == BLOCK_LINES) && !add_member_block(m)) return;
        edge_line_block &b = m.blocks[m.num_blocks - 1];
        const size_t take = BLOCK_LINES - b.count < count ? BLOCK_LINES - b.count : count;
        memcpy(b.lines + b.count, lines, take * sizeof(edge_line));
        b.count += take;
        lines += take;
        count -= take;
    }
}

// Moves the members' blocks, in member order, into part.
void hand_over(member_lines *members, int count, held_lines *part) {
    size_t blocks = 0;
    for (int m = 0; m < count; ++m) blocks += members[m].num_blocks;
    part->blocks = static_cast<edge_line_block *>(allocate_array(blocks, sizeof(edge_line_block)));
    part->num_blocks = 0;
    part->count = 0;
    for (int m = 0; m < count; ++m) {
        for (size_t b = 0; b < members[m].num_blocks; ++b) {
            part->blocks[part->num_blocks++] = members[m].blocks[b];
            part->count += int64_t(members[m].blocks[b].count);
        }
        free(members[m].blocks);
    }
}

namespace {

// Batch callback of a stream's scan: holds the lines in the member's blocks.
void keep_batch(const edge_line *lines, size_t count, void *context) {
    hold_lines(*static_cast<member_lines *>(context), lines, count);
}

int64_t scan_fault_key(const lines_scan &scan) {
    return scan.fault == FAULT_NONE ? NO_FAULT : fault_key(scan.fault_offset, scan.fault);
}

// Ends the run at the agreed fault, with the message the one-process reader writes. own is
// this process's key; run and run_offset the stream run that may hold the offending line.
[[noreturn]] void end_at_fault(int64_t agreed, int64_t own, const char *run, size_t run_length,
                               int64_t run_offset) {
    const fault_kind kind = fault_kind_of(agreed);
    if (kind == FAULT_LINE && !part_reading.plain) {
        // Only the process that scanned the line holds it: it sends the line to rank 0.
        const int owner = fault_owner(agreed, own);
        if (process_rank == owner) {
            const char *line = run + (fault_offset(agreed) - run_offset);
            const char *limit = run + run_length;
            const char *newline = static_cast<const char *>(memchr(line, '\n', size_t(limit - line)));
            const int64_t length = newline != nullptr ? newline + 1 - line : limit - line;
            if (owner == 0) {
                end_unless_rank0();
                fail_line_in_run(line, line + length);
            }
            MPI_Send(&length, 1, MPI_INT64_T, 0, 0, MPI_COMM_WORLD);
            send_bytes(line, length, 0);
        } else if (process_rank == 0) {
            int64_t length = 0;
            MPI_Recv(&length, 1, MPI_INT64_T, owner, 0, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
            char *line = static_cast<char *>(allocate_array(size_t(length) + SLACK_BYTES, 1));
            receive_bytes(line, length, owner);
            end_unless_rank0();
            fail_line_in_run(line, line + length);
        }
        end_everywhere(nullptr);
    }
    switch (kind) {
    case FAULT_LINE:
        end_unless_rank0();
        fail_line_in_file(fault_offset(agreed));
    case FAULT_READ:
        end_unless_rank0();
        fail_read();
    case FAULT_MEMORY:
        end_everywhere(MEMORY_MESSAGE);
    default:
        end_everywhere(nullptr);
    }
}

// ------------------------------------------------------------------ plain files

// Offset of the accepted line after the first limit ones in [from, to), found by scanning
// again; a file that no longer holds it counts as a failed read.
int64_t line_after(int64_t from, int64_t to, int64_t limit) {
    const lines_scan again = scan_file_lines(from, to, part_reading.counts.nodes, limit, nullptr, nullptr);
    return again.fault == FAULT_LINE ? fault_key(again.fault_offset, FAULT_LINE)
                            : fault_key(from, FAULT_READ);
}

// Takes what a member's scan kept into this process's stats of its kept lines.
void note_kept(const lines_scan &scan) {
    part_reading.accepted += scan.lines;
    if (scan.kept == 0) return;
    part_reading.kept += scan.kept;
    part_reading.min_weight = scan.min_weight < part_reading.min_weight ? scan.min_weight : part_reading.min_weight;
    part_reading.max_weight = scan.max_weight > part_reading.max_weight ? scan.max_weight : part_reading.max_weight;
    part_reading.max_offset = scan.max_offset > part_reading.max_offset ? scan.max_offset : part_reading.max_offset;
}

// Cuts this process's byte range among its members, once: both scans use the same cut.
void cut_range() {
    const int64_t start = part_reading.edges_start;
    const int64_t bytes = part_reading.size > start ? part_reading.size - start : 0;
    const int64_t k = num_processes;
    const int64_t from = part_reading.edges_start + bytes * process_rank / k;
    const int64_t to = process_rank + 1 == k ? INT64_MAX : part_reading.edges_start + bytes * (process_rank + 1) / k;
    const int64_t span = (process_rank + 1 == k ? part_reading.edges_start + bytes : to) - from;
    int64_t count = span / int64_t(settings.read_team_min_bytes > 0 ? settings.read_team_min_bytes : 1) + 1;
    if (count > omp_get_max_threads()) count = omp_get_max_threads();
    const int members = int(count);
    part_reading.members = members;
    part_reading.cuts = static_cast<int64_t *>(allocate_array(size_t(members) + 1, sizeof(int64_t)));
    for (int m = 0; m <= members; ++m) part_reading.cuts[m] = m == members ? to : from + span * m / members;
}

// Every member scans its piece of the range, its lines to batch with &sinks[m].
void scan_members(edge_batch_fn batch, part_sink *sinks, lines_scan *scans) {
    const int64_t *cuts = part_reading.cuts;
    // A team smaller than asked for shares the members' pieces out.
#pragma omp parallel num_threads(part_reading.members) if (part_reading.members > 1)
    for (int m = omp_get_thread_num(); m < part_reading.members; m += omp_get_num_threads()) {
        scans[m] = scan_file_lines(cuts[m], cuts[m + 1], part_reading.counts.nodes, part_reading.counts.edges, batch,
                                   &sinks[m]);
    }
}

// This process's first fault of its members' first scans, in file order: members are in
// file order, and a member stops at its own first fault; lines after a fault are never
// counted on. The line past the M announced may stand in any process's range, before its
// own fault; when the processes before hold more than M lines, it is theirs.
int64_t first_scan_fault(const part_sink *sinks, const lines_scan *scans) {
    const int members = part_reading.members;
    const int64_t *cuts = part_reading.cuts;
    const int64_t m_limit = part_reading.counts.edges;
    int64_t own = NO_FAULT;
    int64_t accepted = 0;
    for (int m = 0; m < members && own == NO_FAULT; ++m) {
        accepted += scans[m].lines;
        own = sinks[m].out_of_memory ? fault_key(cuts[m], FAULT_MEMORY) : scan_fault_key(scans[m]);
    }
    int64_t at = sum_below(accepted);
    for (int m = 0; m < members && at <= m_limit; ++m) {
        if (at + scans[m].lines > m_limit) {
            const int64_t past = line_after(cuts[m], cuts[m + 1], m_limit - at);
            own = past < own ? past : own;
            break;
        }
        if (scan_fault_key(scans[m]) != NO_FAULT) break;
        at += scans[m].lines;
    }
    return own;
}

// ------------------------------------------------------------------ streams

// Copies run [lines, lines + length) into buffer at used, growing it.
void add_to_wave(const char *lines, size_t length, size_t used) {
    if (used + length + SLACK_BYTES > part_reading.wave_capacity) {
        size_t capacity = part_reading.wave_capacity == 0 ? settings.read_block_bytes : part_reading.wave_capacity;
        while (capacity < used + length + SLACK_BYTES) capacity *= 2;
        check_memory_budget(capacity);
        char *wave = static_cast<char *>(allocate_array(capacity, 1));
        if (used > 0) memcpy(wave, part_reading.wave, used);
        release_array(part_reading.wave);
    release_array(part_reading.cuts);
    release_array(part_reading.first_scans);
        part_reading.wave = wave;
        part_reading.wave_capacity = capacity;
    }
    memcpy(part_reading.wave + used, lines, length);
}

// Rank 0: takes up to one run per process from the input into the wave buffer.
void fetch_wave(int64_t *lengths, int64_t *offsets, int64_t *ended, int64_t *read_fault) {
    size_t used = 0;
    for (int k = 0; k < num_processes; ++k) {
        const char *lines = nullptr;
        size_t length = 0;
        int64_t offset = 0;
        if (part_reading.first_wave && k == 0) pending_edge_lines(&lines, &length);
        if (length > 0) {
            offset = edge_lines_start();
        } else if (next_lines(&lines, &length)) {
            offset = lines_offset();
        } else {
            *ended = 1;
            if (input_read_failed()) *read_fault = fault_key(input_consumed(), FAULT_READ);
            return;
        }
        add_to_wave(lines, length, used);
        lengths[k] = int64_t(length);
        offsets[k] = offset;
        used += length;
    }
}

void grow_run(size_t length) {
    if (length + SLACK_BYTES <= part_reading.run_capacity) return;
    release_array(part_reading.run);
    part_reading.run = static_cast<char *>(allocate_array(length + SLACK_BYTES, 1));
    part_reading.run_capacity = length + SLACK_BYTES;
}

bool next_stream_part(held_lines *part) {
    if (part_reading.done) return false;
    const int k = num_processes;
    // What rank 0 tells every process about the wave: whether the content has ended, a
    // failed read that follows the wave's lines, each run's length and content offset.
    int64_t *plan = static_cast<int64_t *>(allocate_array(2 * size_t(k) + 2, sizeof(int64_t)));
    for (int i = 0; i < 2 * k + 2; ++i) plan[i] = 0;
    int64_t *lengths = plan + 2;
    int64_t *offsets = plan + 2 + k;
    plan[1] = NO_FAULT;
    if (process_rank == 0) {
        // Shared input code may end the run here (memory for a long kept line).
        expect_agreement();
        fetch_wave(lengths, offsets, &plan[0], &plan[1]);
    }
    part_reading.first_wave = false;
    if (agree_on_fault(NO_FAULT) != NO_FAULT) end_everywhere(nullptr);
    MPI_Bcast(plan, 2 * k + 2, MPI_INT64_T, 0, MPI_COMM_WORLD);
    if (plan[0] != 0) part_reading.done = true;
    const int64_t length = lengths[process_rank];
    const int64_t run_offset = offsets[process_rank];
    agree_on_memory(size_t(length) + SLACK_BYTES > part_reading.run_capacity ? size_t(length) + SLACK_BYTES : 0);
    grow_run(size_t(length));
    if (process_rank == 0) {
        int64_t at = lengths[0];
        for (int p = 1; p < k; ++p) {
            send_bytes(part_reading.wave + at, lengths[p], p);
            at += lengths[p];
        }
        if (lengths[0] > 0) memcpy(part_reading.run, part_reading.wave, size_t(lengths[0]));
    } else {
        receive_bytes(part_reading.run, length, 0);
    }
    memset(part_reading.run + length, '\n', SLACK_BYTES);

    member_lines lines = {nullptr, 0, 0, false};
    const lines_scan scan = scan_run_lines(part_reading.run, size_t(length), run_offset, part_reading.counts.nodes,
                                           part_reading.counts.edges, keep_batch, &lines);
    int64_t own = lines.out_of_memory ? fault_key(run_offset, FAULT_MEMORY) : scan_fault_key(scan);
    if (process_rank == 0 && plan[1] < own) own = plan[1];  // it follows every line of the wave
    note_kept(scan);
    const int64_t before = part_reading.lines_before + sum_below(scan.lines);
    // When the processes before hold more than M lines, the line past M is theirs.
    if (before <= part_reading.counts.edges && before + scan.lines > part_reading.counts.edges) {
        const lines_scan again = scan_run_lines(part_reading.run, size_t(length), run_offset, part_reading.counts.nodes,
                                                part_reading.counts.edges - before, nullptr, nullptr);
        const int64_t past = fault_key(again.fault_offset, FAULT_LINE);
        own = past < own ? past : own;
    }
    part_reading.lines_before += sum_over_processes(scan.lines);
    release_array(plan);
    const int64_t agreed = agree_on_fault(own);
    if (agreed != NO_FAULT) end_at_fault(agreed, own, part_reading.run, size_t(length), run_offset);
    hand_over(&lines, 1, part);
    return true;
}

// What rank 0 tells the others of the file at its open: the problem line's counts, where
// the edge lines start, the size, whether the file is plain, and the file's identity.
constexpr int HEAD_VALUES = 9;

// Whether this process opened the file rank 0 did (identity: device, inode, size and
// modification time at rank 0's open). A name replaced in between, or a file written
// since, is another file. On another host, which may hold a copy of its own, only the
// size can be compared.
bool same_file_as_rank0(const int64_t *identity) {
    const file_identity own = input_identity();
    if (!input_is_plain_file() || own.size != identity[2]) return false;
    if (!beside_rank0) return true;
    return own.device == identity[0] && own.inode == identity[1] && own.modified_ns == identity[3];
}

}  // namespace

problem_counts read_head_everywhere(const char *path) {
    part_reading.path = path;
    // A gzip file goes through rank 0's stream, handed out in waves: inflated whole it
    // would read like a plain file, but every process would hold all of its content.
    settings.inflate_whole_max_bytes = 0;
    int64_t head[HEAD_VALUES] = {};
    if (process_rank == 0) {
        expect_agreement();
        open_input(path);
        const problem_counts counts = read_problem_line();
        head[0] = counts.nodes;
        head[1] = counts.edges;
        head[2] = edge_lines_start();
        head[3] = input_size();
        head[4] = input_is_plain_file();
        const file_identity opened = input_identity();
        head[5] = opened.device;
        head[6] = opened.inode;
        head[7] = opened.size;
        head[8] = opened.modified_ns;
        if (test_hooks.head_read != nullptr) test_hooks.head_read();
    }
    if (agree_on_fault(NO_FAULT) != NO_FAULT) end_everywhere(nullptr);
    MPI_Bcast(head, HEAD_VALUES, MPI_INT64_T, 0, MPI_COMM_WORLD);
    part_reading.counts = problem_counts{int32_t(head[0]), int32_t(head[1])};
    part_reading.edges_start = head[2];
    part_reading.size = head[3];
    part_reading.plain = head[4] != 0;
    if (!part_reading.plain) {
        // The read message waits until the lines before the failed read have been checked.
        defer_read_failure = true;
        return part_reading.counts;
    }
    int64_t own = NO_FAULT;
    if (process_rank != 0) {
        // Tried quietly first, so that a file missing everywhere is reported once.
        const int fd = open(path, O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            own = fault_key(0, FAULT_NOT_OPENED);
        } else {
            close(fd);
            expect_agreement();
            open_input(path);
            if (!same_file_as_rank0(head + 5)) own = fault_key(0, FAULT_READ);
        }
    }
    const int64_t agreed = agree_on_fault(own);
    if (agreed != NO_FAULT) {
        if (fault_kind_of(agreed) == FAULT_READ) {
            end_unless_rank0();
            fail_read();
        }
        if (fault_kind_of(agreed) != FAULT_NOT_OPENED) end_everywhere(nullptr);
        if (process_rank == 0) fprintf(stderr, NOT_FOUND_FORMAT, path);
        end_everywhere(nullptr);
    }
    // Every process reads the file as rank 0 found it at its open: to that size, and no
    // further when it has grown since.
    hold_input_size(part_reading.size);
    stop_lines();
    return part_reading.counts;
}

bool parts_scanned_twice() { return part_reading.plain; }

void scan_part(edge_batch_fn batch, part_sink *sinks) {
    part_members();
    part_reading.first_scans = static_cast<lines_scan *>(allocate_array(size_t(part_reading.members), sizeof(lines_scan)));
    scan_members(batch, sinks, part_reading.first_scans);
    const int64_t own = first_scan_fault(sinks, part_reading.first_scans);
    const int64_t agreed = agree_on_fault(own);
    if (agreed != NO_FAULT) end_at_fault(agreed, own, nullptr, 0, 0);
    for (int m = 0; m < part_reading.members; ++m) note_kept(part_reading.first_scans[m]);
}

void scan_part_again(edge_batch_fn batch, part_sink *sinks) {
    if (test_hooks.first_pass_checked != nullptr) test_hooks.first_pass_checked();
    const int members = part_reading.members;
    lines_scan *scans = static_cast<lines_scan *>(allocate_array(size_t(members), sizeof(lines_scan)));
    scan_members(batch, sinks, scans);
    // A file changed since the first scan: what was counted no longer holds.
    int64_t own = NO_FAULT;
    for (int m = 0; m < members && own == NO_FAULT; ++m) {
        const lines_scan &was = part_reading.first_scans[m], &is = scans[m];
        if (sinks[m].out_of_memory) own = fault_key(part_reading.cuts[m], FAULT_MEMORY);
        else if (is.fault != FAULT_NONE || is.lines != was.lines || is.kept != was.kept || is.checksum != was.checksum)
            own = fault_key(part_reading.cuts[m], FAULT_READ);
    }
    release_array(scans);
    const int64_t agreed = agree_on_fault(own);
    if (agreed != NO_FAULT) end_at_fault(agreed, own, nullptr, 0, 0);
}

int part_members() {
    if (part_reading.cuts == nullptr) cut_range();
    return part_reading.members;
}

bool next_held_lines(held_lines *part) { return next_stream_part(part); }

void release_held_lines(held_lines *part) {
    for (size_t b = 0; b < part->num_blocks; ++b) release_array(part->blocks[b].lines);
    release_array(part->blocks);
    *part = held_lines{nullptr, 0, 0};
}

edge_stats kept_line_stats() {
    edge_stats all;
    all.lines = sum_over_processes(part_reading.accepted);
    all.kept = sum_over_processes(part_reading.kept);
    all.min_weight = int32_t(min_over_processes(part_reading.min_weight));
    all.max_weight = int32_t(max_over_processes(part_reading.max_weight));
    all.max_offset = uint32_t(max_over_processes(part_reading.max_offset));
    return all;
}

void release_distributed_reading() {
    release_reading();
    release_array(part_reading.run);
    release_array(part_reading.wave);
    release_array(part_reading.cuts);
    release_array(part_reading.first_scans);
    defer_read_failure = false;
    part_reading = part_reader_state();
}
