// The single exit of a failed run, so that an embedding (the fuzz target) can take the
// run back instead of losing the process.
#include "failure.h"

#include <cstdio>
#include <cstdlib>

const char MEMORY_MESSAGE[] = "Error: cannot allocate memory.\n";
const char EARLY_END_WARNING[] = "Warning: Search ended early, the graph might not be connected.\n";
const char NOT_FOUND_FORMAT[] = "File %s not found.\n";
const char READ_FAILED_FORMAT[] = "Error: cannot read file %s.\n";

void (*failure_handler)() = nullptr;

void end_with_failure() {
    if (failure_handler != nullptr) failure_handler();
    exit(-1);
}
