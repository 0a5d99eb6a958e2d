#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <map>
#include <string>

#include "TestEnv.h"
#include "platform/Cpu.h"

using namespace platform;

TEST(Cpu, SmallestQuotaAlongTheCgroupPathOfEitherVersion) {
    const std::string v2Mount = "30 22 0:27 / /sys/fs/cgroup rw,nosuid - cgroup2 cgroup2 rw\n";
    // A separate cpuacct hierarchy comes first, as on hybrid systems: only the
    // hierarchy with the cpu controller counts.
    const std::string v1Mounts =
        "31 30 0:28 / /sys/fs/cgroup/cpuacct rw shared:9 - cgroup cgroup rw,cpuacct\n"
        "32 30 0:29 /docker/c1 /sys/fs/cgroup/cpu,cpuacct rw - cgroup cgroup rw,cpu,cpuacct\n";
    struct Row {
        const char* name;
        std::string cgroups;
        std::string mountInfo;
        std::map<std::string, std::string> files; // below the fake root
        int quota;
    };
    const Row rows[] = {
        {"v2 own quota",
         "0::/user.slice/app.scope\n",
         v2Mount,
         {{"sys/fs/cgroup/user.slice/app.scope/cpu.max", "150000 100000\n"},
          {"sys/fs/cgroup/user.slice/cpu.max", "max 100000\n"}},
         2},
        {"v2 parent quota",
         "0::/user.slice/app.scope\n",
         v2Mount,
         {{"sys/fs/cgroup/user.slice/app.scope/cpu.max", "max 100000\n"},
          {"sys/fs/cgroup/user.slice/cpu.max", "50000 100000\n"}},
         1},
        {"v2 max everywhere", "0::/a\n", v2Mount, {{"sys/fs/cgroup/a/cpu.max", "max 100000\n"}}, 0},
        {"v1 quota of the mounted cgroup",
         "5:cpuacct:/\n4:cpu,cpuacct:/docker/c1\n",
         v1Mounts,
         {{"sys/fs/cgroup/cpu,cpuacct/cpu.cfs_quota_us", "300000\n"},
          {"sys/fs/cgroup/cpu,cpuacct/cpu.cfs_period_us", "100000\n"}},
         3},
        {"v1 parent quota, own -1",
         "4:cpu,cpuacct:/docker/c1/inner\n",
         v1Mounts,
         {{"sys/fs/cgroup/cpu,cpuacct/inner/cpu.cfs_quota_us", "-1\n"},
          {"sys/fs/cgroup/cpu,cpuacct/inner/cpu.cfs_period_us", "100000\n"},
          {"sys/fs/cgroup/cpu,cpuacct/cpu.cfs_quota_us", "250000\n"},
          {"sys/fs/cgroup/cpu,cpuacct/cpu.cfs_period_us", "100000\n"},
          {"sys/fs/cgroup/cpuacct/cpu.cfs_quota_us", "100000\n"},
          {"sys/fs/cgroup/cpuacct/cpu.cfs_period_us", "100000\n"}},
         3},
        {"v1 -1",
         "4:cpu,cpuacct:/docker/c1\n",
         v1Mounts,
         {{"sys/fs/cgroup/cpu,cpuacct/cpu.cfs_quota_us", "-1\n"},
          {"sys/fs/cgroup/cpu,cpuacct/cpu.cfs_period_us", "100000\n"}},
         0},
        {"both versions",
         "4:cpu,cpuacct:/docker/c1\n0::/\n",
         v1Mounts + v2Mount,
         {{"sys/fs/cgroup/cpu.max", "400000 100000\n"},
          {"sys/fs/cgroup/cpu,cpuacct/cpu.cfs_quota_us", "200000\n"},
          {"sys/fs/cgroup/cpu,cpuacct/cpu.cfs_period_us", "100000\n"}},
         2},
        {"no cgroup file", "", v2Mount, {}, 0},
    };
    int tree = 0;
    for (const Row& row : rows) {
        const std::string root = testenv::makeDir("cgroups-" + std::to_string(++tree));
        for (const auto& [path, text] : row.files) {
            std::filesystem::create_directories(
                std::filesystem::path(root + "/" + path).parent_path());
            testenv::writeFile(root + "/" + path, text);
        }
        EXPECT_EQ(cgroupCpuQuota(row.cgroups, row.mountInfo, root), row.quota) << row.name;
    }
}

TEST(Cpu, ParallelJobsOutsideOneToSixteenMeanOnePerProcessor) {
    const int perProcessor = std::min(availableProcessors(), 16);
    const struct {
        std::int64_t setting;
        int jobs;
    } rows[] = {
        {0, perProcessor},  {1, 1},
        {16, 16},           {17, perProcessor},
        {-1, perProcessor}, {static_cast<std::int64_t>(UINT32_C(0xFFFFFFFF)), perProcessor},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(parallelJobCount(row.setting), row.jobs) << row.setting;
    }
}
