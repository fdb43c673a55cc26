// Times the solvers on one graph file, loaded once, to place the solver rule and the
// bucket width: the radix-heap queue and the scan on one thread, and the bucket solver for
// each team size and delta asked for (0: its own choice). Runs are interleaved; prints the
// median and least seconds of each and checks every result against the queue's. Runs
// during which other processes took more than a hundredth of a second of processor time
// (from /proc/stat, less this process's own) are left out and counted as noisy.
// usage: solver_sweep GRAPH RUNS THREADS,.. DELTA,.. [scan]
#include <omp.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bucket_solver.h"
#include "graph.h"
#include "queue_solver.h"
#include "scan_solver.h"
#include "solver.h"

namespace {

std::vector<int> numbers(const char *list) {
    std::vector<int> out;
    for (const char *p = list; *p != '\0';) {
        out.push_back(atoi(p));
        p = strchr(p, ',');
        if (p == nullptr) break;
        ++p;
    }
    return out;
}

// Processor time in clock ticks: of every process, and of this one.
long long busy_ticks() {
    FILE *f = fopen("/proc/stat", "r");
    long long v[8] = {0};
    if (f == nullptr || fscanf(f, "cpu %lld %lld %lld %lld %lld %lld %lld %lld", &v[0], &v[1],
                               &v[2], &v[3], &v[4], &v[5], &v[6], &v[7]) != 8) {
        if (f) fclose(f);
        return 0;
    }
    fclose(f);
    return v[0] + v[1] + v[2] + v[5] + v[6] + v[7];  // all but idle and iowait
}

long long own_ticks() {
    FILE *f = fopen("/proc/self/stat", "r");
    long long utime = 0, stime = 0;
    if (f == nullptr || fscanf(f, "%*d %*s %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lld %lld",
                               &utime, &stime) != 2) {
        if (f) fclose(f);
        return 0;
    }
    fclose(f);
    return utime + stime;
}

struct variant {
    std::string name;
    int threads;
    int delta;  // -1 queue, -2 scan
    std::vector<double> seconds;
    int noisy = 0;
};

}  // namespace

int main(int argc, char **argv) {
    if (argc < 5) {
        fputs("usage: solver_sweep GRAPH RUNS THREADS,.. DELTA,.. [scan]\n", stderr);
        return 2;
    }
    read_graph(argv[1]);
    const int runs = atoi(argv[2]);
    std::vector<variant> variants;
    variants.push_back({"queue", 1, -1, {}});
    if (argc > 5 && strcmp(argv[5], "scan") == 0) variants.push_back({"scan", 1, -2, {}});
    // The bucket solver requires non-negative weights.
    for (int threads : negative_weights ? std::vector<int>() : numbers(argv[3]))
        for (int delta : numbers(argv[4]))
            variants.push_back({"buckets t=" + std::to_string(threads) +
                                    " delta=" + std::to_string(delta ? delta : choose_delta()),
                                threads,
                                delta,
                                {}});
    solve_with_queue();
    const std::vector<int32_t> want(min_distance, min_distance + num_nodes);
    for (int run = 0; run < runs; ++run) {
        for (variant &v : variants) {
            omp_set_num_threads(v.threads);
            const long long busy0 = busy_ticks(), own0 = own_ticks();
            const double t0 = get_time();
            if (v.delta == -1) solve_with_queue();
            else if (v.delta == -2) solve_with_scan();
            else solve_with_buckets(v.threads, v.delta);
            const double seconds = get_time() - t0;
            if ((busy_ticks() - busy0) - (own_ticks() - own0) > 1) ++v.noisy;
            else v.seconds.push_back(seconds);
            if (!std::equal(want.begin(), want.end(), min_distance)) {
                fprintf(stderr, "%s: distances differ\n", v.name.c_str());
                return 1;
            }
        }
    }
    for (variant &v : variants) {
        if (v.seconds.empty()) {
            printf("%-28s all %d runs noisy\n", v.name.c_str(), v.noisy);
            continue;
        }
        std::sort(v.seconds.begin(), v.seconds.end());
        printf("%-28s median %.5f  least %.5f  most %.5f  (%d noisy runs left out)\n",
               v.name.c_str(), v.seconds[v.seconds.size() / 2], v.seconds[0], v.seconds.back(),
               v.noisy);
    }
    return 0;
}
