// The check that a plain file's second scan of a range meets its first: the first notes
// the running checksum of the lines it hands over every settings.checked_lines lines and
// at its end; the second holds its lines back until their checksum meets the first's at
// the same line. Invariant: a line reaches the second scan's consumer only once the lines
// up to its checkpoint have met the first scan's, so a file changed between the scans
// never gives a range more records for a node than the first counted.
#pragma once

#include <cstddef>
#include <cstdint>

#include "edge_lines.h"

// The first scan's checksums, one a checkpoint.
struct scan_sums {
    uint64_t *sums = nullptr;
    size_t count = 0;
    size_t capacity = 0;
};

// One scan of a range under the check, as the context of its batch function.
struct checked_scan {
    scan_sums *first;      // noted by the first scan, met by the second
    edge_batch_fn batch;   // the consumer
    void *context;
    uint64_t sum;          // of the lines handed over so far
    int64_t lines;
    bool differs;          // the second scan met lines the first did not hand over there
    size_t num_held;
    edge_line *held;       // the second scan's lines since its last checkpoint
};

// A scan of a range under the check, handing its lines to batch; a second scan holds lines.
checked_scan open_checked_scan(scan_sums &first, edge_batch_fn batch, void *context, bool second);

// Batch functions of the first scan (notes checksums) and of the second (holds, meets them).
void note_checked_batch(const edge_line *lines, size_t count, void *context);
void meet_checked_batch(const edge_line *lines, size_t count, void *context);

// Ends a scan: the first notes its last checksum, the second meets it and hands the rest
// over. Whether the second met every checksum; frees what the scan held.
bool close_checked_scan(checked_scan &scan, bool second);
