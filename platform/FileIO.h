#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <sys/types.h>

namespace platform {

// Reads a whole regular file (a link at the path itself is not followed; a FIFO or
// device is not opened for reading, so nothing blocks: errno EINVAL).
// nullopt when it cannot be opened or read, or holds more than `limit` bytes.
std::optional<std::string> readWholeFile(const std::string& path, size_t limit = SIZE_MAX);

// Writes all `size` bytes to `fd`, retrying after interruptions and short writes.
// False at the first error (what was written so far stays written).
bool writeAll(int fd, const void* data, size_t size);

// Writes `bytes` to a temporary file in the same folder, flushes it to disk and
// renames it over `path`, so readers see the old file or the new one, never a
// part. Returns 0, or the errno of the step that failed (nothing is left behind).
int writeFileAtomically(const std::string& path, const std::string& bytes, mode_t mode);

} // namespace platform
