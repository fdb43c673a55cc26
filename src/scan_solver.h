// Scan solver: the nearest-first rounds read literally, for dense graphs and any sign of
// weight, on the calling thread alone.
#pragma once

// Any sign, one-thread order: fills min_distance/tree; false if a node stays unsettled.
bool solve_with_scan();
