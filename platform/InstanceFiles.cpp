#include "platform/InstanceFiles.h"

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
const char kRecordName[] = "queue";
const char kRecordDoneName[] = "queue.done";
const char kRecordMagic[] = "TWQ1";
const char kRecordDoneMagic[] = "TWD1";
// In "queue", the top bit of a length marks a name interrupted once already; in
// "queue.done", the top bit of an index marks a started job.
constexpr uint32_t kRecordFlag = 0x80000000u;

void putLe32(std::string& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
    }
}

uint32_t getLe32(const std::string& in, size_t at) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) {
        v = (v << 8) | static_cast<unsigned char>(in[at + static_cast<size_t>(i)]);
    }
    return v;
}

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
                             std::string* error) {
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
    std::string published;
    for (unsigned long n = 0; n < 1000000; ++n) {
        std::string name = dir + kHandOffPrefix + std::to_string(n);
        if (::link(temp.c_str(), name.c_str()) == 0) {
            published = name;
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
    return published;
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

bool readHandOffFile(const std::string& path, std::vector<std::string>& entries) {
    // Only what the file holds is read: a damaged count or length never makes
    // the reader allocate beyond the file's size.
    std::optional<std::string> bytes = readWholeFile(path);
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
    DIR* d = ::opendir(dir.c_str());
    if (!d) {
        return;
    }
    std::vector<std::string> stale;
    while (dirent* e = ::readdir(d)) {
        if (std::strncmp(e->d_name, kTemporaryPrefix, sizeof kTemporaryPrefix - 1) != 0) {
            continue;
        }
        // ".addedmp3-<pid>-<random>": the writer's process id comes first.
        const char* digits = e->d_name + sizeof kTemporaryPrefix - 1;
        char* end = nullptr;
        errno = 0;
        long pid = std::strtol(digits, &end, 10);
        if (errno != 0 || end == digits || *end != '-' || pid <= 0) {
            continue;
        }
        if (::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) {
            stale.push_back(dir + e->d_name);
        }
    }
    ::closedir(d);
    for (const std::string& path : stale) {
        ::unlink(path.c_str());
    }
}

bool handOffWorkWaiting(const std::string& dir) {
    if (!listHandOffFiles(dir).empty()) {
        return true;
    }
    struct stat st {};
    return ::lstat((dir + kRecordName).c_str(), &st) == 0;
}

std::string encodeQueueRecord(uint32_t generation, const std::vector<std::string>& entries,
                              const std::vector<bool>& retried) {
    std::string bytes(kRecordMagic, 4);
    putLe32(bytes, generation);
    for (size_t i = 0; i < entries.size(); ++i) {
        const bool flag = i < retried.size() && retried[i];
        putLe32(bytes, static_cast<uint32_t>(entries[i].size()) | (flag ? kRecordFlag : 0));
        bytes += entries[i];
    }
    return bytes;
}

bool decodeQueueRecord(const std::string& bytes, uint32_t& generation,
                       std::vector<std::string>& entries, std::vector<bool>* retried) {
    if (bytes.size() < 8 || bytes.compare(0, 4, kRecordMagic, 4) != 0) {
        return false;
    }
    generation = getLe32(bytes, 4);
    size_t at = 8;
    while (bytes.size() - at >= 4) {
        const uint32_t word = getLe32(bytes, at);
        const uint32_t length = word & ~kRecordFlag;
        if (length > bytes.size() - at - 4) {
            break; // a torn last append
        }
        entries.push_back(bytes.substr(at + 4, length));
        if (retried) {
            retried->push_back((word & kRecordFlag) != 0);
        }
        at += 4 + static_cast<size_t>(length);
    }
    return true;
}

bool decodeQueueDone(const std::string& bytes, uint32_t& generation,
                     std::vector<uint32_t>& indices) {
    if (bytes.size() < 8 || bytes.compare(0, 4, kRecordDoneMagic, 4) != 0) {
        return false;
    }
    generation = getLe32(bytes, 4);
    for (size_t at = 8; bytes.size() - at >= 4; at += 4) {
        indices.push_back(getLe32(bytes, at));
    }
    return true;
}

QueueRecord::~QueueRecord() {
    close();
}

std::vector<std::string> QueueRecord::readUnfinished(const std::string& dir,
                                                     std::vector<bool>* retried,
                                                     std::vector<std::string>* dropped) {
    std::vector<std::string> entries;
    std::vector<bool> interruptedBefore;
    uint32_t generation = 0;
    std::optional<std::string> names = readWholeFile(dir + kRecordName);
    if (!names || !decodeQueueRecord(*names, generation, entries, &interruptedBefore)) {
        return {};
    }
    // Marks count only for the record they were written for.
    std::vector<uint32_t> marks;
    uint32_t doneGeneration = 0;
    std::optional<std::string> doneBytes = readWholeFile(dir + kRecordDoneName);
    if (!doneBytes || !decodeQueueDone(*doneBytes, doneGeneration, marks) ||
        doneGeneration != generation) {
        marks.clear();
    }
    std::vector<bool> started(entries.size(), false);
    std::vector<bool> finished(entries.size(), false);
    for (uint32_t mark : marks) {
        const uint32_t index = mark & ~kRecordFlag;
        if (index < entries.size()) {
            ((mark & kRecordFlag) ? started : finished)[index] = true;
        }
    }
    std::vector<std::string> unfinished;
    for (size_t i = 0; i < entries.size(); ++i) {
        if (finished[i]) {
            continue;
        }
        if (started[i] && interruptedBefore[i]) {
            if (dropped) {
                dropped->push_back(std::move(entries[i]));
            }
            continue;
        }
        if (retried) {
            retried->push_back(started[i] || interruptedBefore[i]);
        }
        unfinished.push_back(std::move(entries[i]));
    }
    return unfinished;
}

bool QueueRecord::start(const std::string& dir, const std::vector<std::string>& entries,
                        std::string* error, const std::vector<bool>& retried) {
    close();
    std::random_device random;
    uint32_t generation = static_cast<uint32_t>(random()) ^ static_cast<uint32_t>(getpid());
    const std::string names = dir + kRecordName;
    const std::string done = dir + kRecordDoneName;
    std::string doneBytes(kRecordDoneMagic, 4);
    putLe32(doneBytes, generation);
    // The names first: finish marks of an older generation never apply to them.
    int code = writeFileAtomically(names, encodeQueueRecord(generation, entries, retried), 0600);
    if (code == 0) {
        code = writeFileAtomically(done, doneBytes, 0600);
    }
    if (code == 0) {
        namesFd_ = ::open(names.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC | O_NOFOLLOW);
        doneFd_ = ::open(done.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC | O_NOFOLLOW);
        if (namesFd_ < 0 || doneFd_ < 0) {
            code = errno;
        }
    }
    if (code != 0) {
        if (error) {
            *error = "cannot write " + names + ": " + std::strerror(code);
        }
        close();
        return false;
    }
    dir_ = dir;
    next_ = static_cast<uint32_t>(entries.size());
    return true;
}

bool QueueRecord::append(const std::vector<std::string>& entries) {
    if (namesFd_ < 0 || entries.empty()) {
        return true;
    }
    std::string bytes;
    for (const std::string& e : entries) {
        putLe32(bytes, static_cast<uint32_t>(e.size()));
        bytes += e;
    }
    next_ += static_cast<uint32_t>(entries.size());
    return writeAll(namesFd_, bytes.data(), bytes.size());
}

void QueueRecord::started(uint32_t index) {
    if (doneFd_ < 0) {
        return;
    }
    std::string bytes;
    putLe32(bytes, index | kRecordFlag);
    (void)writeAll(doneFd_, bytes.data(), bytes.size());
}

void QueueRecord::finish(const std::vector<uint32_t>& indices) {
    if (doneFd_ < 0 || indices.empty()) {
        return;
    }
    std::string bytes;
    for (uint32_t index : indices) {
        putLe32(bytes, index);
    }
    (void)writeAll(doneFd_, bytes.data(), bytes.size());
}

void QueueRecord::remove() {
    if (namesFd_ < 0) {
        return;
    }
    ::unlink((dir_ + kRecordName).c_str());
    ::unlink((dir_ + kRecordDoneName).c_str());
    close();
}

void QueueRecord::close() {
    if (namesFd_ >= 0) {
        ::close(namesFd_);
    }
    if (doneFd_ >= 0) {
        ::close(doneFd_);
    }
    namesFd_ = -1;
    doneFd_ = -1;
    next_ = 0;
}

} // namespace platform
