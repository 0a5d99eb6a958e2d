#include "platform/Cpu.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sched.h>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

namespace platform {
namespace {

constexpr int kMostJobs = 16;

std::string readSmallFile(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::istringstream in(text);
    std::string part;
    while (std::getline(in, part, separator)) {
        parts.push_back(part);
    }
    return parts;
}

bool hasToken(const std::string& list, const std::string& token) {
    const std::vector<std::string> tokens = split(list, ',');
    return std::find(tokens.begin(), tokens.end(), token) != tokens.end();
}

// mountinfo spells a blank, a tab, a newline and a backslash in a path as a
// backslash and three octal digits.
std::string unescapeMountPath(const std::string& field) {
    std::string out;
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() &&
            field.find_first_not_of("01234567", i + 1) >= i + 4) {
            out += static_cast<char>(std::strtol(field.substr(i + 1, 3).c_str(), nullptr, 8));
            i += 3;
        } else {
            out += field[i];
        }
    }
    return out;
}

// Where a cgroup hierarchy is mounted: the mount point, and which cgroup of the
// hierarchy appears there.
struct HierarchyMount {
    std::string point;
    std::string root;
};

// The first mount of a cgroup hierarchy: cgroup v2 ("cgroup2"), or the v1
// hierarchy whose options name `controller`.
std::optional<HierarchyMount> findMount(const std::string& mountInfo, bool v2,
                                        const std::string& controller) {
    std::istringstream lines(mountInfo);
    std::string line;
    while (std::getline(lines, line)) {
        // ID PARENT MAJ:MIN ROOT POINT OPTIONS [OPTIONAL...] - TYPE SOURCE SUPEROPTIONS
        std::vector<std::string> fields;
        std::istringstream words(line);
        for (std::string word; words >> word;) {
            fields.push_back(word);
        }
        if (fields.size() < 10) {
            continue;
        }
        // The optional fields end at a lone "-" after the sixth field.
        auto dash = std::find(fields.begin() + 6, fields.end(), "-");
        if (fields.end() - dash < 4) {
            continue;
        }
        const std::string& type = dash[1];
        const std::string& superOptions = dash[3];
        const bool wanted =
            v2 ? type == "cgroup2" : type == "cgroup" && hasToken(superOptions, controller);
        if (wanted) {
            return HierarchyMount{unescapeMountPath(fields[4]), unescapeMountPath(fields[3])};
        }
    }
    return std::nullopt;
}

// The process's cgroup in the v2 hierarchy ("0::/path") or in the v1 hierarchy
// that carries `controller` ("4:cpu,cpuacct:/path").
std::optional<std::string> cgroupPath(const std::string& cgroups, bool v2,
                                      const std::string& controller) {
    std::istringstream lines(cgroups);
    std::string line;
    while (std::getline(lines, line)) {
        const size_t first = line.find(':');
        const size_t second = first == std::string::npos ? first : line.find(':', first + 1);
        if (second == std::string::npos) {
            continue;
        }
        const std::string id = line.substr(0, first);
        const std::string controllers = line.substr(first + 1, second - first - 1);
        const bool wanted =
            v2 ? id == "0" && controllers.empty() : hasToken(controllers, controller);
        if (wanted) {
            return line.substr(second + 1);
        }
    }
    return std::nullopt;
}

// The folders of the process's cgroup and of each parent visible under the mount,
// innermost first. A cgroup outside what the mount shows (another cgroup
// namespace: "/.." in its path) leaves only the mount point itself.
std::vector<std::string> levelFolders(const std::string& root, const HierarchyMount& mount,
                                      const std::string& path) {
    std::string below;
    if (mount.root == "/") {
        below = path;
    } else if (path == mount.root || path.rfind(mount.root + "/", 0) == 0) {
        below = path.substr(mount.root.size());
    }
    if (below.find("/..") != std::string::npos) {
        below.clear();
    }
    while (!below.empty() && below.back() == '/') {
        below.pop_back();
    }
    std::vector<std::string> folders;
    for (;;) {
        folders.push_back(root + mount.point + below);
        if (below.empty()) {
            return folders;
        }
        below.erase(below.rfind('/'));
    }
}

// A quota of `allowed` microseconds per `period`, in processors rounded up; 0 for
// no quota.
int processors(long long allowed, long long period) {
    if (allowed <= 0 || period <= 0) {
        return 0;
    }
    return static_cast<int>(std::max<long long>(1, (allowed + period - 1) / period));
}

// cgroup v2: "max 100000", or "<quota> <period>".
int quotaV2(const std::string& folder) {
    std::istringstream in(readSmallFile(folder + "/cpu.max"));
    std::string quota;
    long long period = 0;
    if (!(in >> quota >> period) || quota == "max") {
        return 0;
    }
    return processors(std::atoll(quota.c_str()), period);
}

// cgroup v1: -1 in cpu.cfs_quota_us for none.
int quotaV1(const std::string& folder) {
    long long quota = 0;
    long long period = 0;
    std::istringstream(readSmallFile(folder + "/cpu.cfs_quota_us")) >> quota;
    std::istringstream(readSmallFile(folder + "/cpu.cfs_period_us")) >> period;
    return processors(quota, period);
}

} // namespace

int cgroupCpuQuota(const std::string& cgroups, const std::string& mountInfo,
                   const std::string& root) {
    int smallest = 0;
    for (const bool v2 : {true, false}) {
        const std::optional<HierarchyMount> mount = findMount(mountInfo, v2, "cpu");
        const std::optional<std::string> path = cgroupPath(cgroups, v2, "cpu");
        if (!mount || !path) {
            continue;
        }
        for (const std::string& folder : levelFolders(root, *mount, *path)) {
            const int quota = v2 ? quotaV2(folder) : quotaV1(folder);
            if (quota > 0 && (smallest == 0 || quota < smallest)) {
                smallest = quota;
            }
        }
    }
    return smallest;
}

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
    const int quota = cgroupCpuQuota(readSmallFile("/proc/self/cgroup"),
                                     readSmallFile("/proc/self/mountinfo"), "");
    if (quota > 0) {
        count = std::min(count, quota);
    }
    return std::max(1, count);
}

int parallelJobCount(std::int64_t setting) {
    if (setting >= 1 && setting <= kMostJobs) {
        return static_cast<int>(setting);
    }
    return std::clamp(availableProcessors(), 1, kMostJobs);
}

bool setThreadNice(int nice) {
    const auto thread = static_cast<id_t>(::syscall(SYS_gettid));
    return ::setpriority(PRIO_PROCESS, thread, std::clamp(nice, -20, 19)) == 0;
}

} // namespace platform
