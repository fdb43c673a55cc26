// The team barrier of team_barrier.h. Invariant: generation only grows, by one each time
// the last member arrives, and a member passes once it sees it differ from the value it
// read on arrival; sleepers counts the members that may be asleep on it.
#include "team_barrier.h"

#include <linux/futex.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <climits>
#include <ctime>
#include <new>

#include "memory.h"

namespace {

inline void cpu_relax() { __builtin_ia32_pause(); }

inline int64_t now_ns() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// A millisecond of waiting awake: longer than a member's usual lead at a round's end, so
// that members rarely sleep (waking a sleeper took from 20 microseconds to several
// milliseconds on this virtual machine, whose idle processors halt), and a fraction of a
// time slice. None when the team outnumbers the processors: the awaited member may need
// this member's processor.
int64_t barrier_spin_ns(int threads) {
    const long cpus = sysconf(_SC_NPROCESSORS_ONLN);
    return cpus > 0 && threads > cpus ? 0 : 1000000;
}

}  // namespace

void barrier_wait(team_barrier &b, int t, int64_t spin_ns) {
    const uint32_t gen = b.generation.load(std::memory_order_acquire);
    const int64_t arrival = now_ns();
    b.arrival_ns[t].store(arrival, std::memory_order_relaxed);
    if (b.arrived.fetch_add(1, std::memory_order_acq_rel) + 1 == b.members) {
        b.arrived.store(0, std::memory_order_relaxed);
        // Every stamp was written before its member's count, which this one has seen.
        int64_t first = arrival;
        for (int32_t k = 0; k < b.members; ++k) {
            const int64_t at = b.arrival_ns[k].load(std::memory_order_relaxed);
            first = at < first ? at : first;
        }
        if (arrival - first > b.late_after_ns) b.late_ns += arrival - first;
        if (b.late_ns > b.late_budget_ns) b.alone.store(true, std::memory_order_relaxed);
        b.generation.store(gen + 1, std::memory_order_seq_cst);
        if (b.sleepers.load(std::memory_order_seq_cst) > 0)
            syscall(SYS_futex, &b.generation, FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
        return;
    }
    if (spin_ns > 0) {
        // Pauses for the first twentieth, then yields: another runnable thread on this
        // processor gets it at once, and an idle one costs a system call per check.
        const int64_t start = now_ns();
        for (int32_t k = 1;; ++k) {
            if (b.generation.load(std::memory_order_acquire) != gen) return;
            if (k % 64 != 0) {
                cpu_relax();
                continue;
            }
            const int64_t waited = now_ns() - start;
            if (waited > spin_ns) break;
            if (waited > spin_ns / 20) sched_yield();
        }
    }
    b.sleepers.fetch_add(1, std::memory_order_seq_cst);
    while (b.generation.load(std::memory_order_seq_cst) == gen)
        syscall(SYS_futex, &b.generation, FUTEX_WAIT_PRIVATE, gen, nullptr, nullptr, 0);
    b.sleepers.fetch_sub(1, std::memory_order_relaxed);
}

void barrier_wait(team_barrier &b, int t) { barrier_wait(b, t, b.spin_ns); }

void open_barrier(team_barrier &b, int members, int64_t late_after_ns, int64_t budget_ns) {
    b.arrived.store(0);
    b.sleepers.store(0);
    b.generation.store(0);
    b.members = members;
    b.spin_ns = barrier_spin_ns(members);
    b.alone.store(false);
    b.late_after_ns = late_after_ns;
    b.late_budget_ns = budget_ns;
    b.late_ns = 0;
    b.arrival_ns = static_cast<std::atomic<int64_t> *>(allocate_array(size_t(members), sizeof(std::atomic<int64_t>)));
    for (int k = 0; k < members; ++k) new (&b.arrival_ns[k]) std::atomic<int64_t>(0);
}

void close_barrier(team_barrier &b) { drop_array(b.arrival_ns); }
