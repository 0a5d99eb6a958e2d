#include "platform/ReplacementFile.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "platform/FileIO.h"

namespace platform {
namespace {

std::string errnoText(const char* what, int error) {
    return std::string(what) + ": " + std::strerror(error);
}

} // namespace

ReplacementFile::ReplacementFile(const std::string& dir, const std::string& prefix)
    : dir_(dir), prefix_(prefix) {
    removeTemporariesOfDeadWriters(dir_, prefix_);
    fd_ = ::open(dir_.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    for (int attempt = 0; fd_ < 0 && attempt < 100; ++attempt) {
        named_ = uniqueName();
        fd_ = ::open(named_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd_ < 0) {
            const int error = errno;
            named_.clear();
            if (error != EEXIST) {
                errno = error;
                break;
            }
        }
    }
}

ReplacementFile::~ReplacementFile() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
    if (!named_.empty()) {
        ::unlink(named_.c_str());
    }
}

std::string ReplacementFile::path() const {
    return named_.empty() ? "/proc/self/fd/" + std::to_string(fd_) : named_;
}

bool ReplacementFile::publish(const std::string& target, std::string& why) {
    if (::fsync(fd_) != 0) {
        why = errnoText("cannot flush the new file", errno);
        return false;
    }
    if (named_.empty()) {
        // linkat never replaces a file: link under a unique name, then rename.
        std::string linked = uniqueName();
        for (int attempt = 0; attempt < 100; ++attempt) {
            if (::linkat(AT_FDCWD, path().c_str(), AT_FDCWD, linked.c_str(), AT_SYMLINK_FOLLOW) ==
                0) {
                named_ = linked;
                break;
            }
            if (errno != EEXIST) {
                why = errnoText("cannot name the new file", errno);
                return false;
            }
            linked = uniqueName();
        }
    }
    if (::rename(named_.c_str(), target.c_str()) != 0) {
        why = errnoText("cannot replace the file", errno);
        return false;
    }
    named_.clear();
    return true;
}

// Unique among running processes by the process id, within this one by the count; a
// name left by a dead process of the same id is skipped (EEXIST).
std::string ReplacementFile::uniqueName() const {
    static std::atomic<unsigned> counter{0};
    return dir_ + "/" + prefix_ + std::to_string(::getpid()) + "-" +
           std::to_string(counter.fetch_add(1));
}

} // namespace platform
