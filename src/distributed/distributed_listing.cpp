// Distributed report. Every process formats the lines of its own block in chunks, a batch
// at a time on its team, and keeps several chunks on their way to rank 0 while it formats
// the next; rank 0 keeps a window of receives posted from every other process from the
// start. When its standard output is a plain file, rank 0 knows every block's length
// beforehand and writes each chunk at its place as it comes, its own and the others' at
// once; otherwise it writes its own block, then each process's chunks in rank order. The
// listing is in node order either way. The main thread drives the transfers between
// chunks even while the team formats. After a failed write rank 0 still takes every
// chunk, so no process is left waiting, and cuts a placed file back to what it holds in
// order from the listing's start, as writes in order would have left it.
#include "distributed_listing.h"

#include <errno.h>
#include <fcntl.h>
#include <mpi.h>
#include <omp.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>

#include "distributed_run.h"
#include "distributed_settings.h"
#include "store.h"
#include "listing_text.h"
#include "memory.h"

namespace {

chunk_plan plan_chunks() {
    const int64_t first = first_owned_node == 0 && num_owned_nodes > 0 ? 1 : 0;
    const int64_t lines = num_owned_nodes - first;
    return plan_listing(lines, first, max_over_processes(lines), omp_get_max_threads(), num_processes);
}

// The bytes of this process's block of lines.
int64_t block_bytes(const chunk_plan &plan) {
    const int64_t lines = num_owned_nodes - plan.first;
    const int members = lines >= plan.per_chunk ? omp_get_max_threads() : 1;
    int64_t bytes = 0;
#pragma omp parallel for schedule(static) reduction(+ : bytes) num_threads(members) if (members > 1)
    for (int64_t c = 0; c < plan.chunks; ++c) {
        const int64_t first = plan.first + c * plan.per_chunk;
        const int64_t last = first + plan.per_chunk < num_owned_nodes ? first + plan.per_chunk : num_owned_nodes;
        bytes += node_lines_bytes(first_owned_node + first, min_distance + first, last - first);
    }
    return bytes;
}

// The transfers this process has in flight; only the main thread touches them.
struct transfers {
    MPI_Request *requests = nullptr;
    int *arrived = nullptr;  // bytes of a completed receive, -1 while it is on its way
    int count = 0;
    int *done = nullptr;  // scratch for MPI_Testsome
    MPI_Status *statuses = nullptr;
};
transfers flight;

void open_transfers(int count) {
    flight.count = count;
    flight.requests = static_cast<MPI_Request *>(allocate_array(size_t(count), sizeof(MPI_Request)));
    flight.arrived = static_cast<int *>(allocate_array(size_t(count), sizeof(int)));
    flight.done = static_cast<int *>(allocate_array(size_t(count), sizeof(int)));
    flight.statuses = static_cast<MPI_Status *>(allocate_array(size_t(count), sizeof(MPI_Status)));
    for (int r = 0; r < count; ++r) {
        flight.requests[r] = MPI_REQUEST_NULL;
        flight.arrived[r] = -1;
    }
}

void close_transfers() {
    release_array(flight.requests);
    release_array(flight.arrived);
    release_array(flight.done);
    release_array(flight.statuses);
    flight = transfers();
}

void note_arrivals(int completed) {
    if (completed == MPI_UNDEFINED) return;
    for (int d = 0; d < completed; ++d) {
        int length = 0;
        MPI_Get_count(&flight.statuses[d], MPI_BYTE, &length);
        flight.arrived[flight.done[d]] = length;
    }
}

// Lets the transfers move on (Open MPI moves them only inside its calls) and notes the
// receives that completed.
void drive_transfers() {
    int completed = 0;
    MPI_Testsome(flight.count, flight.requests, &completed, flight.done, flight.statuses);
    note_arrivals(completed);
}

// Waits until at least one more transfer completes.
void wait_for_arrivals() {
    int completed = 0;
    MPI_Waitsome(flight.count, flight.requests, &completed, flight.done, flight.statuses);
    note_arrivals(completed);
}

// Waits for transfer r and returns the bytes it received.
int wait_transfer(int r) {
    if (flight.arrived[r] < 0) {
        MPI_Status status;
        MPI_Wait(&flight.requests[r], &status);
        MPI_Get_count(&status, MPI_BYTE, &flight.arrived[r]);
    }
    const int length = flight.arrived[r];
    flight.arrived[r] = -1;
    return length;
}

// Formats the chunks [first_chunk, last_chunk) into slots of text, lengths in lengths; the
// main thread drives the transfers after each chunk it formats.
void format_batch(const chunk_plan &plan, int64_t first_chunk, int64_t last_chunk, char *text, int *lengths) {
    const int64_t count = last_chunk - first_chunk;
    const int members = count > 1 ? omp_get_max_threads() : 1;
#pragma omp parallel for schedule(dynamic, 1) num_threads(members) if (members > 1)
    for (int64_t c = 0; c < count; ++c) {
        const int64_t first = plan.first + (first_chunk + c) * plan.per_chunk;
        const int64_t last = first + plan.per_chunk < num_owned_nodes ? first + plan.per_chunk : num_owned_nodes;
        char *start = text + size_t(c) * plan.chunk_bytes;
        lengths[c] = int(
            format_node_lines(start, first_owned_node + first, min_distance + first, last - first) - start);
        if (omp_get_thread_num() == 0) drive_transfers();
    }
}

// ------------------------------------------------------------------ rank 0

// Where rank 0's output goes: a plain file takes each block at its own offset.
struct output_place {
    bool placed;    // a plain file, not opened for appending, whose offset is known
    int64_t start;  // its offset now
};

output_place find_output_place() {
    output_place out = {false, 0};
    struct stat about;
    const int flags = fcntl(STDOUT_FILENO, F_GETFL);
    if (fstat(STDOUT_FILENO, &about) != 0 || !S_ISREG(about.st_mode) || flags < 0 || (flags & O_APPEND) != 0)
        return out;
    const off_t at = lseek(STDOUT_FILENO, 0, SEEK_CUR);
    if (at < 0) return out;
    out.placed = true;
    out.start = int64_t(at);
    return out;
}

// Writes data at offset at; the bytes written before a failure, all of them without one.
size_t write_at(const char *data, size_t length, int64_t at) {
    size_t written = 0;
    while (written < length) {
        const ssize_t done = pwrite(STDOUT_FILENO, data + written, length - written, off_t(at) + off_t(written));
        if (done < 0 && errno == EINTR) continue;
        if (done <= 0) break;
        written += size_t(done);
    }
    return written;
}

// Rank 0's own view of the listing under way. Process p's region of the output holds its
// block (rank 0's begins with the heading).
struct listing_state {
    chunk_plan plan;
    bool placed;
    const int64_t *chunks_of;  // per process
    int64_t *next_of;          // per process: its next chunk to write
    int64_t *at_of;            // per process: where that chunk goes (placed output)
    int64_t *done_of;          // per process: the bytes of its region written (placed output)
    char *windows;             // the receive slots, process p's from (p - 1) * window
    bool written;
};

// Writes process p's next text at its place or in order; after a failed write, nothing more.
void put_text(listing_state &s, int p, const char *text, size_t length) {
    if (s.written && s.placed) {
        const size_t done = write_at(text, length, s.at_of[p]);
        s.done_of[p] += int64_t(done);
        s.written = done == length;
    } else if (s.written) {
        s.written = write_output(text, length);
    }
    s.at_of[p] += int64_t(length);
}

int slot_of(const listing_state &s, int p, int64_t k) { return int((p - 1) * s.plan.window + k % s.plan.window); }

void post_receive(const listing_state &s, int p, int64_t k) {
    const int r = slot_of(s, p, k);
    MPI_Irecv(s.windows + size_t(r) * s.plan.chunk_bytes, int(s.plan.chunk_bytes), MPI_BYTE, p, 0, MPI_COMM_WORLD,
              &flight.requests[r]);
}

// Process p's next chunk, received (length bytes in its slot): written, the slot posted
// again for the chunk a window later.
void take_chunk(listing_state &s, int p, int length) {
    const int64_t k = s.next_of[p];
    put_text(s, p, s.windows + size_t(slot_of(s, p, k)) * s.plan.chunk_bytes, size_t(length));
    s.next_of[p] = k + 1;
    if (k + s.plan.window < s.chunks_of[p]) post_receive(s, p, k + s.plan.window);
}

// Placed output: every chunk that has arrived, from every process, in each one's order.
bool place_arrivals(listing_state &s) {
    bool pending = false;
    for (int p = 1; p < num_processes; ++p) {
        while (s.next_of[p] < s.chunks_of[p] && flight.arrived[slot_of(s, p, s.next_of[p])] >= 0) {
            const int r = slot_of(s, p, s.next_of[p]);
            const int length = flight.arrived[r];
            flight.arrived[r] = -1;
            take_chunk(s, p, length);
        }
        pending = pending || s.next_of[p] < s.chunks_of[p];
    }
    return pending;
}

// Rank 0's own block, batch by batch, while the others' chunks arrive.
void write_own_block(listing_state &s, char *text, int *lengths) {
    const chunk_plan &plan = s.plan;
    for (int64_t first = 0; first < plan.chunks; first += plan.per_batch) {
        const int64_t last = first + plan.per_batch < plan.chunks ? first + plan.per_batch : plan.chunks;
        if (s.written) format_batch(plan, first, last, text, lengths);
        for (int64_t c = 0; s.written && c < last - first; ++c) {
            put_text(s, 0, text + size_t(c) * plan.chunk_bytes, size_t(lengths[c]));
            drive_transfers();
            if (s.placed) place_arrivals(s);
        }
    }
}

// Placed output after the last chunk: the file's offset past the listing, as after writes
// in order; after a failure the file cut back to what it holds in order from the start of
// the listing, no region written past one left short.
void end_placed(listing_state &s, const int64_t *bytes_of, int64_t start) {
    int64_t end = start;
    for (int p = 0; p < num_processes; ++p) {
        end += s.done_of[p];
        if (s.done_of[p] < bytes_of[p]) break;
    }
    if (!s.written && ftruncate(STDOUT_FILENO, off_t(end)) != 0) end = start;
    if (lseek(STDOUT_FILENO, off_t(end), SEEK_SET) != off_t(end)) s.written = false;
}

// Whether a placed output may be written out of order: a file size limit below the
// listing's end would stop the run at a later region before the earlier ones are written.
bool may_place(const output_place &out, const int64_t *bytes_of) {
    if (!out.placed) return false;
    int64_t end = out.start;
    for (int p = 0; p < num_processes; ++p) end += bytes_of[p];
    struct rlimit limit;
    return getrlimit(RLIMIT_FSIZE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY || end <= int64_t(limit.rlim_cur);
}

void open_state(listing_state &s, const chunk_plan &plan, const int64_t *chunks_of, const int64_t *bytes_of,
                const output_place &out) {
    const int k = num_processes, sources = k - 1;
    s.plan = plan;
    s.placed = may_place(out, bytes_of);
    s.chunks_of = chunks_of;
    s.next_of = static_cast<int64_t *>(allocate_array(3 * size_t(k), sizeof(int64_t)));
    s.at_of = s.next_of + k;
    s.done_of = s.at_of + k;
    s.windows = static_cast<char *>(allocate_array(size_t(sources * plan.window), plan.chunk_bytes));
    s.written = true;
    int64_t at = out.start;
    for (int p = 0; p < k; ++p) {
        s.next_of[p] = s.done_of[p] = 0;
        s.at_of[p] = at;
        at += bytes_of[p];
    }
    open_transfers(int(sources * plan.window));
    for (int p = 1; p < k; ++p)
        for (int64_t c = 0; c < plan.window && c < chunks_of[p]; ++c) post_receive(s, p, c);
}

// Rank 0: the heading, its own block and every other process's chunks; bytes_of holds each
// process's region (the heading in rank 0's).
bool write_everything(const chunk_plan &plan, const int64_t *chunks_of, const int64_t *bytes_of,
                      const output_place &out) {
    agree_on_memory(size_t(plan.per_batch) * (plan.chunk_bytes + sizeof(int)) +
                    size_t((num_processes - 1) * plan.window) * plan.chunk_bytes + 3 * size_t(num_processes) * 8);
    char *text = static_cast<char *>(allocate_array(size_t(plan.per_batch), plan.chunk_bytes));
    int *lengths = static_cast<int *>(allocate_array(size_t(plan.per_batch), sizeof(int)));
    listing_state s;
    open_state(s, plan, chunks_of, bytes_of, out);
    put_text(s, 0, LISTING_HEADING, LISTING_HEADING_BYTES);
    write_own_block(s, text, lengths);
    if (s.placed) {
        while (place_arrivals(s)) wait_for_arrivals();
        end_placed(s, bytes_of, out.start);
    } else {
        for (int p = 1; p < num_processes; ++p)
            while (s.next_of[p] < chunks_of[p]) take_chunk(s, p, wait_transfer(slot_of(s, p, s.next_of[p])));
    }
    close_transfers();
    release_array(text);
    release_array(lengths);
    release_array(s.next_of);
    release_array(s.windows);
    return s.written;
}

// ------------------------------------------------------------------ the others

// A process's own block to rank 0: a ring of whole batches of slots, the window on its way
// while the team formats the next batch into the rest.
void send_block(const chunk_plan &plan) {
    const int64_t slots = ((plan.window + plan.per_batch - 1) / plan.per_batch + 1) * plan.per_batch;
    agree_on_memory(size_t(slots) * (plan.chunk_bytes + sizeof(int)));
    char *text = static_cast<char *>(allocate_array(size_t(slots), plan.chunk_bytes));
    int *lengths = static_cast<int *>(allocate_array(size_t(slots), sizeof(int)));
    open_transfers(int(slots));
    for (int64_t first = 0; first < plan.chunks; first += plan.per_batch) {
        const int64_t last = first + plan.per_batch < plan.chunks ? first + plan.per_batch : plan.chunks;
        const int64_t slot = first % slots;  // a whole batch: it never wraps past the ring's end
        MPI_Waitall(int(last - first), flight.requests + slot, MPI_STATUSES_IGNORE);
        format_batch(plan, first, last, text + size_t(slot) * plan.chunk_bytes, lengths + slot);
        for (int64_t c = 0; c < last - first; ++c) {
            MPI_Isend(text + size_t(slot + c) * plan.chunk_bytes, lengths[slot + c], MPI_BYTE, 0, 0,
                      MPI_COMM_WORLD, &flight.requests[slot + c]);
            distributed_report.listing_bytes_sent += lengths[slot + c];
        }
    }
    MPI_Waitall(int(slots), flight.requests, MPI_STATUSES_IGNORE);
    close_transfers();
    release_array(text);
    release_array(lengths);
}

}  // namespace

chunk_plan plan_listing(int64_t lines, int64_t first, int64_t most, int members, int processes) {
    chunk_plan plan;
    plan.first = first;
    if (most < 1) most = 1;
    const int64_t sources = processes > 1 ? processes - 1 : 1;
    const int64_t fit_two = int64_t(LISTING_RECEIVE_BUDGET / MAX_LINE_BYTES) / (2 * sources);
    plan.per_chunk = std::max<int64_t>(1, std::min({distributed_settings.listing_chunk_nodes, most, fit_two}));
    plan.chunk_bytes = size_t(plan.per_chunk) * MAX_LINE_BYTES;
    plan.chunks = (lines + plan.per_chunk - 1) / plan.per_chunk;
    const int64_t most_chunks = (most + plan.per_chunk - 1) / plan.per_chunk;
    plan.per_batch = std::max<int64_t>(1, std::min<int64_t>(plan.chunks, members));
    const int64_t fits = int64_t(LISTING_RECEIVE_BUDGET / (size_t(sources) * plan.chunk_bytes));
    plan.window = std::max<int64_t>(1, std::min({distributed_settings.listing_window, fits, most_chunks}));
    return plan;
}

size_t listing_touch_bytes() {
    const chunk_plan plan = plan_chunks();
    if (process_rank == 0)
        return size_t(plan.per_batch + (num_processes - 1) * plan.window) * plan.chunk_bytes;
    const int64_t slots = ((plan.window + plan.per_batch - 1) / plan.per_batch + 1) * plan.per_batch;
    return size_t(std::min(slots, std::max<int64_t>(plan.chunks, 1))) * plan.chunk_bytes;
}

bool write_listing_everywhere() {
    distributed_report.listing_bytes_sent = 0;
    const chunk_plan plan = plan_chunks();
    // Rank 0 learns how many chunks each process will send and, for a plain file, how
    // many bytes.
    const output_place out = process_rank == 0 ? find_output_place() : output_place{false, 0};
    int placed = out.placed ? 1 : 0;
    MPI_Bcast(&placed, 1, MPI_INT, 0, MPI_COMM_WORLD);
    const int64_t mine[2] = {plan.chunks, placed ? block_bytes(plan) : 0};
    int64_t *all = static_cast<int64_t *>(allocate_array(size_t(2 * num_processes), sizeof(int64_t)));
    MPI_Gather(mine, 2, MPI_INT64_T, all, 2, MPI_INT64_T, 0, MPI_COMM_WORLD);
    // A listing kept in memory on rank 0's host must fit the room it leaves there.
    int64_t total = 0;
    for (int p = 0; process_rank == 0 && placed && p < num_processes; ++p) total += all[2 * p + 1];
    const bool fits = process_rank != 0 || !placed || !output_in_memory() || room_available(size_t(total));
    if (agree_on_fault(fits ? NO_FAULT : fault_key(0, FAULT_MEMORY)) != NO_FAULT) end_everywhere(MEMORY_MESSAGE);
    int written = 1;
    if (process_rank == 0) {
        int64_t *chunks_of = static_cast<int64_t *>(allocate_array(size_t(2 * num_processes), sizeof(int64_t)));
        int64_t *bytes_of = chunks_of + num_processes;
        for (int p = 0; p < num_processes; ++p) {
            chunks_of[p] = all[2 * p];
            bytes_of[p] = all[2 * p + 1] + (p == 0 ? int64_t(LISTING_HEADING_BYTES) : 0);
        }
        written = write_everything(plan, chunks_of, bytes_of, out);
        release_array(chunks_of);
    } else {
        send_block(plan);
    }
    release_array(all);
    MPI_Bcast(&written, 1, MPI_INT, 0, MPI_COMM_WORLD);
    return written != 0;
}
