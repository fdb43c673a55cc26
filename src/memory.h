// Large arrays: allocated once, untouched (the threads that use them touch them first),
// backed by huge pages where the kernel allows. A released large array is kept mapped and
// handed to the next request it can hold, so the solver runs on pages the reader already
// faulted in instead of paying the kernel to clear fresh ones.
#pragma once

#include <cstddef>

#include "failure.h"

// count * size bytes, uninitialised (possibly reused); a count of zero is a success. On
// failure writes MEMORY_MESSAGE and exits with status -1.
void *allocate_array(size_t count, size_t size);

// As allocate_array, but every byte is zero: fresh pages from the kernel, never reused
// ones, so no thread has to clear them.
void *allocate_zeroed_array(size_t count, size_t size);

// Releases what the two functions above returned; null is allowed. A large array is kept
// for reuse until release_all_arrays.
void release_array(void *array);

// Releases array as release_array does and leaves the pointer null.
template <class T>
void drop_array(T *&array) {
    release_array(array);
    array = nullptr;
}

// Releases an array for good: a large one's pages leave the process at once instead of
// being kept for reuse. For memory read once that would otherwise add to the peak.
void discard_array(void *array);

// Unmaps the large arrays kept for reuse that no allocation has taken again, so that
// their pages leave the process.
void release_kept_arrays();

// Unmaps every large array, kept or not; for the end of a run.
void release_all_arrays();

// Writes MEMORY_MESSAGE and ends the run.
[[noreturn]] void fail_memory();

// Whether bytes more can really be had, as check_memory_budget judges it.
bool memory_available(size_t bytes);

// The bytes of a request that the arrays kept for reuse cannot serve.
size_t fresh_request(size_t bytes);

// Whether bytes more, which the run will touch beyond what it holds now, fit the machine's
// physical memory and the room its memory control groups leave (for processes that share a
// group, the bytes of all of them).
bool room_available(size_t bytes);

// Whether bytes more of address space fit the process's limits (ulimit -v, ulimit -d),
// counting the address space it holds.
bool address_space_available(size_t bytes);

// Whether bytes fit the machine's physical memory.
bool physical_memory_holds(size_t bytes);

// Whether bytes more, by the most a graph's announced counts may need, fit the machine's
// physical memory and the process's address-space limits.
bool machine_holds(size_t bytes);

// Ends the run with the memory message unless room_available(bytes): for a step that
// knows what the rest of the run will touch.
void check_room(size_t bytes);

// Ends the run with the memory message unless bytes more can really be had: within the
// machine's physical memory, the process's address-space and data limits, and the room its
// memory control groups leave (memory_limit.h) beyond the arrays already mapped. Untouched
// allocations would otherwise succeed and the kernel would kill the run mid-way. Bytes
// kept for reuse count as available.
void check_memory_budget(size_t bytes);
