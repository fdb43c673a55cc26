// The file window: grown by doubling, filled by read_input_at, advanced by moving the
// unscanned tail to the front. Invariant: a failed read or the end of the file is noted
// once and stays noted until the window is reused.
#include "file_window.h"

#include <cstdlib>
#include <cstring>

#include "input.h"
#include "memory.h"
#include "settings.h"

namespace {

// A plain file's range is read this much at a time: the bytes are still in the core's
// second-level cache when they are scanned.
constexpr size_t WINDOW_BYTES = size_t(512) << 10;

}  // namespace

bool grow_window(file_window &w) {
    const size_t capacity = w.capacity != 0 ? 2 * w.capacity
                            : settings.read_block_bytes < WINDOW_BYTES ? settings.read_block_bytes : WINDOW_BYTES;
    if (w.capacity != 0 && !memory_available(capacity)) return false;
    char *buffer = static_cast<char *>(realloc(w.buffer, capacity + SLACK_BYTES));
    if (buffer == nullptr) return false;
    w.buffer = buffer;
    w.capacity = capacity;
    return true;
}

void fill_window(file_window &w) {
    if (w.at_eof || w.failed || w.have == w.capacity) return;
    const int64_t got = read_input_at(w.base + int64_t(w.have), w.buffer + w.have, w.capacity - w.have);
    if (got < 0) w.failed = true;
    if (got == 0) w.at_eof = true;
    if (got > 0) w.have += size_t(got);
}

void advance_window(file_window &w, size_t used) {
    memmove(w.buffer, w.buffer + used, w.have - used);
    w.have -= used;
    w.base += int64_t(used);
}

bool seek_line_start(file_window &w, int64_t offset) {
    w.base = offset - 1;
    w.have = 0;
    for (;;) {
        fill_window(w);
        const char *newline = static_cast<const char *>(memchr(w.buffer, '\n', w.have));
        if (newline != nullptr) {
            advance_window(w, size_t(newline - w.buffer) + 1);
            return true;
        }
        if (w.at_eof || w.failed) return false;
        advance_window(w, w.have);
    }
}
