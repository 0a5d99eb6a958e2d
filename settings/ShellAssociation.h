#pragma once

#include <stdexcept>
#include <string>

class QWidget;

// The context-menu commands "Decode to WAVE" (MP3 files) and "Compress to MP3"
// (WAV files). They are kept in two places: as verbs under the classes root of
// the registry store, and as the context-menu actions of the Linux file
// managers (ContextMenus.h), which start the running executable with the whole
// selection. No default application of any file type is changed.
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

// The full path of the running executable (the target of /proc/self/exe, never
// with the " (deleted)" a replaced program shows).
std::string RunningExecutable();

// The registry command line of both verbs: the executable's path in double
// quotes, a blank, and "%1" in double quotes.
std::string ShellCommandLine(const std::string& executable);

// True only when both verbs are present under the classes of ".MP3" and ".WAV",
// both commands equal ShellCommandLine(executable) byte for byte, every file
// manager's actions are in place for `executable` as AssociateShell writes
// them, and no "Open With" entry of an earlier version is left.
bool IsShellAssociated(const std::string& executable = RunningExecutable());

// True when the classes root and every action folder can be written; the probe
// leaves an empty ".MP3" key (and the action folders) behind when there were
// none. On false the user has been shown the rights message and nothing has
// been written. The message box belongs to `owner`.
bool CanWriteClassesRoot(QWidget* owner = nullptr);

// Writes both verbs (naming a class of its own only for an extension that has
// none) and every file manager's actions, and removes the "Open With" entries
// of earlier versions. Throws ShellAssociationError when a write fails, after
// writing everything else it could.
void AssociateShell(const std::string& executable = RunningExecutable());

// Removes both verbs, whatever program they point to, and every action file of
// ours. True only when both verbs were found and removed and no action is
// left; a read-only classes root or action file is left alone and makes it
// false. The extension keys, their classes and the classes' "shell" keys stay.
bool DeassociateShell();

// The association dialogue the launcher runs each time it is shown: writes the
// commands when they are missing or point elsewhere and says so, or shows the
// rights message, in boxes that belong to `owner` (the launcher).
// ShellAssociationError passes through to the caller.
void ShellAssociationDialogue(QWidget* owner = nullptr);

// The removal dialogue of the launcher's "Deassociate" button: asks, removes,
// and reports success or failure, in boxes that belong to `owner`.
void ShellRemovalDialogue(QWidget* owner = nullptr);

} // namespace settings
