#include "platform/InstanceFiles.h"

#include "platform/ByteOrder.h"
#include "platform/FileIO.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <optional>
#include <random>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {
namespace {

const char kLockName[] = "active.flg";
const char kHandOffPrefix[] = "addedmp3.";
const char kTemporaryPrefix[] = ".addedmp3-";

// A hand-off number: decimal digits without leading zeros.
bool parseNumber(const char* text, unsigned long& number) {
    if (!*text || (text[0] == '0' && text[1])) {
        return false;
    }
    for (const char* p = text; *p; ++p) {
        if (*p < '0' || *p > '9') {
            return false;
        }
    }
    errno = 0;
    number = std::strtoul(text, nullptr, 10);
    return errno == 0;
}

} // namespace

std::string runtimeDir(std::string* error) {
    std::string dir;
    if (const char* env = std::getenv("TUNEWRIGHT_RUNTIME_DIR"); env && *env) {
        dir = env;
    } else if (const char* xdg = std::getenv("XDG_RUNTIME_DIR"); xdg && xdg[0] == '/') {
        // A relative value is invalid and ignored, as the base-directory rules say.
        dir = std::string(xdg) + "/mp3tunewright";
    } else {
        dir = "/tmp/mp3tunewright-" + std::to_string(getuid());
    }
    while (dir.size() > 1 && dir.back() == '/') {
        dir.pop_back();
    }
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        if (error) {
            *error = "cannot create the runtime folder " + dir + ": " + std::strerror(errno);
        }
        return "";
    }
    struct stat st {};
    if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        if (error) {
            *error = "the runtime folder " + dir + " is not a directory";
        }
        return "";
    }
    if (st.st_uid != geteuid()) {
        if (error) {
            *error = "the runtime folder " + dir + " belongs to another user";
        }
        return "";
    }
    if ((st.st_mode & 077) != 0) {
        if (error) {
            *error = "the runtime folder " + dir + " is open to other users";
        }
        return "";
    }
    return dir + "/";
}

InstanceLock::~InstanceLock() {
    release();
}

LockResult InstanceLock::tryAcquire(const std::string& dir, std::string* error) {
    if (fd_ >= 0) {
        return LockResult::Acquired;
    }
    dir_ = dir;
    std::string path = dir + kLockName;
    auto fail = [&](const std::string& what, int code) {
        if (error) {
            *error = what + " " + path + ": " + std::strerror(code);
        }
        return LockResult::Failed;
    };
    // The file can be unlinked by a holder between our open and our flock; the
    // inode check makes sure the lock we hold is on the file at the path.
    for (int attempt = 0; attempt < 100; ++attempt) {
        // A link planted at the path is refused rather than followed.
        int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd < 0) {
            return fail("cannot open the lock file", errno);
        }
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            int code = errno;
            ::close(fd);
            if (code == EWOULDBLOCK) {
                return LockResult::Held;
            }
            return fail("cannot lock", code);
        }
        struct stat opened {
        }, atPath{};
        if (::fstat(fd, &opened) == 0 && ::lstat(path.c_str(), &atPath) == 0 &&
            opened.st_dev == atPath.st_dev && opened.st_ino == atPath.st_ino) {
            fd_ = fd;
            path_ = path;
            return LockResult::Acquired;
        }
        ::close(fd);
    }
    return fail("the lock file keeps being replaced:", EAGAIN);
}

bool InstanceLock::acquire(const std::string& dir) {
    return tryAcquire(dir, nullptr) == LockResult::Acquired;
}

LockResult InstanceLock::reacquire(std::string* error) {
    return tryAcquire(dir_, error);
}

int InstanceLock::handOver() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
}

void InstanceLock::adopt(int fd, const std::string& dir) {
    release();
    fd_ = fd;
    dir_ = dir;
    path_ = dir + kLockName;
}

void InstanceLock::release() {
    if (fd_ >= 0) {
        ::unlink(path_.c_str());
        ::close(fd_);
        fd_ = -1;
    }
}

std::string encodeHandOff(const std::vector<std::string>& entries) {
    std::string bytes;
    putLe32(bytes, static_cast<uint32_t>(entries.size() + 1));
    for (const std::string& e : entries) {
        putLe32(bytes, static_cast<uint32_t>(e.size()));
        bytes += e;
    }
    return bytes;
}

std::vector<std::string> decodeHandOff(const std::string& bytes) {
    std::vector<std::string> entries;
    if (bytes.size() < 4) {
        return entries;
    }
    int32_t count = static_cast<int32_t>(getLe32(bytes, 0));
    size_t at = 4;
    for (int32_t i = 1; i < count; ++i) {
        if (bytes.size() - at < 4) {
            break;
        }
        int32_t length = static_cast<int32_t>(getLe32(bytes, at));
        at += 4;
        if (length < 0 || static_cast<size_t>(length) > bytes.size() - at) {
            break;
        }
        std::string entry = bytes.substr(at, static_cast<size_t>(length));
        at += static_cast<size_t>(length);
        entry.resize(std::min(entry.size(), entry.find('\0')));
        entries.push_back(std::move(entry));
    }
    return entries;
}

std::string writeHandOffFile(const std::string& dir, const std::vector<std::string>& entries,
                             std::string* error, FileIdentity* published) {
    std::random_device random;
    std::string temp =
        dir + ".addedmp3-" + std::to_string(getpid()) + "-" + std::to_string(random() & 0xffffff);
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        if (error) {
            *error = "cannot create " + temp + ": " + std::strerror(errno);
        }
        return "";
    }
    std::string bytes = encodeHandOff(entries);
    bool written = writeAll(fd, bytes.data(), bytes.size()) && ::fsync(fd) == 0;
    int saved = errno;
    if (written && published) {
        // Taken while the file is still only this writer's: the published link
        // names the same inode with the same size and time.
        std::optional<FileIdentity> id = identityOf(fd);
        written = id.has_value();
        if (id) {
            *published = *id;
        }
    }
    if (::close(fd) != 0 && written) {
        written = false;
        saved = errno;
    }
    if (!written) {
        ::unlink(temp.c_str());
        if (error) {
            *error = "cannot write " + temp + ": " + std::strerror(saved);
        }
        return "";
    }
    // The lowest free number wins; link() fails with EEXIST when another writer
    // took the number first, and then the next one is tried.
    std::string publishedName;
    for (unsigned long n = 0; n < 1000000; ++n) {
        std::string name = dir + kHandOffPrefix + std::to_string(n);
        if (::link(temp.c_str(), name.c_str()) == 0) {
            publishedName = name;
            break;
        }
        if (errno != EEXIST) {
            if (error) {
                *error = "cannot publish " + name + ": " + std::strerror(errno);
            }
            break;
        }
    }
    ::unlink(temp.c_str());
    return publishedName;
}

std::vector<std::string> listHandOffFiles(const std::string& dir) {
    std::vector<std::pair<unsigned long, std::string>> found;
    DIR* d = ::opendir(dir.c_str());
    if (!d) {
        return {};
    }
    while (dirent* e = ::readdir(d)) {
        if (std::strncmp(e->d_name, kHandOffPrefix, sizeof kHandOffPrefix - 1) != 0) {
            continue;
        }
        unsigned long n = 0;
        if (!parseNumber(e->d_name + sizeof kHandOffPrefix - 1, n)) {
            continue;
        }
        std::string path = dir + e->d_name;
        struct stat st {};
        if (::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
            found.emplace_back(n, path);
        }
    }
    ::closedir(d);
    std::sort(found.begin(), found.end());
    std::vector<std::string> paths;
    for (auto& f : found) {
        paths.push_back(std::move(f.second));
    }
    return paths;
}

bool readHandOffFile(const std::string& path, std::vector<std::string>& entries,
                     FileIdentity* identity) {
    // Only what the file holds is read: a damaged count or length never makes
    // the reader allocate beyond the file's size.
    std::optional<std::string> bytes = readWholeFile(path, SIZE_MAX, identity);
    if (!bytes) {
        return false;
    }
    for (std::string& e : decodeHandOff(*bytes)) {
        entries.push_back(std::move(e));
    }
    return true;
}

bool takeHandOffFile(const std::string& path, std::vector<std::string>& entries) {
    if (!readHandOffFile(path, entries)) {
        return false;
    }
    ::unlink(path.c_str());
    return true;
}

void removeStaleHandOffTemporaries(const std::string& dir) {
    removeTemporariesOfDeadWriters(dir, kTemporaryPrefix);
}

bool handOffFilesWaiting(const std::string& dir, const std::vector<FileIdentity>& setAside) {
    for (const std::string& path : listHandOffFiles(dir)) {
        std::optional<FileIdentity> id = identityOf(path);
        if (id && std::find(setAside.begin(), setAside.end(), *id) == setAside.end()) {
            return true;
        }
    }
    return false;
}

bool withdrawHandOffFile(const std::string& path, const FileIdentity& published) {
    std::optional<FileIdentity> id = identityOf(path);
    if (!id) {
        return false;
    }
    if (*id != published) {
        errno = ENOENT; // ours is gone: a reader took it
        return false;
    }
    return ::unlink(path.c_str()) == 0;
}

} // namespace platform
