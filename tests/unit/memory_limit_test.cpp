// The memory room of control groups given as text: v1 and v2 limit files, what memory.stat
// says a group holds that cannot be reclaimed (anonymous and shared memory, never the file
// cache), groups nested under a tighter parent or one whose other children fill it, mounts
// that show a group from a container's root, and garbage, which must read as no limit.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "fake_cgroups.h"
#include "memory_limit.h"

namespace {

uint64_t room_of(const std::string &self_cgroup, const std::string &mountinfo, const fake_files &files) {
    return memory_room(process_groups(self_cgroup, mountinfo, "memory", fake_groups(files)), read_fake,
                       const_cast<fake_files *>(&files));
}

constexpr uint64_t MiB = uint64_t(1) << 20;
const std::string no_limit_v1 = "9223372036854771712\n";

// A v1 memory.stat as the kernel writes it: the group's own fields, then the totals of
// the group and those below it. rss_huge comes before rss, as total_rss_huge before total_rss.
std::string v1_stat(uint64_t rss, uint64_t shmem, uint64_t cache, uint64_t total_rss, uint64_t total_shmem,
                    uint64_t total_cache) {
    return "cache " + std::to_string(cache) + "\nrss_huge 4194304\nrss " + std::to_string(rss) + "\nshmem " +
           std::to_string(shmem) + "\nmapped_file 8945664\ninactive_file 344064\nactive_file 1400832\n" +
           "hierarchical_memory_limit 41943040\ntotal_cache " + std::to_string(total_cache) +
           "\ntotal_rss_huge 2097152\ntotal_rss " + std::to_string(total_rss) + "\ntotal_shmem " +
           std::to_string(total_shmem) + "\ntotal_inactive_file 273137664\n";
}

}  // namespace

TEST(memory_limit, limit_files) {
    EXPECT_EQ(v1_memory_limit("41943040\n"), 40 * MiB);
    EXPECT_EQ(v1_memory_limit(no_limit_v1), uint64_t(9223372036854771712ULL));
    EXPECT_EQ(v1_memory_limit("0\n"), 0u);
    EXPECT_EQ(v1_memory_limit("-1\n"), UINT64_MAX);
    EXPECT_EQ(v1_memory_limit(""), UINT64_MAX);
    EXPECT_EQ(v1_memory_limit("40M\n"), UINT64_MAX);
    EXPECT_EQ(v1_memory_limit("99999999999999999999999\n"), UINT64_MAX);
    EXPECT_EQ(v2_memory_max("104857600\n"), 100 * MiB);
    EXPECT_EQ(v2_memory_max("max\n"), UINT64_MAX);
    EXPECT_EQ(v2_memory_max("max"), UINT64_MAX);
    EXPECT_EQ(v2_memory_max("100 200\n"), UINT64_MAX);
    EXPECT_EQ(v2_memory_max("\x01garbage"), UINT64_MAX);
}

TEST(memory_limit, held_is_anonymous_and_shared_memory_never_the_file_cache) {
    // v1: the totals, which hold the groups below; cache (the graph file's pages) is left out.
    EXPECT_EQ(unreclaimable_bytes(v1_stat(MiB, 0, 500 * MiB, 10 * MiB, 2 * MiB, 900 * MiB), false), 12 * MiB);
    // Without the totals, the group's own fields.
    EXPECT_EQ(unreclaimable_bytes("cache 99999999\nrss_huge 4194304\nrss 3145728\nshmem 1048576\n", false), 4 * MiB);
    // total_rss_huge and rss_huge are not total_rss and rss.
    EXPECT_EQ(unreclaimable_bytes("total_rss_huge 8388608\nrss_huge 8388608\n", false), 0u);
    // v2 (its fields already hold the groups below): anon and shmem, not file.
    const std::string v2 = "anon 52428800\nfile 1073741824\nkernel_stack 65536\nshmem 10485760\nfile_mapped 0\n"
                           "anon_thp 4194304\n";
    EXPECT_EQ(unreclaimable_bytes(v2, true), 60 * MiB);
    EXPECT_EQ(unreclaimable_bytes("", true), 0u);
    EXPECT_EQ(unreclaimable_bytes("anon lots\nshmem -5\n", true), 0u);
    EXPECT_EQ(unreclaimable_bytes("garbage\n\n", false), 0u);
}

TEST(memory_limit, v1_group_and_its_parents) {
    const std::string self = "9:name=systemd:/\n4:memory:/jobs/build\n1:cpu:/\n0::/\n";
    fake_files files = {
        {"/sys/fs/cgroup/memory/jobs/build/memory.limit_in_bytes", "41943040\n"},
        {"/sys/fs/cgroup/memory/jobs/build/memory.stat", v1_stat(MiB, 0, 500 * MiB, 10 * MiB, 0, 500 * MiB)},
        {"/sys/fs/cgroup/memory/jobs/memory.limit_in_bytes", no_limit_v1},
        {"/sys/fs/cgroup/memory/jobs/memory.stat", v1_stat(0, 0, 0, 30 * MiB, 0, 900 * MiB)},
        {"/sys/fs/cgroup/memory/memory.limit_in_bytes", no_limit_v1},
        {"/sys/fs/cgroup/memory/memory.stat", v1_stat(0, 0, 0, 5000 * MiB, 0, 9000 * MiB)},
        // Another controller's files are never read as the memory controller's.
        {"/sys/fs/cgroup/cpu/memory.limit_in_bytes", "1048576\n"},
    };
    EXPECT_EQ(room_of(self, v1_mounts, files), 30 * MiB);  // 40 MiB less 10 held, the cache aside
    // A parent's limit binds its child, and what the parent's other children hold fills it.
    files["/sys/fs/cgroup/memory/jobs/memory.limit_in_bytes"] = "67108864\n";
    EXPECT_EQ(room_of(self, v1_mounts, files), 30 * MiB);
    files["/sys/fs/cgroup/memory/jobs/memory.limit_in_bytes"] = "52428800\n";
    EXPECT_EQ(room_of(self, v1_mounts, files), 20 * MiB);
    // The mount's own group too.
    files["/sys/fs/cgroup/memory/memory.limit_in_bytes"] = std::to_string(5010 * MiB) + "\n";
    EXPECT_EQ(room_of(self, v1_mounts, files), 10 * MiB);
    // Held beyond the limit leaves no room.
    files["/sys/fs/cgroup/memory/memory.limit_in_bytes"] = std::to_string(4000 * MiB) + "\n";
    EXPECT_EQ(room_of(self, v1_mounts, files), 0u);
    // Without its stat a group's limit is the most it leaves.
    files.erase("/sys/fs/cgroup/memory/memory.limit_in_bytes");
    files.erase("/sys/fs/cgroup/memory/jobs/build/memory.stat");
    EXPECT_EQ(room_of(self, v1_mounts, files), 20 * MiB);
    files["/sys/fs/cgroup/memory/jobs/memory.limit_in_bytes"] = no_limit_v1;
    EXPECT_EQ(room_of(self, v1_mounts, files), 40 * MiB);
    // No limit anywhere: none.
    files["/sys/fs/cgroup/memory/jobs/build/memory.limit_in_bytes"] = no_limit_v1;
    EXPECT_GT(room_of(self, v1_mounts, files), uint64_t(1) << 62);
    EXPECT_EQ(room_of("4:memory:/\n", "", files), UINT64_MAX);  // no mount: no group to read
}

TEST(memory_limit, only_groups_with_a_limit_are_read_again) {
    const std::string self = "4:memory:/jobs/build\n";
    const fake_files files = {
        {"/sys/fs/cgroup/memory/jobs/build/memory.limit_in_bytes", no_limit_v1},
        {"/sys/fs/cgroup/memory/jobs/memory.limit_in_bytes", "52428800\n"},
        {"/sys/fs/cgroup/memory/jobs/memory.stat", "total_rss 10485760\n"},
        {"/sys/fs/cgroup/memory/memory.limit_in_bytes", "garbage\n"},
    };
    fake_files *reach = const_cast<fake_files *>(&files);
    const std::vector<control_group> limited =
        limited_groups(process_groups(self, v1_mounts, "memory", fake_groups(files)), read_fake, reach);
    ASSERT_EQ(limited.size(), 1u);
    EXPECT_EQ(limited[0].directory, "/sys/fs/cgroup/memory/jobs");
    EXPECT_EQ(memory_room(limited, read_fake, reach), 40 * MiB);
    EXPECT_TRUE(limited_groups(process_groups(self, "", "memory", fake_groups(files)), read_fake, reach).empty());
}

TEST(memory_limit, v1_from_a_container_root) {
    const std::string mounts =
        "700 690 0:45 /docker/4f2a /sys/fs/cgroup/memory ro,nosuid - cgroup cgroup rw,memory\n";
    const fake_files files = {
        {"/sys/fs/cgroup/memory/memory.limit_in_bytes", "587202560\n"},  // docker --memory 560m
        {"/sys/fs/cgroup/memory/memory.stat", "total_rss 10485760\ntotal_cache 104857600\n"},
        {"/sys/fs/cgroup/memory/inner/memory.limit_in_bytes", no_limit_v1},
    };
    EXPECT_EQ(room_of("4:memory:/docker/4f2a\n", mounts, files), 550 * MiB);
    EXPECT_EQ(room_of("4:memory:/docker/4f2a/inner\n", mounts, files), 550 * MiB);
    EXPECT_EQ(room_of("4:memory:/docker/other\n", mounts, files), UINT64_MAX);
}

TEST(memory_limit, v1_through_a_cgroup_namespace) {
    // The host's mount seen from a namespace whose root is three levels below the
    // hierarchy's: the names on the way are not shown, the group is the one directory
    // three levels down whose cgroup.procs lists the process.
    const std::string outside = "35 31 0:32 /../../.. /sys/fs/cgroup/memory rw,relatime - cgroup cgroup rw,memory\n";
    const std::string job = "/sys/fs/cgroup/memory/process_api/9f4b/job";
    fake_files files = {
        {job + "/memory.limit_in_bytes", "62914560\n"},
        {job + "/memory.stat", "total_rss 2097152\n"},
        {job + "/cgroup.procs", "17\n4242\n"},
        {job + "/inner/memory.limit_in_bytes", no_limit_v1},
        {job + "/inner/cgroup.procs", "4242\n"},  // one level further down than the group lies
        // Its neighbours at the same depth list other processes (42420 is not 4242).
        {"/sys/fs/cgroup/memory/process_api/9f4b/a-job/memory.limit_in_bytes", "1048576\n"},
        {"/sys/fs/cgroup/memory/process_api/9f4b/a-job/cgroup.procs", "42420\n424\n"},
        {"/sys/fs/cgroup/memory/docker/1c3e/x/memory.limit_in_bytes", "1048576\n"},
        {"/sys/fs/cgroup/memory/docker/1c3e/x/cgroup.procs", ""},
        {"/sys/fs/cgroup/memory/process_api/memory.limit_in_bytes", no_limit_v1},
        {"/sys/fs/cgroup/memory/memory.limit_in_bytes", no_limit_v1},
    };
    EXPECT_EQ(room_of("4:memory:/\n", outside, files), 58 * MiB);
    // Moved below the namespace's root: one level more, and the parent's limit binds it.
    files[job + "/cgroup.procs"] = "17\n";
    EXPECT_EQ(room_of("4:memory:/inner\n", outside, files), 58 * MiB);
    // A limit above the namespace's root binds too.
    files["/sys/fs/cgroup/memory/process_api/memory.limit_in_bytes"] = "31457280\n";
    EXPECT_EQ(room_of("4:memory:/inner\n", outside, files), 30 * MiB);
    // Listed nowhere at that depth: no group, no limit.
    files[job + "/inner/cgroup.procs"] = "17\n";
    EXPECT_EQ(room_of("4:memory:/inner\n", outside, files), UINT64_MAX);
    // A mount of a group beside the namespace's root ("/../other") shows no group of ours;
    // one of its parent ("/..") shows ours by name, a step up from the root ("/../job").
    files[job + "/cgroup.procs"] = "4242\n";
    EXPECT_EQ(room_of("4:memory:/\n", "35 31 0:32 /../a-job /mnt/m rw - cgroup cgroup rw,memory\n", files),
              UINT64_MAX);
    const fake_files parent = {{"/mnt/m/job/memory.limit_in_bytes", "62914560\n"}};
    EXPECT_EQ(room_of("4:memory:/../job\n", "35 31 0:32 /.. /mnt/m rw - cgroup cgroup rw,memory\n", parent),
              60 * MiB);
    // A mount made inside the namespace: its root is the group; no search needed.
    const fake_files inside = {{"/sys/fs/cgroup/memory/memory.limit_in_bytes", "62914560\n"}};
    EXPECT_EQ(room_of("4:memory:/\n", "35 31 0:32 / /sys/fs/cgroup/memory rw - cgroup cgroup rw,memory\n", inside),
              60 * MiB);
}

TEST(memory_limit, v2_through_a_cgroup_namespace) {
    const std::string outside = "35 24 0:30 /../.. /sys/fs/cgroup rw - cgroup2 cgroup2 rw,nsdelegate\n";
    fake_files files = {
        {"/sys/fs/cgroup/kubepods/pod1/memory.max", "104857600\n"},
        {"/sys/fs/cgroup/kubepods/pod1/memory.stat", "anon 10485760\nfile 99999999\n"},
        {"/sys/fs/cgroup/kubepods/pod1/cgroup.procs", "4242\n"},
        {"/sys/fs/cgroup/kubepods/pod2/memory.max", "1048576\n"},
        {"/sys/fs/cgroup/kubepods/pod2/cgroup.procs", "1\n"},
    };
    EXPECT_EQ(room_of("0::/\n", outside, files), 90 * MiB);
    // Made inside, the mount's root is the namespace's: the group at its root.
    const fake_files inside = {{"/sys/fs/cgroup/memory.max", "104857600\n"}};
    EXPECT_EQ(room_of("0::/\n", v2_mounts, inside), 100 * MiB);
    // Garbage paths: a climb after a name, a relative path.
    EXPECT_EQ(room_of("0::/a/../..\n", outside, files), UINT64_MAX);
    EXPECT_EQ(room_of("0::/\n", "35 24 0:30 ../.. /sys/fs/cgroup rw - cgroup2 cgroup2 rw\n", files), UINT64_MAX);
}

TEST(memory_limit, mount_points_written_with_escapes) {
    // Mountinfo writes a space as \040, a backslash as \134; one may end the mount point.
    const fake_files files = {
        {"/mnt/cg /a/memory.max", "104857600\n"},
        {"/mnt/c\\g/a/memory.max", "52428800\n"},
    };
    EXPECT_EQ(room_of("0::/a\n", "35 24 0:30 / /mnt/cg\\040 rw - cgroup2 cgroup2 rw\n", files), 100 * MiB);
    EXPECT_EQ(room_of("0::/a\n", "35 24 0:30 / /mnt/c\\134g rw - cgroup2 cgroup2 rw\n", files), 50 * MiB);
}

TEST(memory_limit, v2_group_and_its_parents) {
    const std::string self = "0::/user.slice/app.scope\n";
    fake_files files = {
        {"/sys/fs/cgroup/user.slice/app.scope/memory.max", "max\n"},
        {"/sys/fs/cgroup/user.slice/app.scope/memory.stat", "anon 1048576\nfile 524288000\nshmem 0\n"},
        {"/sys/fs/cgroup/user.slice/memory.max", "209715200\n"},
        {"/sys/fs/cgroup/user.slice/memory.stat", "anon 52428800\nfile 1073741824\nshmem 10485760\n"},
    };
    EXPECT_EQ(room_of(self, v2_mounts, files), 140 * MiB);
    files["/sys/fs/cgroup/user.slice/app.scope/memory.max"] = "104857600\n";
    EXPECT_EQ(room_of(self, v2_mounts, files), 99 * MiB);
    // The unified hierarchy of a v1 machine holds no memory.max: no limit from it.
    EXPECT_EQ(room_of("0::/\n", v1_mounts, fake_files()), UINT64_MAX);
}

TEST(memory_limit, garbage_reads_as_no_limit) {
    const fake_files files = {
        {"/sys/fs/cgroup/a/memory.max", "104857600\n"},
        {"/sys/fs/cgroup/a/memory.stat", "anon 0\n"},
    };
    EXPECT_EQ(room_of("0::/a\n", v2_mounts, files), 100 * MiB);
    EXPECT_EQ(room_of("", v2_mounts, files), UINT64_MAX);
    EXPECT_EQ(room_of("0::/a\n", "", files), UINT64_MAX);
    EXPECT_EQ(room_of("garbage", v2_mounts, files), UINT64_MAX);
    EXPECT_EQ(room_of("0::a\n", v2_mounts, files), UINT64_MAX);
    EXPECT_EQ(room_of("::::\n4:memory\n", v1_mounts, files), UINT64_MAX);
    const fake_files bad = {{"/sys/fs/cgroup/a/memory.max", "a hundred megabytes\n"}};
    EXPECT_EQ(room_of("0::/a\n", v2_mounts, bad), UINT64_MAX);
}
