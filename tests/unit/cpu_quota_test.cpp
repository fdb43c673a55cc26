// The CPU quota reader on control-group files given as text: v1 and v2 files, "max",
// groups nested under a limited parent, mounts that show a group from its own root, a
// quota below one processor, and garbage, which must read as no limit.
#include <gtest/gtest.h>

#include <string>

#include "cpu_quota.h"
#include "fake_cgroups.h"

namespace {

double limit_of(const std::string &self_cgroup, const std::string &mountinfo, const fake_files &files) {
    return cgroup_cpu_limit(self_cgroup, mountinfo, fake_groups(files));
}

}  // namespace

TEST(cpu_quota, v1_files) {
    EXPECT_DOUBLE_EQ(v1_quota_cpus("50000\n", "100000\n"), 0.5);
    EXPECT_DOUBLE_EQ(v1_quota_cpus("150000\n", "100000\n"), 1.5);
    EXPECT_DOUBLE_EQ(v1_quota_cpus("5000\n", "100000\n"), 0.05);
    EXPECT_DOUBLE_EQ(v1_quota_cpus("-1\n", "100000\n"), 0);  // no limit
    EXPECT_DOUBLE_EQ(v1_quota_cpus("50000\n", "0\n"), 0);
    EXPECT_DOUBLE_EQ(v1_quota_cpus("", "100000\n"), 0);
    EXPECT_DOUBLE_EQ(v1_quota_cpus("50000x\n", "100000\n"), 0);
    EXPECT_DOUBLE_EQ(v1_quota_cpus("fifty\n", "100000\n"), 0);
    EXPECT_DOUBLE_EQ(v1_quota_cpus("50000 1\n", "100000\n"), 0);
    EXPECT_DOUBLE_EQ(v1_quota_cpus("99999999999999999999999\n", "100000\n"), 0);
}

TEST(cpu_quota, v2_files) {
    EXPECT_DOUBLE_EQ(v2_max_cpus("50000 100000\n"), 0.5);
    EXPECT_DOUBLE_EQ(v2_max_cpus("250000 100000\n"), 2.5);
    EXPECT_DOUBLE_EQ(v2_max_cpus("1000 100000\n"), 0.01);
    EXPECT_DOUBLE_EQ(v2_max_cpus("max 100000\n"), 0);
    EXPECT_DOUBLE_EQ(v2_max_cpus("max\n"), 0);
    EXPECT_DOUBLE_EQ(v2_max_cpus("50000\n"), 0);
    EXPECT_DOUBLE_EQ(v2_max_cpus("50000 100000 3\n"), 0);
    EXPECT_DOUBLE_EQ(v2_max_cpus("50000 max\n"), 0);
    EXPECT_DOUBLE_EQ(v2_max_cpus("-5 100000\n"), 0);
    EXPECT_DOUBLE_EQ(v2_max_cpus(""), 0);
    EXPECT_DOUBLE_EQ(v2_max_cpus("\x01\x02garbage"), 0);
}

TEST(cpu_quota, team_is_the_quota_rounded_up_within_the_processors) {
    EXPECT_EQ(team_for_quota(2, 0), 2);
    EXPECT_EQ(team_for_quota(2, 0.5), 1);
    EXPECT_EQ(team_for_quota(2, 0.01), 1);
    EXPECT_EQ(team_for_quota(2, 1.0), 1);
    EXPECT_EQ(team_for_quota(2, 1.01), 2);
    EXPECT_EQ(team_for_quota(64, 2.5), 3);
    EXPECT_EQ(team_for_quota(2, 4), 2);
    EXPECT_EQ(team_for_quota(0, 0), 1);
}

TEST(cpu_quota, v1_group_and_its_parents) {
    const std::string self = "9:name=systemd:/\n4:memory:/x\n2:cpuacct:/\n1:cpu:/jobs/build\n0::/\n";
    fake_files files = {
        {"/sys/fs/cgroup/cpu/jobs/build/cpu.cfs_quota_us", "-1\n"},
        {"/sys/fs/cgroup/cpu/jobs/build/cpu.cfs_period_us", "100000\n"},
        {"/sys/fs/cgroup/cpu/jobs/cpu.cfs_quota_us", "50000\n"},
        {"/sys/fs/cgroup/cpu/jobs/cpu.cfs_period_us", "100000\n"},
        {"/sys/fs/cgroup/cpu/cpu.cfs_quota_us", "-1\n"},
        {"/sys/fs/cgroup/cpu/cpu.cfs_period_us", "100000\n"},
        // Other controllers' files are never read as the cpu controller's.
        {"/sys/fs/cgroup/cpuacct/cpu.cfs_quota_us", "1000\n"},
        {"/sys/fs/cgroup/cpuacct/cpu.cfs_period_us", "100000\n"},
    };
    EXPECT_DOUBLE_EQ(limit_of(self, v1_mounts, files), 0.5);  // the parent binds its child
    files["/sys/fs/cgroup/cpu/jobs/build/cpu.cfs_quota_us"] = "20000\n";
    EXPECT_DOUBLE_EQ(limit_of(self, v1_mounts, files), 0.2);  // the least on the way up
    files["/sys/fs/cgroup/cpu/cpu.cfs_quota_us"] = "10000\n";
    EXPECT_DOUBLE_EQ(limit_of(self, v1_mounts, files), 0.1);  // the mount's own group too
    EXPECT_DOUBLE_EQ(limit_of("1:cpu:/\n0::/\n", v1_mounts, files), 0.1);
    EXPECT_DOUBLE_EQ(limit_of("1:cpu:/elsewhere\n0::/\n", v1_mounts, files), 0.1);
    files["/sys/fs/cgroup/cpu/cpu.cfs_quota_us"] = "-1\n";
    files["/sys/fs/cgroup/cpu/jobs/cpu.cfs_quota_us"] = "-1\n";
    files["/sys/fs/cgroup/cpu/jobs/build/cpu.cfs_quota_us"] = "-1\n";
    EXPECT_DOUBLE_EQ(limit_of(self, v1_mounts, files), 0);
}

TEST(cpu_quota, v1_controllers_mounted_together_and_from_a_container_root) {
    // cpu and cpuacct share a hierarchy; the mount shows only the container's group, so
    // the group's path less the mount's root names the directory.
    const std::string mounts =
        "700 690 0:45 /docker/4f2a /sys/fs/cgroup/cpu,cpuacct ro,nosuid - cgroup cgroup rw,cpuacct,cpu\n";
    const std::string self = "3:cpuacct,cpu:/docker/4f2a/inner\n";
    fake_files files = {
        {"/sys/fs/cgroup/cpu,cpuacct/inner/cpu.cfs_quota_us", "-1\n"},
        {"/sys/fs/cgroup/cpu,cpuacct/inner/cpu.cfs_period_us", "100000\n"},
        {"/sys/fs/cgroup/cpu,cpuacct/cpu.cfs_quota_us", "300000\n"},
        {"/sys/fs/cgroup/cpu,cpuacct/cpu.cfs_period_us", "100000\n"},
    };
    EXPECT_DOUBLE_EQ(limit_of(self, mounts, files), 3);
    EXPECT_DOUBLE_EQ(limit_of("3:cpuacct,cpu:/docker/4f2a\n", mounts, files), 3);
    // A group the mount does not show (its path outside the mount's root) has no files here.
    EXPECT_DOUBLE_EQ(limit_of("3:cpuacct,cpu:/docker/other\n", mounts, files), 0);
    EXPECT_DOUBLE_EQ(limit_of("3:cpuacct,cpu:/docker/4f2a-other\n", mounts, files), 0);
}

TEST(cpu_quota, groups_through_a_cgroup_namespace) {
    // The host's mounts seen from a container's namespace: the group is the directory, two
    // levels below the mount point, whose cgroup.procs lists the process.
    const std::string v1 = "700 690 0:45 /../.. /sys/fs/cgroup/cpu,cpuacct rw - cgroup cgroup rw,cpuacct,cpu\n";
    fake_files files = {
        {"/sys/fs/cgroup/cpu,cpuacct/docker/4f2a/cpu.cfs_quota_us", "150000\n"},
        {"/sys/fs/cgroup/cpu,cpuacct/docker/4f2a/cpu.cfs_period_us", "100000\n"},
        {"/sys/fs/cgroup/cpu,cpuacct/docker/4f2a/cgroup.procs", "1\n4242\n"},
        {"/sys/fs/cgroup/cpu,cpuacct/docker/1c3e/cpu.cfs_quota_us", "10000\n"},
        {"/sys/fs/cgroup/cpu,cpuacct/docker/1c3e/cpu.cfs_period_us", "100000\n"},
        {"/sys/fs/cgroup/cpu,cpuacct/docker/1c3e/cgroup.procs", "1\n"},
    };
    EXPECT_DOUBLE_EQ(limit_of("3:cpuacct,cpu:/\n", v1, files), 1.5);
    const std::string v2 = "35 24 0:30 /../.. /sys/fs/cgroup rw - cgroup2 cgroup2 rw\n";
    files = {
        {"/sys/fs/cgroup/kubepods/pod1/cpu.max", "50000 100000\n"},
        {"/sys/fs/cgroup/kubepods/pod1/cgroup.procs", "4242\n"},
        {"/sys/fs/cgroup/kubepods/cpu.max", "max 100000\n"},
    };
    EXPECT_DOUBLE_EQ(limit_of("0::/\n", v2, files), 0.5);
    files["/sys/fs/cgroup/kubepods/pod1/cgroup.procs"] = "4243\n";
    EXPECT_DOUBLE_EQ(limit_of("0::/\n", v2, files), 0);
}

TEST(cpu_quota, v2_group_and_its_parents) {
    const std::string self = "0::/user.slice/app.scope\n";
    fake_files files = {
        {"/sys/fs/cgroup/user.slice/app.scope/cpu.max", "max 100000\n"},
        {"/sys/fs/cgroup/user.slice/cpu.max", "150000 100000\n"},
    };
    EXPECT_DOUBLE_EQ(limit_of(self, v2_mounts, files), 1.5);
    EXPECT_EQ(team_for_quota(8, limit_of(self, v2_mounts, files)), 2);
    files["/sys/fs/cgroup/user.slice/app.scope/cpu.max"] = "50000 100000\n";
    EXPECT_DOUBLE_EQ(limit_of(self, v2_mounts, files), 0.5);
    EXPECT_EQ(team_for_quota(2, limit_of(self, v2_mounts, files)), 1);
    // A mount point written with an escaped space.
    const std::string escaped = "35 24 0:30 / /mnt/my\\040groups rw - cgroup2 cgroup2 rw\n";
    const fake_files spaced = {{"/mnt/my groups/a/cpu.max", "25000 100000\n"}};
    EXPECT_DOUBLE_EQ(limit_of("0::/a\n", escaped, spaced), 0.25);
    // The unified hierarchy of a v1 machine holds no cpu.max: no limit from it.
    EXPECT_DOUBLE_EQ(limit_of("1:cpu:/\n0::/\n", v1_mounts, fake_files()), 0);
}

TEST(cpu_quota, garbage_reads_as_no_limit) {
    const fake_files files = {
        {"/sys/fs/cgroup/cpu.max", "50000 100000\n"},
        {"/sys/fs/cgroup/a/cpu.max", "50000 100000\n"},
    };
    EXPECT_DOUBLE_EQ(limit_of("0::/a\n", v2_mounts, files), 0.5);
    EXPECT_DOUBLE_EQ(limit_of("", v2_mounts, files), 0);
    EXPECT_DOUBLE_EQ(limit_of("0::/a\n", "", files), 0);
    EXPECT_DOUBLE_EQ(limit_of("garbage", v2_mounts, files), 0);
    EXPECT_DOUBLE_EQ(limit_of("0::a\n", v2_mounts, files), 0);  // not a path
    EXPECT_DOUBLE_EQ(limit_of("0::/a\n", "35 24 0:30 / /sys/fs/cgroup - cgroup2\n", files), 0);
    EXPECT_DOUBLE_EQ(limit_of("0::/a\n", "\n\n - - - - - - -\n", files), 0);
    EXPECT_DOUBLE_EQ(limit_of("::::\n1:cpu\n", v1_mounts, files), 0);
    const fake_files bad = {{"/sys/fs/cgroup/a/cpu.max", "half a core\n"}};
    EXPECT_DOUBLE_EQ(limit_of("0::/a\n", v2_mounts, bad), 0);
}

TEST(cpu_quota, machine_load_read_from_loadavg) {
    EXPECT_EQ(runnable_from_loadavg("0.79 1.87 2.98 5/132 29134\n"), 5);
    EXPECT_EQ(runnable_from_loadavg("0.00 0.00 0.00 1/80 7"), 1);
    EXPECT_EQ(runnable_from_loadavg(""), -1);
    EXPECT_EQ(runnable_from_loadavg("0.79 1.87 2.98 5 29134\n"), -1);      // no total
    EXPECT_EQ(runnable_from_loadavg("0.79 1.87 2.98 9/8 29134\n"), -1);    // more running than exist
    EXPECT_EQ(runnable_from_loadavg("0.79 1.87 2.98 -1/8 29134\n"), -1);
    EXPECT_EQ(runnable_from_loadavg("0.79 1.87 2.98 x/132 29134\n"), -1);
    EXPECT_EQ(runnable_from_loadavg("0.79 1.87 2.98 5/132\n"), -1);         // a field short
    EXPECT_EQ(runnable_from_loadavg("0.79 1.87 2.98 99999999999/999999999999 1\n"), -1);
}

TEST(cpu_quota, team_keeps_to_the_processors_others_leave_idle) {
    EXPECT_EQ(team_for_load(2, 2, 0), 2);   // idle machine
    EXPECT_EQ(team_for_load(2, 2, 1), 1);   // one competitor on two processors
    EXPECT_EQ(team_for_load(2, 2, 5), 1);   // never below one
    EXPECT_EQ(team_for_load(8, 64, 60), 4);
    EXPECT_EQ(team_for_load(8, 64, 3), 8);  // idle processors beyond the team change nothing
    EXPECT_EQ(team_for_load(1, 2, 0), 1);
    EXPECT_EQ(team_for_load(4, 0, 2), 4);   // unknown processor count: no cap
    EXPECT_EQ(team_for_load(0, 2, 0), 1);
}
