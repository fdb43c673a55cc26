// The process group (MPI) and the agreement on faults. Only the main thread of each process
// talks to the others. A fault that shared code meets ends the run through the failure
// handler: inside a stretch declared by expect_agreement it joins the agreement the others
// are heading for; anywhere else no agreement can follow, and the run is aborted.
#include "distributed_run.h"

#include <mpi.h>
#include <omp.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "failure.h"
#include "memory.h"
#include "team.h"

int process_rank = 0;
int num_processes = 1;
int host_processes = 1;
bool beside_rank0 = true;
void (*agreed_end_handler)() = nullptr;

namespace {

bool agreement_expected = false;
MPI_Comm host = MPI_COMM_NULL;  // the processes of this process's host
bool ending = false;

[[noreturn]] void exit_failed() {
    if (agreed_end_handler != nullptr) {
        agreement_expected = false;
        ending = false;
        agreed_end_handler();
    }
    MPI_Finalize();
    exit(-1);
}

void on_shared_failure() {
    // A member of a thread team cannot take part in the group's exchanges; its process ends
    // and the launcher ends the rest.
    if (omp_in_parallel() && omp_get_thread_num() != 0) exit(-1);
    if (ending) exit_failed();
    if (agreement_expected) {
        agree_on_fault(REPORTED_FAULT);
        exit_failed();
    }
    fflush(stderr);
    MPI_Abort(MPI_COMM_WORLD, 255);
    exit(-1);
}

int64_t reduce(int64_t value, MPI_Op op) {
    int64_t result = value;
    MPI_Allreduce(&value, &result, 1, MPI_INT64_T, op, MPI_COMM_WORLD);
    return result;
}

}  // namespace

void start_processes(int *argc, char ***argv) {
    int provided = 0;
    MPI_Init_thread(argc, argv, MPI_THREAD_FUNNELED, &provided);
    MPI_Comm_rank(MPI_COMM_WORLD, &process_rank);
    MPI_Comm_size(MPI_COMM_WORLD, &num_processes);
    MPI_Comm_split_type(MPI_COMM_WORLD, MPI_COMM_TYPE_SHARED, 0, MPI_INFO_NULL, &host);
    MPI_Comm_size(host, &host_processes);
    int lowest = process_rank;
    MPI_Allreduce(&process_rank, &lowest, 1, MPI_INT, MPI_MIN, host);
    beside_rank0 = lowest == 0;
    failure_handler = on_shared_failure;
}

void start_teams_in_turn() {
    int host_rank = 0;
    MPI_Comm_rank(host, &host_rank);
    // Each probe leaves a place beside the members it starts (size_team), so that one is
    // left at the end wherever there was one: rank 0's thread inflating a gzip file.
    for (int turn = 0; turn < host_processes; ++turn) {
        if (turn == host_rank) {
            size_team();
            start_and_keep_team();
        }
        MPI_Barrier(host);
    }
}

void finish_processes() {
    MPI_Comm_free(&host);
    MPI_Finalize();
}

int64_t agree_on_fault(int64_t key) {
    agreement_expected = false;
    return reduce(key, MPI_MIN);
}

int fault_owner(int64_t agreed, int64_t own) {
    return int(reduce(own == agreed ? process_rank : num_processes, MPI_MIN));
}

void expect_agreement() { agreement_expected = true; }

void end_everywhere(const char *message) {
    if (process_rank == 0 && message != nullptr) fputs(message, stderr);
    exit_failed();
}

void end_unless_rank0() {
    ending = true;
    if (process_rank != 0) exit_failed();
}

void abort_everywhere(const char *message) {
    fputs(message, stderr);
    fflush(stderr);
    MPI_Abort(MPI_COMM_WORLD, 255);
    exit(-1);
}

// Open MPI's own buffers grow with the first large exchange (its shared-memory segment is 4
// MiB a process, touched as messages grow): counted at every agreement until then.
namespace {
constexpr size_t RUNTIME_GROWTH_BYTES = size_t(4) << 20;
bool runtime_grown = false;
}  // namespace

void runtime_buffers_grown() { runtime_grown = true; }

bool share_available(size_t touched, size_t announced) {
    // The processes of a host share its memory and its memory group: what they ask for
    // at one agreement is counted together, each process's once.
    if (!runtime_grown && num_processes > 1) touched += RUNTIME_GROWTH_BYTES;
    int64_t mine[2] = {int64_t(fresh_request(touched)), int64_t(announced)}, hosted[2] = {0, 0};
    MPI_Allreduce(mine, hosted, 2, MPI_INT64_T, MPI_SUM, host);
    return address_space_available(fresh_request(announced)) && physical_memory_holds(size_t(hosted[1])) &&
           room_available(size_t(hosted[0]));
}

void agree_on_memory(size_t touched, size_t announced) {
    const int64_t agreed =
        agree_on_fault(share_available(touched, announced) ? NO_FAULT : fault_key(0, FAULT_MEMORY));
    if (agreed == NO_FAULT) return;
    end_everywhere(fault_kind_of(agreed) == FAULT_MEMORY ? MEMORY_MESSAGE : nullptr);
}

void agree_on_memory(size_t bytes) { agree_on_memory(bytes, bytes); }

int64_t sum_over_processes(int64_t value) { return reduce(value, MPI_SUM); }
int64_t min_over_processes(int64_t value) { return reduce(value, MPI_MIN); }
int64_t max_over_processes(int64_t value) { return reduce(value, MPI_MAX); }

int64_t sum_below(int64_t value) {
    int64_t result = 0;
    MPI_Exscan(&value, &result, 1, MPI_INT64_T, MPI_SUM, MPI_COMM_WORLD);
    return process_rank == 0 ? 0 : result;
}

// Bytes per message when a run, a line or an array is sent whole.
constexpr int64_t MESSAGE_BYTES = int64_t(1) << 30;

void send_bytes(const void *bytes, int64_t length, int to) {
    const char *from = static_cast<const char *>(bytes);
    for (int64_t at = 0; at < length; at += MESSAGE_BYTES) {
        const int64_t piece = length - at < MESSAGE_BYTES ? length - at : MESSAGE_BYTES;
        MPI_Send(from + at, int(piece), MPI_BYTE, to, 0, MPI_COMM_WORLD);
    }
}

void receive_bytes(void *bytes, int64_t length, int from) {
    char *to = static_cast<char *>(bytes);
    for (int64_t at = 0; at < length; at += MESSAGE_BYTES) {
        const int64_t piece = length - at < MESSAGE_BYTES ? length - at : MESSAGE_BYTES;
        MPI_Recv(to + at, int(piece), MPI_BYTE, from, 0, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
    }
}
