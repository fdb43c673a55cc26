// Distributed report. Every process formats the lines of its own block, a batch of chunks
// at a time on its team, and sends them to rank 0 while it formats the next batch; rank 0
// writes its own block, then each process's chunks as they arrive, in rank order, so the
// listing is in node order and no process holds more than two batches of text. After a
// failed write rank 0 still takes every chunk sent to it, so no process is left waiting.
#include "distributed_listing.h"

#include <mpi.h>
#include <omp.h>

#include <cstdint>
#include <cstring>

#include "distributed_run.h"
#include "distributed_store.h"
#include "listing_text.h"
#include "memory.h"

int64_t listing_bytes_sent = 0;

namespace {

// A chunk's text (under half a megabyte) stays in the cache of the member that formats it.
constexpr int64_t NODES_PER_CHUNK = int64_t(1) << 14;
constexpr size_t CHUNK_BYTES = size_t(NODES_PER_CHUNK) * MAX_LINE_BYTES;

// This process's chunks: the owned nodes but node 0, NODES_PER_CHUNK at a time.
struct chunk_plan {
    int64_t first;  // local index of the first node with a line
    int64_t chunks;
    int64_t per_batch;
};

chunk_plan plan_chunks() {
    chunk_plan plan;
    plan.first = first_local_node == 0 && num_local_nodes > 0 ? 1 : 0;
    const int64_t lines = num_local_nodes - plan.first;
    plan.chunks = (lines + NODES_PER_CHUNK - 1) / NODES_PER_CHUNK;
    const int64_t members = omp_get_max_threads();
    plan.per_batch = plan.chunks < 2 * members ? (plan.chunks > 0 ? plan.chunks : 1) : 2 * members;
    return plan;
}

// Formats the chunks [first_chunk, last_chunk) into slots of text, lengths in lengths.
void format_batch(const chunk_plan &plan, int64_t first_chunk, int64_t last_chunk, char *text, int *lengths) {
    const int64_t count = last_chunk - first_chunk;
    const int members = count > 1 ? omp_get_max_threads() : 1;
#pragma omp parallel for schedule(dynamic, 1) num_threads(members) if (members > 1)
    for (int64_t c = 0; c < count; ++c) {
        const int64_t first = plan.first + (first_chunk + c) * NODES_PER_CHUNK;
        const int64_t last = first + NODES_PER_CHUNK < num_local_nodes ? first + NODES_PER_CHUNK : num_local_nodes;
        char *start = text + size_t(c) * CHUNK_BYTES;
        lengths[c] = int(
            format_node_lines(start, first_local_node + first, local_distance + first, last - first) - start);
    }
}

// Rank 0's own block, written batch by batch.
bool write_own_block(const chunk_plan &plan, char *text, int *lengths) {
    bool written = true;
    for (int64_t first = 0; written && first < plan.chunks; first += plan.per_batch) {
        const int64_t last = first + plan.per_batch < plan.chunks ? first + plan.per_batch : plan.chunks;
        format_batch(plan, first, last, text, lengths);
        for (int64_t c = 0; written && c < last - first; ++c)
            written = write_output(text + size_t(c) * CHUNK_BYTES, size_t(lengths[c]));
    }
    return written;
}

// Another process's block: chunks until an empty message, written while the next arrives.
bool write_block_of(int from, char *text, bool written) {
    MPI_Request request;
    MPI_Irecv(text, int(CHUNK_BYTES), MPI_BYTE, from, 0, MPI_COMM_WORLD, &request);
    for (int64_t k = 0;; ++k) {
        MPI_Status status;
        MPI_Wait(&request, &status);
        int length = 0;
        MPI_Get_count(&status, MPI_BYTE, &length);
        if (length == 0) return written;
        char *arrived = text + size_t(k % 2) * CHUNK_BYTES;
        MPI_Irecv(text + size_t((k + 1) % 2) * CHUNK_BYTES, int(CHUNK_BYTES), MPI_BYTE, from, 0, MPI_COMM_WORLD,
                  &request);
        if (written) written = write_output(arrived, size_t(length));
    }
}

// A process's own block to rank 0, two sets of buffers: one on its way, one being formatted.
void send_block(const chunk_plan &plan, char *text, int *lengths) {
    const int64_t per = plan.per_batch;
    MPI_Request *requests = static_cast<MPI_Request *>(allocate_array(size_t(2 * per), sizeof(MPI_Request)));
    for (int64_t r = 0; r < 2 * per; ++r) requests[r] = MPI_REQUEST_NULL;
    for (int64_t batch = 0; batch * per < plan.chunks; ++batch) {
        const int64_t set = batch % 2;
        const int64_t first = batch * per;
        const int64_t last = first + per < plan.chunks ? first + per : plan.chunks;
        MPI_Waitall(int(per), requests + set * per, MPI_STATUSES_IGNORE);
        char *slots = text + size_t(set * per) * CHUNK_BYTES;
        format_batch(plan, first, last, slots, lengths + set * per);
        for (int64_t c = 0; c < last - first; ++c) {
            MPI_Isend(slots + size_t(c) * CHUNK_BYTES, lengths[set * per + c], MPI_BYTE, 0, 0, MPI_COMM_WORLD,
                      &requests[set * per + c]);
            listing_bytes_sent += lengths[set * per + c];
        }
    }
    MPI_Waitall(int(2 * per), requests, MPI_STATUSES_IGNORE);
    MPI_Send(text, 0, MPI_BYTE, 0, 0, MPI_COMM_WORLD);
    release_array(requests);
}

}  // namespace

bool write_listing_everywhere() {
    listing_bytes_sent = 0;
    const chunk_plan plan = plan_chunks();
    agree_on_memory(size_t(2 * plan.per_batch) * (CHUNK_BYTES + sizeof(int)));
    char *text = static_cast<char *>(allocate_array(size_t(2 * plan.per_batch), CHUNK_BYTES));
    int *lengths = static_cast<int *>(allocate_array(size_t(2 * plan.per_batch), sizeof(int)));
    int written = 1;
    if (process_rank == 0) {
        written = write_output(LISTING_HEADING, LISTING_HEADING_BYTES) && write_own_block(plan, text, lengths);
        for (int p = 1; p < num_processes; ++p) written = write_block_of(p, text, written);
    } else {
        send_block(plan, text, lengths);
    }
    release_array(text);
    release_array(lengths);
    MPI_Bcast(&written, 1, MPI_INT, 0, MPI_COMM_WORLD);
    return written != 0;
}
