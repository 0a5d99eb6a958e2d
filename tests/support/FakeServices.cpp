#include "FakeServices.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

namespace testenv {

platform::Button ScriptedDialogs::messageBox(const platform::MessageBoxRequest& request) {
    shown.push_back(request);
    if (onBox) {
        onBox(request);
    }
    Answer a{platform::defaultAnswer(request), 0};
    if (!answers.empty()) {
        a = answers.front();
        answers.pop_front();
    }
    if (a.holdMs > 0 && QCoreApplication::instance()) {
        // A dismissal ends the boxes open at that moment, not later ones.
        const int dismissalsBefore = dismissCalls_;
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < a.holdMs) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            if (dismissCalls_ != dismissalsBefore) {
                ++dismissals;
                return platform::closedAnswer(request);
            }
            QThread::msleep(2);
        }
    }
    return a.button;
}

void ScriptedDialogs::dismissOpenBoxes() {
    ++dismissCalls_;
}

std::string ScriptedDialogs::browseFolder(const std::string&, const std::string& startDir) {
    browsed.push_back(startDir);
    if (folders.empty()) {
        return "";
    }
    std::string f = folders.front();
    folders.pop_front();
    return f;
}

FakeServices::FakeServices() {
    previous_ = platform::installServices(
        {dialogs, shell, sound, clock, notifier, taskbar, sleepInhibitor});
}

FakeServices::~FakeServices() { platform::installServices(previous_); }

}  // namespace testenv
