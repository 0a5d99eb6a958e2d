#pragma once

// What the processors give this process: how many it may use, and the priority of
// the calling thread.

#include <cstdint>
#include <string>

namespace platform {

// The processors this process may run on: those of its CPU affinity, fewer when
// a CPU quota of its cgroups allows less; at least 1.
int availableProcessors();

// The CPU quota the cgroups of a process allow, in processors (rounded up), or 0
// when no quota limits it. Every level of the process's cgroup path counts, from
// its own cgroup up to the root of the hierarchy that is mounted, and the smallest
// quota wins: cgroup v2 "cpu.max", cgroup v1 "cpu.cfs_quota_us" over
// "cpu.cfs_period_us" in the hierarchy that carries the cpu controller; with both
// mounted, both count.
// `cgroups` is the text of /proc/<pid>/cgroup, `mountInfo` that of
// /proc/<pid>/mountinfo; `root` is put in front of every mount point (empty for
// the running system).
int cgroupCpuQuota(const std::string& cgroups, const std::string& mountInfo,
                   const std::string& root);

// The number of simultaneous jobs for a `ParallelJobs` setting. 1 to 16 are taken
// as they are; 0 and every other value (a negative one, or a stored DWORD above 16
// such as 0xFFFFFFFF) mean one per available processor, at most 16.
int parallelJobCount(std::int64_t setting);

// Sets the scheduling priority of the calling thread only (Linux nice value, -20
// to 19). False when it is not allowed (raising it needs privileges); the thread
// keeps its priority then.
bool setThreadNice(int nice);

} // namespace platform
