// How a failed run ends, the texts it ends with, and the kinds of fault. The step that
// meets a failure writes its message to standard error, then calls end_with_failure: the
// process exits with status -1. Invariant: every text either program prints on failure
// or on an early end, and every fault code, is defined here once.
#pragma once

// The memory message, written when an allocation or the memory check fails.
extern const char MEMORY_MESSAGE[];
// The warning after a search that left nodes unsettled.
extern const char EARLY_END_WARNING[];
// printf formats, given the path: the file cannot be opened, or a read of it failed.
extern const char NOT_FOUND_FORMAT[];
extern const char READ_FAILED_FORMAT[];

// What a step met. At one content offset faults are met in this order, so that a key of
// offset and kind orders the faults of several processes as one process meets them.
enum fault_kind { FAULT_NONE, FAULT_LINE, FAULT_READ, FAULT_MEMORY, FAULT_NOT_OPENED };

[[noreturn]] void end_with_failure();

// When set, called instead of exiting; it must not return (the fuzz target jumps back
// to its loop). Whatever the run held is then freed by release_graph.
extern void (*failure_handler)();
