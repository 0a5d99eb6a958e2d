// Queue entries that stand for a folder: their text and what it names. Kept free
// of the program's libraries, since a hand-off process makes such entries too.

#include "app/batch/FolderEntries.h"

#include <sys/stat.h>

#include "platform/Paths.h"

namespace app {
namespace {

constexpr const char* kDecodeSuffix = "/*.mp3";

} // namespace

std::optional<FolderEntry> ParseFolderEntry(const std::string& entry) {
    const std::string suffix = kDecodeSuffix;
    FolderEntry parsed;
    if (entry.size() >= suffix.size() &&
        entry.compare(entry.size() - suffix.size(), suffix.size(), suffix) == 0) {
        struct stat st {};
        if (::stat(entry.c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) {
            return std::nullopt; // a file of that very name
        }
        parsed.folder = entry.substr(0, entry.size() - suffix.size());
        parsed.decode = true;
    } else if (!entry.empty() && entry.back() == '/') {
        parsed.folder = entry;
        while (!parsed.folder.empty() && parsed.folder.back() == '/') {
            parsed.folder.pop_back();
        }
    } else {
        return std::nullopt;
    }
    if (parsed.folder.empty()) {
        parsed.folder = "/";
    }
    if (!platform::directoryExists(parsed.folder)) {
        return std::nullopt;
    }
    return parsed;
}

std::string FolderEntryText(const std::string& folder, bool decode) {
    std::string clean = platform::lexicallyNormal(folder);
    if (clean == "/") {
        clean.clear();
    }
    return clean + (decode ? kDecodeSuffix : "/");
}

} // namespace app
