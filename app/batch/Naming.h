#pragma once

// The file naming rules of the decode and encode jobs.

#include <string>

namespace app {

// Creates a job's target directory with its missing parents. An empty text fails;
// the root, and an existing directory, succeed without creating anything; a
// relative name is created below the current directory.
bool CreateTargetDirectory(const std::string& dir);

// The target of a job: `dir` with one trailing '/', then the entry's file-name part
// with its extension (from the last dot of that part on) replaced by `extension`, or
// with `extension` appended when it has none. `extension` is ".WAV" or ".MP3".
std::string TargetNameFor(const std::string& dir, const std::string& entry,
                          const std::string& extension);

// The first of D + B + n + `extension` (n = 0, 1, 2, ...) at which nothing exists,
// where D is the target's directory with a trailing '/' and B its file-name part
// without its extension: an existing song.WAV leads to song0.WAV, then song1.WAV.
std::string UniqueTargetName(const std::string& target, const std::string& extension);

// True when anything (a file, a directory, a link) exists at `path`.
bool PathExists(const std::string& path);

// True when a queue entry starts a decode job: its file-name part ends in ".mp3" in
// any letter case. Every other entry, one without an extension too, is an encode.
bool IsDecodeEntry(const std::string& entry);

} // namespace app
