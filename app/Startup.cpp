#include "app/Startup.h"

#include <QMetaObject>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <unistd.h>

#include "app/CommandLine.h"
#include "app/HandOff.h"
#include "app/ConversionForm.h"
#include "app/Lifetime.h"
#include "app/Windows.h"
#include "platform/InstanceFiles.h"
#include "platform/Paths.h"
#include "platform/Services.h"

namespace app {
namespace {
bool g_quitRequested = false;
}

CommandLine SaveCommandLine(int argc, char** argv) {
    CommandLine line;
    if (argc > 0 && argv[0]) {
        line.program = argv[0];
    }
    line.names = ParseArguments(argc, argv).names;
    return line;
}

void ShowException(const std::exception* error) {
    platform::showErrorBox(error ? error->what() : "Unknown exception");
}

void RequestQuit() {
    g_quitRequested = true;
    EndProgramWhenFree();
}

namespace {

// A converter whose window has ended by itself (its batch completed, or the user
// exited it) while names were handed over to it (a writer that found the lock held
// during the exit question exited 1): it lets the lock go, and when names wait
// and the lock is free again it converts them in a new window rather than leave
// them for some unrelated later start. A window closed from outside (a logout)
// leaves them for the next start.
bool convertWaitingNames(platform::InstanceLock& lock) {
    if (!lock.held() || TForm1::ClosedFromOutside) {
        return false;
    }
    lock.release();
    if (!BatchEngine::WorkWaiting(lock.dir(), BatchEngine::HandOffFilesSetAside())) {
        return false;
    }
    std::string error;
    if (lock.reacquire(&error) != platform::LockResult::Acquired) {
        return false; // another converter has them, or the folder is unusable
    }
    g_quitRequested = false;
    TForm1::CloseRequested = false;
    return true;
}

} // namespace

bool QuitRequested() {
    return g_quitRequested;
}

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv) {}

bool TApplication::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception& e) {
        ShowException(&e);
    } catch (...) {
        ShowException(nullptr);
    }
    return false;
}

namespace {

// A start that cannot go on: the reason goes to stderr and, since a user who
// started from a file manager never sees stderr, into a message box when a
// display is there to show one.
int startError(const std::string& reason, char* program) {
    std::fprintf(stderr, "mp3tunewright: %s\n", reason.c_str());
    std::fflush(stderr);
    const char* platformName = std::getenv("QT_QPA_PLATFORM");
    const char* x11 = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    // Qt ends the process when its platform cannot start: no box without a display.
    const bool display = (x11 && *x11) || (wayland && *wayland) ||
                         (platformName && std::string(platformName) == "offscreen");
    std::optional<TApplication> application;
    if (display) {
        static int argc = 1;
        static char* argv[] = {program, nullptr};
        application.emplace(argc, argv);
    }
    platform::setApplicationTitle(kApplicationTitle);
    platform::messageBox(reason, kApplicationTitle, platform::Ok, platform::Icon::Error);
    return 2;
}

} // namespace

int Run(int argc, char** argv, const HeldLock* held) {
    // Options are answered before anything exists: no lock, no folder, no
    // application object.
    Arguments arguments = ParseArguments(argc, argv);
    if (arguments.request != Arguments::Request::Start) {
        return AnswerArguments(arguments, stdout, stderr);
    }
    CommandLine line = SaveCommandLine(argc, argv);
    platform::InstanceLock lock;

    std::vector<std::string> firstNames;
    if (held) {
        lock.adopt(held->fd, held->dir);
        if (!held->namesHandedOver) {
            firstNames = AbsoluteNames(line.names, arguments.decodeFolders);
        }
    } else if (line.hasFileNames()) {
        // The hand-off role never creates the application object.
        const Claim claim = ClaimNames(lock, line.names, arguments.decodeFolders);
        switch (claim.outcome) {
        case Claim::HandedOver:
            return 1;
        case Claim::Failed:
            return startError(claim.error, argv[0]);
        case Claim::Converter:
            // Every argument is one queue entry, unless the names went into a
            // hand-off file this process now reads.
            if (!claim.namesHandedOver) {
                firstNames = AbsoluteNames(line.names, arguments.decodeFolders);
            }
            break;
        }
    }

    // Under Wayland a window cannot place or move itself; the conversion window
    // needs both, so an X server beside Wayland is preferred when there is one.
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    const char* x11 = std::getenv("DISPLAY");
    const char* platformName = std::getenv("QT_QPA_PLATFORM");
    if (wayland && *wayland && x11 && *x11 && !(platformName && *platformName)) {
        setenv("QT_QPA_PLATFORM", "xcb", 1);
    }

    // The application object outlives the guard, so that an exception escaping
    // the creation of the windows is still shown in a box.
    std::optional<TApplication> application;
    try {
        // Qt takes its own options (-platform, -reverse, ...) out of the list it
        // is given, also after "--", where they are file names: it gets only the
        // program name.
        static char fallbackName[] = "mp3tunewright";
        static int qtArgc = 1;
        static char* qtArgv[] = {argc > 0 && argv[0] ? argv[0] : fallbackName, nullptr};
        application.emplace(qtArgc, qtArgv);
        QApplication::setApplicationName("mp3tunewright");
        // The launcher's desktop entry: desktops find the icon and the name there.
        QGuiApplication::setDesktopFileName(kDesktopFileId);
        // The title is the caption of the general error box. It is not Qt's
        // display name, which Qt would append to every window's caption.
        platform::setApplicationTitle(kApplicationTitle);
        // Closing the main window ends the program even while another window
        // is open; that is decided by the main window itself, not by Qt.
        QApplication::setQuitOnLastWindowClosed(false);

        bool again = false;
        do {
            Windows windows =
                CreateWindows(line.hasFileNames(), firstNames, lock.held() ? &lock : nullptr);
            if (!QuitRequested()) {
                if (windows.mainWindow) {
                    windows.mainWindow->show();
                    RunMessageLoop();
                }
            }
            DestroyWindows(windows);
            firstNames.clear();
            again = line.hasFileNames() && convertWaitingNames(lock);
        } while (again);
    } catch (const std::exception& e) {
        ShowException(&e);
    } catch (...) {
        ShowException(nullptr);
    }
    lock.release();
    return 0;
}

} // namespace app
