// Priority-queue solver for sparse graphs: the same settling rule as the scan, driven
// by a queue of tentative distances instead of a scan of every node per round.
#pragma once

// Requires the store built and min_distance/tree allocated. Fills both exactly as the
// one-thread scan would; returns false when some node was left unsettled.
bool solve_with_queue();
