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
#include "settings/ContextMenus.h"

namespace settings {
namespace {

using platform::Registry;
using platform::RegistryRoot;

struct VerbInfo {
    const char* extension;    // the extension key naming the file class
    const char* defaultClass; // the class written when the extension names none
    const char* verb;         // the verb key, also the command's name in the menus
    const char* legacyEntry;  // the "Open With" desktop entry earlier versions wrote
};

const VerbInfo kVerbs[] = {
    {".MP3", "MPEGLayer3.File", "Decode to WAVE", "mp3tunewright-decode-to-wave.desktop"},
    {".WAV", "WaveForm.File", "Compress to MP3", "mp3tunewright-compress-to-mp3.desktop"},
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

// Earlier versions put the verbs into "Open With" as desktop entries with
// MimeType=, which could make them the default opener of MP3 and WAV files.
// Those entries are removed; a file by that name that is not such an entry is
// the user's and stays.
std::string legacyEntryPath(const VerbInfo& verb) {
    return platform::joinPath(platform::joinPath(DataHome(), "applications"), verb.legacyEntry);
}

bool isLegacyEntry(const std::string& path, const VerbInfo& verb) {
    std::optional<std::string> text = platform::readWholeFile(path, 65536);
    return text && text->rfind("[Desktop Entry]\n", 0) == 0 &&
           text->find(std::string("\nName=") + verb.verb + "\n") != std::string::npos &&
           text->find("\nExec=") != std::string::npos &&
           text->find("\nMimeType=") != std::string::npos;
}

// The desktop's MIME cache (mimeinfo.cache) still names a removed entry until
// it is rebuilt. Rebuilding is a courtesy: without the tool, or when it fails,
// file managers scan the folder themselves.
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

// Removes the legacy entries; false when one is left.
bool removeLegacyEntries() {
    bool gone = true;
    bool anyDeleted = false;
    for (const VerbInfo& verb : kVerbs) {
        std::string path = legacyEntryPath(verb);
        if (!isLegacyEntry(path, verb)) {
            continue;
        }
        if (platform::isReadOnlyFile(path) || ::unlink(path.c_str()) != 0) {
            gone = false;
        } else {
            anyDeleted = true;
        }
    }
    if (anyDeleted) {
        refreshMimeCache(platform::parentDir(legacyEntryPath(kVerbs[0])));
    }
    return gone;
}

bool anyLegacyEntry() {
    for (const VerbInfo& verb : kVerbs) {
        if (isLegacyEntry(legacyEntryPath(verb), verb)) {
            return true;
        }
    }
    return false;
}

// True when a folder exists or can be made and a new file can be created in it.
bool folderWritable(const std::string& dir) {
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
    return true;
}

// True when every action file can be written now: its folder is writable and
// no file already at one of our paths is a read-only file or a folder.
bool actionFilesWritable() {
    for (const auto& format : MenuFormats()) {
        for (const std::string& dir : format->folders()) {
            if (!folderWritable(dir)) {
                return false;
            }
        }
        for (const std::string& path : format->files()) {
            struct stat st {};
            if (::lstat(path.c_str(), &st) != 0) {
                continue;
            }
            if (S_ISDIR(st.st_mode) || platform::isReadOnlyFile(path)) {
                return false;
            }
        }
    }
    return true;
}

MenuTarget menuTarget(const std::string& executable) {
    return MenuTarget{executable, MenuLauncherPath()};
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
        // A program replaced while it runs (a package upgrade) reads as
        // "<path> (deleted)"; the new program is at <path>.
        const std::string deleted = " (deleted)";
        if (path.size() > deleted.size() &&
            path.compare(path.size() - deleted.size(), deleted.size(), deleted) == 0) {
            path.resize(path.size() - deleted.size());
        }
        return path;
    }
    return platform::programDir() + "mp3tunewright";
}

std::string ShellCommandLine(const std::string& executable) {
    return "\"" + executable + "\" \"%1\"";
}

bool IsShellAssociated(const std::string& executable) {
    Registry registry(RegistryRoot::ClassesRoot);
    std::string command = ShellCommandLine(executable);
    // Every half is evaluated; the result is their conjunction.
    bool mp3 = verbAssociated(registry, info(ShellVerb::DecodeToWave), command);
    bool wav = verbAssociated(registry, info(ShellVerb::CompressToMp3), command);
    bool actions = !anyLegacyEntry();
    MenuTarget target = menuTarget(executable);
    for (const auto& format : MenuFormats()) {
        if (!format->IsCurrent(target)) {
            actions = false;
        }
    }
    return mp3 && wav && actions;
}

bool CanWriteClassesRoot(QWidget* owner) {
    Registry registry(RegistryRoot::ClassesRoot);
    // Both stores are probed before anything is created, so a refusal leaves
    // nothing behind.
    bool ok = registry.writable() && actionFilesWritable() && registry.createKey(".MP3");
    if (!ok) {
        platform::messageBox(owner,
                             "You don't have enought rights to write CLASSES_ROOT registry. "
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
    // Every family is written even when one fails (a Thunar file that cannot be
    // parsed is left as it is), and the failures are reported together.
    MenuTarget target = menuTarget(executable);
    std::string failures;
    for (const auto& format : MenuFormats()) {
        try {
            format->Write(target);
        } catch (const ShellAssociationError& e) {
            failures += (failures.empty() ? "" : "\n") + format->name() + ": " + e.what();
        }
    }
    if (!removeLegacyEntries()) {
        failures += (failures.empty() ? "" : "\n") +
                    std::string("Cannot remove the old \"Open With\" entries in ") +
                    platform::parentDir(legacyEntryPath(kVerbs[0]));
    }
    if (!failures.empty()) {
        throw ShellAssociationError(failures);
    }
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
    // The actions go whatever the registry said: after a removal the file
    // managers should no longer offer the commands.
    bool actionsGone = removeLegacyEntries();
    for (const auto& format : MenuFormats()) {
        actionsGone = format->Remove() && actionsGone;
    }
    return removed[0] && removed[1] && actionsGone;
}

void ShellAssociationDialogue(QWidget* owner) {
    if (IsShellAssociated()) {
        return;
    }
    if (!CanWriteClassesRoot(owner)) {
        return;
    }
    AssociateShell();
    platform::messageBox(owner, "Tunewright is now associated with MP3 and WAV files", "OK",
                         platform::Ok, platform::Icon::Information);
}

void ShellRemovalDialogue(QWidget* owner) {
    platform::Button answer = platform::messageBox(
        owner,
        "Are you sure ? You will be unable to convert files from Window's Explorer popup menu "
        "after this procedure.",
        "Sure ?", platform::Ok | platform::Cancel, platform::Icon::Question);
    if (answer != platform::Ok) {
        return;
    }
    if (DeassociateShell()) {
        platform::messageBox(owner, "Shell association removed successfully", "Success",
                             platform::Ok, platform::Icon::None);
    } else {
        platform::messageBox(owner, "Failed to remove shell association", "Error", platform::Ok,
                             platform::Icon::Error);
    }
}

} // namespace settings
