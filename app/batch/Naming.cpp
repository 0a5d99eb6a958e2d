#include "app/batch/Naming.h"

#include <sys/stat.h>

#include "platform/Paths.h"

namespace app {

bool CreateTargetDirectory(const std::string& dir) {
    if (dir.empty()) {
        return false;
    }
    return platform::forceDirectories(dir);
}

std::string TargetNameFor(const std::string& dir, const std::string& entry,
                          const std::string& extension) {
    std::string base = platform::fileName(entry);
    const std::string::size_type dot = base.rfind('.');
    if (dot != std::string::npos) {
        base.erase(dot);
    }
    std::string directory = dir;
    if (!directory.empty() && directory.back() == '/') {
        directory.pop_back();
    }
    return directory + "/" + base + extension;
}

std::string UniqueTargetName(const std::string& target, const std::string& extension) {
    const std::string directory = platform::withTrailingSlash(platform::parentDir(target));
    std::string base = platform::fileName(target);
    const std::string::size_type dot = base.rfind('.');
    if (dot != std::string::npos) {
        base.erase(dot);
    }
    for (unsigned long n = 0;; ++n) {
        std::string candidate = directory + base + std::to_string(n) + extension;
        if (!PathExists(candidate)) {
            return candidate;
        }
    }
}

bool PathExists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

bool IsDecodeEntry(const std::string& entry) {
    return platform::equalsIgnoreCase(platform::extension(platform::fileName(entry)), ".mp3");
}

} // namespace app
