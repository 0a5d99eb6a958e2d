#pragma once

// The file naming rules of the decode and encode jobs. The jobs themselves are
// operations of the conversion window (TForm1::DecodeFile, TForm1::EncodeFile).

#include <functional>
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
// With `settled`, a name it says is not settled yet (a running job will write or
// read it) stops the search: "" is returned and the decision waits.
std::string UniqueTargetName(const std::string& target, const std::string& extension,
                             const std::function<bool(const std::string&)>& settled = {});

// The file a job writes when it redoes an interrupted job into `target`: hidden,
// beside the target, with the target's extension. It takes the target's place only
// when the job has done better than the interrupted one, so the target never loses
// what it held.
std::string RedoTarget(const std::string& target);

// True when anything (a file, a directory, a link) exists at `path`.
bool PathExists(const std::string& path);

} // namespace app
