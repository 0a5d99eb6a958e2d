#include "settings/ContextMenus.h"

#include <QByteArray>
#include <QStandardPaths>
#include <QString>
#include <QXmlStreamReader>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/FileIO.h"
#include "platform/Paths.h"
#include "settings/ShellAssociation.h"

namespace settings {
namespace {

constexpr const char* kMarker = "X-MP3Tunewright-Action=";
constexpr const char* kIcon = "audio-x-generic";

// An action file of ours is a few kilobytes; Thunar's file of all the user's
// actions may be larger, but not beyond this.
constexpr size_t kActionFileLimit = 1 << 20;
constexpr size_t kUcaLimit = 16 << 20;

std::string xdgHome(const char* variable, const char* fallback) {
    const char* value = std::getenv(variable);
    if (value && value[0] == '/') {
        return value;
    }
    const char* home = std::getenv("HOME");
    return platform::joinPath(home ? home : "", fallback);
}

std::string errnoText(int error) {
    return std::strerror(error);
}

bool isOurs(const std::string& text) {
    return text.find(kMarker) != std::string::npos;
}

// Writes a whole file under a temporary name and renames it over the old one,
// so a file manager never reads half an action.
void writeActionFile(const std::string& path, const std::string& text, mode_t mode) {
    std::string dir = platform::parentDir(path);
    if (!platform::forceDirectories(dir)) {
        throw ShellAssociationError("Cannot create the folder " + dir + ": " + errnoText(errno));
    }
    if (int error = platform::writeFileAtomically(path, text, mode); error != 0) {
        throw ShellAssociationError("Cannot write " + path + ": " + errnoText(error));
    }
}

// Removes a file of ours; a file that is not ours, or is missing, is left as it
// is. False when a file of ours is still there afterwards.
bool removeActionFile(const std::string& path) {
    std::optional<std::string> text = platform::readWholeFile(path, kActionFileLimit);
    if (!text || !isOurs(*text)) {
        return true;
    }
    if (platform::isReadOnlyFile(path)) {
        return false;
    }
    return ::unlink(path.c_str()) == 0 || errno == ENOENT;
}

// The verb's options and "--" (a selected name may start with '-'), ready to
// follow the program in a command line.
std::string optionsAndEnd(const MenuVerb& verb) {
    return *verb.options ? std::string(verb.options) + " --" : std::string("--");
}

// The launcher script's command, in the quoting of a desktop-entry Exec line,
// followed by the verb's options, "--" and the selection.
std::string execLine(const MenuVerb& verb, const MenuTarget& target) {
    return KeyFileValue(ExecQuote(target.launcher) + " " + optionsAndEnd(verb) + " %F");
}

// The program path as key files can hold it. A path that is not UTF-8 cannot
// be written there; the launcher stands in for it.
std::string keyFilePath(const MenuTarget& target) {
    return KeyFileValue(IsValidUtf8(target.program) ? target.program : target.launcher);
}

std::string listValue(const std::string& value) {
    std::string out;
    for (char c : value) {
        if (c == ';') {
            out += '\\';
        }
        out += c;
    }
    return out;
}

// The verb's MIME types and folders' as a key-file list: "audio/x-wav;audio/flac;...;
// inode/directory;".
std::string mimeTypeList(const MenuVerb& verb) {
    std::string out;
    for (const MenuFileType& type : verb.types) {
        out += std::string(type.mimeType) + ";";
    }
    return out + kFolderMimeType + ";";
}

std::vector<std::string> extensionsOf(const MenuVerb& verb) {
    std::vector<std::string> out;
    for (const MenuFileType& type : verb.types) {
        out.insert(out.end(), type.extensions.begin(), type.extensions.end());
    }
    return out;
}

std::string upperCase(const std::string& text) {
    std::string out;
    for (char c : text) {
        out += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return out;
}

// The shell lines that end a script when the program is gone (the package was
// removed, the build folder deleted): the actions stay in the user's home.
std::string programCheck(const std::string& program) {
    return "program=" + ShellQuote(program) + "\n" +
           "if [ ! -x \"$program\" ]; then\n"
           "    echo \"MP3 Tunewright is no longer installed at $program\" >&2\n"
           "    exit 127\n"
           "fi\n";
}

// A family whose actions are one file per verb, or a single file. A family
// that is not used here (`used` says false) has no files of ours: associating
// removes the ones an earlier association wrote.
class FilesFormat : public MenuFormat {
public:
    using PathOf = std::function<std::string(const MenuVerb&)>;
    using TextOf = std::function<std::string(const MenuVerb&, const MenuTarget&)>;
    enum class Files { PerVerb, One };

    FilesFormat(std::string name, PathOf pathOf, TextOf textOf, mode_t mode,
                Files files = Files::PerVerb, std::function<bool()> used = {})
        : name_(std::move(name)), pathOf_(std::move(pathOf)), textOf_(std::move(textOf)),
          mode_(mode), perVerb_(files == Files::PerVerb), used_(std::move(used)) {}

    std::string name() const override { return name_; }

    std::vector<std::string> folders() const override {
        if (!used()) {
            return {};
        }
        return {platform::parentDir(pathOf_(MenuVerbs()[0]))};
    }

    std::vector<std::string> files() const override {
        std::vector<std::string> out;
        if (!used()) {
            return out;
        }
        for (const MenuVerb* verb : verbs()) {
            out.push_back(pathOf_(*verb));
        }
        return out;
    }

    bool IsCurrent(const MenuTarget& target) const override {
        if (!used()) {
            return nothingOfOurs();
        }
        for (const MenuVerb* verb : verbs()) {
            std::string path = pathOf_(*verb);
            std::optional<std::string> text = platform::readWholeFile(path, kActionFileLimit);
            if (text && !isOurs(*text)) {
                continue; // the user's own file with our name stands for the action
            }
            if (text != textOf_(*verb, target) || !hasMode(path)) {
                return false;
            }
        }
        return true;
    }

    void Write(const MenuTarget& target) const override {
        if (!used()) {
            if (!Remove()) {
                throw ShellAssociationError("Cannot remove the actions of ours in " +
                                            platform::parentDir(pathOf_(MenuVerbs()[0])));
            }
            return;
        }
        for (const MenuVerb* verb : verbs()) {
            std::string path = pathOf_(*verb);
            std::optional<std::string> text = platform::readWholeFile(path, kActionFileLimit);
            struct stat st {};
            if ((text && !isOurs(*text)) || (!text && ::lstat(path.c_str(), &st) == 0)) {
                continue; // not ours, or not a file we can read: left alone
            }
            writeActionFile(path, textOf_(*verb, target), mode_);
        }
    }

    bool Remove() const override {
        bool gone = true;
        for (const MenuVerb* verb : verbs()) {
            gone = removeActionFile(pathOf_(*verb)) && gone;
        }
        return gone;
    }

private:
    bool used() const { return !used_ || used_(); }

    bool nothingOfOurs() const {
        for (const MenuVerb* verb : verbs()) {
            std::optional<std::string> text =
                platform::readWholeFile(pathOf_(*verb), kActionFileLimit);
            if (text && isOurs(*text)) {
                return false;
            }
        }
        return true;
    }

    std::vector<const MenuVerb*> verbs() const {
        std::vector<const MenuVerb*> out;
        for (const MenuVerb& verb : MenuVerbs()) {
            out.push_back(&verb);
            if (!perVerb_) {
                break;
            }
        }
        return out;
    }

    // Scripts must stay executable: a script without its execute bit is not
    // offered.
    bool hasMode(const std::string& path) const {
        struct stat st {};
        return ::stat(path.c_str(), &st) == 0 && (st.st_mode & 0777) == mode_;
    }

    std::string name_;
    PathOf pathOf_;
    TextOf textOf_;
    mode_t mode_;
    bool perVerb_;
    std::function<bool()> used_;
};

std::string launcherText(const MenuTarget& target) {
    return std::string("#!/bin/sh\n") + "# " + kMarker + "launcher\n" +
           "# Started by the \"Decode to WAVE\" and \"Compress to MP3\" actions of the file\n"
           "# managers: runs MP3 Tunewright with the selected files. Written by the program;\n"
           "# removing the shell association removes it.\n" +
           programCheck(target.program) + "exec \"$program\" \"$@\"\n";
}

// KDE (Dolphin, Konqueror): a service menu per verb.
std::string kdeText(const MenuVerb& verb, const MenuTarget& target) {
    return std::string("[Desktop Entry]\n") + "Type=Service\n" + "MimeType=" + mimeTypeList(verb) +
           "\n" + "Actions=" + verb.actionId + ";\n" + "TryExec=" + keyFilePath(target) + "\n" +
           "X-KDE-Priority=TopLevel\n" + kMarker + verb.id + "\n\n" + "[Desktop Action " +
           verb.actionId + "]\n" + "Name=" + verb.name + "\n" + "Icon=" + kIcon + "\n" +
           "Exec=" + execLine(verb, target) + "\n";
}

// Nemo (Cinnamon): an action per verb, matched by extension without regard to
// case, and on folders ("dir"); Dependencies hides it when the program is gone.
std::string nemoText(const MenuVerb& verb, const MenuTarget& target) {
    std::string extensions;
    for (const std::string& extension : extensionsOf(verb)) {
        extensions += extension + ";";
    }
    extensions += "dir;";
    return std::string("[Nemo Action]\n") + "Active=true\n" + "Name=" + verb.name + "\n" +
           "Comment=" + verb.comment + "\n" + "Exec=" + execLine(verb, target) + "\n" +
           "Icon-Name=" + kIcon + "\n" + "Selection=notnone\n" + "Extensions=" + extensions + "\n" +
           "Dependencies=" + listValue(keyFilePath(target)) + ";\n" + kMarker + verb.id + "\n";
}

// Caja (with caja-actions) and PCManFM-Qt: FileManager-Actions files.
std::string fileManagerActionText(const MenuVerb& verb, const MenuTarget& target) {
    return std::string("[Desktop Entry]\n") + "Type=Action\n" + "Name=" + verb.name + "\n" +
           "Tooltip=" + verb.comment + "\n" + "Icon=" + kIcon + "\n" + "Profiles=files;\n" +
           "TryExec=" + keyFilePath(target) + "\n" + kMarker + verb.id + "\n\n" +
           "[X-Action-Profile files]\n" + "Name=" + verb.name + "\n" +
           "MimeTypes=" + mimeTypeList(verb) + "\n" + "SelectionCount=>0\n" +
           "Exec=" + execLine(verb, target) + "\n";
}

// GNOME Files and Caja scripts: shown for any selection, so the script passes
// on only the folders and the names with the verb's extension. The names arrive
// as arguments, relative to the folder that is the working directory.
std::string scriptText(const MenuVerb& verb, const MenuTarget& target) {
    std::string pattern;
    for (const std::string& extension : extensionsOf(verb)) {
        pattern += pattern.empty() ? "*." : " | *.";
        for (char lower : extension) {
            char upper = static_cast<char>(std::toupper(static_cast<unsigned char>(lower)));
            pattern +=
                lower == upper ? std::string(1, lower) : "[" + std::string(1, lower) + upper + "]";
        }
    }
    return std::string("#!/bin/sh\n") + "# " + kMarker + verb.id + "\n" + "# " + verb.comment +
           ". Written by MP3 Tunewright;\n# removing the shell association removes it.\n" +
           programCheck(target.program) + "count=$#\n" + "for name do\n" +
           "    if [ -d \"$name\" ]; then\n" + "        set -- \"$@\" \"$name\"\n" +
           "        continue\n" + "    fi\n" + "    case $name in\n" + "        " + pattern +
           ") set -- \"$@\" \"$name\" ;;\n" + "    esac\n" + "done\n" + "shift \"$count\"\n" +
           "[ \"$#\" -gt 0 ] || exit 0\n" + "exec \"$program\" " + optionsAndEnd(verb) +
           " \"$@\"\n";
}

// A Python literal of bytes: printable ASCII as it is, every other byte (and
// the quote and the backslash) escaped, so any path survives.
std::string pythonLiteral(const std::string& text, bool bytes) {
    std::string out = bytes ? "b'" : "'";
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7f && c != '\\' && c != '\'') {
            out += c;
        } else {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
            out += escaped;
        }
    }
    return out + "'";
}

std::string pythonTuple(const std::vector<std::string>& items, bool bytes) {
    std::string out;
    for (const std::string& item : items) {
        out += (out.empty() ? "" : ", ") + pythonLiteral(item, bytes);
    }
    return "(" + out + (items.size() == 1 ? ",)" : ")");
}

// GNOME Files (with python3-nautilus): an extension that puts the verbs into
// the file menu itself. Nautilus hands it file objects; it offers a verb when
// every local item of the selection is a folder or of the verb's types, and
// starts the launcher with the verb's options and the items' paths as one
// argument each, without a shell. Items that are not local files (other URI
// schemes) are left out.
std::string nautilusExtensionText(const MenuVerb&, const MenuTarget& target) {
    std::string verbs;
    for (const MenuVerb& verb : MenuVerbs()) {
        std::vector<std::string> mimeTypes;
        for (const MenuFileType& type : verb.types) {
            mimeTypes.push_back(type.mimeType);
        }
        std::vector<std::string> options;
        if (*verb.options) {
            options.push_back(verb.options);
        }
        verbs += std::string("    (") + pythonLiteral(verb.id, false) + ", " +
                 pythonLiteral(verb.name, false) + ",\n     " + pythonLiteral(verb.comment, false) +
                 ",\n     " + pythonTuple(options, true) + ",\n     " +
                 pythonTuple(mimeTypes, false) + ",\n     " +
                 pythonTuple(extensionsOf(verb), true) + "),\n";
    }
    return std::string("# ") + kMarker + "mp3tunewright-nautilus\n" +
           "#\n"
           "# \"Decode to WAVE\" and \"Compress to MP3\" in GNOME Files' menu, on the files\n"
           "# MP3 Tunewright converts and on folders: each starts MP3 Tunewright once with the\n"
           "# whole selection. Written by MP3 Tunewright; removing the shell association\n"
           "# removes it.\n"
           "import os\n"
           "import subprocess\n"
           "import sys\n"
           "\n"
           "import gi\n"
           "\n"
           "for _version in ('4.1', '4.0'):\n"
           "    try:\n"
           "        gi.require_version('Nautilus', _version)\n"
           "        break\n"
           "    except ValueError:\n"
           "        pass\n"
           "from gi.repository import GLib, GObject, Gio, Nautilus  # noqa: E402\n"
           "\n"
           "# The per-user launcher script, which starts the program where it is now.\n"
           "LAUNCHER = " +
           pythonLiteral(target.launcher, true) +
           "\n"
           "ICON = " +
           pythonLiteral(kIcon, false) +
           "\n"
           "\n"
           "# (id, label, tip, options before '--', MIME types, extensions)\n"
           "VERBS = (\n" +
           verbs +
           ")\n"
           "\n"
           "\n"
           "def _local_path(file):\n"
           "    \"\"\"The item's path as bytes, or None when it is not a local file.\"\"\"\n"
           "    if file.get_uri_scheme() != 'file':\n"
           "        return None\n"
           "    location = file.get_location()\n"
           "    path = location.get_path() if location is not None else None\n"
           "    return os.fsencode(path) if path else None\n"
           "\n"
           "\n"
           "def _offered(file, path, mime_types, extensions):\n"
           "    if file.is_directory():\n"
           "        return True\n"
           "    mime = file.get_mime_type() or ''\n"
           "    if any(Gio.content_type_is_a(mime, t) for t in mime_types):\n"
           "        return True\n"
           "    name = path.rpartition(b'/')[2]\n"
           "    dot = name.rfind(b'.')\n"
           "    return dot >= 0 and name[dot + 1:].lower() in extensions\n"
           "\n"
           "\n"
           "def _start(_item, arguments):\n"
           "    try:\n"
           "        child = subprocess.Popen(arguments, stdin=subprocess.DEVNULL,\n"
           "                                 close_fds=True, start_new_session=True)\n"
           "    except OSError as error:\n"
           "        print('MP3 Tunewright: cannot start %s: %s' % (os.fsdecode(LAUNCHER), error),\n"
           "              file=sys.stderr)\n"
           "        return\n"
           "    # GNOME Files' main loop reaps it when it ends.\n"
           "    GLib.child_watch_add(GLib.PRIORITY_DEFAULT, child.pid,\n"
           "                         lambda pid, status: child.poll())\n"
           "\n"
           "\n"
           "class MP3TunewrightMenu(GObject.GObject, Nautilus.MenuProvider):\n"
           "    def get_file_items(self, *arguments):\n"
           "        # GNOME Files 43 passes the files; earlier versions the window first.\n"
           "        files = arguments[-1] if arguments else []\n"
           "        local = [(file, _local_path(file)) for file in files]\n"
           "        local = [(file, path) for file, path in local if path is not None]\n"
           "        if not local:\n"
           "            return []\n"
           "        items = []\n"
           "        for name, label, tip, options, mime_types, extensions in VERBS:\n"
           "            if not all(_offered(file, path, mime_types, extensions)\n"
           "                       for file, path in local):\n"
           "                continue\n"
           "            item = Nautilus.MenuItem(name='MP3Tunewright::' + name, label=label,\n"
           "                                     tip=tip, icon=ICON)\n"
           "            arguments = [LAUNCHER, *options, b'--'] + [path for _, path in local]\n"
           "            item.connect('activate', _start, arguments)\n"
           "            items.append(item)\n"
           "        return items\n"
           "\n"
           "    def get_background_items(self, *arguments):\n"
           "        return []\n";
}

// Thunar keeps every custom action of the user in one file, uca.xml, which
// replaces the system's default file once it exists. Our actions are spliced
// in as text, so everything else in the file keeps its bytes.
class ThunarFormat : public MenuFormat {
public:
    std::string name() const override { return "Thunar custom actions"; }

    std::vector<std::string> folders() const override {
        if (!used()) {
            return {};
        }
        return {platform::parentDir(userFile())};
    }

    std::vector<std::string> files() const override {
        if (!used()) {
            return {};
        }
        return {userFile()};
    }

    bool IsCurrent(const MenuTarget& target) const override {
        if (!used()) {
            return true;
        }
        if (!canName(target.launcher)) {
            // Left out: current once no block of ours is left.
            return Remove(false);
        }
        std::optional<std::string> text = platform::readWholeFile(userFile(), kUcaLimit);
        if (!text) {
            return false;
        }
        std::optional<Parsed> parsed = parse(*text);
        if (!parsed) {
            return false;
        }
        const std::string expected = allBlocks(target);
        std::string found;
        for (const Span& span : parsed->ours) {
            found += text->substr(span.begin, span.end - span.begin);
        }
        return found == expected;
    }

    void Write(const MenuTarget& target) const override {
        if (!used()) {
            return;
        }
        const std::string path = userFile();
        if (!canName(target.launcher)) {
            // A file Thunar (and this program) could not read back would lose the
            // user's own actions: Thunar is left out, and older blocks of ours go.
            std::fprintf(stderr,
                         "mp3tunewright: Thunar actions left out: %s cannot name the launcher %s "
                         "(not UTF-8 text without control characters)\n",
                         path.c_str(), target.launcher.c_str());
            if (!Remove()) {
                throw ShellAssociationError("Cannot remove the old actions from " + path);
            }
            return;
        }
        std::optional<std::string> text = platform::readWholeFile(path, kUcaLimit);
        struct stat st {};
        mode_t mode = 0644;
        if (text) {
            if (::stat(path.c_str(), &st) == 0) {
                mode = st.st_mode & 07777;
            }
        } else if (::lstat(path.c_str(), &st) == 0) {
            throw ShellAssociationError("Cannot read " + path + ": " + errnoText(errno));
        } else {
            // A user's own file replaces the system's: start from the system's so
            // Thunar's default actions stay, or from an empty list without one.
            text = systemFile().value_or(
                "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<actions>\n</actions>\n");
        }
        std::optional<Parsed> parsed = parse(*text);
        if (!parsed) {
            throw ShellAssociationError(
                path + " is not a valid Thunar actions file; it was left as it is.");
        }
        const std::string blocks = allBlocks(target);
        std::string out;
        if (parsed->selfClosing) {
            out = text->substr(0, parsed->insertAt) + "<actions>\n" + blocks + "</actions>" +
                  text->substr(parsed->closeEnd);
        } else {
            out = withoutOurs(*text, *parsed, parsed->insertAt) + blocks +
                  text->substr(parsed->insertAt);
        }
        writeActionFile(path, out, mode);
    }

    bool Remove() const override { return Remove(true); }

    // True when no block of ours is left in the file; with `change`, blocks of
    // ours are taken out first.
    bool Remove(bool change) const {
        const std::string path = userFile();
        std::optional<std::string> text = platform::readWholeFile(path, kUcaLimit);
        if (!text) {
            return true;
        }
        std::optional<Parsed> parsed = parse(*text);
        if (!parsed) {
            return text->find("<unique-id>mp3tunewright-") == std::string::npos;
        }
        if (parsed->ours.empty()) {
            return true;
        }
        if (!change) {
            return false;
        }
        if (platform::isReadOnlyFile(path)) {
            return false;
        }
        struct stat st {};
        mode_t mode = ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0644;
        std::string out = withoutOurs(*text, *parsed, text->size());
        return platform::writeFileAtomically(path, out, mode) == 0;
    }

    // The unique ids of our actions: per verb one for its files and one for
    // folders.
    static std::vector<std::string> uniqueIds() {
        std::vector<std::string> ids;
        for (const MenuVerb& verb : MenuVerbs()) {
            ids.push_back(verb.id);
            ids.push_back(std::string(verb.id) + "-folders");
        }
        return ids;
    }

    // Every block of ours, in the order they are written.
    static std::string allBlocks(const MenuTarget& target) {
        std::string blocks;
        for (const MenuVerb& verb : MenuVerbs()) {
            blocks += blockText(verb, target, false) + blockText(verb, target, true);
        }
        return blocks;
    }

    // Thunar offers an action only when every selected item matches one of its
    // patterns and is of a kind it names (folders, audio files, ...): the verb's
    // files and folders are therefore two actions of the same name.
    static std::string blockText(const MenuVerb& verb, const MenuTarget& target, bool folders) {
        std::string patterns;
        std::string kinds;
        if (folders) {
            patterns = "*";
            kinds = "    <directories/>\n";
        } else {
            for (const std::string& extension : extensionsOf(verb)) {
                patterns +=
                    (patterns.empty() ? "*." : ";*.") + extension + ";*." + upperCase(extension);
            }
            // A kind follows from the MIME type's top level.
            for (const char* kind : {"audio", "video", "other"}) {
                for (const MenuFileType& type : verb.types) {
                    const std::string mime = type.mimeType;
                    const bool media = mime.rfind("audio/", 0) == 0 || mime.rfind("video/", 0) == 0;
                    if (mime.rfind(std::string(kind) + "/", 0) == 0 ||
                        (std::string(kind) == "other" && !media)) {
                        kinds += std::string("    <") + kind + "-files/>\n";
                        break;
                    }
                }
            }
        }
        // Thunar replaces %f, %F, %d, %n, %u and %% anywhere in a command, inside
        // quotes too, before the shell reads it: a '%' of the path is doubled.
        std::string launcher;
        for (char c : target.launcher) {
            launcher += c == '%' ? std::string("%%") : std::string(1, c);
        }
        return std::string("  <action>\n") + "    <icon>" + kIcon + "</icon>\n" + "    <name>" +
               XmlEscape(verb.name) + "</name>\n" + "    <submenu></submenu>\n" +
               "    <unique-id>" + verb.id + (folders ? "-folders" : "") + "</unique-id>\n" +
               "    <command>" +
               XmlEscape(ShellQuote(launcher) + " " + optionsAndEnd(verb) + " %F") +
               "</command>\n" + "    <description>" + XmlEscape(verb.comment) + "</description>\n" +
               "    <range>*</range>\n" + "    <patterns>" + patterns + "</patterns>\n" + kinds +
               "  </action>\n";
    }

    // XML (and Thunar, which reads uca.xml as UTF-8) can hold the launcher's path
    // only when it is UTF-8 without control characters.
    static bool canName(const std::string& launcher) {
        for (char c : launcher) {
            if (static_cast<unsigned char>(c) < 0x20) {
                return false;
            }
        }
        return IsValidUtf8(launcher);
    }

    static std::string userFile() { return platform::joinPath(ConfigHome(), "Thunar/uca.xml"); }

private:
    struct Span {
        size_t begin;
        size_t end;
    };
    struct Parsed {
        std::vector<Span> ours;   // whole lines holding our <action> blocks
        size_t insertAt = 0;      // where new blocks go: the line of </actions>
        bool selfClosing = false; // <actions/>: insertAt..closeEnd is that tag
        size_t closeEnd = 0;
    };

    // Thunar is used here when the user has a file of its own, the system has
    // Thunar's default file, or Thunar is installed.
    static bool used() {
        struct stat st {};
        return ::lstat(userFile().c_str(), &st) == 0 || systemFile().has_value() ||
               !QStandardPaths::findExecutable("thunar").isEmpty();
    }

    static std::optional<std::string> systemFile() {
        const char* dirs = std::getenv("XDG_CONFIG_DIRS");
        std::string list = dirs && *dirs ? dirs : "/etc/xdg";
        size_t start = 0;
        while (start <= list.size()) {
            size_t end = list.find(':', start);
            if (end == std::string::npos) {
                end = list.size();
            }
            std::string dir = list.substr(start, end - start);
            if (!dir.empty() && dir[0] == '/') {
                if (auto text = platform::readWholeFile(platform::joinPath(dir, "Thunar/uca.xml"),
                                                        kUcaLimit)) {
                    return text;
                }
            }
            start = end + 1;
        }
        return std::nullopt;
    }

    static size_t lineStart(const std::string& text, size_t at) {
        size_t p = at;
        while (p > 0 && (text[p - 1] == ' ' || text[p - 1] == '\t')) {
            --p;
        }
        return (p == 0 || text[p - 1] == '\n') ? p : at;
    }

    static size_t lineEnd(const std::string& text, size_t at) {
        size_t p = at;
        while (p < text.size() && (text[p] == ' ' || text[p] == '\t' || text[p] == '\r')) {
            ++p;
        }
        return (p < text.size() && text[p] == '\n') ? p + 1 : at;
    }

    // Checks the file with an XML parser and finds our blocks and the end of
    // <actions>. The blocks are found in the bytes themselves, as Thunar writes
    // them ("<action>" ... "<unique-id>id</unique-id>" ... "</action>"), and must
    // be exactly the actions of ours that the parser saw; anything else counts
    // as a file we cannot edit safely.
    static std::optional<Parsed> parse(const std::string& bytes) {
        QXmlStreamReader reader(QByteArray(bytes.data(), static_cast<qsizetype>(bytes.size())));
        int depth = 0;
        int oursSeen = 0;
        bool rootIsActions = false;
        while (!reader.atEnd()) {
            QXmlStreamReader::TokenType token = reader.readNext();
            if (token == QXmlStreamReader::StartElement) {
                ++depth;
                if (depth == 1) {
                    rootIsActions = reader.name() == QLatin1String("actions");
                }
                if (depth == 3 && reader.name() == QLatin1String("unique-id")) {
                    QString id = reader.readElementText();
                    --depth;
                    for (const std::string& ours : uniqueIds()) {
                        oursSeen += id == QString::fromStdString(ours) ? 1 : 0;
                    }
                }
            } else if (token == QXmlStreamReader::EndElement) {
                --depth;
            }
        }
        if (reader.hasError() || !rootIsActions) {
            return std::nullopt;
        }

        Parsed parsed;
        for (const std::string& ours : uniqueIds()) {
            const std::string idElement = "<unique-id>" + ours + "</unique-id>";
            for (size_t at = bytes.find(idElement); at != std::string::npos;
                 at = bytes.find(idElement, at + 1)) {
                size_t begin = bytes.rfind("<action>", at);
                size_t end = bytes.find("</action>", at);
                if (begin == std::string::npos || end == std::string::npos) {
                    return std::nullopt;
                }
                end += std::strlen("</action>");
                parsed.ours.push_back({lineStart(bytes, begin), lineEnd(bytes, end)});
            }
        }
        if (static_cast<int>(parsed.ours.size()) != oursSeen) {
            return std::nullopt;
        }
        std::sort(parsed.ours.begin(), parsed.ours.end(),
                  [](const Span& a, const Span& b) { return a.begin < b.begin; });

        size_t close = bytes.rfind("</actions>");
        if (close != std::string::npos) {
            parsed.insertAt = lineStart(bytes, close);
        } else {
            size_t empty = bytes.rfind("<actions/>");
            if (empty == std::string::npos) {
                return std::nullopt;
            }
            parsed.selfClosing = true;
            parsed.insertAt = empty;
            parsed.closeEnd = empty + std::strlen("<actions/>");
        }
        return parsed;
    }

    // The text up to `limit` without our blocks.
    static std::string withoutOurs(const std::string& text, const Parsed& parsed, size_t limit) {
        std::string out;
        size_t at = 0;
        for (const Span& span : parsed.ours) {
            if (span.begin >= limit) {
                break;
            }
            out += text.substr(at, span.begin - at);
            at = span.end;
        }
        if (at < limit) {
            out += text.substr(at, limit - at);
        }
        return out;
    }
};

} // namespace

const std::vector<MenuVerb>& MenuVerbs() {
    // "Compress to MP3" takes WAVs and whatever else the encoder reads: the
    // common audio formats and the sound of common videos. Subtypes (Ogg Vorbis
    // and Opus of Ogg audio, WMA of ASF) match their parent type too.
    static const std::vector<MenuVerb> verbs = {
        {"Decode to WAVE",
         "mp3tunewright-decode-to-wave",
         "DecodeToWave",
         {{"audio/mpeg", {"mp3"}}},
         "Decode MP3 files to WAVE files with MP3 Tunewright",
         "--decode-folders"},
        {"Compress to MP3",
         "mp3tunewright-compress-to-mp3",
         "CompressToMp3",
         {{"audio/x-wav", {"wav"}},
          {"audio/flac", {"flac"}},
          {"audio/mp4", {"m4a", "m4b"}},
          {"audio/aac", {"aac"}},
          {"audio/ogg", {"ogg", "oga"}},
          {"audio/x-vorbis+ogg", {}},
          {"audio/x-opus+ogg", {"opus"}},
          {"audio/x-aiff", {"aif", "aiff"}},
          {"audio/x-aifc", {"aifc"}},
          {"audio/x-ms-wma", {"wma"}},
          {"application/vnd.ms-asf", {"asf"}},
          {"audio/x-wavpack", {"wv"}},
          {"audio/x-ape", {"ape"}},
          {"audio/x-matroska", {"mka"}},
          {"audio/webm", {"weba"}},
          {"audio/x-caf", {"caf"}},
          {"audio/basic", {"au", "snd"}},
          {"video/mp4", {"mp4", "m4v"}},
          {"video/x-matroska", {"mkv"}},
          {"video/webm", {"webm"}},
          {"video/x-msvideo", {"avi"}},
          {"video/quicktime", {"mov"}},
          {"video/mp2t", {"ts", "m2ts", "mts"}},
          {"video/x-flv", {"flv"}}},
         "Compress WAVE and other audio files, or a video's sound, to MP3 files with MP3 "
         "Tunewright",
         ""},
    };
    return verbs;
}

std::string DataHome() {
    return xdgHome("XDG_DATA_HOME", ".local/share");
}

std::string ConfigHome() {
    return xdgHome("XDG_CONFIG_HOME", ".config");
}

std::string MenuLauncherPath() {
    return platform::joinPath(DataHome(), "mp3tunewright/context-menu");
}

std::string NautilusExtensionPath() {
    return platform::joinPath(DataHome(), "nautilus-python/extensions/mp3tunewright.py");
}

bool NautilusPythonInstalled() {
    std::vector<std::string> folders;
    const char* chosen = std::getenv("TUNEWRIGHT_NAUTILUS_EXTENSIONS_DIR");
    if (chosen && *chosen) {
        folders.push_back(chosen);
    } else {
        folders = {"/usr/lib/" TW_LIBRARY_ARCHITECTURE "/nautilus/extensions-4",
                   "/usr/lib64/nautilus/extensions-4", "/usr/lib/nautilus/extensions-4"};
    }
    for (const std::string& folder : folders) {
        if (platform::fileExists(platform::joinPath(folder, "libnautilus-python.so"))) {
            return true;
        }
    }
    return false;
}

const std::vector<std::unique_ptr<MenuFormat>>& MenuFormats() {
    static const std::vector<std::unique_ptr<MenuFormat>> formats = [] {
        auto in = [](std::function<std::string()> base, const char* folder, const char* suffix) {
            return [base, folder, suffix](const MenuVerb& verb) {
                return platform::joinPath(platform::joinPath(base(), folder),
                                          std::string(verb.id) + suffix);
            };
        };
        auto scriptIn = [](std::function<std::string()> base, const char* folder) {
            return [base, folder](const MenuVerb& verb) {
                return platform::joinPath(platform::joinPath(base(), folder), verb.name);
            };
        };
        std::vector<std::unique_ptr<MenuFormat>> list;
        list.push_back(std::make_unique<FilesFormat>(
            "the context-menu launcher", [](const MenuVerb&) { return MenuLauncherPath(); },
            [](const MenuVerb&, const MenuTarget& target) { return launcherText(target); }, 0755,
            FilesFormat::Files::One));
        list.push_back(std::make_unique<FilesFormat>(
            "KDE service menus", in(DataHome, "kio/servicemenus", ".desktop"), kdeText, 0755));
        list.push_back(std::make_unique<FilesFormat>(
            "Nemo actions", in(DataHome, "nemo/actions", ".nemo_action"), nemoText, 0644));
        list.push_back(std::make_unique<FilesFormat>(
            "FileManager-Actions (Caja, PCManFM-Qt)",
            in(DataHome, "file-manager/actions", ".desktop"), fileManagerActionText, 0644));
        list.push_back(std::make_unique<ThunarFormat>());
        // GNOME Files takes the extension where it loads Python extensions, and
        // the scripts elsewhere; never both, or every verb would be there twice.
        list.push_back(std::make_unique<FilesFormat>(
            "GNOME Files menu extension", [](const MenuVerb&) { return NautilusExtensionPath(); },
            nautilusExtensionText, 0644, FilesFormat::Files::One, NautilusPythonInstalled));
        list.push_back(std::make_unique<FilesFormat>(
            "GNOME Files scripts", scriptIn(DataHome, "nautilus/scripts"), scriptText, 0755,
            FilesFormat::Files::PerVerb, [] { return !NautilusPythonInstalled(); }));
        list.push_back(std::make_unique<FilesFormat>(
            "Caja scripts", scriptIn(ConfigHome, "caja/scripts"), scriptText, 0755));
        return list;
    }();
    return formats;
}

std::string ShellQuote(const std::string& text) {
    std::string out = "'";
    for (char c : text) {
        if (c == '\'') {
            out += "'\\''";
        } else {
            out += c;
        }
    }
    return out + "'";
}

std::string ExecQuote(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        switch (c) {
        case '"':
        case '`':
        case '$':
        case '\\':
            out += '\\';
            out += c;
            break;
        case '%':
            out += "%%";
            break;
        default:
            out += c;
        }
    }
    return out + "\"";
}

std::string KeyFileValue(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        switch (c) {
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\r':
            out += "\\r";
            break;
        case ' ':
            out += i == 0 ? "\\s" : " ";
            break;
        default:
            out += c;
        }
    }
    return out;
}

std::string XmlEscape(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\'':
            out += "&apos;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

bool IsValidUtf8(const std::string& text) {
    QByteArray bytes(text.data(), static_cast<qsizetype>(text.size()));
    return QString::fromUtf8(bytes).toUtf8() == bytes;
}

} // namespace settings
