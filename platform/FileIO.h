#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <sys/types.h>

namespace platform {

// What tells one file from another while it exists: its device and inode, and its
// size and modification time, so that a later file given the same inode number
// after the first was deleted is not taken for it.
struct FileIdentity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::uint64_t size = 0;
    std::int64_t modifiedNs = 0;
    friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};

// The identity of an open file, or of the file at a path (a link itself is not
// followed); nullopt when it cannot be read.
std::optional<FileIdentity> identityOf(int fd);
std::optional<FileIdentity> identityOf(const std::string& path);

// Reads a whole regular file (a link at the path itself is not followed; a FIFO or
// device is not opened for reading, so nothing blocks: errno EINVAL).
// nullopt when it cannot be opened or read, or holds more than `limit` bytes.
// With `identity`, the identity of the file read is set too.
std::optional<std::string> readWholeFile(const std::string& path, size_t limit = SIZE_MAX,
                                         FileIdentity* identity = nullptr);

// Writes all `size` bytes to `fd`, retrying after interruptions and short writes.
// False at the first error (what was written so far stays written).
bool writeAll(int fd, const void* data, size_t size);

// Writes all `size` bytes to `fd` at `offset` (the file position is not used).
bool pwriteAll(int fd, const void* data, size_t size, off_t offset);

// Writes `bytes` to a temporary file in the same folder, flushes it to disk and
// renames it over `path`, so readers see the old file or the new one, never a
// part. Returns 0, or the errno of the step that failed (nothing is left behind).
// The temporary is named ".<file name>-<pid>-<random>": what a writer killed
// meanwhile leaves, removeStaleAtomicTemporaries finds.
int writeFileAtomically(const std::string& path, const std::string& bytes, mode_t mode);

// Removes the temporaries of writeFileAtomically(path, ...) whose writer process
// no longer runs. Call it where the file is rewritten, under the same lock, if any.
void removeStaleAtomicTemporaries(const std::string& path);

// Removes the files in `dir` named `prefix` + "<pid>-" + anything whose writer
// process (the pid) no longer runs: temporaries a killed writer left. A file of a
// running process is left alone.
void removeTemporariesOfDeadWriters(const std::string& dir, const std::string& prefix);

} // namespace platform
