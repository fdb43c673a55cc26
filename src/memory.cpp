// Large arrays are mappings of their own, 2 MiB aligned and advised as huge-page
// candidates where that wastes little; small ones come from malloc. A released mapping
// stays in a short list and serves the next request it can hold. Every failure to get
// memory ends the run with the one memory message.
#include "memory.h"

#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "failure.h"
#include "memory_limit.h"

namespace {

constexpr size_t HUGE_PAGE_BYTES = size_t(2) << 20;
// From this size on an array gets a mapping of its own; below it malloc is cheaper.
constexpr size_t LARGE_ARRAY_BYTES = size_t(1) << 20;
// An array takes huge pages (one fault instead of 512 for each 2 MiB touched) when the
// part of its last huge page it would not use is at most an eighth of it: a huge page is
// resident whole once touched.

struct mapping {
    char *start;
    size_t length;  // whole pages, as mapped
};

// Large arrays in use, any number of them (a stream's blocks of lines run to thousands):
// an open-addressed table keyed by address, at most half full.
mapping *in_use = nullptr;
size_t in_use_capacity = 0;  // a power of two
size_t in_use_count = 0;
size_t in_use_bytes = 0;  // their lengths, touched or not

// Released mappings kept for reuse: a few, the largest ones freed; beyond, unmapped.
constexpr int MAX_KEPT = 32;
mapping kept[MAX_KEPT];
int num_kept = 0;
size_t kept_bytes = 0;

size_t round_up(size_t bytes, size_t unit) { return (bytes + unit - 1) / unit * unit; }

size_t slot_of(const void *start) {
    return size_t((uintptr_t(start) >> 12) * 0x9e3779b97f4a7c15ULL) & (in_use_capacity - 1);
}

// Records a mapping as in use; false when the table cannot grow.
bool remember(char *start, size_t length) {
    if (2 * (in_use_count + 1) > in_use_capacity) {
        const size_t old_capacity = in_use_capacity;
        mapping *old = in_use;
        const size_t capacity = old_capacity == 0 ? 64 : 2 * old_capacity;
        mapping *grown = static_cast<mapping *>(calloc(capacity, sizeof(mapping)));
        if (grown == nullptr) return false;
        in_use = grown;
        in_use_capacity = capacity;
        for (size_t k = 0; k < old_capacity; ++k) {
            if (old[k].start == nullptr) continue;
            size_t slot = slot_of(old[k].start);
            while (in_use[slot].start != nullptr) slot = (slot + 1) & (capacity - 1);
            in_use[slot] = old[k];
        }
        free(old);
    }
    size_t slot = slot_of(start);
    while (in_use[slot].start != nullptr) slot = (slot + 1) & (in_use_capacity - 1);
    in_use[slot] = mapping{start, length};
    ++in_use_count;
    in_use_bytes += length;
    return true;
}

// Takes the mapping that starts at start out of the table; false when there is none
// (the array came from malloc).
bool forget(const void *start, mapping *found) {
    if (in_use_capacity == 0) return false;
    const size_t mask = in_use_capacity - 1;
    size_t slot = slot_of(start);
    while (in_use[slot].start != start) {
        if (in_use[slot].start == nullptr) return false;
        slot = (slot + 1) & mask;
    }
    *found = in_use[slot];
    // Shift back the entries after it that probed past it, so that no probe breaks.
    size_t hole = slot;
    for (size_t next = (slot + 1) & mask; in_use[next].start != nullptr; next = (next + 1) & mask) {
        const size_t home = slot_of(in_use[next].start);
        if (((next - home) & mask) >= ((next - hole) & mask)) {
            in_use[hole] = in_use[next];
            hole = next;
        }
    }
    in_use[hole].start = nullptr;
    --in_use_count;
    in_use_bytes -= found->length;
    return true;
}

// A fresh mapping of at least bytes, zero-filled by the kernel; null on failure.
char *map_fresh(size_t bytes, size_t *length) {
    const size_t unused = round_up(bytes, HUGE_PAGE_BYTES) - bytes;
    const bool huge = bytes >= HUGE_PAGE_BYTES / 2 && unused <= bytes / 8;
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

// Takes out of the kept list the smallest mapping that holds bytes; false when none does.
bool take_kept(size_t bytes, mapping *taken) {
    int best = -1;
    for (int k = 0; k < num_kept; ++k) {
        if (kept[k].length >= bytes && (best < 0 || kept[k].length < kept[best].length)) best = k;
    }
    if (best < 0) return false;
    *taken = kept[best];
    kept[best] = kept[--num_kept];
    kept_bytes -= taken->length;
    return true;
}

// The ledger of fresh arrays granted, of arrays given back and of kept mappings unmapped
// since (fits_groups).
void note_grant(size_t bytes);
void note_released(size_t bytes);
void note_unmapped(size_t bytes);

// Keeps a released mapping for reuse, or unmaps it (or the smallest kept one) when the
// list is full.
void keep(mapping released) {
    if (num_kept == MAX_KEPT) {
        int smallest = 0;
        for (int k = 1; k < num_kept; ++k) smallest = kept[k].length < kept[smallest].length ? k : smallest;
        if (kept[smallest].length >= released.length) {
            munmap(released.start, released.length);
            return;
        }
        munmap(kept[smallest].start, kept[smallest].length);
        note_unmapped(kept[smallest].length);
        kept_bytes -= kept[smallest].length;
        kept[smallest] = kept[--num_kept];
    }
    kept[num_kept++] = released;
    kept_bytes += released.length;
}

void *allocate(size_t count, size_t size, bool zeroed) {
    if (size != 0 && count > SIZE_MAX / size) fail_memory();
    const size_t bytes = count * size;
    if (bytes < LARGE_ARRAY_BYTES) {
        void *array = zeroed ? calloc(bytes == 0 ? 1 : bytes, 1) : malloc(bytes == 0 ? 1 : bytes);
        if (array == nullptr) fail_memory();
        return array;
    }
    // Every large array is checked as it is asked for: a run the steps' own checks let
    // through by too little ends with the memory message, never killed as it touches it.
    if (!memory_available(bytes)) fail_memory();
    void *array = nullptr;
#pragma omp critical(norvane_memory)
    {
        mapping taken;
        if (!zeroed && take_kept(bytes, &taken)) {
            if (remember(taken.start, taken.length)) {
                array = taken.start;
            } else {
                munmap(taken.start, taken.length);
            }
        } else {
            size_t length = 0;
            char *start = map_fresh(bytes, &length);
            if (start != nullptr && !remember(start, length)) {
                munmap(start, length);
                start = nullptr;
            }
            if (start != nullptr) note_grant(length);
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

// The memory groups' room, read afresh; UINT64_MAX where no group limits the process.
// Which groups have a limit is read once: the checks of a run then read only those.
uint64_t group_room() {
    static const std::vector<control_group> groups = [] {
        std::string self_cgroup, mountinfo;
        if (!read_text_file("/proc/self/cgroup", &self_cgroup, nullptr) ||
            !read_text_file("/proc/self/mountinfo", &mountinfo, nullptr))
            return std::vector<control_group>();
        return limited_groups(process_groups(self_cgroup, mountinfo, "memory", system_group_files()), read_text_file,
                              nullptr);
    }();
    return groups.empty() ? UINT64_MAX : memory_room(groups, read_text_file, nullptr);
}

// Fresh arrays granted but perhaps not yet touched: their pages are not in the group's
// usage yet, so each check must leave them room too. Since the ledger opened, the room
// fell by what was touched; an array given back leaves the ledger (its touched pages
// leave the usage with it, or stay kept), and a kept mapping unmapped adds its pages back
// to room_then.
struct grant_ledger {
    bool open;
    uint64_t room_then;
    uint64_t granted;
};
grant_ledger ledger = {false, 0, 0};
uint64_t last_room = UINT64_MAX;

uint64_t untouched_grants(uint64_t room) {
    if (!ledger.open) return 0;
    const int64_t touched = int64_t(ledger.room_then) - int64_t(room);
    if (int64_t(ledger.granted) <= touched) {
        ledger.open = false;
        return 0;
    }
    return ledger.granted - uint64_t(touched > 0 ? touched : 0);
}

// Whether bytes more that the run will touch fit the memory groups' room: their limits less
// what they hold now that the kernel cannot reclaim and what was granted but not touched.
bool fits_groups(size_t bytes) {
    const uint64_t room = group_room();
    if (room == UINT64_MAX) return true;
    uint64_t pending = 0;
#pragma omp critical(norvane_memory)
    {
        pending = untouched_grants(room);
        last_room = room;
    }
    return pending <= room && bytes <= room - pending;
}

// A fresh mapping of bytes was granted (under the lock).
void note_grant(size_t bytes) {
    if (last_room == UINT64_MAX) return;
    if (!ledger.open) ledger = grant_ledger{true, last_room, 0};
    ledger.granted += bytes;
}

// An array of bytes in use was given back (under the lock).
void note_released(size_t bytes) {
    if (ledger.open) ledger.granted -= bytes < ledger.granted ? bytes : ledger.granted;
}

// A kept mapping of bytes, out of the ledger, was unmapped (under the lock).
void note_unmapped(size_t bytes) {
    if (ledger.open) ledger.room_then += bytes;
}


// Bytes of a request of bytes that kept mappings cannot serve, and bytes mapped in all.
size_t fresh_bytes(size_t bytes, size_t *mapped) {
    size_t kept_now = 0;
#pragma omp critical(norvane_memory)
    {
        kept_now = kept_bytes;
        *mapped = in_use_bytes + kept_bytes;
    }
    return bytes > kept_now ? bytes - kept_now : 0;
}

}  // namespace

bool physical_memory_holds(size_t bytes) {
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page_bytes = sysconf(_SC_PAGESIZE);
    return pages <= 0 || page_bytes <= 0 || bytes / size_t(page_bytes) < size_t(pages);
}

void fail_memory() {
    fputs(MEMORY_MESSAGE, stderr);
    end_with_failure();
}

size_t fresh_request(size_t bytes) {
    size_t mapped = 0;
    return fresh_bytes(bytes, &mapped);
}

bool room_available(size_t bytes) { return physical_memory_holds(bytes) && fits_groups(bytes); }

bool address_space_available(size_t bytes) {
    size_t limit = soft_limit(RLIMIT_AS);
    const size_t data_limit = soft_limit(RLIMIT_DATA);
    if (data_limit < limit) limit = data_limit;
    if (limit == SIZE_MAX) return true;
    const size_t in_use = address_space_in_use();
    return in_use < limit && bytes <= limit - in_use;
}

bool memory_available(size_t bytes) {
    // Kept mappings are in use but will serve part of the request.
    const size_t fresh = fresh_request(bytes);
    return physical_memory_holds(bytes) && fits_groups(fresh) && address_space_available(fresh);
}

bool machine_holds(size_t bytes) { return physical_memory_holds(bytes) && address_space_available(fresh_request(bytes)); }

void check_room(size_t bytes) {
    if (!room_available(bytes)) fail_memory();
}

void check_memory_budget(size_t bytes) {
    if (!memory_available(bytes)) fail_memory();
}

void *allocate_array(size_t count, size_t size) { return allocate(count, size, false); }

void *allocate_zeroed_array(size_t count, size_t size) { return allocate(count, size, true); }

namespace {

// Frees array, or, when it is one of the large mappings, hands it to keep_it (under the
// lock) or unmaps it.
void give_back(void *array, bool keep_it) {
    if (array == nullptr) return;
    bool mapped = false;
#pragma omp critical(norvane_memory)
    {
        mapping released;
        mapped = forget(array, &released);
        if (mapped) note_released(released.length);
        if (mapped && keep_it) keep(released);
        if (mapped && !keep_it) munmap(released.start, released.length);
    }
    if (!mapped) free(array);
}

}  // namespace

void release_array(void *array) { give_back(array, true); }

void discard_array(void *array) { give_back(array, false); }

void release_kept_arrays() {
#pragma omp critical(norvane_memory)
    {
        for (int k = 0; k < num_kept; ++k) munmap(kept[k].start, kept[k].length);
        note_unmapped(kept_bytes);
        num_kept = 0;
        kept_bytes = 0;
    }
}

void release_all_arrays() {
    release_kept_arrays();
    for (size_t k = 0; k < in_use_capacity; ++k) {
        if (in_use[k].start != nullptr) munmap(in_use[k].start, in_use[k].length);
    }
    free(in_use);
    in_use = nullptr;
    in_use_capacity = 0;
    in_use_count = 0;
    in_use_bytes = 0;
}
