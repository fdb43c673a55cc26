// Resting the team: pausing the runtime's resources ends its idle threads at once, where
// their own wait would spin first. Starting them again costs tens of microseconds, unless
// another process has taken their places meanwhile: a kept team is never rested.
// Waking: a thread of its own spins, yielding, on another core until a member runs there;
// the team's first region then starts at once instead of waiting for the core to wake.
// Sizing: a probe starts the threads a team needs before the first region, since libgomp
// ends the run with a message of its own when the system refuses one.
#include "team.h"

#include <dirent.h>
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
bool team_kept = false;

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

// The probe of the threads a run can start: no team is larger than this; its threads
// need next to no stack; a few milliseconds of yields at most for the ended ones to go.
constexpr int PROBE_MAX_THREADS = 1024;
constexpr size_t PROBE_STACK_BYTES = size_t(64) << 10;
constexpr int PROBE_WAIT_ROUNDS = 1000;

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

// The threads of the probe below wait for this lock, which the probe holds until it has
// started all it can.
pthread_rwlock_t probe_hold = PTHREAD_RWLOCK_INITIALIZER;

void *hold_probe(void *) {
    pthread_rwlock_rdlock(&probe_hold);
    pthread_rwlock_unlock(&probe_hold);
    return nullptr;
}

// Threads of this process, or -1 when /proc cannot tell.
int count_tasks() {
    DIR *tasks = opendir("/proc/self/task");
    if (tasks == nullptr) return -1;
    int count = 0;
    while (const struct dirent *entry = readdir(tasks)) count += entry->d_name[0] != '.';
    closedir(tasks);
    return count;
}

// A thread that pthread_join has seen end is still counted against a pids limit for a few
// microseconds: the probe's places are free once /proc no longer lists its threads.
void wait_for_tasks(int count) {
    if (count < 0) return;
    for (int k = 0; k < PROBE_WAIT_ROUNDS && count_tasks() > count; ++k) sched_yield();
}

// Threads this process can run at once besides itself, up to want, found by starting
// them (on small stacks, so that an address-space limit does not refuse them first).
int startable_threads(int want) {
    const int before = count_tasks();
    pthread_t started[PROBE_MAX_THREADS];
    if (want > PROBE_MAX_THREADS) want = PROBE_MAX_THREADS;
    pthread_attr_t small;
    pthread_attr_init(&small);
    pthread_attr_setstacksize(&small, PROBE_STACK_BYTES);
    pthread_rwlock_wrlock(&probe_hold);
    int count = 0;
    while (count < want && pthread_create(&started[count], &small, hold_probe, nullptr) == 0) ++count;
    pthread_rwlock_unlock(&probe_hold);
    pthread_attr_destroy(&small);
    for (int k = 0; k < count; ++k) pthread_join(started[k], nullptr);
    wait_for_tasks(before);
    return count;
}

// A team whose threads the system can start: libgomp ends the run with a message of its
// own when it cannot start one. Each member but the first needs a thread, and the waker
// or the inflating thread one more beside them; a team that cannot have them all runs on
// the threads it can.
int team_that_can_start(int team) {
    // Never more than the runtime will form (OMP_THREAD_LIMIT, no active level): some
    // runtimes write a warning of their own on standard error for a team they must shrink.
    if (omp_get_max_active_levels() == 0) team = 1;
    if (team > omp_get_thread_limit()) team = omp_get_thread_limit();
    if (team <= 1) return team;
    const int startable = startable_threads(team);
    return startable >= team ? team : (startable > 1 ? startable : 1);
}

}  // namespace

void size_team() {
    const char *requested = getenv("OMP_NUM_THREADS");
    if (requested != nullptr && *requested != '\0') {
        const int team = team_that_can_start(omp_get_max_threads());
        if (team < omp_get_max_threads()) omp_set_num_threads(team);
        return;
    }
    cpu_set_t mask;
    int cpus = omp_get_max_threads();
    if (sched_getaffinity(0, sizeof mask, &mask) == 0 && CPU_COUNT(&mask) < cpus) cpus = CPU_COUNT(&mask);
    std::string self_cgroup, mountinfo;
    double limit = 0;
    if (read_text_file("/proc/self/cgroup", &self_cgroup, nullptr) &&
        read_text_file("/proc/self/mountinfo", &mountinfo, nullptr))
        limit = cgroup_cpu_limit(self_cgroup, mountinfo, system_group_files());
    const int team = team_that_can_start(team_for_machine_load(team_for_quota(cpus, limit)));
    if (team < omp_get_max_threads()) omp_set_num_threads(team);
}

void start_and_keep_team() {
    team_kept = true;
    // The whole team, whatever the machine's load: the threads probed are the ones kept.
    const int dynamic = omp_get_dynamic();
    omp_set_dynamic(0);
    int joined = 0;  // a region with nothing to do may be compiled away
#pragma omp parallel reduction(+ : joined)
    joined += 1;
    omp_set_dynamic(dynamic);
}

void rest_team() {
    if (!team_kept) omp_pause_resource_all(omp_pause_soft);
}

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
