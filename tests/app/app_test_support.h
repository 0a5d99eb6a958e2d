#pragma once

// Helpers shared by the conversion window's tests: a bounded wait that runs the event
// loop, a slowed event loop, and a fixture that gives each test its own folders and a
// window with known settings.

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <QTimer>
#include <cmath>
#include <cstdio>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "FakeServices.h"
#include "TestEnv.h"
#include "app/ConversionForm.h"
#include "app/batch/QueueRecord.h"
#include "audio_check.h"
#include "settings/Settings.h"

namespace testenv {

// The names a converter's record leaves unfinished in `dir`, in their order.
inline std::vector<std::string> unfinishedNames(const std::string& dir) {
    std::vector<std::string> names;
    for (const app::RecordedName& entry : app::QueueRecord::readLeft(dir).unfinished) {
        names.push_back(entry.name);
    }
    return names;
}

} // namespace testenv

namespace apptest {

// Runs the event loop until `done` holds or `timeoutMs` has passed.
inline bool waitUntil(const std::function<bool()>& done, int timeoutMs) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > timeoutMs) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(2);
    }
    return true;
}

// Keeps the user-interface thread busy between codec steps, as a loaded desktop
// would, so that a job lasts long enough for timer ticks to arrive during it.
class SlowEvents {
public:
    explicit SlowEvents(int sleepMs) {
        timer_.setInterval(0);
        QObject::connect(&timer_, &QTimer::timeout, [sleepMs] { QThread::msleep(sleepMs); });
        timer_.start();
    }

private:
    QTimer timer_;
};

class ConversionTest : public ::testing::Test {
protected:
    void SetUp() override {
        TForm1::CloseRequested = false;
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir = testenv::makeDir(std::string(info->test_suite_name()) + "." + info->name()) + "/";
        decodedDir = dir + "decoded";
        encodedDir = dir + "encoded";
        // One job at a time, one per tick, as the window's own tests expect.
        testenv::setParallelJobs(1);
    }
    void TearDown() override {
        form.reset();
        TForm1::CloseRequested = false;
    }

    // A window queueing `first`, with its settings pointed at this test's folders.
    // With `manualTicks` both timers are stopped and the test ticks by hand.
    TForm1& makeForm(const std::string& first, bool manualTicks = true,
                     const std::string& programDir = {}) {
        form = std::make_unique<TForm1>(first, programDir);
        if (manualTicks) {
            form->Timer1->stop();
            form->Timer2->stop();
        }
        settings::SettingsRecord& s = form->CurrentSettings();
        s.DecodedDir = decodedDir;
        s.EncodedDir = encodedDir;
        s.Overwrite = 0;
        s.PlaySound = 1;
        s.OpenDir = 0;
        s.NoErrors = 0;
        return *form;
    }

    // One queue tick by hand; an entry it starts is followed to its result (its
    // job runs on a worker, whose news the event loop brings).
    void tick() {
        form->Timer1Timer();
        apptest::waitUntil([this] { return !form->Engine.Busy; }, 120000);
    }

    // Ticks the queue timer by hand until the window ends the application or `max`
    // ticks have run; returns the number of ticks.
    int tickToEnd(int max = 40) {
        int ticks = 0;
        while (!form->ApplicationEnded() && ticks < max) {
            tick();
            ++ticks;
        }
        return ticks;
    }

    std::string status() const { return form->Label4->text().toStdString(); }
    std::string countLine() const { return form->Label2->text().toStdString(); }

    testenv::FakeServices fake;
    std::unique_ptr<TForm1> form;
    std::string dir;
    std::string decodedDir;
    std::string encodedDir;
};

} // namespace apptest
