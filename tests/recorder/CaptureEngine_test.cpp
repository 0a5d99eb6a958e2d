#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "AlsaFileDevice.h"
#include "WaveInDoubles.h"
#include "recorder/CaptureEngine.h"

using platform::WaveFormat;
using recorder::CaptureEngine;
using testenv::ManualWaveIn;
using testenv::ManualWaveInState;

namespace {

// Records what the engine shows and writes; ProcessEvents runs a hook the test sets.
struct RecordingHost : recorder::CaptureHost {
    int threshold = 0;
    int inertia = 0;
    std::vector<std::string> statuses;
    std::vector<int> levels;
    std::vector<std::uint32_t> overrunsShown;
    std::vector<std::int16_t> written; // first sample of every buffer written
    std::vector<bool> states;
    std::vector<std::uint64_t> takes;
    int pauses = 0;
    int waits = 0;
    std::function<void()> onWait;
    std::function<void()> afterWrite;

    int SwitchingLevel() override { return threshold; }
    int InertiaPosition() override { return inertia; }
    void ShowStatus(const std::string& text) override { statuses.push_back(text); }
    void ShowLevel(int level) override { levels.push_back(level); }
    void ShowOverruns(std::uint32_t overruns) override { overrunsShown.push_back(overruns); }
    void ShowWritten(std::uint64_t, std::uint32_t) override {}
    void ShowTake(std::uint64_t take, std::uint32_t) override { takes.push_back(take); }
    void ShowGateState(bool open) override { states.push_back(open); }
    void SignalPause() override { ++pauses; }
    void WriteOutput(const std::uint8_t* data, std::uint32_t) override {
        written.push_back(testenv::sample16(data));
        if (afterWrite) {
            afterWrite();
        }
    }
    void ProcessEvents(int maxWaitMs) override {
        if (maxWaitMs > 0) {
            ++waits;
            if (onWait) {
                onWait();
            }
        }
    }
};

const WaveFormat kCd = WaveFormat::pcm(44100, 2, 16);

struct Fixture {
    RecordingHost host;
    CaptureEngine engine{host};
    std::shared_ptr<ManualWaveInState> device = std::make_shared<ManualWaveInState>();

    bool open(bool autocut, const WaveFormat& format = kCd) {
        engine.BeginRun(autocut);
        return engine.OpenCapture(format, std::make_unique<ManualWaveIn>(device));
    }
    // Plays buffers whose every sample is level * 256 + id (id = index), so each
    // buffer has the given level and can be told apart in the output. When the
    // pattern is used up the wait requests stop.
    void play(const std::vector<int>& levels) {
        auto next = std::make_shared<std::size_t>(0);
        host.onWait = [this, levels, next] {
            if (*next < levels.size()) {
                auto value = static_cast<std::int16_t>(levels[*next] * 256 + int(*next));
                device->deliverConstant(value);
                ++*next;
            } else {
                engine.RequestStop();
            }
        };
        engine.CaptureLoop();
    }
};

} // namespace

TEST(CaptureArithmetic, LevelOfEightBitBuffers) {
    struct Row {
        std::uint8_t byte;
        int level;
    };
    for (Row row : {Row{128, 1}, Row{127, 0}, Row{0, 127}, Row{255, 128}, Row{137, 10}}) {
        std::vector<std::uint8_t> buffer(1102, row.byte);
        EXPECT_EQ(recorder::BufferLevel(buffer.data(), 1102, 8), row.level) << int(row.byte);
    }
    // Mean over all bytes, integer division: half the bytes at distance 3, half at 0.
    std::vector<std::uint8_t> mixed = {130, 127, 130, 127};
    EXPECT_EQ(recorder::BufferLevel(mixed.data(), 4, 8), 1);
}

TEST(CaptureArithmetic, LevelOfSixteenBitBuffers) {
    auto level = [](std::vector<std::int16_t> samples) {
        std::vector<std::uint8_t> bytes;
        for (std::int16_t s : samples) {
            bytes.push_back(static_cast<std::uint8_t>(s & 0xff));
            bytes.push_back(static_cast<std::uint8_t>((s >> 8) & 0xff));
        }
        return recorder::BufferLevel(bytes.data(), static_cast<std::uint32_t>(bytes.size()), 16);
    };
    EXPECT_EQ(level(std::vector<std::int16_t>(8820, 0)), 0);
    EXPECT_EQ(level(std::vector<std::int16_t>(8820, -32768)), 128);
    EXPECT_EQ(level(std::vector<std::int16_t>(8820, 32767)), 127);
    EXPECT_EQ(level({512, -512, 512, -512}), 2);
    EXPECT_EQ(level({255, -255}), 0);
    // Sum 768 over 2 samples = 384, >> 8 = 1: the division comes before the shift.
    EXPECT_EQ(level({0, 768}), 1);
}

TEST(CaptureArithmetic, BufferSizeIsATenthOfASecondInWholeFrames) {
    EXPECT_EQ(recorder::CaptureBufferSize(WaveFormat::pcm(44100, 2, 16)), 17640u);
    EXPECT_EQ(recorder::CaptureBufferSize(WaveFormat::pcm(48000, 2, 16)), 19200u);
    EXPECT_EQ(recorder::CaptureBufferSize(WaveFormat::pcm(11025, 1, 8)), 1102u);
    EXPECT_EQ(recorder::CaptureBufferSize(WaveFormat::pcm(11025, 1, 16)), 2204u);
    EXPECT_EQ(recorder::CaptureBufferSize(WaveFormat::pcm(11025, 2, 8)), 2204u);
    EXPECT_EQ(recorder::CaptureBufferSize(WaveFormat::pcm(11025, 2, 16)), 4408u);
    EXPECT_EQ(recorder::CaptureBufferSize(WaveFormat::pcm(22050, 2, 16)), 8820u);
}

TEST(CaptureArithmetic, InertiaInWholeBuffers) {
    EXPECT_EQ(recorder::InertiaBuffers(50, 176400, 17640), 5);
    EXPECT_EQ(recorder::InertiaBuffers(49, 11025, 1102), 4);
    EXPECT_EQ(recorder::InertiaBuffers(0, 176400, 17640), 0);
    EXPECT_EQ(recorder::InertiaBuffers(19, 176400, 17640), 1);
    EXPECT_EQ(recorder::InertiaBuffers(20, 176400, 17640), 2);
}

TEST(OpenCapture, ReportsEachStepAndStartsTheDevice) {
    Fixture f;
    ASSERT_TRUE(f.open(false));
    std::vector<std::string> expected = {"Opening wave device....", "Opening wave device.... Ok "};
    for (int i = 0; i < 10; ++i) {
        expected.push_back("Preparing Buffer - Ok....");
        expected.push_back("Adding Buffer - Ok....");
    }
    expected.push_back("Initialization Ok");
    EXPECT_EQ(f.host.statuses, expected);
    EXPECT_EQ(f.device->queue.size(), 10u);
    EXPECT_TRUE(f.device->started);
    EXPECT_EQ(f.engine.BufferSize(), 17640u);
    for (const platform::WaveHeader* h : f.device->known) {
        EXPECT_EQ(h->bufferLength, 17640u);
        EXPECT_EQ(h->loops, 0u);
        EXPECT_EQ(h->user, 0u);
    }
}

TEST(OpenCapture, FailuresShowTheirCodeAndReleaseWhatWasAcquired) {
    struct Case {
        std::function<void(ManualWaveInState&)> inject;
        std::string status;
        bool deviceOpened;
    };
    std::vector<Case> cases = {
        {[](ManualWaveInState& s) { s.openResult = platform::WaveErrorBadDevice; },
         "Opening device - Error Code:2", false},
        {[](ManualWaveInState& s) { s.failPrepareAt = 3; }, "Preparing Buffer 3 - Error Code:11",
         true},
        {[](ManualWaveInState& s) {
             s.failAddAt = 5;
             s.failResult = platform::WaveErrorNoMemory;
         },
         "Adding Buffer 5 - Error Code:7", true},
        {[](ManualWaveInState& s) { s.startResult = platform::WaveErrorGeneral; },
         "Starting record - Error Code:1", true},
    };
    for (const Case& c : cases) {
        Fixture f;
        c.inject(*f.device);
        EXPECT_FALSE(f.open(false)) << c.status;
        EXPECT_EQ(f.host.statuses.back(), c.status);
        EXPECT_FALSE(f.engine.IsOpen());
        EXPECT_FALSE(f.device->open) << c.status;
        EXPECT_TRUE(f.device->queue.empty()) << c.status;
        if (c.deviceOpened) {
            // Closed after taking every buffer back and unpreparing it.
            EXPECT_EQ(f.device->calls.back(), "close") << c.status;
            EXPECT_EQ(f.device->preparedAtClose, 0) << c.status;
        }
    }
}

TEST(CaptureLoop, AutocutKeepsTheFirstQuietBuffersAfterALoudOne) {
    Fixture f;
    f.host.threshold = 10;
    f.host.inertia = 20; // N = 2 at 44100 Hz stereo 16-bit
    ASSERT_TRUE(f.open(true));
    //           0  1  2   3   4  5  6  7  8  9   10 11 12 13  14  15  16 17
    f.play({0, 0, 20, 20, 0, 0, 0, 0, 0, 30, 5, 5, 5, 20, 10, 10, 0, 0});
    // Gate closed until buffer 2; buffers 4-6 are the quiet ones it keeps (N + 1);
    // 7-8 dropped; 9 reopens; 10-12 kept, 12 closes; 13 reopens; a level equal to
    // the threshold (14, 15) counts neither way; 16 and 17 are the first quiet ones.
    EXPECT_EQ(f.host.written,
              (std::vector<std::int16_t>{2 + 20 * 256, 3 + 20 * 256, 4, 5, 6, 9 + 30 * 256,
                                         10 + 5 * 256, 11 + 5 * 256, 12 + 5 * 256, 13 + 20 * 256,
                                         14 + 10 * 256, 15 + 10 * 256, 16, 17}));
    EXPECT_EQ(f.host.pauses, 2);
    EXPECT_EQ(f.engine.Counters().writtenBuffers, 14u);
    EXPECT_EQ(f.engine.Counters().takeBuffers, 1u); // reset when buffer 13 reopened the gate
    EXPECT_EQ(f.host.states,
              (std::vector<bool>{false, false, true, true, true, true, false, false, false, true,
                                 true, true, false, true, true, true, true, true}));
    EXPECT_EQ(f.host.levels.front(), 0);
    EXPECT_EQ(f.host.levels[9], 30);
}

TEST(CaptureLoop, WithoutAutocutEveryBufferIsWritten) {
    Fixture f;
    f.host.threshold = 10;
    ASSERT_TRUE(f.open(false));
    f.play({0, 0, 20, 20, 0, 0, 0, 0, 0, 30, 5, 5});
    EXPECT_EQ(f.host.written.size(), 12u);
    EXPECT_EQ(f.host.pauses, 0);
    EXPECT_EQ(f.host.states, std::vector<bool>(12, true));
    // Take buffers count only the loud buffers and are never reset.
    EXPECT_EQ(f.engine.Counters().takeBuffers, 3u);
}

TEST(CaptureLoop, ThresholdZeroNeverTreatsDigitalSilenceAsQuiet) {
    Fixture f;
    f.host.threshold = 0;
    f.host.inertia = 0;
    ASSERT_TRUE(f.open(true));
    // Values 0..2 have level 0; a level of 1 opens the gate; silence then equals
    // the threshold and never closes it.
    f.play({0, 0, 1, 0, 0, 0, 0, 0});
    EXPECT_EQ(f.host.written.size(), 6u);
    EXPECT_EQ(f.host.pauses, 0);
}

TEST(CaptureLoop, InertiaZeroClosesAfterTheFirstQuietBufferWhichIsWritten) {
    Fixture f;
    f.host.threshold = 10;
    f.host.inertia = 9; // (9 * 176400 / 100) / 17640 = 0
    ASSERT_TRUE(f.open(true));
    f.play({20, 0, 0, 20});
    EXPECT_EQ(f.host.written, (std::vector<std::int16_t>{0 + 20 * 256, 1, 3 + 20 * 256}));
    EXPECT_EQ(f.host.pauses, 1);
}

TEST(CaptureLoop, CountsOneOverrunPerCycleThatFindsTheRingFull) {
    Fixture f;
    ASSERT_TRUE(f.open(false));
    // All ten buffers complete before the first cycle: the most recently queued
    // one (9) is done, one overrun.
    EXPECT_EQ(f.device->deliverAll(100), 10);
    int writes = 0;
    f.host.afterWrite = [&] {
        ++writes;
        // After the third buffer the device fills the three queued again: the
        // ring is full once more at the start of the fourth cycle.
        if (writes == 3) {
            EXPECT_EQ(f.device->deliverAll(100), 3);
        }
        if (writes == 8) {
            f.engine.RequestStop();
        }
    };
    f.engine.CaptureLoop();
    EXPECT_EQ(f.engine.Counters().overruns, 2u);
    EXPECT_EQ(f.host.overrunsShown, (std::vector<std::uint32_t>{1, 1, 1, 2, 2, 2, 2, 2}));
    EXPECT_EQ(f.host.waits, 0);
}

TEST(CaptureLoop, StopDuringTheWaitDropsTheBufferAndUnpreparesAllTen) {
    Fixture f;
    ASSERT_TRUE(f.open(false));
    f.device->deliverConstant(1000);
    f.host.onWait = [&] {
        if (f.host.waits == 3) {
            f.engine.RequestStop();
        }
    };
    f.engine.CaptureLoop();
    EXPECT_EQ(f.host.written.size(), 1u);
    EXPECT_EQ(f.host.waits, 3);

    // The loop itself stops and resets the device and unprepares every buffer.
    std::vector<std::string> tail(f.device->calls.end() - 12, f.device->calls.end());
    std::vector<std::string> expected = {"stop", "reset"};
    for (int i = 0; i < 10; ++i) {
        expected.push_back("unprepare " + std::to_string(i));
    }
    EXPECT_EQ(tail, expected);

    f.engine.CloseCapture();
    EXPECT_FALSE(f.engine.StopRequested());
    EXPECT_EQ(f.device->calls.back(), "close");
    EXPECT_EQ(f.device->preparedAtClose, 0);
    EXPECT_FALSE(f.device->open);
}

TEST(CaptureLoop, AStopRequestBeforeTheFirstCycleRunsNoCycle) {
    Fixture f;
    ASSERT_TRUE(f.open(false));
    f.device->deliverAll(100);
    f.engine.RequestStop();
    f.engine.CaptureLoop();
    EXPECT_EQ(f.engine.Counters().cycles, 0u);
    EXPECT_TRUE(f.host.overrunsShown.empty());
    EXPECT_TRUE(f.host.written.empty());
}
