#include "app/Lifetime.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QTimer>

namespace app {
namespace {

ProgramHolders g_holders;
bool g_asked = false;   // mainWindowClosed has run for this set of holders
bool g_waiting = false; // a check is queued or timed
bool g_loopRunning = false;

// How often a held program looks again whether it is free.
constexpr int kHoldCheckMs = 50;

void endIfFree() {
    g_waiting = false;
    if (g_holders.holding && g_holders.holding()) {
        g_waiting = true;
        QTimer::singleShot(kHoldCheckMs, QCoreApplication::instance(), endIfFree);
        return;
    }
    // Outside the application's loop (a box during start-up) there is nothing to
    // end: start-up sees the request and does not start its loop. Ending anyway
    // would make every later event loop return at once.
    if (g_loopRunning) {
        QCoreApplication::exit(0);
    }
}

} // namespace

void SetProgramHolders(ProgramHolders holders) {
    g_holders = std::move(holders);
    g_asked = false;
}

void EndProgramWhenFree() {
    if (!g_asked) {
        g_asked = true;
        if (g_holders.mainWindowClosed) {
            g_holders.mainWindowClosed();
        }
    }
    QCoreApplication* application = QCoreApplication::instance();
    if (!application || g_waiting) {
        return;
    }
    g_waiting = true;
    QMetaObject::invokeMethod(application, endIfFree, Qt::QueuedConnection);
}

int RunMessageLoop() {
    g_loopRunning = true;
    const int code = QCoreApplication::exec();
    g_loopRunning = false;
    return code;
}

} // namespace app
