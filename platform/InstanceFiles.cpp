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
// Version 2 records carry the targets of started jobs and the identities of the
// hand-off files taken; version 1 (an older converter's) is still read.
const char kRecordMagic[] = "TWQ2";
const char kRecordMagicV1[] = "TWQ1";
const char kRecordDoneMagic[] = "TWD2";
const char kRecordDoneMagicV1[] = "TWD1";
// In "queue", a name's length word carries a mark for a name interrupted once
// already and one for a target that follows the name; a word of all ones is
// followed by the identity of a hand-off file. In "queue.done", the top bit of an
// index marks a started job, whose target follows.
constexpr uint32_t kRecordFlag = 0x80000000u;
constexpr uint32_t kHasTargetFlag = 0x40000000u;
constexpr uint32_t kLengthMask = 0x3fffffffu;
constexpr uint32_t kAbsorbedWord = 0xffffffffu;
constexpr size_t kIdentityBytes = 32;

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

void putLe64(std::string& out, uint64_t v) {
    putLe32(out, static_cast<uint32_t>(v));
    putLe32(out, static_cast<uint32_t>(v >> 32));
}

uint64_t getLe64(const std::string& in, size_t at) {
    return getLe32(in, at) | (static_cast<uint64_t>(getLe32(in, at + 4)) << 32);
}

// A length word and the bytes it counts at `at`; false when they run past the end.
bool readCounted(const std::string& bytes, size_t& at, std::string& out) {
    if (bytes.size() - at < 4) {
        return false;
    }
    const uint32_t length = getLe32(bytes, at);
    if (length > bytes.size() - at - 4) {
        return false;
    }
    out = bytes.substr(at + 4, length);
    at += 4 + static_cast<size_t>(length);
    return true;
}

void putCounted(std::string& out, const std::string& text) {
    putLe32(out, static_cast<uint32_t>(text.size()));
    out += text;
}

void putName(std::string& out, const RecordedName& entry) {
    uint32_t word = static_cast<uint32_t>(entry.name.size()) & kLengthMask;
    word |= entry.retried ? kRecordFlag : 0;
    word |= entry.target.empty() ? 0 : kHasTargetFlag;
    putLe32(out, word);
    out += entry.name;
    if (!entry.target.empty()) {
        putCounted(out, entry.target);
    }
}

void putIdentity(std::string& out, const FileIdentity& id) {
    putLe32(out, kAbsorbedWord);
    putLe64(out, id.device);
    putLe64(out, id.inode);
    putLe64(out, id.size);
    putLe64(out, static_cast<uint64_t>(id.modifiedNs));
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

bool handOffWorkWaiting(const std::string& dir, const std::vector<FileIdentity>& taken) {
    for (const std::string& path : listHandOffFiles(dir)) {
        std::optional<FileIdentity> id = identityOf(path);
        if (id && std::find(taken.begin(), taken.end(), *id) == taken.end()) {
            return true;
        }
    }
    return !QueueRecord::readLeft(dir).unfinished.empty();
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

std::string encodeQueueRecord(uint32_t generation, const std::vector<RecordedName>& entries,
                              const std::vector<FileIdentity>& absorbed) {
    std::string bytes(kRecordMagic, 4);
    putLe32(bytes, generation);
    for (const RecordedName& entry : entries) {
        putName(bytes, entry);
    }
    for (const FileIdentity& id : absorbed) {
        putIdentity(bytes, id);
    }
    return bytes;
}

bool decodeQueueRecord(const std::string& bytes, uint32_t& generation,
                       std::vector<RecordedName>& entries, std::vector<FileIdentity>* absorbed) {
    if (bytes.size() < 8 || (bytes.compare(0, 4, kRecordMagic, 4) != 0 &&
                             bytes.compare(0, 4, kRecordMagicV1, 4) != 0)) {
        return false;
    }
    generation = getLe32(bytes, 4);
    size_t at = 8;
    while (bytes.size() - at >= 4) {
        const uint32_t word = getLe32(bytes, at);
        if (word == kAbsorbedWord) {
            if (bytes.size() - at - 4 < kIdentityBytes) {
                break; // a torn last append
            }
            FileIdentity id;
            id.device = getLe64(bytes, at + 4);
            id.inode = getLe64(bytes, at + 12);
            id.size = getLe64(bytes, at + 20);
            id.modifiedNs = static_cast<int64_t>(getLe64(bytes, at + 28));
            if (absorbed) {
                absorbed->push_back(id);
            }
            at += 4 + kIdentityBytes;
            continue;
        }
        const uint32_t length = word & kLengthMask;
        if (length > bytes.size() - at - 4) {
            break;
        }
        RecordedName entry;
        entry.name = bytes.substr(at + 4, length);
        entry.retried = (word & kRecordFlag) != 0;
        size_t next = at + 4 + static_cast<size_t>(length);
        if ((word & kHasTargetFlag) != 0 && !readCounted(bytes, next, entry.target)) {
            break;
        }
        entries.push_back(std::move(entry));
        at = next;
    }
    return true;
}

std::string encodeQueueMark(const RecordMark& mark) {
    std::string bytes;
    putLe32(bytes, (mark.index & ~kRecordFlag) | (mark.started ? kRecordFlag : 0));
    if (mark.started) {
        putCounted(bytes, mark.target);
    }
    return bytes;
}

bool decodeQueueDone(const std::string& bytes, uint32_t& generation,
                     std::vector<RecordMark>& marks) {
    const bool v1 = bytes.size() >= 4 && bytes.compare(0, 4, kRecordDoneMagicV1, 4) == 0;
    if (bytes.size() < 8 || (!v1 && bytes.compare(0, 4, kRecordDoneMagic, 4) != 0)) {
        return false;
    }
    generation = getLe32(bytes, 4);
    size_t at = 8;
    while (bytes.size() - at >= 4) {
        const uint32_t word = getLe32(bytes, at);
        RecordMark mark;
        mark.index = word & ~kRecordFlag;
        mark.started = (word & kRecordFlag) != 0;
        size_t next = at + 4;
        if (mark.started && !v1 && !readCounted(bytes, next, mark.target)) {
            break;
        }
        marks.push_back(std::move(mark));
        at = next;
    }
    return true;
}

QueueRecord::~QueueRecord() {
    close();
}

RecordLeft QueueRecord::readLeft(const std::string& dir) {
    RecordLeft left;
    std::vector<RecordedName> entries;
    uint32_t generation = 0;
    std::optional<std::string> names = readWholeFile(dir + kRecordName);
    if (!names || !decodeQueueRecord(*names, generation, entries, &left.absorbed)) {
        return {};
    }
    // Marks count only for the record they were written for.
    std::vector<RecordMark> marks;
    uint32_t doneGeneration = 0;
    std::optional<std::string> doneBytes = readWholeFile(dir + kRecordDoneName);
    if (!doneBytes || !decodeQueueDone(*doneBytes, doneGeneration, marks) ||
        doneGeneration != generation) {
        marks.clear();
    }
    std::vector<bool> started(entries.size(), false);
    std::vector<bool> finished(entries.size(), false);
    for (RecordMark& mark : marks) {
        if (mark.index >= entries.size()) {
            continue;
        }
        if (!mark.started) {
            finished[mark.index] = true;
            continue;
        }
        started[mark.index] = true;
        if (!mark.target.empty()) {
            entries[mark.index].target = std::move(mark.target);
        }
    }
    for (size_t i = 0; i < entries.size(); ++i) {
        if (finished[i]) {
            continue;
        }
        if (started[i] && entries[i].retried) {
            left.dropped.push_back(std::move(entries[i]));
            continue;
        }
        entries[i].retried = entries[i].retried || started[i];
        left.unfinished.push_back(std::move(entries[i]));
    }
    return left;
}

bool QueueRecord::start(const std::string& dir, const std::vector<RecordedName>& entries,
                        std::string* error) {
    close();
    std::random_device random;
    uint32_t generation = static_cast<uint32_t>(random()) ^ static_cast<uint32_t>(getpid());
    const std::string names = dir + kRecordName;
    const std::string done = dir + kRecordDoneName;
    std::string doneBytes(kRecordDoneMagic, 4);
    putLe32(doneBytes, generation);
    // The names first: finish marks of an older generation never apply to them.
    int code = writeFileAtomically(names, encodeQueueRecord(generation, entries), 0600);
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
        // An older record must not outlive a new one that could not be written:
        // its names are in this converter's queue now.
        close();
        remove(dir);
        return false;
    }
    dir_ = dir;
    next_ = static_cast<uint32_t>(entries.size());
    return true;
}

bool QueueRecord::append(const std::vector<std::string>& entries, const FileIdentity* from) {
    if (namesFd_ < 0 || entries.empty()) {
        return true;
    }
    std::string bytes;
    for (const std::string& e : entries) {
        putName(bytes, RecordedName{e, false, {}});
    }
    if (from) {
        putIdentity(bytes, *from);
    }
    next_ += static_cast<uint32_t>(entries.size());
    return writeAll(namesFd_, bytes.data(), bytes.size());
}

bool QueueRecord::started(uint32_t index, const std::string& target) {
    if (doneFd_ < 0) {
        return true;
    }
    const std::string bytes = encodeQueueMark({index, true, target});
    return writeAll(doneFd_, bytes.data(), bytes.size());
}

bool QueueRecord::finish(const std::vector<uint32_t>& indices) {
    if (doneFd_ < 0 || indices.empty()) {
        return true;
    }
    std::string bytes;
    for (uint32_t index : indices) {
        bytes += encodeQueueMark({index, false, {}});
    }
    return writeAll(doneFd_, bytes.data(), bytes.size());
}

void QueueRecord::remove(const std::string& dir) {
    const std::string where = namesFd_ >= 0 ? dir_ : dir;
    if (!where.empty()) {
        ::unlink((where + kRecordName).c_str());
        ::unlink((where + kRecordDoneName).c_str());
    }
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
