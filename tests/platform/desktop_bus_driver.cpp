// Runs the desktop services over D-Bus as start-up sets them up, one command
// after the other: "notify SUMMARY BODY FOLDER", "progress FRACTION", "clear",
// "inhibit WHY" (prints "held" or "not held"), "release", "wait MS" (runs the
// event loop). The shell prints "opened PATH" for each folder a click opens.
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QThread>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "platform/Services.h"

namespace {

class PrintingShell : public platform::Shell {
public:
    bool open(const std::string& path, platform::ShowMode) override {
        std::printf("opened %s\n", path.c_str());
        return true;
    }
};

} // namespace

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QGuiApplication application(argc, argv);
    // As start-up names the program to the desktop.
    QGuiApplication::setDesktopFileName("io.github.tunewright.MP3Tunewright");
    platform::Services replacement;
    replacement.shell = std::make_shared<PrintingShell>();
    platform::installServices(replacement);
    platform::Services& services = platform::services();
    platform::Inhibitor inhibitor;

    for (int i = 1; i < argc; ++i) {
        const std::string command = argv[i];
        auto next = [&] { return i + 1 < argc ? std::string(argv[++i]) : std::string(); };
        if (command == "notify") {
            const std::string summary = next();
            const std::string body = next();
            services.notifier->notify({summary, body, next()});
        } else if (command == "progress") {
            services.taskbar->setProgress(std::atof(next().c_str()));
        } else if (command == "clear") {
            services.taskbar->clear();
        } else if (command == "inhibit") {
            inhibitor = services.sleepInhibitor->inhibit(next());
            std::printf("%s\n", inhibitor.held() ? "held" : "not held");
        } else if (command == "release") {
            inhibitor.release();
        } else if (command == "wait") {
            QElapsedTimer waited;
            waited.start();
            for (const int ms = std::atoi(next().c_str()); waited.elapsed() < ms;) {
                QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
                QThread::msleep(5);
            }
        } else {
            std::fprintf(stderr, "unknown command %s\n", command.c_str());
            return 2;
        }
        std::fflush(stdout);
    }
    return 0;
}
