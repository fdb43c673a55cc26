// What the last computation did, for tests and benchmarks: figures a run leaves behind,
// neither settings nor the graph's state.
#pragma once

#include <cstdint>

struct run_record {
    int bucket_team;           // members of the last bucket solve (1: alone)
    int64_t team_rounds;       // rounds its team went through
    bool team_handed_over;     // whether the team handed over to one member before the end
};

extern run_record last_run;
