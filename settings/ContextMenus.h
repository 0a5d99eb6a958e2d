#pragma once

#include <memory>
#include <string>
#include <vector>

// The context-menu actions of the Linux file managers: "Decode to WAVE" on MP3
// files and "Compress to MP3" on WAV files and the other audio and video files
// the encoder reads (FLAC, M4A, Ogg, Opus, AIFF, WMA, videos' sound, ...), both
// also on folders, each starting one process of the program with the whole
// selection. Every file-manager family reads its own format from its own folder
// in the user's home; one writer per format sits behind one list, and all of
// them share the verbs, the types they are offered for and the quoting helpers.
//
// A folder has no extension to tell the program which verb it came with, so
// "Decode to WAVE" starts the program with the option --decode-folders before
// the "--" that precedes the names; "Compress to MP3" starts it without.
//
// Every action starts a small per-user launcher script that holds the
// program's real path, shell-quoted: no key-file format can name a path that is
// not UTF-8, and KDE cannot start a program whose path contains '%'.
//
// Files of ours carry the marker "X-MP3Tunewright-Action="; a file of the user's
// at one of our paths is never overwritten or removed.
namespace settings {

// A file type a verb is offered for: its MIME type and the file extensions
// (lower case, matched without regard to case) that name it.
struct MenuFileType {
    const char* mimeType;
    std::vector<const char*> extensions;
};

// One verb as the file managers offer it. Every writer offers it for the same
// types: by MIME type where the format matches types, by extension elsewhere.
struct MenuVerb {
    const char* name;     // the menu text, also the registry verb
    const char* id;       // file names and ids: "mp3tunewright-decode-to-wave"
    const char* actionId; // the KDE action group's id
    std::vector<MenuFileType> types;
    const char* comment;
    // The program's options before "--": "--decode-folders" or "".
    const char* options;
};

// The MIME type of folders, on which every verb is offered too.
inline constexpr const char* kFolderMimeType = "inode/directory";

// Both verbs: decode first, then compress.
const std::vector<MenuVerb>& MenuVerbs();

// What every action points at.
struct MenuTarget {
    std::string program;  // the program's full path, any bytes
    std::string launcher; // the per-user launcher script the actions start
};

// One file-manager family's actions.
class MenuFormat {
public:
    virtual ~MenuFormat() = default;
    // A short name for messages ("KDE service menus").
    virtual std::string name() const = 0;
    // The folders its files go into; empty when the family is not used here.
    virtual std::vector<std::string> folders() const = 0;
    // The files it writes (for the rights test and the removal).
    virtual std::vector<std::string> files() const = 0;
    // True when its actions are in place for `target` exactly as Write puts them.
    virtual bool IsCurrent(const MenuTarget& target) const = 0;
    // Writes or rewrites its actions; throws ShellAssociationError.
    virtual void Write(const MenuTarget& target) const = 0;
    // Removes its actions; true when nothing of ours is left.
    virtual bool Remove() const = 0;
};

// The launcher script first, then every file-manager family.
const std::vector<std::unique_ptr<MenuFormat>>& MenuFormats();

// The launcher script's path: $XDG_DATA_HOME/mp3tunewright/context-menu.
std::string MenuLauncherPath();

// GNOME Files' menu extension: $XDG_DATA_HOME/nautilus-python/extensions/mp3tunewright.py.
std::string NautilusExtensionPath();

// True when GNOME Files loads Python extensions here: python3-nautilus's loader,
// libnautilus-python.so, is in GNOME Files' extension folder
// ($TUNEWRIGHT_NAUTILUS_EXTENSIONS_DIR when set, else /usr/lib/<multiarch>/nautilus/
// extensions-4 and the other usual library folders). Then the verbs go into its
// own menu through the extension; else into its Scripts submenu.
bool NautilusPythonInstalled();

// Base folders, with the XDG rules: an unset or relative value means the
// default below $HOME.
std::string DataHome();
std::string ConfigHome();

// Quoting helpers shared by the writers.
// A POSIX shell word: the text in single quotes, each quote written '\''.
std::string ShellQuote(const std::string& text);
// One argument of a desktop-entry Exec line: in double quotes, with '"', '`',
// '$' and '\' behind a backslash and '%' doubled.
std::string ExecQuote(const std::string& text);
// A key-file string value: '\' doubled, control characters escaped, a leading
// blank written "\s".
std::string KeyFileValue(const std::string& text);
// XML character data: '&', '<', '>', '"' and '\'' as entities.
std::string XmlEscape(const std::string& text);
bool IsValidUtf8(const std::string& text);

} // namespace settings
