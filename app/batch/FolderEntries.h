#pragma once

// Folders in the conversion queue. A folder chosen in a file manager (or named
// on the command line) becomes one queue entry that stands for the audio files
// below it; the batch walks it in bounded steps when the entry's turn comes.
// No widgets and no event loop here: a walk is plain file-system work that the
// caller spreads over its ticks.

#include <cstddef>
#include <optional>
#include <set>
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

namespace app {

// A queue entry naming a folder: "<folder>/" compresses every audio file the
// encoder reads except MP3s, "<folder>/*.mp3" decodes the MP3s.
struct FolderEntry {
    std::string folder; // without a trailing '/' ("/" for the root)
    bool decode = false;
};

// The folder an entry names, or nullopt when the entry is not of one of the two
// forms or the folder is not a directory (symbolic links followed). An existing
// file that is not a directory and is literally named "*.mp3" makes a file
// entry, not a folder entry.
std::optional<FolderEntry> ParseFolderEntry(const std::string& entry);

// The entry for a folder: `folder` with "." components dropped, ".." taken
// lexically and repeated '/' joined, then "/" or "/*.mp3" ("/" and "/*.mp3" for
// the root). Start-up makes every name that is a directory into such an entry.
std::string FolderEntryText(const std::string& folder, bool decode);

// A file found in the walk: its path, and its folder below the selected folder's
// parent, i.e. starting with the selected folder's own name ("Album",
// "Album/CD1"; "" for the files of the root folder "/" itself), so that outputs
// go to <output dir>/<subfolder>/<name>.<EXT>.
struct FoundFile {
    std::string path;
    std::string subfolder;
};

// Walks a folder recursively, depth first, in bounded steps so that a window
// stays responsive on 100,000 files. In each folder its files come first, in
// byte-wise name order, then its subfolders in byte-wise name order, each walked
// whole before the next. Left out: hidden files and folders (a leading '.'),
// files that are not audio by their extension (compress: the types "Compress to
// MP3" is offered on in the file managers, never .mp3; decode: .mp3 in any
// letter case), anything that is neither a regular file nor a folder, anything
// unreadable, and anything reached a second time (a symbolic link loop, a link to
// a folder or file already walked, a hard link: compared by st_dev and st_ino).
// Symbolic links are followed otherwise. Never throws; a folder that cannot be
// read is left out silently. Not thread-safe; one walk per thread.
class FolderWalk {
public:
    explicit FolderWalk(FolderEntry entry);
    ~FolderWalk();
    FolderWalk(const FolderWalk&) = delete;
    FolderWalk& operator=(const FolderWalk&) = delete;

    // Appends up to `budget` files to `out`, reading at most kMostReadsPerStep
    // directory entries and file states. True while more may follow; false once
    // the walk has ended (the files of that last step are in `out`).
    bool step(std::vector<FoundFile>& out, size_t budget = 256);

    // Directory entries read, folders opened and file states asked for so far.
    size_t reads() const { return reads_; }

    static constexpr size_t kMostReadsPerStep = 1024;

private:
    struct Level;
    bool work(std::vector<FoundFile>& out);
    bool seenBefore(dev_t device, ino_t inode);
    void end();

    FolderEntry entry_;
    std::vector<Level> levels_;
    std::set<std::pair<dev_t, ino_t>> seen_;
    size_t reads_ = 0;
    bool started_ = false;
    bool done_ = false;
};

} // namespace app
