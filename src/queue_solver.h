// Queue solver: nearest-first settling driven by a priority queue of tentative
// distances, on the calling thread alone.
#pragma once

// Any sign: fills min_distance/tree exactly as the scan would; false if a node stays unsettled.
bool solve_with_queue();
