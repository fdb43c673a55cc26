// The leak sanitizer's switch for the whole test binary, defined here once since a weak
// hook must have one definition: off in the forked children of paths_support.h (the
// reads in a child, the gzip tests' pipe writers), which end with everything still held.
#include "paths_support.h"

extern "C" int __lsan_is_turned_off() { return in_forked_child; }
