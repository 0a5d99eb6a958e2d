#pragma once

#include <string>

namespace platform {

// The new content of a file, made beside it and put in its place in one step, so that
// the file holds the old or the new content at every moment and a kill at any moment
// leaves nothing behind: an unnamed file (O_TMPFILE) that gets a name only to be
// renamed over the target at once; where the file system has no unnamed files (FUSE,
// vfat), a named temporary "<prefix><pid>-<n>", which the next replacement with the
// same prefix in that folder removes once its writer is gone. Destruction removes
// whatever was not published.
class ReplacementFile {
public:
    ReplacementFile(const std::string& dir, const std::string& prefix);
    ~ReplacementFile();
    ReplacementFile(const ReplacementFile&) = delete;
    ReplacementFile& operator=(const ReplacementFile&) = delete;

    // Open for reading and writing; -1 (errno set) when it could not be made.
    int fd() const { return fd_; }
    // A path that opens the file (its /proc/self/fd link while it has no name).
    std::string path() const;

    // Flushes the file to disk and renames it over `target`. False with the reason
    // in `why`; the target is then untouched.
    bool publish(const std::string& target, std::string& why);

private:
    std::string uniqueName() const;

    std::string dir_;
    std::string prefix_;
    std::string named_; // the file's name while it has one
    int fd_ = -1;
};

} // namespace platform
