// The ripping engine and the drive access under it, over disc images written by the
// tests and the real libakrip32.so, with the window replaced by a recording view.

#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <map>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

#include "DiscImage.h"
#include "FakeServices.h"
#include "RipperTestSupport.h"
#include "TestEnv.h"
#include "codec/WavFormat.h"
#include "ripper/CdDrives.h"
#include "ripper/RipEngine.h"

namespace {

using testdisc::TrackSpec;
constexpr size_t kBlockBytes = 26 * 2352;

class RecordingView : public ripper::RipView {
public:
    void appendLog(const std::string& line) override { log.push_back(line); }
    void setProgress(int percent) override { progress.push_back(percent); }
    void setSpeedText(const std::string& text) override { speed = text; }
    void setElapsedText(const std::string& text) override { elapsed = text; }
    void setEstimateText(const std::string& text) override { estimate = text; }
    void setTrackText(const std::string& text) override { track = text; }
    void setRippingState(bool ripping) override { states.push_back(ripping); }
    void processPendingEvents() override {
        ++checks;
        if (onCheck) {
            onCheck(checks);
        }
    }
    int rowCount() override { return rows; }
    bool isRowSelected(int row) override { return selected.count(row) > 0; }
    int driveIndex() override { return drive; }
    std::string prefix() override { return prefixText; }
    bool compressOnFly() override { return compress; }
    bool stopOnErrors() override { return stopOnError; }
    std::string ripperOut() override { return out; }
    bool notifyWhenDone() override { return notify; }

    std::vector<std::string> log;
    std::vector<int> progress;
    std::string speed, elapsed, estimate, track;
    std::vector<bool> states;
    int checks = 0;
    std::function<void(int)> onCheck;

    int rows = 0;
    std::set<int> selected;
    int drive = 0;
    std::string prefixText = "Track";
    bool compress = false;
    bool stopOnError = false;
    std::string out;
    bool notify = true;
};

using Lines = std::vector<std::string>;

class RipEngineTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir = testenv::makeDir(::testing::UnitTest::GetInstance()->current_test_info()->name());
        view.out = dir + "/out";
    }
    void TearDown() override { unsetenv("TUNEWRIGHT_CD_IMAGES"); }

    // The usual disc: 8 s, 130 frames, 27 frames, 1 frame.
    void load(std::vector<TrackSpec> tracks = {{600, 440}, {130, 660}, {27, 880}, {1, 1000}}) {
        image = testdisc::writeDiscImage(dir, "disc", tracks);
        bin = testenv::readFile(image.bin);
        setenv("TUNEWRIGHT_CD_IMAGES", image.cue.c_str(), 1);
        std::vector<std::string> names = drives.DiscoverDrives();
        auto it = std::find(names.begin(), names.end(), "disc.cue");
        ASSERT_NE(it, names.end());
        view.drive = static_cast<int>(it - names.begin());
        view.rows = static_cast<int>(drives.ListTracks(view.drive).rows.size());
        ASSERT_EQ(view.rows, static_cast<int>(tracks.size()));
    }

    void rip(std::set<int> rows) {
        view.selected = std::move(rows);
        engine.RipSelectedTracks();
    }

    std::string output(const std::string& name) { return view.out + "/" + name; }

    static void expectWavHeader(const std::string& file, uint32_t dataSize) {
        ASSERT_GE(file.size(), 44u);
        auto u32 = [&](size_t at) {
            return static_cast<uint32_t>(static_cast<uint8_t>(file[at])) |
                   static_cast<uint32_t>(static_cast<uint8_t>(file[at + 1])) << 8 |
                   static_cast<uint32_t>(static_cast<uint8_t>(file[at + 2])) << 16 |
                   static_cast<uint32_t>(static_cast<uint8_t>(file[at + 3])) << 24;
        };
        EXPECT_EQ(file.substr(0, 4), "RIFF");
        // A finished track's tag chunks follow the data; the RIFF size counts them, the
        // data size does not. A stopped track keeps its first header and no tags.
        if (u32(4) != dataSize + 36) {
            EXPECT_EQ(u32(4), file.size() - 8);
            const std::string next = file.substr(44 + dataSize + (dataSize & 1), 4);
            EXPECT_TRUE(next == "LIST" || next == "ID3 ") << next;
        }
        EXPECT_EQ(file.substr(8, 8), "WAVEfmt ");
        EXPECT_EQ(u32(16), 16u);
        EXPECT_EQ(u32(20), 1u | 2u << 16) << "PCM, 2 channels";
        EXPECT_EQ(u32(24), 44100u);
        EXPECT_EQ(u32(28), 176400u);
        EXPECT_EQ(u32(32), 4u | 16u << 16) << "block align 4, 16 bits";
        EXPECT_EQ(file.substr(36, 4), "data");
        EXPECT_EQ(u32(40), dataSize);
    }

    testenv::FakeServices services;
    testdisc::ScriptedCdLibrary cd;
    ripper::CdDrives drives{cd};
    RecordingView view;
    ripper::RipEngine engine{drives, view};
    std::string dir;
    testdisc::DiscImage image;
    std::string bin;
};

TEST(CdErrorText, LooksUpTheAbsoluteCode) {
    EXPECT_EQ(ripper::CdErrorText(0), "Everything OK");
    EXPECT_EQ(ripper::CdErrorText(4), "An error was returned by the ASPI manager");
    EXPECT_EQ(ripper::CdErrorText(-11), "Unable to obtain an exclusive lock on a CD handle");
    EXPECT_EQ(ripper::CdErrorText(10), "Internal: Bad ha:tgt:lun values ");
    EXPECT_EQ(ripper::CdErrorText(14), "Internal:Invalid version or size specified in GETCDHAND ");
    EXPECT_EQ(ripper::CdErrorText(15), "Internal: An automatic jitter adjust failed");
    EXPECT_EQ(ripper::CdErrorText(16), "Unknown CD library error 16");
    EXPECT_EQ(ripper::CdErrorText(INT_MIN), "Unknown CD library error -2147483648");
}

TEST(TimeLabels, SpeedElapsedAndEstimate) {
    // 1,058,400 bytes in 3 s: 1033 KiB / 3 = 344 KiB/s; 300 frames left = 689 KiB.
    ripper::TimeLabels labels = ripper::MakeTimeLabels(1058400, 3, 300);
    EXPECT_EQ(labels.speed, "Average speed: 344 Kb/sec");
    EXPECT_EQ(labels.elapsed, " Elapsed time: 00:03");
    EXPECT_EQ(labels.estimate, " Estimated time: 00:02");
    EXPECT_EQ(ripper::MakeTimeLabels(0, 75, 0).elapsed, " Elapsed time: 01:15");
    EXPECT_EQ(ripper::MakeTimeLabels(0, 6000, 0).elapsed, " Elapsed time: 100:00");
    // 1 KiB/s with 75 s of audio left gives 12919 s.
    EXPECT_EQ(ripper::MakeTimeLabels(1024 * 75, 75, 75 * 75).estimate, " Estimated time: 215:19");
    EXPECT_EQ(ripper::MakeTimeLabels(1023 * 5, 5, 100).estimate, " Estimated time: --:--");
}

TEST_F(RipEngineTest, TrackListRowsFromTheTableOfContents) {
    // Track 2 starts at 04:12:30, so row 1 counts 252 s from the very start.
    load({{252 * 75 + 30 - 150, 0, false, true},
          {59 * 75, 0, false, true},
          {605 * 75, 0, false, true},
          {75, 0, true}});
    ripper::TrackListing listing = drives.ListTracks(view.drive);
    ASSERT_EQ(listing.rows.size(), 4u);
    EXPECT_TRUE(listing.log.empty());
    const char* expected[4][3] = {{"Track 1", "4:12", "42Mb"},
                                  {"Track 2", "0:59", "9Mb"},
                                  {"Track 3", "10:05", "101Mb"},
                                  {"Track 4", "0:01", "0Mb"}};
    for (size_t i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(listing.rows[i].caption, expected[i][0]);
        EXPECT_EQ(listing.rows[i].lengthText, expected[i][1]);
        EXPECT_EQ(listing.rows[i].sizeText, expected[i][2]);
    }
    EXPECT_EQ(listing.rows[0].info.length, 252);
    EXPECT_EQ(listing.rows[0].info.size, 42);
    EXPECT_EQ(listing.rows[2].info.length, 605);

    cd.failToc = true;
    listing = drives.ListTracks(view.drive);
    EXPECT_TRUE(listing.rows.empty());
    EXPECT_EQ(listing.log, (Lines{"Error reading TOC - check if CD in drive!",
                                  "Unable to obtain an exclusive lock on a CD handle"}));
    EXPECT_TRUE(drives.ListTracks(100).log.empty()) << "an index above 99 reads nothing";
}

TEST_F(RipEngineTest, WavRipsAreSampleExact) {
    load();
    rip({0, 1, 2, 3});
    EXPECT_EQ(view.log,
              (Lines{"Starting to WAV rip track #1", "Ripping done", "Starting to WAV rip track #2",
                     "Ripping done", "Starting to WAV rip track #3", "Ripping done",
                     "Starting to WAV rip track #4", "Ripping done"}));
    for (size_t t = 0; t < 4; ++t) {
        SCOPED_TRACE(t);
        std::string file = testenv::readFile(output("Track#" + std::to_string(t + 1) + ".wav"));
        std::string expected = image.trackBytes(bin, t);
        expectWavHeader(file, static_cast<uint32_t>(expected.size()));
        EXPECT_TRUE(file.substr(44, expected.size()) == expected) << "audio differs from the image";
    }
    EXPECT_EQ(view.track, "Track #4");
    EXPECT_EQ(view.states, (std::vector<bool>{true, false}));
    EXPECT_FALSE(engine.Ripping);
    EXPECT_EQ(view.progress.back(), 0);
}

TEST_F(RipEngineTest, ReadsBlocksOf26FramesAndTheRest) {
    load();
    rip({1, 2, 3});
    std::vector<std::pair<uint32_t, uint32_t>> reads;
    for (const auto& r : cd.reads) {
        reads.emplace_back(r.start, r.frames);
    }
    EXPECT_EQ(reads, (std::vector<std::pair<uint32_t, uint32_t>>{{600, 26},
                                                                 {626, 26},
                                                                 {652, 26},
                                                                 {678, 26},
                                                                 {704, 26}, // 130 frames
                                                                 {730, 26},
                                                                 {756, 1}, // 27 frames
                                                                 {757, 1}}));
    // Checks run before blocks 0 and 5 of a track only: 1 + 1 + 1 for these.
    EXPECT_EQ(view.checks, 3);
}

TEST_F(RipEngineTest, BlocksThatFailThreeTimesAreSkipped) {
    load();
    cd.failingBlocks = {626, 678};
    rip({1});
    EXPECT_EQ(
        view.log,
        (Lines{"Starting to WAV rip track #2", "Unable to obtain an exclusive lock on a CD handle",
               "Unable to obtain an exclusive lock on a CD handle", "Ripping done"}));
    int attempts = 0;
    for (const auto& r : cd.reads) {
        attempts += r.start == 626 ? 1 : 0;
    }
    EXPECT_EQ(attempts, 3);
    std::string expected = image.trackBytes(bin, 1);
    expected.erase(3 * kBlockBytes, kBlockBytes).erase(kBlockBytes, kBlockBytes);
    std::string file = testenv::readFile(output("Track#2.wav"));
    EXPECT_EQ(expected.size(), 130 * 2352 - 2 * kBlockBytes);
    expectWavHeader(file, static_cast<uint32_t>(expected.size()));
    EXPECT_TRUE(file.substr(44, expected.size()) == expected);
}

TEST_F(RipEngineTest, StopOnErrorsEndsTheRunAtTheNextCheck) {
    load();
    view.stopOnError = true;
    cd.failingBlocks = {26};
    rip({0, 1});
    EXPECT_EQ(view.log,
              (Lines{"Starting to WAV rip track #1",
                     "Unable to obtain an exclusive lock on a CD handle", "Ripping canceled"}));
    // Blocks 2 to 4 are still read before the check at block 5.
    EXPECT_EQ(cd.reads.back().start, 4u * 26);
    std::string file = testenv::readFile(output("Track#1.wav"));
    EXPECT_EQ(file.size(), 44 + 4 * kBlockBytes) << "the partial audio stays";
    // The header describes the partial audio (with data size 0 no reader saw any).
    expectWavHeader(file, 4 * kBlockBytes);
    std::string expected = image.trackBytes(bin, 0).substr(0, 5 * kBlockBytes);
    EXPECT_TRUE(file.substr(44) == expected.erase(kBlockBytes, kBlockBytes));
    EXPECT_FALSE(testenv::fileExists(output("Track#2.wav")));
    EXPECT_TRUE(engine.RipStopRequested);
}

TEST_F(RipEngineTest, StopDuringTheFirstOfThreeTracks) {
    load();
    view.onCheck = [this](int check) {
        if (check == 3) {
            engine.RipStopRequested = true;
        }
    };
    rip({0, 1, 2});
    EXPECT_EQ(view.log, (Lines{"Starting to WAV rip track #1", "Ripping canceled"}));
    EXPECT_EQ(cd.reads.size(), 10u);
    EXPECT_FALSE(testenv::fileExists(output("Track#2.wav")));
    EXPECT_FALSE(testenv::fileExists(output("Track#3.wav")));
    expectWavHeader(testenv::readFile(output("Track#1.wav")), 10 * kBlockBytes);
    EXPECT_EQ(view.states, (std::vector<bool>{true, false}));
    // Readers from outside see every frame read before the stop.
    const std::string quoted = "'" + output("Track#1.wav") + "'";
    EXPECT_EQ(testenv::run("test \"$(soxi -s " + quoted +
                           ")\" = " + std::to_string(10 * kBlockBytes / 4)),
              0);
    EXPECT_EQ(testenv::run("python3 -c 'import sys, wave; w = wave.open(sys.argv[1]); "
                           "sys.exit(w.getnframes() != int(sys.argv[2]))' " +
                           quoted + " " + std::to_string(10 * kBlockBytes / 4)),
              0);
}

// A run keeps the computer awake while it reads and announces its end (when the
// Notify setting says so): what was ripped, the first failure, the folder to open.
TEST_F(RipEngineTest, ARunIsAnnouncedAndKeepsTheComputerAwake) {
    load();
    struct Row {
        std::set<int> rows;
        std::set<uint32_t> failing; // blocks that never read
        bool notify;
        std::string summary; // how it starts
    } rows[] = {{{1, 2}, {}, true, "2 "}, {{0, 1}, {26}, true, "1 "}, {{2}, {}, false, ""}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.summary);
        services.notifier->shown.clear();
        services.sleepInhibitor->requests.clear();
        cd.failingBlocks = row.failing;
        view.notify = row.notify;
        view.log.clear();
        size_t heldWhileReading = 0;
        view.onCheck = [&](int) { heldWhileReading = services.sleepInhibitor->held(); };
        rip(row.rows);

        EXPECT_EQ(heldWhileReading, 1u);
        ASSERT_EQ(services.sleepInhibitor->requests.size(), 1u);
        EXPECT_TRUE(services.sleepInhibitor->requests[0].released);
        EXPECT_NE(services.sleepInhibitor->requests[0].why.find(std::to_string(row.rows.size())),
                  std::string::npos);
        ASSERT_EQ(services.notifier->shown.size(), row.notify ? 1u : 0u);
        if (row.notify) {
            const platform::Notification& shown = services.notifier->shown[0];
            EXPECT_EQ(shown.actionFolder, view.out);
            EXPECT_EQ(shown.summary.rfind(row.summary, 0), 0u) << shown.summary;
            // A lost block fails its track: the first failure as the log has it.
            EXPECT_EQ(shown.summary.find("1 failed") != std::string::npos, !row.failing.empty());
            EXPECT_EQ(shown.body.find(view.log[1]) != std::string::npos, !row.failing.empty());
        }
    }
}

TEST_F(RipEngineTest, TimeLabelsFollowTheClock) {
    load();
    view.speed = "before";
    view.elapsed = "before";
    view.estimate = "before";
    std::vector<std::string> seen;
    // Each read takes 200 ms: the check at block 5 sees 1 s and 305760 bytes.
    cd.onRead = [this](int) { services.clock->now += 200; };
    view.onCheck = [&](int check) {
        seen.push_back(view.speed + "|" + view.elapsed + "|" + view.estimate);
        (void)check;
    };
    rip({0});
    ASSERT_GE(seen.size(), 3u);
    EXPECT_EQ(seen[0], "before|before|before") << "nothing during the first second";
    EXPECT_EQ(seen[1], "before|before|before");
    EXPECT_EQ(seen[2], "Average speed: 298 Kb/sec| Elapsed time: 00:01| Estimated time: 00:03");
    ASSERT_FALSE(view.progress.empty());
    EXPECT_EQ(view.progress[1], 21) << "130 of 600 frames";
}

TEST_F(RipEngineTest, EstimateWhileNothingIsRead) {
    load();
    cd.failingBlocks.clear();
    for (uint32_t b = 0; b < 600; b += 26) {
        cd.failingBlocks.insert(b);
    }
    cd.onRead = [this](int) { services.clock->now += 100; };
    rip({0});
    EXPECT_EQ(view.speed, "Average speed: 0 Kb/sec");
    EXPECT_EQ(view.estimate, " Estimated time: --:--");
    EXPECT_EQ(view.log.back(), "Ripping done");
    EXPECT_EQ(view.log.size(), 2u + 24u) << "one line per lost block";
    expectWavHeader(testenv::readFile(output("Track#1.wav")), 0);
}

TEST_F(RipEngineTest, TrackOfZeroFrames) {
    load({{0, 440}, {75, 660}});
    rip({0});
    EXPECT_EQ(view.log, (Lines{"Starting to WAV rip track #1", "Ripping done"}));
    std::string file = testenv::readFile(output("Track#1.wav"));
    EXPECT_EQ(file.size(), 44u);
    expectWavHeader(file, 0);
    EXPECT_TRUE(cd.reads.empty());
}

TEST_F(RipEngineTest, UnreadableTableOfContents) {
    load();
    cd.failToc = true;
    rip({0, 1});
    EXPECT_EQ(view.log, (Lines{"Starting to WAV rip track #1",
                               "Unable to obtain an exclusive lock on a CD handle",
                               "Starting to WAV rip track #2",
                               "Unable to obtain an exclusive lock on a CD handle"}));
    EXPECT_FALSE(testenv::fileExists(output("Track#1.wav")));

    view.log.clear();
    view.stopOnError = true;
    rip({0, 1});
    EXPECT_EQ(view.log.size(), 2u) << "Stop on errors ends the run after the first track";
}

TEST_F(RipEngineTest, RowsNoLongerOnTheDisc) {
    load();
    // The disc changes under the list: one track left.
    testdisc::writeDiscImage(dir, "disc", {{75, 440}});
    rip({0, 2});
    EXPECT_EQ(view.log, (Lines{"Starting to WAV rip track #1", "Ripping done",
                               "Starting to WAV rip track #3", "Track #3 is not on the disc!"}));
}

TEST_F(RipEngineTest, OutputDirectoryProblemsEndTheRun) {
    load();
    testenv::writeFile(dir + "/plain", "x");
    struct Case {
        std::string out;
        std::string line;
    };
    const Case cases[] = {
        {"", "Unable to create output directory!"},
        {dir + "/plain/sub", "Unable to create output directory!"},
        {dir + "/plain", "Unable to create file in output directory!"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.out);
        view.out = c.out;
        view.log.clear();
        rip({0, 1});
        EXPECT_EQ(view.log, Lines{c.line}) << "no starting line, no second track";
        EXPECT_TRUE(engine.RipStopRequested);
        EXPECT_FALSE(engine.Ripping);
    }
    EXPECT_FALSE(testenv::fileExists(dir + "/plain/sub"));
}

TEST_F(RipEngineTest, OutputDirectoryIsCreatedAndProbedWithoutHarm) {
    load();
    // The whole missing path is made, as on a fresh account without ~/Music.
    view.out = dir + "/Music/Ripped Files/";
    rip({3});
    EXPECT_EQ(view.log.back(), "Ripping done");
    EXPECT_TRUE(testenv::fileExists(dir + "/Music/Ripped Files/Track#4.wav"));

    view.out = dir + "/.hidden/";
    rip({3});
    EXPECT_EQ(view.log.back(), "Ripping done");
    EXPECT_TRUE(testenv::fileExists(dir + "/.hidden/Track#4.wav"));

    // A temp.tmp of the user's survives the write test; an old rip is replaced.
    testenv::writeFile(dir + "/.hidden/temp.tmp", "keep me");
    testenv::writeFile(dir + "/.hidden/Track#2.wav", std::string(100000, 'z'));
    rip({1});
    EXPECT_EQ(testenv::readFile(dir + "/.hidden/temp.tmp"), "keep me");
    expectWavHeader(testenv::readFile(dir + "/.hidden/Track#2.wav"), 130 * 2352);
    std::string left = testenv::root() + "left.txt";
    testenv::run("LC_ALL=C ls -A '" + dir + "/.hidden' > '" + left + "'");
    EXPECT_EQ(testenv::readFile(left), "Track#2.wav\nTrack#4.wav\ntemp.tmp\n");
}

TEST_F(RipEngineTest, ReadOnlyOutputDirectory) {
    if (geteuid() == 0) {
        GTEST_SKIP() << "permission bits do not stop root";
    }
    load();
    testenv::makeDir(std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) +
                     "/out");
    chmod(view.out.c_str(), 0555);
    rip({0});
    chmod(view.out.c_str(), 0755);
    EXPECT_EQ(view.log, Lines{"Unable to create file in output directory!"});
}

TEST_F(RipEngineTest, PrefixCharacters) {
    load();
    for (std::string bad : {"a!", "*", "x?y", "back\\slash"}) {
        SCOPED_TRACE(bad);
        view.prefixText = bad;
        view.log.clear();
        rip({3, 2});
        EXPECT_EQ(view.log, Lines{"Invalid output file name!"});
    }
    view.prefixText = "a:b";
    view.log.clear();
    rip({3});
    EXPECT_TRUE(testenv::fileExists(output("a:b#4.wav")));
    view.prefixText = "";
    rip({3});
    EXPECT_TRUE(testenv::fileExists(output("#4.wav")));

    // A slash passes the test; a missing folder then fails the file itself and the
    // run ends with the window idle.
    view.prefixText = "sub/x";
    view.log.clear();
    rip({3, 2});
    EXPECT_EQ(view.log, (Lines{"Starting to WAV rip track #3", "Unable to create output file!"}))
        << "rows go in list order, and the run ends at the first";
    EXPECT_FALSE(engine.Ripping);
    EXPECT_EQ(view.states.back(), false);
}

TEST_F(RipEngineTest, TargetThatCannotBeReplaced) {
    load();
    testenv::makeDir(std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) +
                     "/out/Track#4.wav");
    testenv::writeFile(output("Track#3.wav"), "old");
    chmod(output("Track#3.wav").c_str(), 0444);
    rip({2});
    EXPECT_EQ(view.log, (Lines{"Starting to WAV rip track #3", "Unable to create output file!"}));
    EXPECT_EQ(testenv::readFile(output("Track#3.wav")), "old") << "a read-only file is kept";
    view.log.clear();
    rip({3});
    EXPECT_EQ(view.log, (Lines{"Starting to WAV rip track #4", "Unable to create output file!"}));
}

// Decodes an MP3 file with mpg123 and returns its samples (16-bit stereo).
struct Decoded {
    bool ok = false;
    uint32_t rate = 0;
    uint16_t channels = 0;
    std::vector<int16_t> samples;
    double seconds() const { return rate ? samples.size() / double(channels) / rate : 0; }
    // Zero crossings of the left channel over the middle of the audio, as Hz.
    double leftFrequency() const {
        size_t frames = samples.size() / channels;
        size_t from = frames / 4, to = frames * 3 / 4;
        int crossings = 0;
        for (size_t i = from + 1; i < to; ++i) {
            crossings += (samples[(i - 1) * channels] < 0) != (samples[i * channels] < 0);
        }
        return crossings / 2.0 / (double(to - from) / rate);
    }
};

Decoded decodeMp3(const std::string& mp3) {
    Decoded d;
    std::string wav = mp3 + ".decoded.wav";
    if (testenv::run("mpg123 -q -w '" + wav + "' '" + mp3 + "' 2>/dev/null") != 0) {
        return d;
    }
    std::string bytes = testenv::readFile(wav);
    if (bytes.size() < 44) {
        return d;
    }
    auto u32 = [&](size_t at) {
        uint32_t v = 0;
        for (int i = 3; i >= 0; --i) {
            v = v << 8 | static_cast<uint8_t>(bytes[at + i]);
        }
        return v;
    };
    d.channels = static_cast<uint16_t>(static_cast<uint8_t>(bytes[22]));
    d.rate = u32(24);
    size_t data = bytes.find("data");
    if (data == std::string::npos) {
        return d;
    }
    size_t size = std::min<size_t>(u32(data + 4), bytes.size() - data - 8);
    d.samples.resize(size / 2);
    std::memcpy(d.samples.data(), bytes.data() + data + 8, d.samples.size() * 2);
    d.ok = true;
    return d;
}

TEST_F(RipEngineTest, Mp3RipDecodesToTheTrack) {
    load();
    view.compress = true;
    view.prefixText = "Song";
    rip({0, 1});
    EXPECT_EQ(view.log, (Lines{"Starting to MP3 rip track #1", "Ripping done",
                               "Starting to MP3 rip track #2", "Ripping done"}));
    Decoded first = decodeMp3(output("Song#1.mp3"));
    ASSERT_TRUE(first.ok);
    EXPECT_EQ(first.rate, 44100u);
    EXPECT_EQ(first.channels, 2);
    // The LAME tag tells the decoder the encoder's delay and padding: the track
    // comes back with exactly its own length.
    EXPECT_EQ(first.samples.size(), 600u * 588 * 2);
    EXPECT_NEAR(first.leftFrequency(), 440.0, 5.0);
    Decoded second = decodeMp3(output("Song#2.mp3"));
    ASSERT_TRUE(second.ok);
    EXPECT_EQ(second.samples.size(), 130u * 588 * 2);
    EXPECT_NEAR(second.leftFrequency(), 660.0, 8.0);
}

// A disc whose cue sheet carries CD-TEXT (none for track 2) ripped to WAV and MP3:
// the files carry album, album artist, title, artist and track n/N as ffprobe reads
// them, and their audio is exactly that of the same rip from a disc without CD-TEXT.
TEST_F(RipEngineTest, CdTextTagsEveryRippedTrack) {
    image = testdisc::writeDiscImage(dir, "disc",
                                     {{150, 440, false, false, "Opening", "Ann Smith"},
                                      {130, 660},
                                      {27, 880, false, false, "Coda"}},
                                     {"The Album", "The Band"});
    bin = testenv::readFile(image.bin);
    testdisc::DiscImage bare =
        testdisc::writeDiscImage(dir, "bare", {{150, 440}, {130, 660}, {27, 880}});
    ASSERT_TRUE(testenv::readFile(bare.bin) == bin);
    setenv("TUNEWRIGHT_CD_IMAGES", (image.cue + ":" + bare.cue).c_str(), 1);
    std::vector<std::string> names = drives.DiscoverDrives();
    auto at = [&names](const char* name) {
        return static_cast<int>(std::find(names.begin(), names.end(), name) - names.begin());
    };
    ASSERT_LT(at("disc.cue"), static_cast<int>(names.size()));
    ASSERT_LT(at("bare.cue"), static_cast<int>(names.size()));

    std::map<std::string, std::string> audio; // per file: the bytes of its audio
    for (bool compress : {false, true}) {
        for (const char* disc : {"disc.cue", "bare.cue"}) {
            view.drive = at(disc);
            view.rows = static_cast<int>(drives.ListTracks(view.drive).rows.size());
            view.compress = compress;
            view.prefixText = disc[0] == 'd' ? "Text" : "Bare";
            rip({0, 1, 2});
            for (int t = 1; t <= 3; ++t) {
                std::string name =
                    view.prefixText + "#" + std::to_string(t) + (compress ? ".mp3" : ".wav");
                std::string bytes = testenv::readFile(output(name));
                if (compress) {
                    ASSERT_EQ(bytes.substr(0, 3), "ID3") << name;
                    auto b = [&](int i) { return size_t(uint8_t(bytes[i]) & 0x7F); };
                    audio[name] = bytes.substr(10 + (b(6) << 21 | b(7) << 14 | b(8) << 7 | b(9)));
                } else {
                    expectWavHeader(bytes,
                                    static_cast<uint32_t>(image.trackBytes(bin, t - 1).size()));
                    audio[name] = bytes.substr(44, image.trackBytes(bin, t - 1).size());
                    EXPECT_TRUE(audio[name] == image.trackBytes(bin, t - 1)) << name;
                }
            }
        }
        const std::string ext = compress ? ".mp3" : ".wav";
        SCOPED_TRACE(ext);
        for (int t = 1; t <= 3; ++t) {
            const std::string n = std::to_string(t);
            EXPECT_TRUE(audio["Text#" + n + ext] == audio["Bare#" + n + ext]) << "track " << n;
        }
        auto first = testenv::probeTags(output("Text#1" + ext));
        EXPECT_EQ(first["album"], "The Album");
        EXPECT_EQ(first["title"], "Opening");
        EXPECT_EQ(first["artist"], "Ann Smith");
        EXPECT_EQ(first["track"], "1/3");
        if (compress) {
            EXPECT_EQ(first["album_artist"], "The Band");
        }
        // Track 2 has no CD-TEXT of its own: no title, the album's performer.
        auto second = testenv::probeTags(output("Text#2" + ext));
        EXPECT_EQ(second.count("title"), 0u);
        EXPECT_EQ(second["artist"], "The Band");
        EXPECT_EQ(second["album"], "The Album");
        EXPECT_EQ(second["track"], "2/3");
        EXPECT_EQ(testenv::probeTags(output("Text#3" + ext))["title"], "Coda");
        // Without CD-TEXT, still the track's place on the disc.
        auto bareTags = testenv::probeTags(output("Bare#3" + ext));
        EXPECT_EQ(bareTags["track"], "3/3");
        EXPECT_EQ(bareTags.count("title") + bareTags.count("album"), 0u);
    }
}

TEST_F(RipEngineTest, StoppedMp3IsCompleteButShorter) {
    load();
    view.compress = true;
    view.onCheck = [this](int check) {
        if (check == 3) {
            engine.RipStopRequested = true;
        }
    };
    rip({0});
    EXPECT_EQ(view.log.back(), "Ripping canceled");
    Decoded d = decodeMp3(output("Track#1.mp3"));
    ASSERT_TRUE(d.ok);
    // Finished with its tag frame on the cancel path as well.
    EXPECT_EQ(d.samples.size(), 10u * 26 * 588 * 2);
}

TEST_F(RipEngineTest, MissingEncoderEndsTheRun) {
    load();
    view.compress = true;
    engine.EncoderLibraryPath = dir + "/no-such-lame.so";
    rip({0, 1});
    ASSERT_EQ(view.log.size(), 2u);
    EXPECT_EQ(view.log[0], "Starting to MP3 rip track #1");
    EXPECT_EQ(view.log[1], "Unable to load MP3 encoder " + dir + "/no-such-lame.so!");
    EXPECT_FALSE(testenv::fileExists(output("Track#1.mp3")));
    EXPECT_TRUE(cd.reads.empty()) << "nothing is read for an output that is not there";
    EXPECT_FALSE(engine.Ripping);

    // A library without the four entry points counts as missing too.
    engine.EncoderLibraryPath = testenv::appDir() + "libakrip32.so";
    view.log.clear();
    rip({0});
    EXPECT_EQ(view.log.back(), "Unable to load MP3 encoder " + engine.EncoderLibraryPath + "!");
}

TEST_F(RipEngineTest, Mp3OutputThatCannotBeOpenedCallsNoEncoder) {
    load();
    engine.LoadEncoder();
    std::string why;
    testenv::makeDir(std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) +
                     "/out");
    testenv::writeFile(output("old.mp3"), "old");
    chmod(output("old.mp3").c_str(), 0444);
    EXPECT_FALSE(engine.OpenMp3Output(output("old.mp3"), why));
    EXPECT_EQ(why, "Unable to overwrite output file!");
    EXPECT_EQ(testenv::readFile(output("old.mp3")), "old");
    uint8_t block[8] = {};
    EXPECT_FALSE(engine.EncodeBlock(block, sizeof block));
    engine.CloseMp3Output(); // nothing open: no encoder call, no crash

    // An odd trailing byte is dropped and the loop ends.
    ASSERT_TRUE(engine.OpenMp3Output(output("odd.mp3"), why)) << why;
    std::vector<uint8_t> audio(4 * 44100 + 1);
    testdisc::fillAudio(audio.data(), 0, 75, 440, 0);
    EXPECT_TRUE(engine.EncodeBlock(audio.data(), static_cast<uint32_t>(audio.size())));
    EXPECT_TRUE(engine.EncodeBlock(audio.data() + 1, 4 * 1000)) << "audio at an odd address";
    engine.CloseMp3Output();
    EXPECT_FALSE(engine.EncodeBlock(audio.data(), 4));
    Decoded d = decodeMp3(output("odd.mp3"));
    ASSERT_TRUE(d.ok);
    EXPECT_NEAR(d.seconds(), 1.0 + 1000 / 44100.0, 0.08);
}

} // namespace
