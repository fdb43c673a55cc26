// CPU quota of the process's control groups. A group's directory is the mount point of
// its hierarchy (from mountinfo) joined with the group's path (from /proc/self/cgroup)
// less the mount's own root; every group from there up to the mount point is read, since
// a parent's quota binds its children too. Anything unexpected reads as no limit.
#include "cpu_quota.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <vector>

namespace {

std::string trimmed(const std::string &text) {
    const size_t first = text.find_first_not_of(" \t\n");
    if (first == std::string::npos) return std::string();
    const size_t last = text.find_last_not_of(" \t\n");
    return text.substr(first, last - first + 1);
}

// A whole decimal integer, nothing before or after it.
bool whole_integer(const std::string &text, long long *value) {
    if (text.empty()) return false;
    char *end = nullptr;
    errno = 0;
    *value = strtoll(text.c_str(), &end, 10);
    return errno == 0 && end == text.c_str() + text.size();
}

std::vector<std::string> split(const std::string &text, char separator) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        const size_t at = text.find(separator, start);
        parts.push_back(text.substr(start, at == std::string::npos ? std::string::npos : at - start));
        if (at == std::string::npos) return parts;
        start = at + 1;
    }
}

bool has_token(const std::string &list, const char *token) {
    for (const std::string &t : split(list, ',')) {
        if (t == token) return true;
    }
    return false;
}

// Mountinfo writes a space, tab, newline or backslash in a path as a three-digit octal escape.
std::string unescaped(const std::string &path) {
    std::string out;
    for (size_t k = 0; k < path.size(); ++k) {
        if (path[k] == '\\' && k + 3 < path.size() && path[k + 1] >= '0' && path[k + 1] <= '3' &&
            path[k + 2] >= '0' && path[k + 2] <= '7' && path[k + 3] >= '0' && path[k + 3] <= '7') {
            out += char((path[k + 1] - '0') * 64 + (path[k + 2] - '0') * 8 + (path[k + 3] - '0'));
            k += 3;
        } else {
            out += path[k];
        }
    }
    return out;
}

// The directory of a group at group_path in a hierarchy whose mount shows mount_root at
// mount_point; empty when the group lies outside what the mount shows.
std::string group_directory(const std::string &mount_root, const std::string &mount_point,
                            const std::string &group_path) {
    if (mount_point == "/") return std::string();  // never mounted there; no group above to stop at
    if (mount_root == "/") return group_path == "/" ? mount_point : mount_point + group_path;
    if (group_path == mount_root) return mount_point;
    if (group_path.compare(0, mount_root.size(), mount_root) == 0 && group_path[mount_root.size()] == '/')
        return mount_point + group_path.substr(mount_root.size());
    return std::string();
}

struct hierarchy {
    bool v2;               // else a v1 hierarchy holding the cpu controller
    std::string directory;  // of the process's group
    std::string top;        // the mount point, the highest group that can be read
};

// The v1 cpu hierarchy and the v2 one, where the process belongs to them and they are mounted.
std::vector<hierarchy> find_hierarchies(const std::string &self_cgroup, const std::string &mountinfo) {
    std::string v1_path, v2_path;
    bool in_v1 = false, in_v2 = false;
    for (const std::string &line : split(self_cgroup, '\n')) {
        const size_t first = line.find(':');
        const size_t second = first == std::string::npos ? first : line.find(':', first + 1);
        if (second == std::string::npos) continue;
        const std::string id = line.substr(0, first), controllers = line.substr(first + 1, second - first - 1);
        const std::string path = line.substr(second + 1);
        if (path.empty() || path[0] != '/') continue;
        if (id == "0" && controllers.empty()) {
            in_v2 = true;
            v2_path = path;
        } else if (has_token(controllers, "cpu")) {
            in_v1 = true;
            v1_path = path;
        }
    }
    std::vector<hierarchy> found;
    for (const std::string &line : split(mountinfo, '\n')) {
        const std::vector<std::string> fields = split(line, ' ');
        size_t dash = 6;
        while (dash < fields.size() && fields[dash] != "-") ++dash;
        if (dash + 3 >= fields.size()) continue;
        const std::string &type = fields[dash + 1], &options = fields[dash + 3];
        const std::string root = unescaped(fields[3]), point = unescaped(fields[4]);
        const bool v1 = in_v1 && type == "cgroup" && has_token(options, "cpu");
        const bool v2 = in_v2 && type == "cgroup2";
        if (!v1 && !v2) continue;
        const std::string directory = group_directory(root, point, v1 ? v1_path : v2_path);
        if (directory.empty()) continue;
        found.push_back(hierarchy{v2, directory, point});
        if (v1) in_v1 = false;  // the first mount that shows the group is enough
        if (v2) in_v2 = false;
    }
    return found;
}

double group_cpus(const hierarchy &h, const std::string &directory, read_text_fn read, void *context) {
    std::string quota, period;
    if (h.v2) return read((directory + "/cpu.max").c_str(), &quota, context) ? v2_max_cpus(quota) : 0;
    if (!read((directory + "/cpu.cfs_quota_us").c_str(), &quota, context)) return 0;
    if (!read((directory + "/cpu.cfs_period_us").c_str(), &period, context)) return 0;
    return v1_quota_cpus(quota, period);
}

}  // namespace

double v1_quota_cpus(const std::string &quota, const std::string &period) {
    long long q, p;
    if (!whole_integer(trimmed(quota), &q) || !whole_integer(trimmed(period), &p)) return 0;
    if (q <= 0 || p <= 0) return 0;  // -1: no limit
    return double(q) / double(p);
}

double v2_max_cpus(const std::string &cpu_max) {
    const std::vector<std::string> fields = split(trimmed(cpu_max), ' ');
    long long q, p;
    if (fields.size() != 2 || fields[0] == "max" || !whole_integer(fields[0], &q) || !whole_integer(fields[1], &p))
        return 0;
    if (q <= 0 || p <= 0) return 0;
    return double(q) / double(p);
}

double cgroup_cpu_limit(const std::string &self_cgroup, const std::string &mountinfo, read_text_fn read,
                        void *context) {
    double least = 0;
    for (const hierarchy &h : find_hierarchies(self_cgroup, mountinfo)) {
        std::string directory = h.directory;
        for (;;) {
            const double cpus = group_cpus(h, directory, read, context);
            if (cpus > 0 && (least == 0 || cpus < least)) least = cpus;
            if (directory.size() <= h.top.size()) break;
            directory.resize(directory.rfind('/'));
            if (directory.size() < h.top.size()) break;
        }
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
    const std::vector<std::string> fields = split(trimmed(loadavg), ' ');
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

bool read_text_file(const char *path, std::string *text, void *) {
    FILE *file = fopen(path, "re");
    if (file == nullptr) return false;
    text->clear();
    char piece[4096];
    size_t got;
    while ((got = fread(piece, 1, sizeof piece, file)) > 0) text->append(piece, got);
    const bool ok = !ferror(file);
    fclose(file);
    return ok;
}
