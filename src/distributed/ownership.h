// Which process owns which node: the table of cuts, one block of consecutive nodes a
// process, the same on every process. Every question of ownership goes through here, so a
// change of the rule that cuts the blocks (balance.cpp chooses them) is a change of one place.
// Invariant: cuts ascend, the first is 0 and the last num_nodes; process p owns
// [cut p, cut p + 1), so every node has exactly one owner.
#pragma once

#include <cstdint>

// Once num_nodes is known: the nodes cut into blocks of equal size, and the store's block
// made this process's.
void cut_equal_blocks();

// Makes cuts (num_processes + 1 of them, the same on every process) the table, and the
// store's block this process's.
void set_cuts(const int32_t *cuts);

// The first node of process p's block (p = num_processes gives num_nodes).
int32_t first_node_of(int p);

// The process that owns node x.
int owner_of(int32_t x);

// Frees the table.
void release_blocks();
