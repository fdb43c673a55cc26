// Distributed reading. A plain file is cut into one byte span per process (each owns the
// lines that start in it), read by the process's ranges with the shared reader; any other
// input is read by rank 0, which hands run k of each wave to process k, keeping parts in
// file order by rank. Invariant: a part is used only after all agree on the first fault in
// file order; a failed read counts after every line handed out before it.
#include "distributed_reader.h"

#include <fcntl.h>
#include <mpi.h>
#include <unistd.h>

#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>

#include "distributed_run.h"
#include "input.h"
#include "line_scanner.h"
#include "memory.h"
#include "reader.h"
#include "settings.h"
#include "store.h"
#include "test_hooks.h"

namespace {

struct part_reader_state {
    bool plain = false;
    bool done = false;         // no stream part is left
    bool first_wave = true;
    int64_t lines_before = 0;  // accepted lines in the waves before
    edge_stats kept = {0, 0, INT32_MAX, INT32_MIN, 0};  // this process's stream parts
    // Streams: this process's run and, on rank 0, the wave's runs back to back.
    char *run = nullptr;
    size_t run_capacity = 0;
    char *wave = nullptr;
    size_t wave_capacity = 0;
};
part_reader_state part_reading;

// What rank 0 tells the others of the file at its open: the problem line's counts, where
// the edge lines start, the size, whether the file is plain, and the file's identity.
enum head_value { HEAD_NODES, HEAD_EDGES, HEAD_START, HEAD_SIZE, HEAD_PLAIN, HEAD_DEVICE, HEAD_INODE, HEAD_STAT_SIZE,
                  HEAD_MODIFIED, HEAD_DIGEST, HEAD_VALUES };

// A copy on another host is compared with rank 0's file by a digest of its first and last
// END_BYTES and of SAMPLED_BLOCKS blocks of SAMPLE_BYTES spread evenly between: a few
// hundred reads, where the whole file would be read again.
constexpr size_t END_BYTES = size_t(64) << 10;
constexpr int SAMPLED_BLOCKS = 512;
constexpr size_t SAMPLE_BYTES = 4096;

// ------------------------------------------------------------------ faults

// Rank 0 writes the line that process owner met at offset of its run, then all end.
[[noreturn]] void end_at_line_in_run(int owner, int64_t offset, const char *run, size_t run_length,
                                     int64_t run_offset) {
    if (process_rank == owner) {
        const char *line = run + (offset - run_offset);
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

// Ends the run at the agreed fault, with the message the one-process reader writes. own is
// this process's key; run and run_offset the stream run that may hold the offending line.
[[noreturn]] void end_at_fault(int64_t agreed, int64_t own, const char *run, size_t run_length,
                               int64_t run_offset) {
    switch (fault_kind_of(agreed)) {
    case FAULT_LINE:
        if (!part_reading.plain)
            end_at_line_in_run(fault_owner(agreed, own), fault_offset(agreed), run, run_length, run_offset);
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

int64_t key_of(const read_fault &fault) {
    return fault.kind == FAULT_NONE ? NO_FAULT : fault_key(fault.offset, fault.kind);
}

// ------------------------------------------------------------------ the head

// Adds the CRC of the plain file's bytes [offset, offset + length) to crc; -1 when a read fails.
int64_t add_bytes(int64_t crc, int64_t offset, size_t length, char *buffer) {
    while (crc >= 0 && length > 0) {
        const int64_t got = read_input_at(offset, buffer, length);
        if (got <= 0) return -1;
        crc = int64_t(crc32(uLong(crc), reinterpret_cast<const Bytef *>(buffer), uInt(got)));
        offset += got;
        length -= size_t(got);
    }
    return crc;
}

// The digest of the plain file's sampled bytes; -1 when a read fails.
int64_t sampled_digest(int64_t size) {
    char *buffer = static_cast<char *>(allocate_array(END_BYTES, 1));
    int64_t crc = add_bytes(int64_t(crc32(0, Z_NULL, 0)), 0, size_t(std::min<int64_t>(size, END_BYTES)), buffer);
    for (int b = 0; b < SAMPLED_BLOCKS; ++b) {
        const int64_t at = size / SAMPLED_BLOCKS * b;
        crc = add_bytes(crc, at, size_t(std::min<int64_t>(size - at, SAMPLE_BYTES)), buffer);
    }
    const int64_t tail = std::max<int64_t>(0, size - int64_t(END_BYTES));
    crc = add_bytes(crc, tail, size_t(size - tail), buffer);
    release_array(buffer);
    return crc;
}

// Whether this process opened the file rank 0 did (identity: device, inode, size and
// modification time at rank 0's open). A name replaced in between, or a file written
// since, is another file. On another host, which may hold a copy of its own, the size and
// the digest of the sampled bytes are compared.
bool same_file_as_rank0(const int64_t *head) {
    const file_identity own = input_identity();
    if (!input_is_plain_file() || own.size != head[HEAD_STAT_SIZE]) return false;
    if (!beside_rank0) return sampled_digest(own.size) == head[HEAD_DIGEST];
    return own.device == head[HEAD_DEVICE] && own.inode == head[HEAD_INODE] && own.modified_ns == head[HEAD_MODIFIED];
}

// Rank 0: the file opened and read up to the problem line, and what the others learn of it;
// digested where a process runs on another host, which may read a copy of its own.
void read_head(const char *path, int64_t *head, bool digested) {
    expect_agreement();
    // A gzip file goes through rank 0's stream, handed out in waves: inflated whole it
    // would read like a plain file, and every process would hold all of its content.
    open_input(path, false);
    read_problem_line();
    const file_identity opened = input_identity();
    const int64_t values[HEAD_VALUES] = {num_nodes,     num_edges,      edge_lines_start(), input_size(),
                                         input_is_plain_file(), opened.device, opened.inode, opened.size,
                                         opened.modified_ns, -1};
    memcpy(head, values, sizeof values);
    if (digested && input_is_plain_file()) head[HEAD_DIGEST] = sampled_digest(opened.size);
    if (test_hooks.head_read != nullptr) test_hooks.head_read();
}

// The others: the plain file opened, and checked to be rank 0's; the agreed outcome.
void open_everywhere(const char *path, const int64_t *head) {
    int64_t own = NO_FAULT;
    if (process_rank != 0) {
        // Tried quietly first, so that a file missing everywhere is reported once.
        const int fd = open(path, O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            own = fault_key(0, FAULT_NOT_OPENED);
        } else {
            close(fd);
            expect_agreement();
            open_input(path, false);
            if (!same_file_as_rank0(head)) own = fault_key(0, FAULT_READ);
        }
    }
    const int64_t agreed = agree_on_fault(own);
    if (agreed == NO_FAULT) return;
    if (fault_kind_of(agreed) == FAULT_READ) {
        end_unless_rank0();
        fail_read();
    }
    if (fault_kind_of(agreed) == FAULT_NOT_OPENED && process_rank == 0) fprintf(stderr, NOT_FOUND_FORMAT, path);
    end_everywhere(nullptr);
}

// This process's span: the lines that start in its K-th of the bytes after the problem line.
void set_span(int64_t edges_start, int64_t size) {
    const int64_t bytes = size > edges_start ? size - edges_start : 0, k = num_processes;
    const int64_t from = edges_start + bytes * process_rank / k;
    const int64_t to = process_rank + 1 == k ? INT64_MAX : edges_start + bytes * (process_rank + 1) / k;
    read_edge_span(edges_start, from, to);
}

// ------------------------------------------------------------------ streams

// Copies run [lines, lines + length) into the wave buffer at used, growing it.
void add_to_wave(const char *lines, size_t length, size_t used) {
    if (used + length + SLACK_BYTES > part_reading.wave_capacity) {
        size_t capacity = part_reading.wave_capacity == 0 ? settings.read_block_bytes : part_reading.wave_capacity;
        while (capacity < used + length + SLACK_BYTES) capacity *= 2;
        check_memory_budget(capacity);
        char *wave = static_cast<char *>(allocate_array(capacity, 1));
        if (used > 0) memcpy(wave, part_reading.wave, used);
        release_array(part_reading.wave);
        part_reading.wave = wave;
        part_reading.wave_capacity = capacity;
    }
    memcpy(part_reading.wave + used, lines, length);
}

// Rank 0: takes up to one run per process from the input into the wave buffer; lengths and
// offsets per process; *ended once the content has ended, *read_fault where a read failed.
void fetch_wave(int64_t *lengths, int64_t *offsets, int64_t *ended, int64_t *read_fault) {
    size_t used = 0;
    for (int k = 0; k < num_processes; ++k) {
        const char *lines = nullptr;
        size_t length = 0;
        int64_t offset = edge_lines_start();
        if (part_reading.first_wave && k == 0) pending_edge_lines(&lines, &length);
        if (length == 0 && next_lines(&lines, &length)) offset = lines_offset();
        if (length == 0) {
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

// What rank 0 tells every process about a wave: whether the content has ended, a failed
// read that follows the wave's lines, each run's length and content offset.
struct wave_plan {
    int64_t *values;  // 2 K + 2: ended, read fault, lengths, offsets
    int64_t *lengths;
    int64_t *offsets;
};

wave_plan plan_wave() {
    const int k = num_processes;
    wave_plan plan;
    plan.values = static_cast<int64_t *>(allocate_array(2 * size_t(k) + 2, sizeof(int64_t)));
    for (int i = 0; i < 2 * k + 2; ++i) plan.values[i] = 0;
    plan.values[1] = NO_FAULT;
    plan.lengths = plan.values + 2;
    plan.offsets = plan.values + 2 + k;
    if (process_rank == 0) {
        // Shared input code may end the run here (memory for a long kept line).
        expect_agreement();
        fetch_wave(plan.lengths, plan.offsets, &plan.values[0], &plan.values[1]);
    }
    part_reading.first_wave = false;
    if (agree_on_fault(NO_FAULT) != NO_FAULT) end_everywhere(nullptr);
    MPI_Bcast(plan.values, 2 * k + 2, MPI_INT64_T, 0, MPI_COMM_WORLD);
    if (plan.values[0] != 0) part_reading.done = true;
    return plan;
}

// This process's run of the wave, received from rank 0 (its own copied), with its slack.
void receive_run(const wave_plan &plan) {
    const size_t length = size_t(plan.lengths[process_rank]);
    agree_on_memory(length + SLACK_BYTES > part_reading.run_capacity ? length + SLACK_BYTES : 0);
    if (length + SLACK_BYTES > part_reading.run_capacity) {
        release_array(part_reading.run);
        part_reading.run = static_cast<char *>(allocate_array(length + SLACK_BYTES, 1));
        part_reading.run_capacity = length + SLACK_BYTES;
    }
    if (process_rank == 0) {
        int64_t at = plan.lengths[0];
        for (int p = 1; p < num_processes; ++p) {
            send_bytes(part_reading.wave + at, plan.lengths[p], p);
            at += plan.lengths[p];
        }
        if (length > 0) memcpy(part_reading.run, part_reading.wave, length);
    } else {
        receive_bytes(part_reading.run, int64_t(length), 0);
    }
    memset(part_reading.run + length, '\n', SLACK_BYTES);
}

void note_kept(const lines_scan &scan) {
    edge_stats &kept = part_reading.kept;
    kept.lines += scan.lines;
    if (scan.kept == 0) return;
    kept.kept += scan.kept;
    kept.min_weight = scan.min_weight < kept.min_weight ? scan.min_weight : kept.min_weight;
    kept.max_weight = scan.max_weight > kept.max_weight ? scan.max_weight : kept.max_weight;
    kept.max_offset = scan.max_offset > kept.max_offset ? scan.max_offset : kept.max_offset;
}

// This process's first fault in its run (the wave's read fault on rank 0 follows every
// line): an offending line, lines dropped for want of memory, or the line past M, which is
// the run's when the processes before hold M lines or fewer and with it more.
int64_t run_fault(const lines_scan &scan, bool short_of_memory, int64_t read_fault, size_t length, int64_t offset) {
    int64_t own = short_of_memory ? fault_key(offset, FAULT_MEMORY)
                  : scan.fault_offset >= 0 ? fault_key(scan.fault_offset, FAULT_LINE)
                                           : NO_FAULT;
    if (process_rank == 0 && read_fault < own) own = read_fault;
    const int64_t before = part_reading.lines_before + sum_below(scan.lines);
    if (before <= num_edges && before + scan.lines > num_edges) {
        const lines_scan again = scan_run_lines(part_reading.run, length, offset, num_edges - before, nullptr);
        const int64_t past = fault_key(again.fault_offset, FAULT_LINE);
        own = past < own ? past : own;
    }
    part_reading.lines_before += sum_over_processes(scan.lines);
    return own;
}

}  // namespace

void read_head_everywhere(const char *path) {
    int64_t head[HEAD_VALUES] = {};
    const bool digested = min_over_processes(beside_rank0) == 0;
    if (process_rank == 0) read_head(path, head, digested);
    if (agree_on_fault(NO_FAULT) != NO_FAULT) end_everywhere(nullptr);
    MPI_Bcast(head, HEAD_VALUES, MPI_INT64_T, 0, MPI_COMM_WORLD);
    num_nodes = int32_t(head[HEAD_NODES]);
    num_edges = int32_t(head[HEAD_EDGES]);
    part_reading.plain = head[HEAD_PLAIN] != 0;
    if (!part_reading.plain) return;
    open_everywhere(path, head);
    // Every process reads the file as rank 0 found it at its open: to that size, and no
    // further when it has grown since.
    hold_input_size(head[HEAD_SIZE]);
    stop_lines();
    set_span(head[HEAD_START], head[HEAD_SIZE]);
}

bool read_in_spans() { return part_reading.plain; }

void agree_on_first_pass(int members, bool (*short_of_memory)(int member)) {
    const int64_t before = sum_below(accepted_lines());
    int64_t own = key_of(first_read_fault(before));
    for (int m = 0; m < members; ++m) {
        const int64_t dropped = short_of_memory(m) ? fault_key(range_start(m), FAULT_MEMORY) : NO_FAULT;
        own = dropped < own ? dropped : own;
    }
    const int64_t agreed = agree_on_fault(own);
    if (agreed != NO_FAULT) end_at_fault(agreed, own, nullptr, 0, 0);
}

void agree_on_second_pass(bool placed) {
    const bool met = second_pass_fault().kind == FAULT_NONE && placed;
    if (agree_on_fault(met ? NO_FAULT : fault_key(0, FAULT_READ)) == NO_FAULT) return;
    end_unless_rank0();
    fail_read();
}

bool next_stream_part(line_store &part) {
    if (part_reading.done) return false;
    const wave_plan plan = plan_wave();
    receive_run(plan);
    const size_t length = size_t(plan.lengths[process_rank]);
    const int64_t offset = plan.offsets[process_rank], read_fault = plan.values[1];
    release_array(plan.values);
    part.node_bits = node_bits_for(num_nodes);
    part.checked = true;
    const lines_scan scan = scan_run_lines(part_reading.run, length, offset, num_edges, &part);
    note_kept(scan);
    const int64_t own = run_fault(scan, part.out_of_memory, read_fault, length, offset);
    const int64_t agreed = agree_on_fault(own);
    if (agreed != NO_FAULT) end_at_fault(agreed, own, part_reading.run, length, offset);
    return true;
}

edge_stats agree_on_line_stats() {
    const edge_stats own = part_reading.plain ? read_line_stats() : part_reading.kept;
    edge_stats all;
    all.lines = sum_over_processes(own.lines);
    all.kept = sum_over_processes(own.kept);
    all.min_weight = int32_t(min_over_processes(own.kept > 0 ? own.min_weight : INT32_MAX));
    all.max_weight = int32_t(max_over_processes(own.kept > 0 ? own.max_weight : INT32_MIN));
    all.max_offset = uint32_t(max_over_processes(own.max_offset));
    return all;
}

void release_distributed_reading() {
    release_reading();
    release_array(part_reading.run);
    release_array(part_reading.wave);
    part_reading = part_reader_state();
}
