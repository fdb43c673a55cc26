// The processes of a distributed run and how it ends. Every process meets its own faults
// and all of them agree on the first before anything else is exchanged, so a failed run
// ends with one message, written by rank 0 alone, and status -1 on every process.
// Invariant: between two agreements no process waits on another.
#pragma once

#include <cstddef>
#include <cstdint>

#include "failure.h"

extern int process_rank;    // this process, 0 .. num_processes - 1
extern int num_processes;
extern int host_processes;  // processes on this process's host, itself included
extern bool beside_rank0;   // whether this process runs on rank 0's host

// Starts the group (one process without mpirun); shared code's failures now end it here.
void start_processes(int *argc, char ***argv);

// Collective: sizes each process's thread team (size_team) and starts it, kept to the end,
// the processes of a host in turn: each probe then counts only the threads its neighbours
// have already taken, never ones they are about to take.
void start_teams_in_turn();

// Ends the process group after a complete run.
void finish_processes();

// When set, called on every process instead of ending an agreed failure; must not return.
extern void (*agreed_end_handler)();

// A fault as a key that orders faults as the one-process run meets them: by content
// offset, and at one offset by kind. NO_FAULT when none; REPORTED_FAULT, first of all,
// for one the process that met it has already written its message for.
constexpr int64_t NO_FAULT = INT64_MAX;
constexpr int64_t REPORTED_FAULT = 0;
inline int64_t fault_key(int64_t offset, fault_kind kind) { return offset * 8 + kind; }
inline int64_t fault_offset(int64_t key) { return key / 8; }
inline fault_kind fault_kind_of(int64_t key) { return fault_kind(key % 8); }

// Collective: each process passes its first fault (or NO_FAULT); returns the first of all.
int64_t agree_on_fault(int64_t key);

// Collective, after agree_on_fault: the lowest rank whose own key was the agreed one.
int fault_owner(int64_t agreed, int64_t own);

// Until the next agree_on_fault, a failure of shared code joins it as already reported.
void expect_agreement();

// After an agreement, on every process: rank 0 writes message (null: none); all exit -1.
[[noreturn]] void end_everywhere(const char *message);

// After an agreement: the others exit -1; rank 0 returns to fail through shared code.
void end_unless_rank0();

// Where no agreement can follow (memory refused mid-exchange): writes message, aborts all.
[[noreturn]] void abort_everywhere(const char *message);

// Collective among the processes of a host: whether touched bytes more, which the run will
// touch, and announced bytes, the most its graph's counts may need, fit this process's own
// limits, and what all of them ask for fits the host's memory and the group they share.
bool share_available(size_t touched, size_t announced);

// After the first exchange of edge lines: Open MPI's buffers have grown to what they keep.
void runtime_buffers_grown();

// Collective: every process ends with the memory message unless each can have its bytes.
void agree_on_memory(size_t bytes);

// Collective: the same for touched bytes the run will touch, and announced bytes the most
// its graph's counts may need, judged as share_available judges them.
void agree_on_memory(size_t touched, size_t announced);

// Sends length bytes to process to, in messages of at most 1 GiB (MPI counts are ints).
void send_bytes(const void *bytes, int64_t length, int to);
// Receives length bytes sent by send_bytes from process from.
void receive_bytes(void *bytes, int64_t length, int from);

// Collective sums, minima and maxima over all processes.
int64_t sum_over_processes(int64_t value);
int64_t min_over_processes(int64_t value);
int64_t max_over_processes(int64_t value);
// Collective: the sum of value over the processes ranked below this one.
int64_t sum_below(int64_t value);
