#include "app/batch/JobOutput.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace app {
namespace {

// Hidden outputs are named with the writer's process id first, so that a later
// writer can tell those of dead processes.
const char kHiddenPrefix[] = ".tw-out-";

} // namespace

std::unique_ptr<JobOutput> JobOutput::Create(const std::string& folder) {
    std::unique_ptr<JobOutput> output(new JobOutput);
    output->folder_ = folder;
    while (output->folder_.size() > 1 && output->folder_.back() == '/') {
        output->folder_.pop_back();
    }
    // The mode an ordinary new file gets (the umask applies).
    output->fd_ = ::open(output->folder_.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
    if (output->fd_ < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
        platform::removeTemporariesOfDeadWriters(output->folder_ + "/", kHiddenPrefix);
        for (int attempt = 0; output->fd_ < 0 && attempt < 100; ++attempt) {
            output->named_ = output->hiddenName();
            output->fd_ = ::open(output->named_.c_str(),
                                 O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
            if (output->fd_ < 0 && errno != EEXIST) {
                break;
            }
        }
        if (output->fd_ < 0) {
            output->named_.clear();
        }
    }
    if (output->fd_ < 0) {
        return nullptr;
    }
    return output;
}

JobOutput::~JobOutput() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
    if (!named_.empty() && !published_) {
        ::unlink(named_.c_str());
    }
}

std::string JobOutput::path() const {
    return named_.empty() ? "/proc/self/fd/" + std::to_string(fd_) : named_;
}

off_t JobOutput::size() const {
    struct stat st {};
    return ::fstat(fd_, &st) == 0 ? st.st_size : 0;
}

std::string JobOutput::hiddenName() const {
    static std::atomic<unsigned> counter{0};
    return folder_ + "/" + kHiddenPrefix + std::to_string(::getpid()) + "-" +
           std::to_string(counter.fetch_add(1));
}

platform::FileIdentity JobOutput::identity() const {
    return platform::identityOf(fd_).value_or(platform::FileIdentity{});
}

bool JobOutput::publish(const std::string& target, Place how) {
    if (published_) {
        errno = EALREADY;
        return false;
    }
    // A file that replaces another is on the disk before its name is.
    if (::fsync(fd_) != 0 && errno != EINVAL) {
        return false;
    }
    bool done = false;
    if (named_.empty()) {
        const std::string self = path();
        if (how == Place::IfAbsent) {
            // linkat never replaces a file.
            done = ::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, target.c_str(), AT_SYMLINK_FOLLOW) == 0;
        } else {
            // Named under a hidden name first, then renamed over the target in one step.
            std::string hidden;
            for (int attempt = 0; attempt < 100; ++attempt) {
                hidden = hiddenName();
                if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, hidden.c_str(), AT_SYMLINK_FOLLOW) ==
                    0) {
                    break;
                }
                if (errno != EEXIST) {
                    return false;
                }
                hidden.clear();
            }
            if (hidden.empty()) {
                errno = EEXIST;
                return false;
            }
            done = ::rename(hidden.c_str(), target.c_str()) == 0;
            if (!done) {
                const int saved = errno;
                ::unlink(hidden.c_str());
                errno = saved;
            }
        }
    } else if (how == Place::IfAbsent) {
        done = ::renameat2(AT_FDCWD, named_.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0;
        if (!done && (errno == EINVAL || errno == ENOSYS)) {
            // A file system without the flag: the name was found free just before.
            struct stat st {};
            if (::lstat(target.c_str(), &st) == 0) {
                errno = EEXIST;
            } else {
                done = ::rename(named_.c_str(), target.c_str()) == 0;
            }
        }
    } else {
        done = ::rename(named_.c_str(), target.c_str()) == 0;
    }
    if (!done) {
        return false;
    }
    published_ = true;
    return true;
}

} // namespace app
