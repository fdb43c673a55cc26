// Queue solver: nearest-first settling driven by a priority queue of tentative
// distances, on the calling thread alone.
#pragma once

// Requires the store built and min_distance/tree allocated. Fills both exactly as the
// one-thread scan would; returns false when some node was left unsettled.
bool solve_with_queue();
