#pragma once

#include <QApplication>
#include <exception>
#include <string>
#include <vector>

namespace app {

inline constexpr const char* kApplicationTitle = "MP3 Tunewright 3.32";

// The command line as the process received it, kept as bytes before the Qt
// application object exists (Qt would decode names and lose non-UTF-8 bytes).
struct CommandLine {
    std::string program;
    std::vector<std::string> names;  // arguments 1 to count-1, byte for byte
    bool hasFileNames() const { return !names.empty(); }
};

CommandLine SaveCommandLine(int argc, char** argv);

// The names joined with one blank into the single queue entry the first
// process converts ("a.mp3 b.mp3" for two arguments).
std::string JoinedNames(const std::vector<std::string>& names);

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

// The whole start-up: roles, lock, hand-off, windows, message loop. Returns the
// process exit code (0 after a normal run, 1 after a hand-off, 2 when the
// runtime folder or the hand-off file cannot be used).
int Run(int argc, char** argv);

}  // namespace app
