#pragma once

// What the decoder-side suites need from Qt: an application object (the codec
// suites run under the plain test main) and a bounded wait that keeps processing
// events, as the program's loop does between decode steps.

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <functional>

namespace decodetest {

// Creates the application object once per process; it lives to the process's end.
inline QCoreApplication& ensureApplication() {
    if (!QCoreApplication::instance()) {
        static int argc = 1;
        static char name[] = "codec_tests";
        static char* argv[] = {name, nullptr};
        new QCoreApplication(argc, argv);
    }
    return *QCoreApplication::instance();
}

// Processes events until `done` holds or `timeoutMs` passed; returns `done()`.
inline bool processEventsUntil(const std::function<bool()>& done, int timeoutMs = 20000) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > timeoutMs) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        QThread::msleep(1);
    }
    return true;
}

inline void processEventsFor(int ms) {
    QElapsedTimer timer;
    timer.start();
    processEventsUntil([&] { return timer.elapsed() >= ms; }, ms + 1000);
}

} // namespace decodetest
