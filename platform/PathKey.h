#pragma once

// Keys for telling whether two spellings of a file name name the same file,
// whether or not the file exists yet: two queue entries, or a source and a
// target.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace platform {

// The folder a name is in, by identity (device and inode, so a symlinked folder,
// "..", "//" or a relative spelling give the same pair), and the name's last part,
// case-folded where that folder's file system ignores letter case. Where the
// folder cannot be examined, device and inode are 0 and `name` is the lexically
// normalised absolute path.
struct PathKey {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::string name;
    friend bool operator==(const PathKey&, const PathKey&) = default;
};

// The key of a file name (a byte string, absolute or relative to the current
// directory). The name's last part is not followed: a symlink is its own file.
PathKey pathKeyOf(const std::string& path);

// True when names in the folder are looked up without regard to letter case:
// FAT, exFAT and NTFS file systems, and folders with the casefold attribute
// (ext4, F2FS, tmpfs). False when it cannot be told.
bool folderIgnoresCase(const std::string& dir);

// A file name as a folder that ignores letter case compares it: UTF-8 names are
// Unicode case-folded; other bytes fold ASCII letters only.
std::string foldedFileName(const std::string& name);

} // namespace platform

template <> struct std::hash<platform::PathKey> {
    std::size_t operator()(const platform::PathKey& key) const noexcept;
};
