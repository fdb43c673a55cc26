// Checkpoints of a range scanned twice: a running checksum of the kept lines, noted by the
// first scan and met by the second before it lets a line through. The checksum is the one
// place the lines are hashed.
#include "scan_check.h"

#include "grow.h"
#include "memory.h"
#include "settings.h"

namespace {

inline uint64_t mixed(uint64_t sum, const edge_line &e) {
    return (sum ^ ((uint64_t(uint32_t(e.u)) << 32) | uint32_t(e.v))) * 0x9e3779b97f4a7c15ULL + uint32_t(e.weight);
}

int64_t interval() { return settings.checked_lines > 0 ? settings.checked_lines : 1; }

void note_sum(checked_scan &c) {
    scan_sums &first = *c.first;
    grow_array(first.sums, first.capacity, first.count + 1, first.count);
    first.sums[first.count++] = c.sum;
}

// Hands the held lines over when the first scan noted the same checksum at the same line.
void release_held(checked_scan &c) {
    const size_t at = size_t((c.lines - 1) / interval());
    c.differs = c.differs || at >= c.first->count || c.first->sums[at] != c.sum;
    if (!c.differs && c.num_held > 0) c.batch(c.held, c.num_held, c.context);
    c.num_held = 0;
}

}  // namespace

checked_scan open_checked_scan(scan_sums &first, edge_batch_fn batch, void *context, bool second) {
    edge_line *held = second ? static_cast<edge_line *>(allocate_array(size_t(interval()), sizeof(edge_line))) : nullptr;
    return checked_scan{&first, batch, context, 0, 0, false, 0, held};
}

void note_checked_batch(const edge_line *lines, size_t count, void *context) {
    checked_scan &c = *static_cast<checked_scan *>(context);
    const int64_t every = interval();
    for (size_t i = 0; i < count; ++i) {
        c.sum = mixed(c.sum, lines[i]);
        if (++c.lines % every == 0) note_sum(c);
    }
    c.batch(lines, count, c.context);
}

void meet_checked_batch(const edge_line *lines, size_t count, void *context) {
    checked_scan &c = *static_cast<checked_scan *>(context);
    const int64_t every = interval();
    for (size_t i = 0; i < count && !c.differs; ++i) {
        c.sum = mixed(c.sum, lines[i]);
        c.held[c.num_held++] = lines[i];
        if (++c.lines % every == 0) release_held(c);
    }
}

bool close_checked_scan(checked_scan &c, bool second) {
    if (!second && c.lines % interval() != 0) note_sum(c);
    if (second && c.num_held > 0) release_held(c);
    release_array(c.held);
    c.held = nullptr;
    return !c.differs;
}
