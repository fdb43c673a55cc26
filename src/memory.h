// Large arrays: allocated once, untouched (the threads that use them touch them first),
// backed by huge pages where the kernel allows, so that building and solving millions
// of nodes pays few page faults and TLB misses.
#pragma once

#include <cstddef>

// count * size bytes, uninitialised; a count of zero is a success. On failure writes
// "Error: cannot allocate memory." and exits with status -1.
void *allocate_array(size_t count, size_t size);

// Writes "Error: cannot allocate memory." and ends the run.
[[noreturn]] void fail_memory();

// Releases what allocate_array returned; null is allowed.
void release_array(void *array);

// Ends the run with the memory message unless bytes more can really be had: within the
// machine's physical memory and the process's address-space and data limits. Untouched
// allocations would otherwise succeed and the kernel would kill the run mid-way.
void check_memory_budget(size_t bytes);
