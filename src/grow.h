// Growth of working arrays (heap storage, pointer lists, lists of blocks) through
// allocate_array, so that running out of memory ends the run with the one memory message
// instead of an exception. Invariant: items 0 .. count-1 survive a growth unchanged.
#pragma once

#include <cstddef>
#include <cstring>

#include "memory.h"

// Makes room for at least need items in array (capacity items now, the first count in
// use), at least doubling; exits with the memory message when it cannot.
template <class T>
void grow_array(T *&array, size_t &capacity, size_t need, size_t count) {
    if (need <= capacity) return;
    size_t larger = capacity < 16 ? 16 : capacity * 2;
    if (larger < need) larger = need;
    T *moved = static_cast<T *>(allocate_array(larger, sizeof(T)));
    if (count > 0) memcpy(static_cast<void *>(moved), array, count * sizeof(T));
    // The smaller array is never asked for again: kept for reuse it would only add to the peak.
    discard_array(array);
    array = moved;
    capacity = larger;
}
