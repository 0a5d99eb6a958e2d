// The walk through a folder's tree that finds the files a folder entry stands for.

#include "app/batch/FolderEntries.h"

#include <algorithm>
#include <cctype>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include "platform/Paths.h"
#include "settings/ContextMenus.h"

namespace app {
namespace {

std::string lowerCase(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

// The extensions (lower case, without the dot) a compressing walk takes: every
// type the file managers offer a verb on except MP3, i.e. those of "Compress to
// MP3".
const std::set<std::string>& compressExtensions() {
    static const std::set<std::string> extensions = [] {
        std::set<std::string> out;
        for (const settings::MenuVerb& verb : settings::MenuVerbs()) {
            for (const settings::MenuFileType& type : verb.types) {
                out.insert(type.extensions.begin(), type.extensions.end());
            }
        }
        out.erase("mp3");
        return out;
    }();
    return extensions;
}

bool isAudio(const std::string& name, bool decode) {
    const std::string extension = platform::extension(name);
    if (extension.size() < 2) {
        return false;
    }
    const std::string bare = lowerCase(extension.substr(1));
    return decode ? bare == "mp3" : compressExtensions().count(bare) != 0;
}

} // namespace

// One folder of the walk. Its entries are read first (the folder stays open
// meanwhile, over as many steps as that takes), then its files are handed out,
// then its subfolders are entered.
struct FolderWalk::Level {
    std::string path;      // without a trailing '/'
    std::string subfolder; // below the selected folder's parent
    DIR* dir = nullptr;
    bool read = false;
    std::vector<std::string> files;
    std::vector<std::string> folders;
    size_t nextFile = 0;
    size_t nextFolder = 0;

    Level(std::string folderPath, std::string below)
        : path(std::move(folderPath)), subfolder(std::move(below)) {}
    Level(Level&& other) noexcept
        : path(std::move(other.path)), subfolder(std::move(other.subfolder)),
          dir(std::exchange(other.dir, nullptr)), read(other.read), files(std::move(other.files)),
          folders(std::move(other.folders)), nextFile(other.nextFile),
          nextFolder(other.nextFolder) {}
    Level& operator=(Level&&) = delete;
    ~Level() {
        if (dir) {
            ::closedir(dir);
        }
    }

    std::string child(const std::string& name) const {
        return (path == "/" ? "" : path) + "/" + name;
    }
    std::string childSubfolder(const std::string& name) const {
        return subfolder.empty() ? name : subfolder + "/" + name;
    }
};

FolderWalk::FolderWalk(FolderEntry entry) : entry_(std::move(entry)) {}

FolderWalk::~FolderWalk() = default;

bool FolderWalk::seenBefore(dev_t device, ino_t inode) {
    return !seen_.insert({device, inode}).second;
}

void FolderWalk::end() {
    levels_.clear();
    seen_.clear();
    done_ = true;
}

bool FolderWalk::step(std::vector<FoundFile>& out, size_t budget) {
    try {
        const size_t firstRead = reads_;
        size_t added = 0;
        // A unit of work reads at most two things (an entry and its state).
        while (!done_ && added < budget && reads_ - firstRead + 2 <= kMostReadsPerStep) {
            if (work(out)) {
                ++added;
            }
        }
    } catch (...) {
        // Out of memory: the walk ends with what it found.
        end();
    }
    return !done_;
}

// One unit of work: one directory entry read, one file handed out (one state
// asked for), one folder entered or left. True when a file was appended.
bool FolderWalk::work(std::vector<FoundFile>& out) {
    struct stat st {};
    if (!started_) {
        started_ = true;
        ++reads_;
        if (::stat(entry_.folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
            end();
            return false;
        }
        seenBefore(st.st_dev, st.st_ino);
        const std::string name = entry_.folder == "/" ? "" : platform::fileName(entry_.folder);
        levels_.emplace_back(entry_.folder, name);
        return false;
    }
    if (levels_.empty()) {
        end();
        return false;
    }
    Level& level = levels_.back();

    if (!level.read) {
        if (!level.dir) {
            ++reads_;
            level.dir = ::opendir(level.path.c_str());
            if (!level.dir) {
                levels_.pop_back(); // unreadable: left out
            }
            return false;
        }
        ++reads_;
        const dirent* item = ::readdir(level.dir);
        if (!item) {
            ::closedir(level.dir);
            level.dir = nullptr;
            level.read = true;
            std::sort(level.files.begin(), level.files.end());
            std::sort(level.folders.begin(), level.folders.end());
            return false;
        }
        const std::string name = item->d_name;
        if (name.empty() || name[0] == '.') {
            return false; // ".", ".." and hidden ones
        }
        bool folder = item->d_type == DT_DIR;
        bool file = item->d_type == DT_REG;
        if (item->d_type != DT_DIR && item->d_type != DT_REG) {
            // A link, or a file system that does not say: its target decides.
            ++reads_;
            if (::fstatat(dirfd(level.dir), item->d_name, &st, 0) != 0) {
                return false;
            }
            folder = S_ISDIR(st.st_mode);
            file = S_ISREG(st.st_mode);
        }
        if (folder) {
            level.folders.push_back(name);
        } else if (file && isAudio(name, entry_.decode)) {
            level.files.push_back(name);
        }
        return false;
    }

    if (level.nextFile < level.files.size()) {
        const std::string& name = level.files[level.nextFile++];
        std::string path = level.child(name);
        ++reads_;
        if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) ||
            seenBefore(st.st_dev, st.st_ino)) {
            return false;
        }
        out.push_back({std::move(path), level.subfolder});
        return true;
    }

    if (level.nextFolder < level.folders.size()) {
        const std::string& name = level.folders[level.nextFolder++];
        std::string path = level.child(name);
        ++reads_;
        if (::stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) ||
            seenBefore(st.st_dev, st.st_ino)) {
            return false;
        }
        std::string subfolder = level.childSubfolder(name);
        levels_.emplace_back(std::move(path), std::move(subfolder)); // `level` is stale now
        return false;
    }

    levels_.pop_back();
    if (levels_.empty()) {
        end();
    }
    return false;
}

} // namespace app
