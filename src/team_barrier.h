// The bucket solver's barrier between rounds: spins for a while, then sleeps on a futex,
// whatever OMP_WAIT_POLICY says (the runtime's own barriers spin for milliseconds by
// default, or sleep at once when told to be passive, which costs a wake-up per round).
// It also measures how long the last member kept the first waiting, and says when those
// waits have cost enough that the rest should run alone.
#pragma once

#include <atomic>
#include <cstdint>

struct team_barrier {
    alignas(64) std::atomic<int32_t> arrived;
    std::atomic<int32_t> sleepers;
    std::atomic<int64_t> *arrival_ns;  // per member, its latest arrival
    alignas(64) std::atomic<uint32_t> generation;
    std::atomic<bool> alone;  // set by the last to arrive, read by all once it has passed
    int32_t members;
    int64_t spin_ns;
    int64_t late_after_ns;   // a last arrival later than this after the first counts as late
    int64_t late_budget_ns;  // once late waits sum past this, alone is set
    int64_t late_ns;         // late waits, summed
};

// Readies b for a team of members: lateness past late_after_ns summed beyond budget_ns sets alone.
void open_barrier(team_barrier &b, int members, int64_t late_after_ns, int64_t budget_ns);

// Frees what open_barrier allocated.
void close_barrier(team_barrier &b);

// Member t waits until all members have arrived; awake for up to spin_ns, then asleep.
void barrier_wait(team_barrier &b, int t, int64_t spin_ns);

// As above, awake for the barrier's own spin time.
void barrier_wait(team_barrier &b, int t);
