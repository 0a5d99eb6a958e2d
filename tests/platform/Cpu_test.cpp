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
    const std::string v2 = "sys/fs/cgroup/", v1 = v2 + "cpu,cpuacct/", acct = v2 + "cpuacct/";
    const std::string q = "cpu.cfs_quota_us"; // its period beside it is 100000
    const struct {
        const char* name;
        std::string cgroups;
        std::string mountInfo;
        std::map<std::string, std::string> files; // below the fake root
        int processors;
    } rows[] = {
        // clang-format off
        {"v2 own quota", "0::/u/app\n", v2Mount,
         {{v2 + "u/app/cpu.max", "150000 100000"}, {v2 + "u/cpu.max", "max 100000"}}, 2},
        {"v2 parent quota", "0::/u/app\n", v2Mount,
         {{v2 + "u/app/cpu.max", "max 100000"}, {v2 + "u/cpu.max", "50000 100000"}}, 1},
        {"v2 max", "0::/a\n", v2Mount, {{v2 + "a/cpu.max", "max 100000"}}, 0},
        {"v1 quota", "5:cpuacct:/\n4:cpu,cpuacct:/docker/c1\n", v1Mounts, {{v1 + q, "300000"}}, 3},
        {"v1 -1", "4:cpu,cpuacct:/docker/c1\n", v1Mounts, {{v1 + q, "-1"}}, 0},
        {"v1 parent quota", "4:cpu,cpuacct:/docker/c1/inner\n", v1Mounts,
         {{v1 + "inner/" + q, "-1"}, {v1 + q, "250000"}, {acct + q, "100000"}}, 3},
        {"both versions", "4:cpu,cpuacct:/docker/c1\n0::/\n", v1Mounts + v2Mount,
         {{v2 + "cpu.max", "400000 100000"}, {v1 + q, "200000"}}, 2},
        // clang-format on
    };
    int tree = 0;
    for (const auto& row : rows) {
        const std::filesystem::path root = testenv::makeDir("cgroups-" + std::to_string(++tree));
        for (const auto& [path, text] : row.files) {
            std::filesystem::create_directories((root / path).parent_path());
            testenv::writeFile(root / path, text + "\n");
            if (path.ends_with(q)) {
                testenv::writeFile((root / path).replace_filename("cpu.cfs_period_us"), "100000\n");
            }
        }
        EXPECT_EQ(cgroupCpuQuota(row.cgroups, row.mountInfo, root), row.processors) << row.name;
    }
}

TEST(Cpu, ParallelJobsOutsideOneToSixteenMeanOnePerProcessor) {
    const int perProcessor = std::min(availableProcessors(), 16);
    const std::int64_t settings[] = {0, 1, 16, 17, -1, std::int64_t{0xFFFFFFFF}};
    const int jobs[] = {perProcessor, 1, 16, perProcessor, perProcessor, perProcessor};
    for (size_t i = 0; i < std::size(settings); ++i) {
        EXPECT_EQ(parallelJobCount(settings[i]), jobs[i]) << settings[i];
    }
}
