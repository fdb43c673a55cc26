// A pass over a byte range through the file window: whole lines are scanned where they
// lie in the window, a line longer than the window either streams past (an ignored one)
// or grows it, and a failed read or the end of the file ends the pass.
#include "range_scan.h"

#include <cstring>

namespace {

constexpr int64_t NO_FAULT_OFFSET = -1;

// Places the window at the range's first line; a fault when there is none to be had.
pass_result start_pass(int64_t from, bool seek, file_window &w, bool *found) {
    w.have = 0;
    w.at_eof = w.failed = false;
    *found = false;
    if (w.buffer == nullptr && !grow_window(w)) return pass_result{FAULT_MEMORY, from};
    if (!seek) {
        w.base = from;
        *found = true;
        return pass_result{FAULT_NONE, NO_FAULT_OFFSET};
    }
    *found = seek_line_start(w, from);
    if (!*found && w.failed) return pass_result{FAULT_READ, w.base};
    return pass_result{FAULT_NONE, NO_FAULT_OFFSET};
}

// The window holds no whole line: the pass goes on (true) once an ignored line longer than
// the window has streamed past or the window has grown for a kept one; otherwise it ends,
// with a fault in *result where one was met.
bool make_room_for_a_line(file_window &w, pass_result *result) {
    if (w.at_eof) return false;
    if (w.failed) {
        *result = pass_result{FAULT_READ, w.base};
        return false;
    }
    if (w.have < w.capacity) return true;
    if (w.buffer[0] != 'a' && w.buffer[0] != 'p') {
        w.base += int64_t(w.have);
        w.have = 0;
        if (seek_line_start(w, w.base + 1)) return true;
        if (w.failed) *result = pass_result{FAULT_READ, w.base};
        return false;
    }
    if (grow_window(w)) return true;
    *result = pass_result{FAULT_MEMORY, w.base};
    return false;
}

// Scans the whole lines of the window that start before stop, handing kept lines over;
// the start of the first line not scanned.
const char *scan_window(const char *stop, scan_state &s, edge_line *lines, edge_batch_fn batch, void *context,
                        file_window &w) {
    const char *p = w.buffer;
    while (p < stop && s.fault == nullptr) {
        p = scan_lines(p, stop, s);
        if (s.count > 0 && batch != nullptr) batch(lines, s.count, context);
        s.count = 0;
    }
    return p;
}

}  // namespace

pass_result scan_file_range(int64_t from, int64_t to, bool seek, scan_state &s, edge_batch_fn batch,
                            void *context, file_window &w) {
    edge_line lines[BATCH_LINES];
    s.out = lines;
    s.capacity = BATCH_LINES;
    bool found = false;
    pass_result result = start_pass(from, seek, w, &found);
    while (found && w.base < to) {
        fill_window(w);
        const char *last = static_cast<const char *>(memrchr(w.buffer, '\n', w.have));
        const size_t whole = w.at_eof ? w.have : last != nullptr ? size_t(last - w.buffer) + 1 : 0;
        if (whole == 0) {
            if (!make_room_for_a_line(w, &result)) break;
            continue;
        }
        if (whole == w.have) w.buffer[whole] = '\n';  // ends an unterminated last line
        const int64_t room = to - w.base;
        const char *p = scan_window(w.buffer + (room < int64_t(whole) ? size_t(room) : whole), s, lines, batch,
                                    context, w);
        if (s.fault != nullptr) {
            result = pass_result{FAULT_LINE, w.base + (s.fault - w.buffer)};
            break;
        }
        if (w.at_eof && whole == w.have) break;
        advance_window(w, size_t(p - w.buffer));
    }
    s.out = nullptr;
    s.capacity = 0;
    return result;
}
