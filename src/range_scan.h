// One pass over a byte range of the plain file: the lines that start in [from, to), read
// through a window and scanned by the line rules, kept lines handed to a batch function as
// they come. Invariant: a pass stops at its first fault, so the fault it reports is the
// first of its range in file order.
#pragma once

#include <cstdint>

#include "edge_lines.h"
#include "failure.h"
#include "file_window.h"
#include "line_scanner.h"

// What a pass over a range found: its first fault and where.
struct pass_result {
    fault_kind fault;
    int64_t fault_offset;
};

// Scans the lines that start in [from, to) of the plain file into s, handing kept lines
// to batch (when set) as they come; with seek, from is a cut and the range starts at the
// first line that begins at or past it. With s.line_limit lowered the pass stops at the
// line past it, which is how the line past the M announced is found again.
pass_result scan_file_range(int64_t from, int64_t to, bool seek, scan_state &s, edge_batch_fn batch,
                            void *context, file_window &w);
