// Resting the team: pausing the runtime's resources ends its idle threads at once, where
// their own wait would spin first. Starting them again costs tens of microseconds.
// Waking: a thread of its own spins, yielding, on another core until a member runs there;
// the team's first region then starts at once instead of waiting for the core to wake.
#include "team.h"

#include <omp.h>
#include <pthread.h>
#include <sched.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <unistd.h>
#include <time.h>

#include <atomic>
#include <string>

#include "cpu_quota.h"

namespace {

std::atomic<bool> member_running{false};

// Long enough for the reading before the first region, short enough to cost little when
// the team never comes.
constexpr long WAKE_NANOSECONDS = 20 * 1000 * 1000;

long now_nanoseconds() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000000000L + now.tv_nsec;
}

void *keep_awake(void *) {
    const long until = now_nanoseconds() + WAKE_NANOSECONDS;
    while (!member_running.load(std::memory_order_relaxed) && now_nanoseconds() < until) sched_yield();
    return nullptr;
}

// A competitor that keeps a processor busy shows in every sample; a passing task rarely
// in three taken a third of a millisecond apart. The least count is the one believed.
constexpr int LOAD_SAMPLES = 3;
constexpr long LOAD_SAMPLE_GAP_NANOSECONDS = 300 * 1000;

// Unless OMP_DYNAMIC says false, a team no larger than the processors that other threads
// leave idle: members that share a core with a busy program wait for each other at every
// barrier, and the whole run is then slower than one thread alone.
int team_for_machine_load(int team) {
    const char *dynamic = getenv("OMP_DYNAMIC");
    if (dynamic != nullptr && (strcasecmp(dynamic, "false") == 0 || strcmp(dynamic, "0") == 0)) return team;
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    int fitting = team;  // the team the least busy sample so far leaves room for
    for (int k = 0; k < LOAD_SAMPLES; ++k) {
        if (k > 0) {
            const long until = now_nanoseconds() + LOAD_SAMPLE_GAP_NANOSECONDS;
            while (now_nanoseconds() < until) sched_yield();
        }
        std::string loadavg;
        if (!read_text_file("/proc/loadavg", &loadavg, nullptr)) return team;
        const int runnable = runnable_from_loadavg(loadavg);
        if (runnable < 1) return team;
        // The count includes this thread.
        const int fits = team_for_load(team, int(online), runnable - 1);
        if (fits == team) return team;
        if (k == 0 || fits > fitting) fitting = fits;
    }
    return fitting;
}

}  // namespace

void size_team() {
    const char *requested = getenv("OMP_NUM_THREADS");
    if (requested != nullptr && *requested != '\0') return;
    cpu_set_t mask;
    int cpus = omp_get_max_threads();
    if (sched_getaffinity(0, sizeof mask, &mask) == 0 && CPU_COUNT(&mask) < cpus) cpus = CPU_COUNT(&mask);
    std::string self_cgroup, mountinfo;
    double limit = 0;
    if (read_text_file("/proc/self/cgroup", &self_cgroup, nullptr) &&
        read_text_file("/proc/self/mountinfo", &mountinfo, nullptr))
        limit = cgroup_cpu_limit(self_cgroup, mountinfo, read_text_file, nullptr);
    const int team = team_for_machine_load(team_for_quota(cpus, limit));
    if (team < omp_get_max_threads()) omp_set_num_threads(team);
}

void rest_team() { omp_pause_resource_all(omp_pause_soft); }

void wake_team() {
    member_running.store(false, std::memory_order_relaxed);
    pthread_attr_t detached;
    pthread_attr_init(&detached);
    pthread_attr_setdetachstate(&detached, PTHREAD_CREATE_DETACHED);
    pthread_t waker;
    pthread_create(&waker, &detached, keep_awake, nullptr);  // no waker: only slower
    pthread_attr_destroy(&detached);
}

void team_running() { member_running.store(true, std::memory_order_relaxed); }
