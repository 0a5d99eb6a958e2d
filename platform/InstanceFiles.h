#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/FileIO.h"

namespace platform {

// The private per-user folder that holds the lock and the hand-off files:
// $TUNEWRIGHT_RUNTIME_DIR, else $XDG_RUNTIME_DIR/mp3tunewright (only when that
// variable holds an absolute path), else /tmp/mp3tunewright-<uid>. It is created
// with mode 0700 and refused when it is not a directory owned by the user or is
// open to others. Returns the folder with a trailing '/', or "" with `error` set.
std::string runtimeDir(std::string* error);

// What an attempt to take the lock found.
enum class LockResult {
    Acquired, // this process holds the lock now
    Held,     // another process holds it (flock said EWOULDBLOCK)
    Failed,   // the lock file cannot be used at all (see the error text)
};

// The single-instance lock on "active.flg". Held from a successful acquire() until
// release() or destruction; the kernel drops it when the process dies, so a killed
// holder never blocks the next start.
class InstanceLock {
public:
    InstanceLock() = default;
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    // Tries to take the lock in `dir`. Only a lock held by another process is
    // `Held`; an open that fails (a directory or a link at the path, no
    // permission, a read-only or full file system) or a file that keeps being
    // replaced is `Failed`, with the reason in `error`.
    LockResult tryAcquire(const std::string& dir, std::string* error = nullptr);
    // True when tryAcquire(dir) gives Acquired.
    bool acquire(const std::string& dir);
    // Takes the lock again in the folder of the last tryAcquire.
    LockResult reacquire(std::string* error = nullptr);
    bool held() const { return fd_ >= 0; }
    // The folder of the last tryAcquire, with its trailing '/'.
    const std::string& dir() const { return dir_; }
    // Removes the file while still holding the lock, then closes it.
    void release();
    // Gives the held lock's descriptor to the caller, who passes it to the part of
    // the process that goes on holding it (adopt()); this object holds nothing then.
    int handOver();
    // Holds the lock whose descriptor `fd` another object of this process took in
    // `dir`.
    void adopt(int fd, const std::string& dir);

private:
    int fd_ = -1;
    std::string dir_;
    std::string path_;
};

// Writes one hand-off file "addedmp3.<n>" with the lowest free n in `dir`:
// count word (entries + 1), then a length word and the bytes of each entry,
// little-endian 32-bit. The file is written under a hidden temporary name and
// published with link(), so a reader never sees it half-written and two writers
// never share a number. Returns the published path, or "" with `error` set; with
// `published`, the identity of the file written, so that the writer can tell its own
// file from another writer's of the same number later.
std::string writeHandOffFile(const std::string& dir, const std::vector<std::string>& entries,
                             std::string* error, FileIdentity* published = nullptr);

// The bytes of a hand-off file for these entries.
std::string encodeHandOff(const std::vector<std::string>& entries);

// Parses hand-off bytes. Never reads past the end and never allocates more than
// the data holds: a short or damaged file yields the complete entries before the
// damage. An entry is cut at its first zero byte.
std::vector<std::string> decodeHandOff(const std::string& bytes);

// The hand-off files in `dir` ("addedmp3.<n>", plain files only), lowest n first.
std::vector<std::string> listHandOffFiles(const std::string& dir);

// Reads a hand-off file without deleting it; false when it cannot be read (a FIFO
// or anything but a regular file is refused without blocking). With `identity`,
// the identity of the file read.
bool readHandOffFile(const std::string& path, std::vector<std::string>& entries,
                     FileIdentity* identity = nullptr);

// Reads a hand-off file and deletes it. False (and nothing queued) when it
// cannot be opened; it is then left for a later scan.
bool takeHandOffFile(const std::string& path, std::vector<std::string>& entries);

// Removes the hidden temporaries (".addedmp3-<pid>-*") of writers that died
// before publishing them; a temporary whose process still runs is left alone.
void removeStaleHandOffTemporaries(const std::string& dir);

// True when a hand-off file other than the `setAside` ones (this process read them
// and could not remove them, or could not take them) waits in `dir`.
bool handOffFilesWaiting(const std::string& dir, const std::vector<FileIdentity>& setAside = {});

// Removes a hand-off file this process published, unless the file now at `path` is
// another one (a reader took this one and another writer got the same number).
// True when it was removed; false with errno ENOENT when it is gone.
bool withdrawHandOffFile(const std::string& path, const FileIdentity& published);

} // namespace platform
