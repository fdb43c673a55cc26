// Growth of entry lists: doubling, and from a mebibyte on only where the memory check
// says the bytes can really be had.
#include "entry_list.h"

#include <cstdlib>

#include "memory.h"

bool reserve(entry_list &list, size_t need) {
    if (need <= list.capacity) return true;
    size_t capacity = list.capacity < 64 ? 64 : 2 * list.capacity;
    if (capacity < need) capacity = need;
    if (capacity * sizeof(entry) >= (size_t(1) << 20) && !memory_available(capacity * sizeof(entry))) return false;
    entry *items = static_cast<entry *>(realloc(list.items, capacity * sizeof(entry)));
    if (items == nullptr) return false;
    list.items = items;
    list.capacity = capacity;
    return true;
}

void free_list(entry_list &list) {
    free(list.items);
    list = entry_list{nullptr, 0, 0};
}
