// Large arrays are mappings of their own, 2 MiB aligned and advised as huge-page
// candidates; small ones come from malloc. A released mapping stays in a short table and
// serves the next request it can hold. Every failure to get memory ends the run with the
// one memory message.
#include "memory.h"

#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "failure.h"

namespace {

constexpr size_t HUGE_PAGE_BYTES = size_t(2) << 20;
// From this size on an array gets a mapping of its own; below it malloc is cheaper.
constexpr size_t LARGE_ARRAY_BYTES = size_t(1) << 20;
// From a huge page's size on, an array takes huge pages: one fault instead of 512 for
// each 2 MiB touched. The last page of an array may hold up to 2 MiB it never uses.
constexpr size_t HUGE_ARRAY_BYTES = size_t(2) << 20;

struct mapping {
    char *start;
    size_t length;  // whole pages, as mapped
    bool in_use;
};

// Few large arrays live at once; kept ones make room for new ones when the table fills.
constexpr int MAX_MAPPINGS = 64;
mapping mappings[MAX_MAPPINGS];
int num_mappings = 0;
size_t kept_bytes = 0;  // mapped but not in use

size_t round_up(size_t bytes, size_t unit) { return (bytes + unit - 1) / unit * unit; }

// A fresh mapping of at least bytes, zero-filled by the kernel; null on failure.
char *map_fresh(size_t bytes, size_t *length) {
    const bool huge = bytes >= HUGE_ARRAY_BYTES;
    const size_t unit = huge ? HUGE_PAGE_BYTES : size_t(sysconf(_SC_PAGESIZE));
    const size_t want = round_up(bytes, unit);
    const size_t slack = huge ? HUGE_PAGE_BYTES : 0;
    void *raw = mmap(nullptr, want + slack, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) return nullptr;
    char *start = static_cast<char *>(raw);
    if (huge) {
        // Trim to a 2 MiB boundary so that every page of the array can be a huge one.
        char *aligned = reinterpret_cast<char *>(round_up(reinterpret_cast<uintptr_t>(start), unit));
        if (aligned > start) munmap(start, size_t(aligned - start));
        const size_t tail = size_t(start + want + slack - (aligned + want));
        if (tail > 0) munmap(aligned + want, tail);
        start = aligned;
        madvise(start, want, MADV_HUGEPAGE);
    }
    *length = want;
    return start;
}

// Records a new mapping as in use; false when the table is full even of arrays in use.
bool remember(char *start, size_t length) {
    if (num_mappings == MAX_MAPPINGS) {
        int kept = 0;
        for (int k = 0; k < num_mappings; ++k) {
            if (mappings[k].in_use) {
                mappings[kept++] = mappings[k];
            } else {
                munmap(mappings[k].start, mappings[k].length);
                kept_bytes -= mappings[k].length;
            }
        }
        num_mappings = kept;
        if (num_mappings == MAX_MAPPINGS) return false;
    }
    mappings[num_mappings++] = mapping{start, length, true};
    return true;
}

mapping *find_mapping(const void *start) {
    for (int k = 0; k < num_mappings; ++k) {
        if (mappings[k].start == start) return &mappings[k];
    }
    return nullptr;
}

// The smallest kept mapping that holds bytes, or null.
mapping *find_kept(size_t bytes) {
    mapping *best = nullptr;
    for (int k = 0; k < num_mappings; ++k) {
        mapping &m = mappings[k];
        if (!m.in_use && m.length >= bytes && (best == nullptr || m.length < best->length)) best = &m;
    }
    return best;
}

void *allocate(size_t count, size_t size, bool zeroed) {
    if (size != 0 && count > SIZE_MAX / size) fail_memory();
    const size_t bytes = count * size;
    if (bytes < LARGE_ARRAY_BYTES) {
        void *array = zeroed ? calloc(bytes == 0 ? 1 : bytes, 1) : malloc(bytes == 0 ? 1 : bytes);
        if (array == nullptr) fail_memory();
        return array;
    }
    void *array = nullptr;
#pragma omp critical(norvane_memory)
    {
        mapping *kept = zeroed ? nullptr : find_kept(bytes);
        if (kept != nullptr) {
            kept->in_use = true;
            kept_bytes -= kept->length;
            array = kept->start;
        } else {
            size_t length = 0;
            char *start = map_fresh(bytes, &length);
            if (start != nullptr && !remember(start, length)) {
                munmap(start, length);
                start = nullptr;
            }
            array = start;
        }
    }
    if (array == nullptr) fail_memory();
    return array;
}

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

bool memory_available(size_t bytes) {
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page_bytes = sysconf(_SC_PAGESIZE);
    if (pages > 0 && page_bytes > 0 && bytes / size_t(page_bytes) >= size_t(pages)) return false;
    size_t limit = soft_limit(RLIMIT_AS);
    const size_t data_limit = soft_limit(RLIMIT_DATA);
    if (data_limit < limit) limit = data_limit;
    if (limit == SIZE_MAX) return true;
    // Kept mappings are in use as address space but will serve part of the request.
    const size_t fresh = bytes > kept_bytes ? bytes - kept_bytes : 0;
    const size_t in_use = address_space_in_use();
    return in_use < limit && fresh <= limit - in_use;
}

void check_memory_budget(size_t bytes) {
    if (!memory_available(bytes)) fail_memory();
}

void *allocate_array(size_t count, size_t size) { return allocate(count, size, false); }

void *allocate_zeroed_array(size_t count, size_t size) { return allocate(count, size, true); }

void release_array(void *array) {
    if (array == nullptr) return;
    bool mapped = false;
#pragma omp critical(norvane_memory)
    {
        mapping *m = find_mapping(array);
        if (m != nullptr) {
            mapped = true;
            if (m->in_use) {
                m->in_use = false;
                kept_bytes += m->length;
            }
        }
    }
    if (!mapped) free(array);
}

void release_all_arrays() {
    for (int k = 0; k < num_mappings; ++k) munmap(mappings[k].start, mappings[k].length);
    num_mappings = 0;
    kept_bytes = 0;
}
