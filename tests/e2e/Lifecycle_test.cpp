// How the program ends, with real processes: every order of closing its windows
// ends it, and SIGTERM in the middle of a conversion, a rip or a recording ends it
// with finished files that other programs read, and no lock left behind. The
// processes run the program's start-up driven from inside (driven_program.cpp).

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>

#include "TestEnv.h"
#include "e2e_support.h"
#include "settings/Settings.h"
#include "tests/app/audio_check.h"
#include "tests/recorder/AlsaFileDevice.h"
#include "tests/ripper/DiscImage.h"

namespace {

constexpr int kEndMs = 60000;

std::string runtimeDir() {
    return std::string(std::getenv("TUNEWRIGHT_RUNTIME_DIR")) + "/";
}

std::string driver() {
    return testenv::appDir() + "driven_program";
}

size_t countOf(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++n;
    }
    return n;
}

// One job at a time: the driver acts while the job of entry 0 runs in its turn.
void saveSettings(const std::string& decoded, const std::string& encoded, const std::string& ripped,
                  const std::function<void(settings::SettingsRecord&)>& adjust = {}) {
    e2e::saveSettings(decoded, encoded, [&](settings::SettingsRecord& r) {
        r.RipperOut = ripped;
        if (adjust) {
            adjust(r);
        }
    });
    testenv::setParallelJobs(1);
}

uint32_t le32(const std::string& bytes, size_t at) {
    return static_cast<uint8_t>(bytes[at]) | static_cast<uint8_t>(bytes[at + 1]) << 8 |
           static_cast<uint8_t>(bytes[at + 2]) << 16 |
           static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + 3])) << 24;
}

double number(const std::string& text) {
    return text.empty() ? -1 : std::atof(text.c_str());
}

// A WAV the program stopped writing early: its header describes all the audio it
// holds (only tag chunks may follow the data), and sox and ffprobe read that many
// samples.
void expectWholeWav(const std::string& path, int channels) {
    const std::string bytes = testenv::readFile(path);
    ASSERT_GT(bytes.size(), 44u + 64000u) << path;
    EXPECT_EQ(bytes.compare(0, 4, "RIFF"), 0) << path;
    EXPECT_EQ(le32(bytes, 4), bytes.size() - 8) << path;
    const uint32_t data = le32(bytes, 40);
    ASSERT_LE(data, bytes.size() - 44) << path;
    EXPECT_EQ(data % (2 * channels), 0u) << path;
    if (data < bytes.size() - 44) {
        const std::string next = bytes.substr(44 + data, 4);
        EXPECT_TRUE(next == "LIST" || next == "ID3 " || next == "id3 ") << path << ": " << next;
    }
    const long long frames = static_cast<long long>(data) / (2 * channels);
    const std::string q = apptest::quoted(path);
    EXPECT_EQ(number(apptest::capture("soxi -s " + q + " 2>/dev/null")), frames) << path;
    const double seconds = number(apptest::capture(
        "ffprobe -v error -show_entries format=duration -of csv=p=0 " + q + " 2>/dev/null"));
    EXPECT_NEAR(seconds, frames / 44100.0, 0.01) << path;
}

// An MP3 the program stopped writing early: ffprobe's length and the length ffmpeg
// decodes agree, and the audio is the 440 Hz tone that went in.
void expectWholeMp3(const std::string& path) {
    const double probed =
        number(apptest::capture("ffprobe -v error -show_entries format=duration -of csv=p=0 " +
                                apptest::quoted(path) + " 2>/dev/null"));
    const apptest::Audio decoded = apptest::analyse(path);
    EXPECT_GT(decoded.seconds, 0.5) << path;
    EXPECT_NEAR(probed, decoded.seconds, 0.1) << path;
    EXPECT_NEAR(decoded.frequency, 440, 8) << path;
}

struct RipDisc {
    std::string cue;
    std::string out; // RipperOut
};

// One track: a long silent one (costs no disc space) or a minute of tone.
RipDisc makeDisc(const std::string& name, bool tone) {
    RipDisc disc;
    const std::string dir = testenv::makeDir(name);
    testdisc::TrackSpec track;
    track.frames = tone ? 60 * 75 : 10 * 60 * 75;
    track.silent = !tone;
    disc.cue = testdisc::writeDiscImage(dir, "disc", {track}).cue;
    disc.out = dir + "/ripped";
    saveSettings(dir + "/decoded", dir + "/encoded", disc.out);
    return disc;
}

e2e::Options ripOptions(const RipDisc& disc, const std::string& scenario, const std::string& file) {
    e2e::Options options;
    options.env["TUNEWRIGHT_CD_IMAGES"] = disc.cue;
    options.env["TW_DRIVE"] = scenario;
    options.env["TW_DRIVE_OUTPUT"] = disc.out + "/" + file;
    return options;
}

} // namespace

// The launcher is closed during a rip and "Abort ripping ?" answered No: the ripper
// goes on and holds the program, which ends when the ripper is closed after all.
struct CloseOrder {
    const char* then;
    const char* abortAnswers;
    size_t questions;
};

void PrintTo(const CloseOrder& order, std::ostream* os) {
    *os << order.then << " after " << order.abortAnswers;
}

class LauncherClosedDuringARip : public ::testing::TestWithParam<CloseOrder> {};

TEST_P(LauncherClosedDuringARip, ProgramEndsOnceTheRipperIsClosed) {
    const CloseOrder order = GetParam();
    const RipDisc disc = makeDisc(std::string("order-") + order.then, false);
    e2e::Options options = ripOptions(disc, "rip-close-launcher", "Track#1.wav");
    options.env["TW_DRIVE_THEN"] = order.then;
    options.env["TW_DRIVE_ABORT"] = order.abortAnswers;

    e2e::Process p = e2e::start(driver(), {}, options);
    const int code = e2e::wait(p, kEndMs);
    const std::string out = e2e::output(p);
    ASSERT_EQ(code, 0) << out << e2e::errors(p);
    EXPECT_NE(out.find("launcher closed, ripper open\n"), std::string::npos) << out;
    EXPECT_EQ(countOf(out, "box: Abort ripping ?\n"), order.questions) << out;
    EXPECT_NE(out.find("log: Ripping canceled\n"), std::string::npos) << out;
    EXPECT_NE(out.find("exit 0\n"), std::string::npos) << out;
}

INSTANTIATE_TEST_SUITE_P(Orders, LauncherClosedDuringARip,
                         ::testing::Values(CloseOrder{"stop-quit", "No", 1},
                                           CloseOrder{"closebox", "No,Yes", 2}),
                         [](const auto& info) {
                             return std::string(info.param.then) == "stop-quit" ? "StopThenQuit"
                                                                                : "CloseBoxYes";
                         });

TEST(ClosingOrder, LauncherClosedWithAbortAnsweredYesEndsWhenTheRipStops) {
    const RipDisc disc = makeDisc("order-yes", false);
    e2e::Options options = ripOptions(disc, "rip-close-launcher", "Track#1.wav");
    options.env["TW_DRIVE_ABORT"] = "Yes";
    e2e::Process p = e2e::start(driver(), {}, options);
    ASSERT_EQ(e2e::wait(p, kEndMs), 0) << e2e::output(p) << e2e::errors(p);
    const std::string out = e2e::output(p);
    EXPECT_NE(out.find("launcher closed, ripper hidden\n"), std::string::npos) << out;
    EXPECT_NE(out.find("log: Ripping canceled\n"), std::string::npos) << out;
}

TEST(ClosingOrder, LauncherClosedBesideAnIdleRipperEndsWithoutAQuestion) {
    const RipDisc disc = makeDisc("order-idle", false);
    e2e::Process p = e2e::start(driver(), {}, ripOptions(disc, "ripper-open-close-launcher", ""));
    ASSERT_EQ(e2e::wait(p, kEndMs), 0) << e2e::output(p) << e2e::errors(p);
    const std::string out = e2e::output(p);
    EXPECT_NE(out.find("ripper open\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("Abort ripping"), std::string::npos) << out;
}

TEST(ClosingOrder, ConversionEndingWithTheOptionsDialogOpenSavesNothing) {
    const std::string dir = testenv::makeDir("options-open");
    saveSettings(dir + "/decoded", dir + "/encoded", dir + "/ripped");
    apptest::makeWav(dir + "/tone.wav", 0.5);
    e2e::Options options;
    options.env["TW_DRIVE"] = "options-open";
    e2e::Process p = e2e::start(driver(), {dir + "/tone.wav"}, options);
    ASSERT_EQ(e2e::wait(p, kEndMs), 0) << e2e::output(p) << e2e::errors(p);
    ASSERT_NE(e2e::output(p).find("options open, no errors on\n"), std::string::npos)
        << e2e::output(p);
    apptest::expectTone(dir + "/encoded/tone.MP3", 0.5, 44100, 2);

    // The dialog was never closed: the registry keeps what was there.
    settings::SettingsRecord stored;
    settings::LoadSettingsRecord(stored);
    EXPECT_EQ(stored.NoErrors, 0);
    EXPECT_EQ(stored.DecodedDir, dir + "/decoded");
}

TEST(ClosingOrder, NamesHandedOverDuringTheExitQuestionAreConvertedAfterIt) {
    const std::string dir = testenv::makeDir("exit-handoff");
    saveSettings(dir + "/decoded", dir + "/encoded", dir + "/ripped");
    apptest::makeWav(dir + "/long.wav", 60);
    apptest::makeWav(dir + "/late.wav", 0.5);
    e2e::Options options;
    options.env["TW_DRIVE"] = "convert-exit-box";
    options.env["TW_DRIVE_HOLD"] = "Delete uncomplete files ?";
    options.env["TW_DRIVE_RELEASE"] = dir + "/answered";
    e2e::Process p = e2e::start(driver(), {dir + "/long.wav"}, options);
    ASSERT_TRUE(waitForOutput(p, "box: Delete uncomplete files ?", kEndMs)) << e2e::output(p);
    // The converter still holds the lock: the name is handed over.
    EXPECT_EQ(e2e::run(e2e::programPath(), {dir + "/late.wav"}, kEndMs), 1);
    testenv::writeFile(dir + "/answered", "");
    ASSERT_EQ(e2e::wait(p, kEndMs), 0) << e2e::output(p) << e2e::errors(p);
    // OK deleted the exited job's target; the handed-over name was converted.
    EXPECT_EQ(testenv::listDir(dir + "/encoded"), std::vector<std::string>{"late.MP3"});
    apptest::expectTone(dir + "/encoded/late.MP3", 0.5, 44100, 2);
    EXPECT_FALSE(testenv::fileExists(runtimeDir() + "active.flg"));
}

// SIGTERM while the work runs: the process ends by itself, the file is finished as
// a close would finish it, and the lock is gone.
class Signals : public ::testing::Test {
protected:
    // Starts the driver, waits for `ready`, sends `sent` (one right after the
    // other, as a logout sends SIGTERM and SIGHUP) and waits for the end.
    void terminate(const std::vector<std::string>& args, e2e::Options options,
                   const std::string& ready, std::vector<int> sent = {SIGTERM}) {
        e2e::Process p = e2e::start(driver(), args, options);
        ASSERT_TRUE(waitForOutput(p, ready, kEndMs)) << e2e::output(p) << e2e::errors(p);
        for (int signal : sent) {
            ASSERT_EQ(::kill(p.pid, signal), 0);
        }
        const int code = e2e::wait(p, kEndMs);
        out = e2e::output(p);
        ASSERT_EQ(code, 0) << out << e2e::errors(p);
        EXPECT_NE(out.find("exit 0\n"), std::string::npos) << out;
        EXPECT_FALSE(testenv::fileExists(runtimeDir() + "active.flg"));
    }
    std::string out;
};

TEST_F(Signals, TermMidEncodeLeavesAFinishedMp3AndTheNextStartRedoesItInPlace) {
    const std::string dir = testenv::makeDir("term-encode");
    saveSettings(dir + "/decoded", dir + "/encoded", dir + "/ripped",
                 [](settings::SettingsRecord& r) { r.Overwrite = 1; });
    apptest::makeWav(dir + "/long.wav", 60);
    apptest::makeWav(dir + "/next.wav", 0.5);
    e2e::Options options;
    options.env["TW_DRIVE"] = "convert-wait-signal";
    terminate({dir + "/long.wav"}, options, "working");
    expectWholeMp3(dir + "/encoded/long.MP3");

    // The cut-off job stays unfinished: the next converter redoes it whole into
    // the same file, not into a renamed one beside the short one.
    ASSERT_EQ(e2e::run(e2e::programPath(), {dir + "/next.wav"}, 120000), 0);
    EXPECT_EQ(testenv::listDir(dir + "/encoded"),
              (std::vector<std::string>{"long.MP3", "next.MP3"}));
    apptest::expectTone(dir + "/encoded/long.MP3", 60, 44100, 2);
}

TEST_F(Signals, LogoutPairMidDecodeLeavesAWavWhoseHeaderDescribesItsBytes) {
    const std::string dir = testenv::makeDir("term-decode");
    saveSettings(dir + "/decoded", dir + "/encoded", dir + "/ripped");
    apptest::makeMp3(dir + "/long.mp3", 120);
    e2e::Options options;
    options.env["TW_DRIVE"] = "convert-wait-signal";
    // systemd's SIGTERM and SIGHUP arrive before the first is handled: one close.
    terminate({dir + "/long.mp3"}, options, "working", {SIGTERM, SIGHUP, SIGHUP});
    expectWholeWav(dir + "/decoded/long.WAV", 2);
}

TEST_F(Signals, TermWhileTheExitQuestionIsOpenDismissesItAndKeepsTheTarget) {
    const std::string dir = testenv::makeDir("term-box");
    saveSettings(dir + "/decoded", dir + "/encoded", dir + "/ripped");
    apptest::makeWav(dir + "/long.wav", 60);
    e2e::Options options;
    options.env["TW_DRIVE"] = "convert-exit-box";
    options.env["TW_DRIVE_HOLD"] = "Delete uncomplete files ?";
    terminate({dir + "/long.wav"}, options, "box: Delete uncomplete files ?", {SIGINT});
    // Dismissed is Cancel: the partial target stays, finished.
    EXPECT_NE(out.find("dismissed: Delete uncomplete files ?\n"), std::string::npos) << out;
    expectWholeMp3(dir + "/encoded/long.MP3");
}

TEST_F(Signals, TermMidRipToMp3LeavesAFinishedMp3) {
    const RipDisc disc = makeDisc("term-rip-mp3", true);
    e2e::Options options = ripOptions(disc, "rip-wait-signal", "Track#1.mp3");
    options.env["TW_DRIVE_COMPRESS"] = "1";
    terminate({}, options, "ripping");
    EXPECT_NE(out.find("log: Ripping canceled\n"), std::string::npos) << out;
    expectWholeMp3(disc.out + "/Track#1.mp3");
}

TEST_F(Signals, TermMidRipToWavRunsTheRipsCloseAndAsksNothing) {
    const RipDisc disc = makeDisc("term-rip-wav", true);
    terminate({}, ripOptions(disc, "rip-wait-signal", "Track#1.wav"), "ripping");
    EXPECT_NE(out.find("log: Ripping canceled\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("Abort ripping"), std::string::npos) << out;
    const std::string bytes = testenv::readFile(disc.out + "/Track#1.wav");
    ASSERT_GT(bytes.size(), 400000u);
    EXPECT_EQ(bytes.compare(0, 4, "RIFF"), 0);
    EXPECT_EQ(bytes.compare(8, 4, "WAVE"), 0);
}

class RecordingSignals : public Signals, public ::testing::WithParamInterface<bool> {};

TEST_P(RecordingSignals, TermMidRecordingFinishesTheFile) {
    const bool mp3 = GetParam();
    const std::string dir = testenv::makeDir(mp3 ? "term-record-mp3" : "term-record-wav");
    saveSettings(dir + "/decoded", dir + "/encoded", dir + "/ripped");
    // Ten seconds of a tone, then the device delivers silence until the end.
    std::vector<std::uint8_t> raw;
    testenv::appendSine16(raw, 10 * 44100, 2, 440, 44100, 12000);
    testenv::AlsaFileDevice device(raw);
    const std::string file = dir + (mp3 ? "/take.MP3" : "/take.WAV");
    e2e::Options options;
    options.env["TW_DRIVE"] = "record-wait-signal";
    options.env["TW_DRIVE_OUTPUT"] = file;
    options.env["TW_DRIVE_COMPRESS"] = mp3 ? "1" : "0";
    terminate({}, options, "recording");
    if (mp3) {
        expectWholeMp3(file);
    } else {
        expectWholeWav(file, 2);
    }
}

INSTANTIATE_TEST_SUITE_P(Outputs, RecordingSignals, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Mp3" : "Wav"; });
