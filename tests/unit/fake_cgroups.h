// Control-group files given as text, for the tests of the readers that take a reading
// function: a map from path to content (its directories those its paths pass through),
// and the mount tables of this machine's shape (v1 controllers each mounted apart, cgroup2
// unified beside them) and of a v2-only host.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "control_groups.h"

typedef std::map<std::string, std::string> fake_files;

// The reading function over fake_files: false for a path the map does not hold.
inline bool read_fake(const char *path, std::string *text, void *context) {
    const fake_files &files = *static_cast<const fake_files *>(context);
    const auto found = files.find(path);
    if (found == files.end()) return false;
    *text = found->second;
    return true;
}

// The directories directly below path that some file of the map lies in.
inline bool list_fake(const char *path, std::vector<std::string> *names, void *context) {
    const fake_files &files = *static_cast<const fake_files *>(context);
    const std::string top = std::string(path) + "/";
    names->clear();
    for (const auto &file : files) {
        if (file.first.compare(0, top.size(), top) != 0) continue;
        const size_t slash = file.first.find('/', top.size());
        if (slash == std::string::npos) continue;
        const std::string name = file.first.substr(top.size(), slash - top.size());
        if (names->empty() || names->back() != name) names->push_back(name);
    }
    return true;
}

// The process the fake groups' cgroup.procs list.
constexpr long FAKE_PID = 4242;

inline group_files fake_groups(const fake_files &files) {
    return group_files{read_fake, list_fake, const_cast<fake_files *>(&files), FAKE_PID};
}

const std::string v1_mounts =
    "30 22 0:27 / /sys/fs/cgroup rw,relatime - tmpfs tmpfs rw,mode=755\n"
    "31 30 0:28 / /sys/fs/cgroup/cpu rw,relatime - cgroup cgroup rw,cpu\n"
    "32 30 0:29 / /sys/fs/cgroup/cpuacct rw,relatime - cgroup cgroup rw,cpuacct\n"
    "33 30 0:30 / /sys/fs/cgroup/cpuset rw,relatime - cgroup cgroup rw,cpuset\n"
    "34 30 0:31 / /sys/fs/cgroup/memory rw,relatime - cgroup cgroup rw,memory\n"
    "40 30 0:37 / /sys/fs/cgroup/unified rw,relatime - cgroup2 cgroup2 rw\n";

const std::string v2_mounts =
    "24 1 0:22 / / rw,relatime shared:1 - ext4 /dev/sda1 rw\n"
    "35 24 0:30 / /sys/fs/cgroup rw,nosuid,nodev,noexec,relatime shared:9 - cgroup2 cgroup2 rw,nsdelegate\n";
