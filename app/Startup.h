#pragma once

#include <QApplication>
#include <exception>
#include <string>
#include <vector>

namespace app {

inline constexpr const char* kApplicationTitle = "MP3 Tunewright 3.32";
// The id of the launcher's desktop entry, its AppStream metainfo and its icon.
inline constexpr const char* kDesktopFileId = "io.github.tunewright.MP3Tunewright";

// The command line as the process received it, kept as bytes before the Qt
// application object exists (Qt would decode names and lose non-UTF-8 bytes).
struct CommandLine {
    std::string program;
    std::vector<std::string> names;  // the file names, one per argument, byte for byte
    bool hasFileNames() const { return !names.empty(); }
};

CommandLine SaveCommandLine(int argc, char** argv);

// Shows an exception the way the program shows every escaped exception: the
// general error box with the exception's text.
void ShowException(const std::exception* error);

// The main window has closed: ends the message loop once no window holds the
// program open (Lifetime.h); a request made before the loop runs is kept and
// start-up then skips the loop.
void RequestQuit();
bool QuitRequested();

// The application object: an exception escaping an event handler is shown with
// ShowException instead of tearing the process down.
class TApplication : public QApplication {
public:
    TApplication(int& argc, char** argv);
    bool notify(QObject* receiver, QEvent* event) override;
};

// The instance lock a start took before the program proper was loaded.
struct HeldLock {
    int fd = -1;
    std::string dir;
    bool namesHandedOver = false; // the names are in a hand-off file this process reads
};

// The whole start-up: roles, lock, hand-off, windows, message loop. Returns the
// process exit code (0 after a normal run, --help or --version, 1 after a
// hand-off, 2 after an unknown option or when the runtime folder or the hand-off
// file cannot be used). With `held`, the lock is already this process's.
int Run(int argc, char** argv, const HeldLock* held = nullptr);

}  // namespace app
