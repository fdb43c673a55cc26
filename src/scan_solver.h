// Scan solver: the nearest-first rounds read literally, for dense graphs and any sign of
// weight, on the calling thread alone.
#pragma once

// Requires the store built and min_distance/tree allocated. Settles nodes in the
// one-thread order (least distance, lowest index among equals); fills both arrays and
// returns false when some node was left unsettled.
bool solve_with_scan();
