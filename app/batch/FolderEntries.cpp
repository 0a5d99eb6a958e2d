// Queue entries that stand for a folder: their text and what it names. Kept free
// of the program's libraries, since a hand-off process makes such entries too.

#include "app/batch/FolderEntries.h"

#include <sys/stat.h>
#include <vector>

#include "platform/Paths.h"

namespace app {
namespace {

constexpr const char* kDecodeSuffix = "/*.mp3";

// "." dropped, ".." taken lexically (never above the root or the start of a
// relative name), repeated '/' joined; no trailing '/'.
std::string lexicallyClean(const std::string& path) {
    const bool absolute = !path.empty() && path[0] == '/';
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos) {
            end = path.size();
        }
        std::string part = path.substr(start, end - start);
        if (part == "..") {
            if (!parts.empty() && parts.back() != "..") {
                parts.pop_back();
            } else if (!absolute) {
                parts.push_back(part);
            }
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        start = end + 1;
    }
    std::string out = absolute ? "/" : "";
    for (const std::string& part : parts) {
        out += (out.empty() || out == "/" ? "" : "/") + part;
    }
    return out.empty() ? "." : out;
}

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
    std::string clean = lexicallyClean(folder);
    if (clean == "/") {
        clean.clear();
    }
    return clean + (decode ? kDecodeSuffix : "/");
}

} // namespace app
