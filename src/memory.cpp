// Large arrays, aligned to 2 MiB and advised as huge-page candidates; small ones come
// from malloc. Every failure to get memory ends the run with the one memory message.
#include "memory.h"

#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "failure.h"

namespace {

constexpr size_t HUGE_PAGE_BYTES = size_t(2) << 20;
// Huge pages are touched whole, so a small array would hold up to 2 MiB it never uses;
// from this size on the waste is small and the saving in faults and TLB misses large.
constexpr size_t HUGE_ARRAY_BYTES = size_t(32) << 20;

// The soft limit of resource, or SIZE_MAX when there is none.
size_t soft_limit(int resource) {
    struct rlimit limit;
    if (getrlimit(resource, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return SIZE_MAX;
    return size_t(limit.rlim_cur);
}

// Bytes of address space the process already holds (its libraries, stacks, buffers).
size_t address_space_in_use() {
    FILE *statm = fopen("/proc/self/statm", "r");
    if (statm == nullptr) return 0;
    unsigned long pages = 0;
    if (fscanf(statm, "%lu", &pages) != 1) pages = 0;
    fclose(statm);
    return size_t(pages) * size_t(sysconf(_SC_PAGESIZE));
}

}  // namespace

void fail_memory() {
    fputs("Error: cannot allocate memory.\n", stderr);
    end_with_failure();
}

void check_memory_budget(size_t bytes) {
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page_bytes = sysconf(_SC_PAGESIZE);
    if (pages > 0 && page_bytes > 0 && bytes / size_t(page_bytes) >= size_t(pages)) fail_memory();
    size_t limit = soft_limit(RLIMIT_AS);
    const size_t data_limit = soft_limit(RLIMIT_DATA);
    if (data_limit < limit) limit = data_limit;
    if (limit == SIZE_MAX) return;
    const size_t in_use = address_space_in_use();
    if (in_use >= limit || bytes > limit - in_use) fail_memory();
}

void *allocate_array(size_t count, size_t size) {
    if (size != 0 && count > SIZE_MAX / size) count = SIZE_MAX / size;  // fails below
    const size_t bytes = count * size;
    void *array = nullptr;
    if (bytes >= HUGE_ARRAY_BYTES) {
        if (posix_memalign(&array, HUGE_PAGE_BYTES, bytes) != 0) array = nullptr;
        if (array != nullptr) madvise(array, bytes, MADV_HUGEPAGE);
    } else {
        array = malloc(bytes == 0 ? 1 : bytes);
    }
    if (array == nullptr) fail_memory();
    return array;
}

void release_array(void *array) { free(array); }
