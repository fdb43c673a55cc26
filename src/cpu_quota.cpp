// CPU quota of the process's control groups (found by control_groups.cpp) and the team
// worth starting under it and under the machine's load. Every group from the process's
// own up to the mount point is read, since a parent's quota binds its children too.
// Anything unexpected reads as no limit.
#include "cpu_quota.h"

#include <cmath>
#include <cstdint>
#include <vector>

namespace {

double group_cpus(const control_group &group, read_text_fn read, void *context) {
    const std::string &directory = group.directory;
    std::string quota, period;
    if (group.v2) return read((directory + "/cpu.max").c_str(), &quota, context) ? v2_max_cpus(quota) : 0;
    if (!read((directory + "/cpu.cfs_quota_us").c_str(), &quota, context)) return 0;
    if (!read((directory + "/cpu.cfs_period_us").c_str(), &period, context)) return 0;
    return v1_quota_cpus(quota, period);
}

}  // namespace

double v1_quota_cpus(const std::string &quota, const std::string &period) {
    long long q, p;
    if (!whole_integer(trimmed_text(quota), &q) || !whole_integer(trimmed_text(period), &p)) return 0;
    if (q <= 0 || p <= 0) return 0;  // -1: no limit
    return double(q) / double(p);
}

double v2_max_cpus(const std::string &cpu_max) {
    const std::vector<std::string> fields = split_text(trimmed_text(cpu_max), ' ');
    long long q, p;
    if (fields.size() != 2 || fields[0] == "max" || !whole_integer(fields[0], &q) || !whole_integer(fields[1], &p))
        return 0;
    if (q <= 0 || p <= 0) return 0;
    return double(q) / double(p);
}

double cgroup_cpu_limit(const std::string &self_cgroup, const std::string &mountinfo, const group_files &files) {
    double least = 0;
    for (const control_group &group : process_groups(self_cgroup, mountinfo, "cpu", files)) {
        const double cpus = group_cpus(group, files.read, files.context);
        if (cpus > 0 && (least == 0 || cpus < least)) least = cpus;
    }
    return least;
}

int team_for_quota(int cpus, double limit) {
    if (cpus < 1) cpus = 1;
    if (limit <= 0) return cpus;
    // A sliver over a whole processor is rounding in the quota, not another processor.
    const double wanted = std::ceil(limit - 1e-9);
    return wanted < double(cpus) ? (wanted < 1 ? 1 : int(wanted)) : cpus;
}

int runnable_from_loadavg(const std::string &loadavg) {
    const std::vector<std::string> fields = split_text(trimmed_text(loadavg), ' ');
    if (fields.size() != 5) return -1;
    const size_t slash = fields[3].find('/');
    long long running = 0, total = 0;
    if (slash == std::string::npos || !whole_integer(fields[3].substr(0, slash), &running) ||
        !whole_integer(fields[3].substr(slash + 1), &total) || running < 0 || running > total ||
        running > INT32_MAX)
        return -1;
    return int(running);
}

int team_for_load(int team, int online, int busy_elsewhere) {
    if (team < 1) team = 1;
    if (online < 1 || busy_elsewhere < 0) return team;
    const int left = online - busy_elsewhere;
    return left < 1 ? 1 : (left < team ? left : team);
}
