// Store builder: compressed rows of the store's block of nodes (every node in norvane)
// from the reader's ranges of edge lines and, in norvane-mpi, the lines other processes
// sent: one record per neighbour with the earliest edge line's weight, no self-loops, in
// the packed 32-bit layout whenever every record fits it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "edge_lines.h"
#include "line_store.h"

// What the builder is told by its driver. norvane's block is the whole graph: nothing lies
// outside it, and its hooks are null.
struct build_driver {
    // Returns only when bytes more may be had (norvane checks them; norvane-mpi's processes
    // agree on them, so every process calls it at the same steps).
    void (*grant_memory)(size_t bytes);
    // Counting: member met line, one of whose ends or both lie outside the block.
    void (*line_met)(int member, const edge_line &line, bool u_owned, bool v_owned);
    // Filling: the index, relative to the block, of a node outside it; NO_INDEX for a node
    // the count never met (the file changed).
    int32_t (*outside_index)(int32_t node);
    // The relative indices outside the block that rows may hold: [-below, 0) and
    // [num_owned_nodes, num_owned_nodes + above).
    int32_t below;
    int32_t above;
    // What the run will touch after the build beyond what rest_touch_bytes counts: the
    // driver's own tables, requests and listing.
    size_t later_bytes;
};

// Requires the problem line read. Ends the run with the memory message unless the graph
// announced (n nodes, m edge lines) can be built by members and held at its smallest;
// sets the store's block to the whole graph and allocates its row offsets, untouched.
void allocate_graph(int32_t n, int32_t m, int members);

// The least address space a graph of nodes nodes and lines edge lines, built by members,
// needs at its peak; also a process's share in norvane-mpi, so that both programs take the
// same decision on the same file under an address-space limit.
size_t least_graph_bytes(int64_t nodes, int64_t lines, int members);

// The memory the count pass of a block of nodes nodes touches, members counting at most
// lines edge lines (and holding them, where a small file is held between its passes).
size_t count_touch_bytes(int64_t nodes, int64_t lines, int members, bool held);

// The memory the rest of a build and the run touch once the rows are laid out: the pool of
// records (packed or not), the distances where the count arrays of members, which they take
// over, were never touched (records had ends there), the solver's bins at their usual share
// and the listing's buffers.
size_t rest_touch_bytes(int64_t nodes, uint64_t records, bool packed, int members);

// Members of the team worth starting to build a graph of n nodes and m edge lines.
int build_members(int64_t n, int64_t m);

// The steps of a build, in order. open_build: the store's block and rows allocated, the
// reader prepared with members ranges; a count array per member, zeroed and untouched. The
// driver is read again at every step, so that its driver may fill in what it learns.
void open_build(const build_driver *driver, int members);
// The first pass over every range, member m counting range m's records per owned node.
void count_ranges();
// Held lines counted by member (the calling thread), after those it counted before.
void count_held_lines(int member, line_store &lines);
// The records counted so far for every owned node.
int64_t counted_records();

// Hands take(node, records, context) each owned node's records as counted so far.
void for_each_counted_row(void (*take)(int32_t node, uint32_t records, void *context), void *context);
// The rows laid out from the counts, a slot per member in member order; then, once the
// memory the rest of the run will touch is granted, the pool allocated, packed when stats
// (of every kept line of the file) fit; returns the records.
uint64_t lay_out_rows(const edge_stats &stats);
// Runs the test hook, if set, between the two passes, then the second pass over every
// range, member m filling its slots from range m; false when a record found no place.
bool fill_ranges();
// Held lines written by member (the calling thread) after those it wrote before.
bool fill_held_lines(int member, line_store &lines);
// Keeps the first record per neighbour, frees the counts, allocates the distances.
void finish_rows(uint64_t total);

// norvane: every step above over ranges ranges; ends the run with the reader's message at
// the first offending line, and with the read message when the file changed between passes.
void build_store(int ranges);

// Frees what a build left half done (a failed run taken back by an embedding).
void release_building();

// The weight bits of the packed layout for kept lines holding stats (no weight negative,
// every weight and every offset between the ends of a line fitting 32 bits together), or
// -1 when they do not fit it or packing is off.
int packing_bits(const edge_stats &stats);
