#include "platform/Cpu.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sched.h>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace platform {
namespace {

constexpr int kMostJobs = 16;

// The CPU quota of the process's own cgroup, in processors (rounded up), or 0 when
// there is none (no cgroup v2, or "max").
int cgroupQuota() {
    std::ifstream cgroups("/proc/self/cgroup");
    std::string line;
    std::string path;
    while (std::getline(cgroups, line)) {
        if (line.rfind("0::", 0) == 0) {
            path = line.substr(3);
            break;
        }
    }
    if (path.empty()) {
        return 0;
    }
    std::ifstream max("/sys/fs/cgroup" + path + "/cpu.max");
    std::string quota;
    long long period = 0;
    if (!(max >> quota >> period) || quota == "max" || period <= 0) {
        return 0;
    }
    const long long allowed = std::atoll(quota.c_str());
    if (allowed <= 0) {
        return 0;
    }
    return static_cast<int>(std::max<long long>(1, (allowed + period - 1) / period));
}

} // namespace

int availableProcessors() {
    int count = 0;
    cpu_set_t set;
    CPU_ZERO(&set);
    if (::sched_getaffinity(0, sizeof set, &set) == 0) {
        count = CPU_COUNT(&set);
    }
    if (count <= 0) {
        count = static_cast<int>(std::max(1L, ::sysconf(_SC_NPROCESSORS_ONLN)));
    }
    const int quota = cgroupQuota();
    if (quota > 0) {
        count = std::min(count, quota);
    }
    return std::max(1, count);
}

int parallelJobCount(long setting) {
    const long wanted = setting > 0 ? setting : availableProcessors();
    return static_cast<int>(std::clamp<long>(wanted, 1, kMostJobs));
}

bool setThreadNice(int nice) {
    const auto thread = static_cast<id_t>(::syscall(SYS_gettid));
    return ::setpriority(PRIO_PROCESS, thread, std::clamp(nice, -20, 19)) == 0;
}

} // namespace platform
