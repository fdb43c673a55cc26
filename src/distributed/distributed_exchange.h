// The exchange of edge lines between the owners of their ends. Invariant: what arrives is
// kept in file order: the lines from each process in the order it sent them, the
// processes in rank order, so that rows filled from them keep the earliest line first.
#pragma once

#include "line_store.h"

// Collective: sends the count lines of lines from cursor at on (which moves past them) to
// the owners of their ends, this process only with to_self, in rounds of at most
// distributed_settings.exchange_round_bytes a process; what arrives from the processes
// ranked below this one is appended to before, the rest to after (the same store for both
// keeps every source in rank order). The blocks of lines left behind are freed.
void exchange_lines(line_store &lines, line_cursor &at, int64_t count, bool to_self, line_store &before,
                    line_store &after);
