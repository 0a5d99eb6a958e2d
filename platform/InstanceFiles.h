#pragma once

#include <string>
#include <vector>

namespace platform {

// The private per-user folder that holds the lock and the hand-off files:
// $TUNEWRIGHT_RUNTIME_DIR, else $XDG_RUNTIME_DIR/mp3tunewright, else
// /tmp/mp3tunewright-<uid>. It is created with mode 0700 and refused when it is
// not a directory owned by the user or is open to others. Returns the folder with
// a trailing '/', or "" with `error` set.
std::string runtimeDir(std::string* error);

// The single-instance lock on "active.flg". Held from a successful acquire() until
// release() or destruction; the kernel drops it when the process dies, so a killed
// holder never blocks the next start.
class InstanceLock {
public:
    InstanceLock() = default;
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    // Tries to take the lock in `dir`. False when another process holds it or the
    // file cannot be opened at all.
    bool acquire(const std::string& dir);
    bool held() const { return fd_ >= 0; }
    // Removes the file while still holding the lock, then closes it.
    void release();

private:
    int fd_ = -1;
    std::string path_;
};

// Writes one hand-off file "addedmp3.<n>" with the lowest free n in `dir`:
// count word (entries + 1), then a length word and the bytes of each entry,
// little-endian 32-bit. The file is written under a hidden temporary name and
// published with link(), so a reader never sees it half-written and two writers
// never share a number. Returns the published path, or "" with `error` set.
std::string writeHandOffFile(const std::string& dir, const std::vector<std::string>& entries,
                             std::string* error);

// The bytes of a hand-off file for these entries.
std::string encodeHandOff(const std::vector<std::string>& entries);

// Parses hand-off bytes. Never reads past the end and never allocates more than
// the data holds: a short or damaged file yields the complete entries before the
// damage. An entry is cut at its first zero byte.
std::vector<std::string> decodeHandOff(const std::string& bytes);

// The hand-off files in `dir` ("addedmp3.<n>", plain files only), lowest n first.
std::vector<std::string> listHandOffFiles(const std::string& dir);

// Reads a hand-off file and deletes it. False (and nothing queued) when it
// cannot be opened; it is then left for a later scan.
bool takeHandOffFile(const std::string& path, std::vector<std::string>& entries);

}  // namespace platform
