#include "app/Startup.h"

#include <QMetaObject>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>

#include "app/CommandLine.h"
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

// Relative names are made absolute here, in the process that got them, since
// the converting process may run in another directory.
std::vector<std::string> absoluteNames(const std::vector<std::string>& names) {
    std::vector<std::string> out;
    out.reserve(names.size());
    for (const std::string& n : names) {
        out.push_back(platform::absolutePath(n));
    }
    return out;
}

int handOff(const std::string& dir, const std::vector<std::string>& names) {
    std::string error;
    if (platform::writeHandOffFile(dir, absoluteNames(names), &error).empty()) {
        std::fprintf(stderr, "mp3tunewright: cannot hand the file names over: %s\n", error.c_str());
        return 2;
    }
    return 1;
}

} // namespace

int Run(int argc, char** argv) {
    // Options are answered before anything exists: no lock, no folder, no
    // application object.
    Arguments arguments = ParseArguments(argc, argv);
    if (arguments.request != Arguments::Request::Start) {
        return AnswerArguments(arguments, stdout, stderr);
    }
    CommandLine line = SaveCommandLine(argc, argv);
    platform::InstanceLock lock;

    if (line.hasFileNames()) {
        std::string error;
        std::string dir = platform::runtimeDir(&error);
        if (dir.empty()) {
            std::fprintf(stderr, "mp3tunewright: %s\n", error.c_str());
            return 2;
        }
        if (!lock.acquire(dir)) {
            // The hand-off role never creates the application object.
            return handOff(dir, line.names);
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

        Windows windows = CreateWindows(absoluteNames(line.names));
        if (!QuitRequested()) {
            if (windows.mainWindow) {
                windows.mainWindow->show();
                RunMessageLoop();
            }
        }
        DestroyWindows(windows);
    } catch (const std::exception& e) {
        ShowException(&e);
    } catch (...) {
        ShowException(nullptr);
    }
    lock.release();
    return 0;
}

} // namespace app
