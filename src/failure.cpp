// The single exit of a failed run, so that an embedding (the fuzz target) can take the
// run back instead of losing the process.
#include "failure.h"

#include <cstdio>
#include <cstdlib>

void (*failure_handler)() = nullptr;

void end_with_failure() {
    if (failure_handler != nullptr) failure_handler();
    exit(-1);
}
