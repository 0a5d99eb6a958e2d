#pragma once

#include <string>

namespace platform {

// The directory of the running executable (from /proc/self/exe) with one trailing '/'.
std::string programDir();

// The user's music directory (normally ~/Music), without a trailing '/'.
std::string musicDir();

// Joins a directory and a name with exactly one '/' between them.
std::string joinPath(const std::string& dir, const std::string& name);

// Adds a trailing '/' unless the text is empty or already ends with one.
std::string withTrailingSlash(const std::string& dir);

// The part before the last '/' ("" for a bare name, "/" for a name in the root).
std::string parentDir(const std::string& path);

// The part after the last '/'.
std::string fileName(const std::string& path);

// The extension with its dot ("" when there is none), as written in the name.
std::string extension(const std::string& path);

// ASCII case-insensitive comparison, as file extensions are compared.
bool equalsIgnoreCase(const std::string& a, const std::string& b);

// The path as its text says, without asking the disk: "." parts dropped, ".."
// taken lexically (never above the root, or the start of a relative name), "//"
// joined, no trailing '/' ("/a//b/./c/../d/" is "/a/b/d"; "" is ".").
std::string lexicallyNormal(const std::string& path);

// Makes a name absolute against the process's current directory; absolute
// names pass unchanged, byte for byte.
std::string absolutePath(const std::string& path);

bool fileExists(const std::string& path);
bool directoryExists(const std::string& path);

// True when the file exists and the user has no write permission on it: such a
// file is treated as read-only and is neither overwritten nor deleted.
bool isReadOnlyFile(const std::string& path);

// Removes what is at `path` so that a new file can take the name: true when nothing
// is there any more. A directory and a read-only file are left (false); a link is
// removed itself, whatever it points at.
bool removeExistingFile(const std::string& path);

// Creates a directory and its missing parents. The root itself, and an empty
// parent of a relative name, count as existing. Returns false on any failure.
bool forceDirectories(const std::string& dir);

} // namespace platform
