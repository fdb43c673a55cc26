// The defaults of norvane-mpi's tunables and why; docs/distributed.md has the measurements.
#include "distributed_settings.h"

const distributed_tunables default_distributed_settings = {
    // Rounds of 4 MiB: a round's two buffers stay small beside a process's share at any K
    // (those of 16 MiB were half of a process's peak at K = 8 on R-MAT 20/8), and a round's
    // two collectives cost little beside its lines.
    int64_t(4) << 20,
    // Below 16,384 entries a list is relaxed faster on one thread than by a woken team.
    int64_t(1) << 14,
    0,
    0,
    // A chunk of 2^16 lines is about 1.4 MB of text: few enough messages that each one's
    // handshake hides behind the others in flight, small enough that rank 0's buffers
    // stay a few tens of megabytes.
    int64_t(1) << 16,
    8,
};

distributed_tunables distributed_settings = default_distributed_settings;
distributed_record distributed_report = {};
