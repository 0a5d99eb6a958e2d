#pragma once

// What the processors give this process: how many it may use, and the priority of
// the calling thread.

namespace platform {

// The processors this process may run on: those of its CPU affinity, fewer when
// its cgroup's CPU quota (cgroup v2 "cpu.max") allows less; at least 1.
int availableProcessors();

// The number of simultaneous jobs for a `ParallelJobs` setting: 0 (or a negative
// value) means one per available processor; at most 16 either way.
int parallelJobCount(long setting);

// Sets the scheduling priority of the calling thread only (Linux nice value, -20
// to 19). False when it is not allowed (raising it needs privileges); the thread
// keeps its priority then.
bool setThreadNice(int nice);

} // namespace platform
