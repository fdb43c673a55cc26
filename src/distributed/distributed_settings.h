// norvane-mpi's own tunables, in one block beside the run's (settings.h), and what its last
// run did, for tests and benchmarks: neither is state of the graph.
#pragma once

#include <cstdint>

struct distributed_tunables {
    // Bytes of edge lines a process sends in one exchange round.
    int64_t exchange_round_bytes;
    // Entries from which a frontier or a list of requests runs on the team.
    int64_t team_min_entries;
    // The bucket width (a power of two), 0 for the rule's.
    int32_t bucket_width;
    // Buckets a phase settles before the exchange (a power of two), 0 to choose it from
    // the share of records that cross between processes.
    int64_t phase_span;
    // Node lines in a chunk of the listing (one message to rank 0), and the chunks on their
    // way from one process at once.
    int64_t listing_chunk_nodes;
    int64_t listing_window;
};

extern const distributed_tunables default_distributed_settings;
extern distributed_tunables distributed_settings;

// What the last run did: the records counted into this process's rows, bytes it sent to
// the others while building (edge lines to their owners), solving (requests) and listing
// (to rank 0), the build's exchange rounds, the phases of the solve, and the rows this
// process relaxed (more than its nodes where a node was settled again).
struct distributed_record {
    int64_t build_records;  // records counted into this process's rows, repeats included
    int64_t build_bytes_sent;
    int64_t build_rounds;
    int64_t solve_bytes_sent;
    int64_t solve_phases;
    int64_t solve_settled;
    int64_t listing_bytes_sent;
};

extern distributed_record distributed_report;
