// Flat lists of entries grown with realloc, for the distributed solver's bins, frontier and
// requests: members of a team grow their own lists, and a failure is reported, not fatal
// here, since only the main thread may end a distributed run. Invariant: items 0 .. count-1
// survive a growth unchanged.
#pragma once

#include <cstddef>
#include <cstdint>

#include "bucket_ring.h"

struct entry_list {
    entry *items;
    size_t count;
    size_t capacity;
};

// What a ring of entry lists grows with: the call that ends the run when a list cannot grow.
struct list_pool {
    void (*out_of_memory)();
};

// Room for need items; false when the memory is not to be had.
bool reserve(entry_list &list, size_t need);

// Appends e; false when the list cannot grow.
inline bool append(entry_list &list, entry e) {
    if (list.count == list.capacity && !reserve(list, list.count + 1)) return false;
    list.items[list.count++] = e;
    return true;
}

// Frees the items; the list is empty again.
void free_list(entry_list &list);

// Entries in the list.
inline int64_t bin_size(const entry_list &b) { return int64_t(b.count); }

// Appends e, or ends the run through the pool when the list cannot grow.
inline void bin_append(list_pool &pool, entry_list &b, entry e) {
    if (!append(b, e)) pool.out_of_memory();
}

// Keeps the entries for which keep(entry) holds, in place and in order.
template <class Keep>
void bin_filter(list_pool &, entry_list &b, Keep &&keep) {
    size_t kept = 0;
    for (size_t k = 0; k < b.count; ++k) {
        const entry e = b.items[k];
        if (keep(e)) b.items[kept++] = e;
    }
    b.count = kept;
}
