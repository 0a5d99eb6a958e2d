// The batch engine without a window: what its user sees while a box is open, one job
// at a time and with several workers.

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <QTimer>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "TestEnv.h"
#include "app/batch/BatchEngine.h"
#include "settings/Settings.h"
#include "tests/app/audio_check.h"

namespace {

// Records what the engine shows; a box whose text starts with `hold` stays open,
// with the event loop running, until `release` says so or 1.5 s have passed.
class RecordingView : public app::BatchView {
public:
    settings::SettingsRecord record;
    std::vector<std::string> events; // "status: ...", "box: ...", "closed: ..."
    int depth = 0;
    int deepest = 0;
    std::string hold;
    std::function<bool()> release;

    void showStatus(const std::string& word, int16_t) override {
        events.push_back("status: " + word);
    }
    void showCount(size_t) override {}
    void showSource(const std::string&) override {}
    void showKind(bool) override {}
    void showProgress(int) override {}
    platform::Button showBox(const std::string& text, const std::string&, unsigned,
                             platform::Icon) override {
        events.push_back("box: " + text);
        deepest = std::max(deepest, ++depth);
        if (!hold.empty() && text.rfind(hold, 0) == 0) {
            QElapsedTimer t;
            t.start();
            while (!release() && t.elapsed() < 1500) {
                QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
                QThread::msleep(2);
            }
        }
        --depth;
        events.push_back("closed: " + text);
        return platform::Ok;
    }
    const settings::SettingsRecord& settings() override { return record; }
    void shutdown() override { events.push_back("shutdown"); }
    void restartTicks() override {}
};

} // namespace

// A missing source's box is shown before the codec phase: the ticks go on under it,
// the next entries show their words and a second box opens over the first. An
// encode's error box is shown while its entry is busy: nothing further is shown
// until it is answered. Several workers show exactly what one shows.
TEST(BatchEngine, WhatShowsWhileABoxIsOpenIsWhatOneJobAtATimeShows) {
    const std::string dir = testenv::makeDir("engine-boxes") + "/";
    apptest::makeWav(dir + "a.wav", 1);
    apptest::makeWav(dir + "b.wav", 1);
    testenv::makeDir("engine-boxes/out");
    testenv::writeFile(dir + "out/a.MP3", "read-only");
    ASSERT_EQ(::chmod((dir + "out/a.MP3").c_str(), 0444), 0);
    struct Row {
        const char* hold;
        std::vector<std::string> names;
        int deepest;
    };
    const Row rows[] = {
        {"Unable to find source file: " , {dir + "gone1.wav", dir + "b.wav", dir + "gone2.wav", dir + "b2.wav"}, 2},
        {"Error occured: ", {dir + "a.wav", dir + "b.wav"}, 1},
    };
    apptest::makeWav(dir + "b2.wav", 1);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.hold);
        std::vector<std::string> seen[2];
        for (int workers : {1, 3}) {
            RecordingView view;
            view.record.EncodedDir = dir + "out";
            view.record.DecodedDir = dir + "out";
            view.record.Overwrite = 0;
            view.hold = row.hold;
            app::BatchEngine engine(view);
            // Released once the last entry has been shown.
            bool lastShown = false;
            QObject::connect(&engine, &app::BatchEngine::EntryShown, [&](const QString& name) {
                lastShown = lastShown || name.toStdString() == row.names.back();
            });
            view.release = [&] { return lastShown; };
            engine.Start(row.names, testenv::appDir(), nullptr, workers);
            QTimer ticks;
            ticks.setInterval(100);
            bool complete = false;
            QObject::connect(&ticks, &QTimer::timeout, [&] {
                ticks.start(); // the next tick comes also while a box of this one is open
                complete = complete || engine.QueueTick() == app::BatchEngine::Tick::Complete;
            });
            ticks.start();
            QElapsedTimer t;
            t.start();
            while (!complete && t.elapsed() < 60000) {
                QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
                QThread::msleep(2);
            }
            ASSERT_TRUE(complete);
            EXPECT_EQ(view.deepest, row.deepest);
            seen[workers == 1 ? 0 : 1] = view.events;
        }
        EXPECT_EQ(seen[0], seen[1]);
    }
    ::chmod((dir + "out/a.MP3").c_str(), 0644);
}
