#pragma once

#include <stdexcept>
#include <string>

// The context-menu commands "Decode to WAVE" (MP3 files) and "Compress to MP3"
// (WAV files). They are kept in two places: as verbs under the classes root of
// the registry store, and as two desktop entries in the user's applications
// folder ($XDG_DATA_HOME/applications), which is what Linux file managers offer
// in their "Open With" menus. Both start the running executable with the
// selected file as the only argument, one process per file.
//
// Every operation reads the registry and the folder afresh through short-lived
// handles; nothing is cached. User-interface thread only.
namespace settings {

// A write that failed after the rights test passed. The association may then be
// half done; the next check finds it incomplete and writes everything again.
class ShellAssociationError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

enum class ShellVerb { DecodeToWave, CompressToMp3 };

// The full path of the running executable (the target of /proc/self/exe).
std::string RunningExecutable();

// The registry command line of both verbs: the executable's path in double
// quotes, a blank, and "%1" in double quotes.
std::string ShellCommandLine(const std::string& executable);

// The folder of the desktop entries: $XDG_DATA_HOME/applications, where an unset
// or relative XDG_DATA_HOME means ~/.local/share.
std::string DesktopEntriesDir();
// The full path of a verb's desktop entry in that folder.
std::string DesktopEntryPath(ShellVerb verb);
// The Exec value of the desktop entries: the executable's path quoted and
// escaped as desktop entries require, then the field code %f unquoted.
std::string DesktopExecLine(const std::string& executable);
// The complete text of a verb's desktop entry.
std::string DesktopEntryText(ShellVerb verb, const std::string& executable);

// True only when both verbs are present under the classes of ".MP3" and ".WAV",
// both commands equal ShellCommandLine(executable) byte for byte, and both
// desktop entries hold exactly DesktopEntryText(..., executable).
bool IsShellAssociated(const std::string& executable = RunningExecutable());

// True when the classes root and the applications folder can be written; the
// probe leaves an empty ".MP3" key behind when there was none. On false the
// user has been shown the rights message and nothing has been written.
bool CanWriteClassesRoot();

// Writes both verbs (naming a class of its own only for an extension that has
// none) and both desktop entries, then refreshes the desktop's MIME cache.
// Throws ShellAssociationError when a write fails.
void AssociateShell(const std::string& executable = RunningExecutable());

// Removes both verbs, whatever program they point to, and both desktop entries.
// True only when both verbs were found and removed and no entry is left; a
// read-only classes root or entry is left alone and makes it false. The
// extension keys, their classes and the classes' "shell" keys stay.
bool DeassociateShell();

// The association dialogue the launcher runs each time it is shown: writes the
// commands when they are missing or point elsewhere and says so, or shows the
// rights message. ShellAssociationError passes through to the caller.
void ShellAssociationDialogue();

// The removal dialogue of the launcher's "Deassociate" button: asks, removes,
// and reports success or failure.
void ShellRemovalDialogue();

} // namespace settings
