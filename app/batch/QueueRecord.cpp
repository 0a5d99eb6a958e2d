#include "app/batch/QueueRecord.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <random>
#include <unistd.h>

#include "platform/ByteOrder.h"

namespace app {
namespace {

const char kRecordName[] = "queue";
const char kRecordDoneName[] = "queue.done";
const char kMagic[] = "TWQ3";
const char kDoneMagic[] = "TWD3";
// Records of earlier versions, still read: version 2 carried the target a job had
// begun (no longer needed: outputs take their place only when they are shown).
const char kMagicV2[] = "TWQ2";
const char kMagicV1[] = "TWQ1";
const char kDoneMagicV2[] = "TWD2";
const char kDoneMagicV1[] = "TWD1";

// In "queue", a name's length word carries marks for what follows the name; a word
// of all ones is followed by the identity of a hand-off file.
constexpr uint32_t kRetriedFlag = 0x80000000u;
constexpr uint32_t kPartialFlag = 0x40000000u;
constexpr uint32_t kSubfolderFlag = 0x20000000u;
constexpr uint32_t kLengthMask = 0x1fffffffu;
constexpr uint32_t kV2LengthMask = 0x3fffffffu;
constexpr uint32_t kAbsorbedWord = 0xffffffffu;
// In "queue.done", the top two bits of a mark are its kind (never both zero, so the
// zeros of the reserve end the marks) and the next one says a partial follows.
constexpr int kKindShift = 30;
constexpr uint32_t kMarkPartialFlag = 0x20000000u;
constexpr uint32_t kIndexMask = 0x1fffffffu;
constexpr size_t kIdentityBytes = 32;
// Marks are written into space reserved this far ahead.
constexpr off_t kReserve = 16 << 10;

using platform::getLe32;
using platform::getLe64;
using platform::putLe32;
using platform::putLe64;

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

void putIdentity(std::string& out, const platform::FileIdentity& id) {
    putLe64(out, id.device);
    putLe64(out, id.inode);
    putLe64(out, id.size);
    putLe64(out, static_cast<uint64_t>(id.modifiedNs));
}

bool readIdentity(const std::string& bytes, size_t& at, platform::FileIdentity& id) {
    if (bytes.size() - at < kIdentityBytes) {
        return false;
    }
    id.device = getLe64(bytes, at);
    id.inode = getLe64(bytes, at + 8);
    id.size = getLe64(bytes, at + 16);
    id.modifiedNs = static_cast<int64_t>(getLe64(bytes, at + 24));
    at += kIdentityBytes;
    return true;
}

void putName(std::string& out, const RecordedName& entry) {
    uint32_t word = static_cast<uint32_t>(entry.name.size()) & kLengthMask;
    word |= entry.retried ? kRetriedFlag : 0;
    word |= entry.partial.empty() ? 0 : kPartialFlag;
    word |= entry.subfolder.empty() ? 0 : kSubfolderFlag;
    putLe32(out, word);
    out += entry.name;
    if (!entry.subfolder.empty()) {
        putCounted(out, entry.subfolder);
    }
    if (!entry.partial.empty()) {
        putCounted(out, entry.partial);
        putIdentity(out, entry.partialIdentity);
    }
}

} // namespace

std::string encodeQueueRecord(uint32_t generation, const std::vector<RecordedName>& entries,
                              const std::vector<platform::FileIdentity>& absorbed) {
    std::string bytes(kMagic, 4);
    putLe32(bytes, generation);
    for (const RecordedName& entry : entries) {
        putName(bytes, entry);
    }
    for (const platform::FileIdentity& id : absorbed) {
        putLe32(bytes, kAbsorbedWord);
        putIdentity(bytes, id);
    }
    return bytes;
}

bool decodeQueueRecord(const std::string& bytes, uint32_t& generation,
                       std::vector<RecordedName>& entries,
                       std::vector<platform::FileIdentity>* absorbed) {
    if (bytes.size() < 8) {
        return false;
    }
    const std::string magic = bytes.substr(0, 4);
    generation = getLe32(bytes, 4);
    // Version 2 (and 1) had a shorter length field, no subfolders, and after the
    // name the target a begun job wrote, which is no longer needed.
    const bool older = magic == kMagicV2 || magic == kMagicV1;
    if (!older && magic != kMagic) {
        return false;
    }
    const uint32_t lengthMask = older ? kV2LengthMask : kLengthMask;
    size_t at = 8;
    while (bytes.size() - at >= 4) {
        const uint32_t word = getLe32(bytes, at);
        size_t next = at + 4;
        if (word == kAbsorbedWord) {
            platform::FileIdentity id;
            if (!readIdentity(bytes, next, id)) {
                break; // a torn last append
            }
            if (absorbed) {
                absorbed->push_back(id);
            }
            at = next;
            continue;
        }
        const uint32_t length = word & lengthMask;
        if (length > bytes.size() - next) {
            break;
        }
        RecordedName entry;
        entry.name = bytes.substr(next, length);
        entry.retried = (word & kRetriedFlag) != 0;
        next += length;
        if (older) {
            std::string target;
            if ((word & kPartialFlag) != 0 && !readCounted(bytes, next, target)) {
                break;
            }
        } else {
            if ((word & kSubfolderFlag) != 0 && !readCounted(bytes, next, entry.subfolder)) {
                break;
            }
            if ((word & kPartialFlag) != 0 && (!readCounted(bytes, next, entry.partial) ||
                                               !readIdentity(bytes, next, entry.partialIdentity))) {
                break;
            }
            if (entry.partial.empty()) {
                entry.partialIdentity = {}; // the identity of no file says nothing
            }
        }
        entries.push_back(std::move(entry));
        at = next;
    }
    return true;
}

std::string encodeQueueMark(const RecordMark& mark) {
    std::string bytes;
    uint32_t word = (mark.index & kIndexMask) | (static_cast<uint32_t>(mark.kind) << kKindShift);
    const bool partial = mark.kind != RecordMark::Started && !mark.target.empty();
    putLe32(bytes, word | (partial ? kMarkPartialFlag : 0));
    if (partial) {
        putCounted(bytes, mark.target);
        putIdentity(bytes, mark.targetIdentity);
    }
    return bytes;
}

bool decodeQueueDone(const std::string& bytes, uint32_t& generation,
                     std::vector<RecordMark>& marks) {
    if (bytes.size() < 8) {
        return false;
    }
    const std::string magic = bytes.substr(0, 4);
    generation = getLe32(bytes, 4);
    const bool v1 = magic == kDoneMagicV1;
    const bool v2 = magic == kDoneMagicV2;
    if (!v1 && !v2 && magic != kDoneMagic) {
        return false;
    }
    size_t at = 8;
    while (bytes.size() - at >= 4) {
        const uint32_t word = getLe32(bytes, at);
        size_t next = at + 4;
        RecordMark mark;
        if (v1 || v2) {
            // The top bit marked a started job (in version 2 with its target).
            mark.index = word & 0x7fffffffu;
            mark.kind = (word & 0x80000000u) != 0 ? RecordMark::Started : RecordMark::Finished;
            std::string target;
            if (v2 && mark.kind == RecordMark::Started && !readCounted(bytes, next, target)) {
                break;
            }
        } else {
            const uint32_t kind = word >> kKindShift;
            if (kind == 0) {
                break; // the reserve after the last mark
            }
            mark.index = word & kIndexMask;
            mark.kind = static_cast<RecordMark::Kind>(kind);
            if ((word & kMarkPartialFlag) != 0 &&
                (!readCounted(bytes, next, mark.target) ||
                 !readIdentity(bytes, next, mark.targetIdentity))) {
                break;
            }
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
    std::optional<std::string> names = platform::readWholeFile(dir + kRecordName);
    if (!names || !decodeQueueRecord(*names, generation, entries, &left.absorbed)) {
        return {};
    }
    // Marks count only for the record they were written for.
    std::vector<RecordMark> marks;
    uint32_t doneGeneration = 0;
    std::optional<std::string> doneBytes = platform::readWholeFile(dir + kRecordDoneName);
    if (!doneBytes || !decodeQueueDone(*doneBytes, doneGeneration, marks) ||
        doneGeneration != generation) {
        marks.clear();
    }
    // Per name, its last word: running (started and never stopped), or finished.
    std::vector<bool> running(entries.size(), false);
    std::vector<bool> finished(entries.size(), false);
    for (RecordMark& mark : marks) {
        if (mark.index >= entries.size()) {
            continue;
        }
        switch (mark.kind) {
        case RecordMark::Started:
            running[mark.index] = true;
            break;
        case RecordMark::Stopped:
            running[mark.index] = false;
            if (!mark.target.empty()) {
                entries[mark.index].partial = std::move(mark.target);
                entries[mark.index].partialIdentity = mark.targetIdentity;
            }
            break;
        case RecordMark::Finished:
            // A result that was to take a name counts only once it has.
            if (mark.target.empty() ||
                platform::identityOf(mark.target) == mark.targetIdentity) {
                finished[mark.index] = true;
            }
            break;
        }
    }
    for (size_t i = 0; i < entries.size(); ++i) {
        if (finished[i]) {
            left.finished.push_back(std::move(entries[i].name));
            continue;
        }
        if (running[i] && entries[i].retried) {
            left.dropped.push_back(std::move(entries[i]));
            continue;
        }
        entries[i].retried = entries[i].retried || running[i];
        left.unfinished.push_back(std::move(entries[i]));
    }
    return left;
}

bool QueueRecord::holdsWork(const std::string& dir) {
    return !readLeft(dir).unfinished.empty();
}

bool QueueRecord::start(const std::string& dir, const std::vector<RecordedName>& entries,
                        const std::vector<platform::FileIdentity>& absorbed, std::string* error) {
    close();
    dir_ = dir;
    // Rewrites cut off by a kill leave their temporaries; those of dead writers go.
    platform::removeStaleAtomicTemporaries(dir + kRecordName);
    platform::removeStaleAtomicTemporaries(dir + kRecordDoneName);
    std::random_device random;
    const uint32_t generation = static_cast<uint32_t>(random()) ^ static_cast<uint32_t>(getpid());
    const std::string names = dir + kRecordName;
    const std::string done = dir + kRecordDoneName;
    const std::string namesBytes = encodeQueueRecord(generation, entries, absorbed);
    std::string doneBytes(kDoneMagic, 4);
    putLe32(doneBytes, generation);
    // The names first: marks of an older generation never apply to them. A
    // failure here leaves the older record as it was.
    int code = platform::writeFileAtomically(names, namesBytes, 0600);
    if (code == 0) {
        code = platform::writeFileAtomically(done, doneBytes, 0600);
    }
    if (code == 0) {
        namesFd_ = ::open(names.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW);
        doneFd_ = ::open(done.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW);
        if (namesFd_ < 0 || doneFd_ < 0) {
            code = errno;
        }
    }
    if (code != 0) {
        if (error) {
            *error = "cannot write " + names + ": " + std::strerror(code);
        }
        const std::string keep = dir_;
        close();
        dir_ = keep;
        return false;
    }
    namesEnd_ = static_cast<off_t>(namesBytes.size());
    doneEnd_ = static_cast<off_t>(doneBytes.size());
    // The marks' room, taken while there is space (a file system that cannot
    // reserve grows the file as marks come).
    doneReserved_ = ::fallocate(doneFd_, 0, doneEnd_, kReserve) == 0 ? doneEnd_ + kReserve : 0;
    next_ = static_cast<uint32_t>(entries.size());
    return true;
}

bool QueueRecord::append(const std::vector<RecordedName>& entries,
                         const platform::FileIdentity* from) {
    if (namesFd_ < 0 || entries.empty()) {
        return true;
    }
    std::string bytes;
    for (const RecordedName& e : entries) {
        putName(bytes, e);
    }
    if (from) {
        putLe32(bytes, kAbsorbedWord);
        putIdentity(bytes, *from);
    }
    if (!platform::pwriteAll(namesFd_, bytes.data(), bytes.size(), namesEnd_)) {
        // What did get written goes again: the record stays as it was.
        const int saved = errno;
        (void)!::ftruncate(namesFd_, namesEnd_);
        errno = saved;
        return false;
    }
    namesEnd_ += static_cast<off_t>(bytes.size());
    next_ += static_cast<uint32_t>(entries.size());
    return true;
}

bool QueueRecord::mark(const std::string& bytes) {
    if (doneFd_ < 0) {
        return true;
    }
    const off_t end = doneEnd_ + static_cast<off_t>(bytes.size());
    // Room is taken again ahead while half of it is left.
    if (doneReserved_ != 0 && doneReserved_ - end < kReserve / 2 &&
        ::fallocate(doneFd_, 0, doneReserved_, kReserve) == 0) {
        doneReserved_ += kReserve;
    }
    if (!platform::pwriteAll(doneFd_, bytes.data(), bytes.size(), doneEnd_)) {
        // A mark torn halfway is zeroed again, so the reader stops before it.
        const int saved = errno;
        const std::string zeros(bytes.size(), '\0');
        (void)platform::pwriteAll(doneFd_, zeros.data(), zeros.size(), doneEnd_);
        if (doneEnd_ >= doneReserved_) {
            (void)!::ftruncate(doneFd_, doneEnd_);
        }
        errno = saved;
        return false;
    }
    doneEnd_ = end;
    return true;
}

bool QueueRecord::started(uint32_t index) {
    return mark(encodeQueueMark({index, RecordMark::Started, {}, {}}));
}

bool QueueRecord::stopped(uint32_t index, const std::string& partial,
                          const platform::FileIdentity& partialIdentity) {
    return mark(encodeQueueMark({index, RecordMark::Stopped, partial, partialIdentity}));
}

bool QueueRecord::finished(uint32_t index, const std::string& target,
                           const platform::FileIdentity& identity) {
    return mark(encodeQueueMark({index, RecordMark::Finished, target, identity}));
}

bool QueueRecord::finished(const std::vector<uint32_t>& indices) {
    std::string bytes;
    for (uint32_t index : indices) {
        bytes += encodeQueueMark({index, RecordMark::Finished, {}, {}});
    }
    return bytes.empty() || mark(bytes);
}

void QueueRecord::remove() {
    if (!dir_.empty()) {
        ::unlink((dir_ + kRecordName).c_str());
        ::unlink((dir_ + kRecordDoneName).c_str());
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
    dir_.clear();
    next_ = 0;
    namesEnd_ = doneEnd_ = doneReserved_ = 0;
}

} // namespace app
