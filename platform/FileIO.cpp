#include "platform/FileIO.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "platform/Paths.h"

namespace platform {

namespace {

FileIdentity identityFromStat(const struct stat& st) {
    FileIdentity id;
    id.device = static_cast<std::uint64_t>(st.st_dev);
    id.inode = static_cast<std::uint64_t>(st.st_ino);
    id.size = static_cast<std::uint64_t>(st.st_size);
    id.modifiedNs = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    return id;
}

// ".<name>-": the temporaries of `path` are this, the writer's pid, '-' and six
// random characters, so a sweep can tell those of dead writers.
std::string temporaryPrefix(const std::string& path) {
    return "." + fileName(path) + "-";
}

} // namespace

std::optional<FileIdentity> identityOf(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        return std::nullopt;
    }
    return identityFromStat(st);
}

std::optional<FileIdentity> identityOf(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        return std::nullopt;
    }
    return identityFromStat(st);
}

std::optional<std::string> readWholeFile(const std::string& path, size_t limit,
                                         FileIdentity* identity) {
    // Opened without blocking, so a FIFO (or a device) at the path cannot stall
    // the open; only a regular file is read.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) {
        return std::nullopt;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        errno = EINVAL;
        return std::nullopt;
    }
    if (identity) {
        *identity = identityFromStat(st);
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    std::string bytes;
    char buffer[65536];
    bool ok = true;
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            ok = false;
            break;
        }
        if (n == 0) {
            break;
        }
        bytes.append(buffer, static_cast<size_t>(n));
        if (bytes.size() > limit) {
            ok = false;
            break;
        }
    }
    ::close(fd);
    if (!ok) {
        return std::nullopt;
    }
    return bytes;
}

bool writeAll(int fd, const void* data, size_t size) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t n = ::write(fd, p, size);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool pwriteAll(int fd, const void* data, size_t size, off_t offset) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t n = ::pwrite(fd, p, size, offset);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            if (n == 0) {
                errno = ENOSPC;
            }
            return false;
        }
        p += n;
        offset += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

int writeFileAtomically(const std::string& path, const std::string& bytes, mode_t mode) {
    std::string temp =
        joinPath(parentDir(path), temporaryPrefix(path) + std::to_string(::getpid()) + "-XXXXXX");
    int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) {
        return errno;
    }
    int error = ::fchmod(fd, mode) == 0 ? 0 : errno;
    if (error == 0 && !writeAll(fd, bytes.data(), bytes.size())) {
        error = errno != 0 ? errno : EIO;
    }
    if (error == 0 && ::fsync(fd) != 0) {
        error = errno;
    }
    if (::close(fd) != 0 && error == 0) {
        error = errno;
    }
    if (error == 0 && ::rename(temp.c_str(), path.c_str()) != 0) {
        error = errno;
    }
    if (error != 0) {
        ::unlink(temp.c_str());
    }
    return error;
}

void removeStaleAtomicTemporaries(const std::string& path) {
    const std::string dir = parentDir(path);
    removeTemporariesOfDeadWriters(dir.empty() ? "." : dir, temporaryPrefix(path));
}

void removeTemporariesOfDeadWriters(const std::string& dir, const std::string& prefix) {
    DIR* d = ::opendir(dir.c_str());
    if (!d) {
        return;
    }
    std::vector<std::string> stale;
    while (dirent* e = ::readdir(d)) {
        if (std::strncmp(e->d_name, prefix.c_str(), prefix.size()) != 0) {
            continue;
        }
        // The writer's process id comes first, then a dash.
        const char* digits = e->d_name + prefix.size();
        char* end = nullptr;
        errno = 0;
        long pid = std::strtol(digits, &end, 10);
        if (errno != 0 || end == digits || *end != '-' || pid <= 0) {
            continue;
        }
        if (::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) {
            stale.push_back(joinPath(dir, e->d_name));
        }
    }
    ::closedir(d);
    for (const std::string& path : stale) {
        ::unlink(path.c_str());
    }
}

} // namespace platform
