#include "settings/ShellAssociation.h"

#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QStringList>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/FileIO.h"
#include "platform/Paths.h"
#include "platform/Registry.h"
#include "platform/Services.h"

namespace settings {
namespace {

using platform::Registry;
using platform::RegistryRoot;

struct VerbInfo {
    const char* extension;    // the extension key naming the file class
    const char* defaultClass; // the class written when the extension names none
    const char* verb;         // the verb key, also the command's name on the desktop
    const char* entryFile;    // the desktop entry's file name
    const char* mimeTypes;    // the MimeType list of the desktop entry
    const char* comment;
};

const VerbInfo kVerbs[] = {
    {".MP3", "MPEGLayer3.File", "Decode to WAVE", "mp3tunewright-decode-to-wave.desktop",
     "audio/mpeg;", "Decode MP3 files to WAVE files with MP3 Tunewright"},
    {".WAV", "WaveForm.File", "Compress to MP3", "mp3tunewright-compress-to-mp3.desktop",
     "audio/x-wav;audio/wav;audio/vnd.wave;",
     "Compress WAVE files to MP3 files with MP3 Tunewright"},
};

const VerbInfo& info(ShellVerb verb) {
    return kVerbs[static_cast<int>(verb)];
}

constexpr ShellVerb kAllVerbs[] = {ShellVerb::DecodeToWave, ShellVerb::CompressToMp3};

std::string verbKey(const std::string& fileClass, const VerbInfo& verb) {
    return fileClass + "\\shell\\" + verb.verb;
}

std::string commandKey(const std::string& fileClass, const VerbInfo& verb) {
    return verbKey(fileClass, verb) + "\\command";
}

// The class an extension key names; "" when the key or its default value is
// absent (or not a string).
std::string fileClassOf(const Registry& registry, const VerbInfo& verb) {
    if (!registry.keyExists(verb.extension)) {
        return "";
    }
    return registry.readString(verb.extension, "").value_or("");
}

bool verbAssociated(const Registry& registry, const VerbInfo& verb, const std::string& command) {
    std::string fileClass = fileClassOf(registry, verb);
    if (fileClass.empty()) {
        return false;
    }
    std::string key = commandKey(fileClass, verb);
    if (!registry.keyExists(key)) {
        return false;
    }
    return registry.readString(key, "") == command;
}

// A desktop entry of ours is a few hundred bytes; anything far larger is not one.
std::optional<std::string> readSmallFile(const std::string& path) {
    return platform::readWholeFile(path, 65536);
}

std::string errnoText() {
    return std::strerror(errno);
}

// Writes the whole entry under a temporary name in the same folder and renames
// it over the old one, so a file manager never reads half an entry.
void writeEntryFile(const std::string& path, const std::string& text) {
    std::string dir = platform::parentDir(path);
    if (!platform::forceDirectories(dir)) {
        throw ShellAssociationError("Cannot create the folder " + dir + ": " + errnoText());
    }
    if (int error = platform::writeFileAtomically(path, text, 0644); error != 0) {
        errno = error;
        throw ShellAssociationError("Cannot write the desktop entry " + path + ": " + errnoText());
    }
}

// The desktop's MIME cache (mimeinfo.cache) lets file managers find the entries
// for a file type without reading every entry. Refreshing it is a courtesy:
// without the tool, or when it fails, file managers still scan the folder.
void refreshMimeCache(const std::string& dir) {
    QString tool = QStandardPaths::findExecutable("update-desktop-database");
    if (tool.isEmpty()) {
        return;
    }
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.setStandardOutputFile(QProcess::nullDevice());
    process.start(tool, QStringList{"-q", QFile::decodeName(dir.c_str())});
    if (!process.waitForStarted(5000)) {
        return;
    }
    if (!process.waitForFinished(10000)) {
        process.kill();
        process.waitForFinished(2000);
    }
}

// True when the desktop entries can be written now: their folder exists or can
// be made, a new file can be created in it, and no entry already there is a
// read-only file or something that is not a file at all.
bool desktopEntriesWritable() {
    std::string dir = DesktopEntriesDir();
    if (!platform::forceDirectories(dir)) {
        return false;
    }
    std::string probe = platform::joinPath(dir, ".mp3tunewright-probe.XXXXXX");
    int fd = ::mkostemp(probe.data(), O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    ::close(fd);
    ::unlink(probe.c_str());
    for (ShellVerb verb : kAllVerbs) {
        std::string path = DesktopEntryPath(verb);
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0) {
            continue;
        }
        if (S_ISDIR(st.st_mode) || platform::isReadOnlyFile(path)) {
            return false;
        }
    }
    return true;
}

void requireWrite(bool ok, const std::string& key) {
    if (!ok) {
        throw ShellAssociationError("Cannot write the registry key HKEY_CLASSES_ROOT\\" + key);
    }
}

} // namespace

std::string RunningExecutable() {
    std::string path(PATH_MAX, '\0');
    ssize_t n = ::readlink("/proc/self/exe", path.data(), path.size());
    if (n > 0) {
        path.resize(static_cast<size_t>(n));
        return path;
    }
    return platform::programDir() + "mp3tunewright";
}

std::string ShellCommandLine(const std::string& executable) {
    return "\"" + executable + "\" \"%1\"";
}

std::string DesktopEntriesDir() {
    // A relative XDG_DATA_HOME is invalid and is ignored, as the base-directory
    // rules require.
    const char* data = std::getenv("XDG_DATA_HOME");
    std::string base;
    if (data && data[0] == '/') {
        base = data;
    } else {
        const char* home = std::getenv("HOME");
        base = platform::joinPath(home ? home : "", ".local/share");
    }
    return platform::joinPath(base, "applications");
}

std::string DesktopEntryPath(ShellVerb verb) {
    return platform::joinPath(DesktopEntriesDir(), info(verb).entryFile);
}

std::string DesktopExecLine(const std::string& executable) {
    // First the quoting of an Exec argument: inside double quotes, '"', '`',
    // '$' and '\' take a backslash; a literal '%' is written "%%".
    std::string quoted = "\"";
    for (char c : executable) {
        switch (c) {
        case '"':
        case '`':
        case '$':
        case '\\':
            quoted += '\\';
            quoted += c;
            break;
        case '%':
            quoted += "%%";
            break;
        default:
            quoted += c;
        }
    }
    quoted += "\" %f";
    // Then the escaping of every string value of a desktop entry, which readers
    // undo first: so a literal backslash ends up as four of them.
    std::string value;
    for (char c : quoted) {
        switch (c) {
        case '\\':
            value += "\\\\";
            break;
        case '\n':
            value += "\\n";
            break;
        case '\t':
            value += "\\t";
            break;
        case '\r':
            value += "\\r";
            break;
        default:
            value += c;
        }
    }
    return value;
}

std::string DesktopEntryText(ShellVerb verb, const std::string& executable) {
    const VerbInfo& v = info(verb);
    // NoDisplay keeps the commands out of the application menus; file managers
    // still offer them in "Open With" for their MIME types.
    return std::string("[Desktop Entry]\n") + "Type=Application\n" + "Version=1.0\n" +
           "Name=" + v.verb + "\n" + "Comment=" + v.comment + "\n" + "Icon=audio-x-generic\n" +
           "Exec=" + DesktopExecLine(executable) + "\n" + "Terminal=false\n" + "NoDisplay=true\n" +
           "MimeType=" + v.mimeTypes + "\n";
}

bool IsShellAssociated(const std::string& executable) {
    Registry registry(RegistryRoot::ClassesRoot);
    std::string command = ShellCommandLine(executable);
    // Every half is evaluated; the result is their conjunction.
    bool mp3 = verbAssociated(registry, info(ShellVerb::DecodeToWave), command);
    bool wav = verbAssociated(registry, info(ShellVerb::CompressToMp3), command);
    bool entries = true;
    for (ShellVerb verb : kAllVerbs) {
        if (readSmallFile(DesktopEntryPath(verb)) != DesktopEntryText(verb, executable)) {
            entries = false;
        }
    }
    return mp3 && wav && entries;
}

bool CanWriteClassesRoot() {
    Registry registry(RegistryRoot::ClassesRoot);
    // Both stores are probed before anything is created, so a refusal leaves
    // nothing behind.
    bool ok = registry.writable() && desktopEntriesWritable() && registry.createKey(".MP3");
    if (!ok) {
        platform::messageBox("You don't have enought rights to write CLASSES_ROOT registry. "
                             "Please contact your system administrator.",
                             "Error", platform::Ok, platform::Icon::Error);
    }
    return ok;
}

void AssociateShell(const std::string& executable) {
    std::string command = ShellCommandLine(executable);
    for (ShellVerb verb : kAllVerbs) {
        const VerbInfo& v = info(verb);
        Registry registry(RegistryRoot::ClassesRoot);
        requireWrite(registry.createKey(v.extension), v.extension);
        std::string fileClass = registry.readString(v.extension, "").value_or("");
        if (fileClass.empty()) {
            fileClass = v.defaultClass;
            requireWrite(registry.writeString(v.extension, "", fileClass), v.extension);
        }
        std::string key = commandKey(fileClass, v);
        requireWrite(registry.createKey(key), key);
        requireWrite(registry.writeString(key, "", command), key);
    }
    for (ShellVerb verb : kAllVerbs) {
        writeEntryFile(DesktopEntryPath(verb), DesktopEntryText(verb, executable));
    }
    refreshMimeCache(DesktopEntriesDir());
}

bool DeassociateShell() {
    bool removed[2] = {false, false};
    for (ShellVerb verb : kAllVerbs) {
        const VerbInfo& v = info(verb);
        Registry registry(RegistryRoot::ClassesRoot);
        std::string fileClass = fileClassOf(registry, v);
        // A classes root the user made read-only is not changed behind its back:
        // the removal then fails as a denied delete would.
        if (!fileClass.empty() && registry.keyExists(commandKey(fileClass, v)) &&
            registry.writable()) {
            removed[static_cast<int>(verb)] = registry.deleteKey(verbKey(fileClass, v));
        }
    }
    // The desktop entries go whatever the registry said: after a removal the
    // file managers should no longer offer the commands.
    bool entriesGone = true;
    bool anyDeleted = false;
    for (ShellVerb verb : kAllVerbs) {
        std::string path = DesktopEntryPath(verb);
        if (platform::isReadOnlyFile(path)) {
            entriesGone = false;
        } else if (::unlink(path.c_str()) == 0) {
            anyDeleted = true;
        } else if (errno != ENOENT) {
            entriesGone = false;
        }
    }
    if (anyDeleted) {
        refreshMimeCache(DesktopEntriesDir());
    }
    return removed[0] && removed[1] && entriesGone;
}

void ShellAssociationDialogue() {
    if (IsShellAssociated()) {
        return;
    }
    if (!CanWriteClassesRoot()) {
        return;
    }
    AssociateShell();
    platform::messageBox("Tunewright is now associated with MP3 and WAV files", "OK", platform::Ok,
                         platform::Icon::Information);
}

void ShellRemovalDialogue() {
    platform::Button answer = platform::messageBox(
        "Are you sure ? You will be unable to convert files from Window's Explorer popup menu "
        "after this procedure.",
        "Sure ?", platform::Ok | platform::Cancel, platform::Icon::Question);
    if (answer != platform::Ok) {
        return;
    }
    if (DeassociateShell()) {
        platform::messageBox("Shell association removed successfully", "Success", platform::Ok,
                             platform::Icon::None);
    } else {
        platform::messageBox("Failed to remove shell association", "Error", platform::Ok,
                             platform::Icon::Error);
    }
}

} // namespace settings
