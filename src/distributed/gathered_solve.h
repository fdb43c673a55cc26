// Negative weights need the exact one-thread order of the one-process solver: the rows of
// every process are gathered to rank 0, which solves the whole graph and sends each
// process its block's distances.
#pragma once

// Collective: fills min_distance and tree of this process's block; rank 0 writes the
// warning. Ends the run with the memory message on every process when rank 0 cannot hold
// the whole graph.
void solve_gathered();
