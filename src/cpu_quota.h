// The processor time a process may really use: its affinity mask and the CPU quota of
// its control group (v1 cpu.cfs_quota_us over cpu.cfs_period_us, v2 cpu.max), the least
// quota on the way from its own group up to the hierarchy's root. The parsers take the
// files' texts, so that any text can be tried; garbage reads as no limit.
#pragma once

#include <string>

#include "control_groups.h"

// Processors a v1 group grants: quota over period; 0 for no limit ("-1") or garbage.
double v1_quota_cpus(const std::string &quota, const std::string &period);

// Processors a v2 cpu.max ("QUOTA PERIOD" or "max PERIOD") grants; 0 for none or garbage.
double v2_max_cpus(const std::string &cpu_max);

// The least quota, in processors, of the groups holding the process described by the
// texts of /proc/self/cgroup and /proc/self/mountinfo, reaching the groups' files through
// files; 0 when no group limits it.
double cgroup_cpu_limit(const std::string &self_cgroup, const std::string &mountinfo, const group_files &files);

// The team worth starting on cpus processors under a quota of limit processors (0: none):
// the quota rounded up, never more than cpus, at least one.
int team_for_quota(int cpus, double limit);

// Threads runnable on the whole machine, from the text of /proc/loadavg ("0.5 0.4 0.3
// 3/120 4242": 3); -1 for garbage.
int runnable_from_loadavg(const std::string &loadavg);

// The team worth starting while busy_elsewhere of the machine's online processors run
// other threads: what they leave, never more than team, at least one.
int team_for_load(int team, int online, int busy_elsewhere);
