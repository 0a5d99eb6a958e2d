// A batch on every core against the same batch one job at a time, with real
// processes: the same files under the same names with the same bytes, and the same
// status words and boxes in the same order; and a converter killed at several
// moments, then started again: every name converted once, whole, into its own file.

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "TestEnv.h"
#include "e2e_support.h"
#include "settings/Settings.h"
#include "tests/app/audio_check.h"

namespace {

// A mixed batch: long and short WAVs, two sources of one name from two folders, a
// FLAC (read through FFmpeg), an MP3 to decode, a source that is missing and one
// that is no audio at all.
struct Batch {
    std::string encoded;
    std::string decoded;
    std::vector<std::string> names;
};

Batch makeBatch(const std::string& name) {
    Batch b;
    const std::string dir = testenv::makeDir(name) + "/";
    b.encoded = dir + "encoded";
    b.decoded = dir + "decoded";
    testenv::makeDir(name + "/a");
    testenv::makeDir(name + "/b");
    apptest::makeWav(dir + "long.wav", 40);
    for (int i = 0; i < 4; ++i) {
        apptest::makeWav(dir + "short" + std::to_string(i) + ".wav", 0.5, 22050, 1);
    }
    apptest::makeWav(dir + "a/same.wav", 3);
    apptest::makeWav(dir + "b/same.wav", 2, 44100, 2, 16, 660);
    apptest::makeMp3(dir + "song.mp3", 5);
    EXPECT_EQ(testenv::run("ffmpeg -v error -f lavfi -i sine=f=440:r=96000:d=4 -ac 2 "
                           "-sample_fmt s32 " +
                           apptest::quoted(dir + "hires.flac")),
              0);
    testenv::writeFile(dir + "noise.wav", std::string(4096, '\x5a'));
    b.names = {dir + "long.wav",   dir + "short0.wav", dir + "a/same.wav", dir + "missing.wav",
               dir + "short1.wav", dir + "song.mp3",   dir + "b/same.wav", dir + "noise.wav",
               dir + "hires.flac", dir + "short2.wav", dir + "short3.wav"};
    return b;
}

void saveSettings(const Batch& b, unsigned jobs) {
    // An existing target gets a new name: a second conversion would show.
    e2e::saveSettings(b.decoded, b.encoded, [](settings::SettingsRecord& r) { r.Overwrite = 1; });
    ASSERT_EQ(e2e::run(e2e::programPath(), {"--parallel-jobs=" + std::to_string(jobs)}, 20000), 0);
}

// Every output file's bytes, by folder and name.
std::map<std::string, std::string> outputs(const Batch& b) {
    std::map<std::string, std::string> files;
    for (const std::string& dir : {b.encoded, b.decoded}) {
        for (const std::string& name : testenv::listDir(dir)) {
            files[dir.substr(dir.rfind('/')) + "/" + name] = testenv::readFile(dir + "/" + name);
        }
    }
    return files;
}


// The output folders hold these names, each the whole source.
void expectWhole(const Batch& b) {
    EXPECT_EQ(testenv::listDir(b.encoded),
              (std::vector<std::string>{"hires.MP3", "long.MP3", "same.MP3", "same0.MP3",
                                        "short0.MP3", "short1.MP3", "short2.MP3", "short3.MP3"}));
    EXPECT_EQ(testenv::listDir(b.decoded), std::vector<std::string>{"song.WAV"});
    apptest::expectTone(b.encoded + "/long.MP3", 40, 44100, 2);
    apptest::expectTone(b.encoded + "/same.MP3", 3, 44100, 2); // a/same.wav, first in the queue
    EXPECT_NEAR(apptest::analyse(b.encoded + "/same0.MP3").seconds, 2, 0.06);
    apptest::expectTone(b.encoded + "/short3.MP3", 0.5, 22050, 2);
    apptest::expectTone(b.decoded + "/song.WAV", 5, 44100, 2);
    apptest::expectTone(b.encoded + "/hires.MP3", 4, 48000, 2);
}

} // namespace

TEST(ParallelBatch, EveryCoreGivesWhatOneJobAtATimeGives) {
    Batch b = makeBatch("mixed");
    const std::string root = b.encoded.substr(0, b.encoded.rfind('/') + 1);
    std::map<unsigned, std::vector<std::string>> seen;
    std::map<unsigned, std::map<std::string, std::string>> made;
    for (unsigned jobs : {1u, 0u}) {
        SCOPED_TRACE(jobs == 1 ? "one job at a time" : "one job per processor");
        b.encoded = root + "encoded-" + std::to_string(jobs);
        b.decoded = root + "decoded-" + std::to_string(jobs);
        saveSettings(b, jobs);
        e2e::Options options;
        options.env["TW_DRIVE"] = "convert";
        e2e::Process p = e2e::start(testenv::appDir() + "driven_program", b.names, options);
        ASSERT_EQ(e2e::wait(p, 120000), 0) << e2e::output(p) << e2e::errors(p);
        seen[jobs] = e2e::linesStartingWith(e2e::output(p), {"status: ", "box: "});
        made[jobs] = outputs(b);
        expectWhole(b);
        // Each failed job says what failed.
        const std::vector<std::string> failures =
            e2e::linesStartingWith(e2e::errors(p), {"mp3tunewright: " + b.names[3] + ": ",
                                               "mp3tunewright: " + b.names[7] + ": "});
        EXPECT_EQ(failures.size(), 2u) << e2e::errors(p);
    }
    EXPECT_EQ(seen[0], seen[1]);
    ASSERT_EQ(made[0].size(), made[1].size());
    for (auto one = made[1].begin(), every = made[0].begin(); one != made[1].end();
         ++one, ++every) {
        EXPECT_EQ(one->first.substr(one->first.find('/', 1)),
                  every->first.substr(every->first.find('/', 1)));
        EXPECT_TRUE(one->second == every->second) << one->first << " differs";
    }
}

TEST(ParallelBatch, EndedAtAnyMomentEveryNameIsConvertedOnceAfterARestart) {
    // Killed when the first target appears, when several exist, near the end; and
    // closed by a logout's signal, when every worker finishes its own file.
    struct Row {
        size_t targets;
        int signal;
    };
    for (const Row row : {Row{1, SIGKILL}, Row{4, SIGKILL}, Row{8, SIGKILL}, Row{4, SIGTERM}}) {
        const std::string name =
            "ended-at-" + std::to_string(row.targets) + "-by-" + std::to_string(row.signal);
        SCOPED_TRACE(name);
        const Batch b = makeBatch(name);
        saveSettings(b, 0);
        e2e::Process p = e2e::start(e2e::programPath(), b.names);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (testenv::listDir(b.encoded).size() + testenv::listDir(b.decoded).size() <
                   row.targets &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        ::kill(p.pid, row.signal);
        const int code = e2e::wait(p, 60000);
        if (row.signal == SIGTERM) {
            EXPECT_EQ(code, 0) << e2e::errors(p);
        }

        // The next converter (started for another name) finishes what was left.
        const std::string extra = testenv::root() + name + ".wav";
        apptest::makeWav(extra, 0.2);
        ASSERT_EQ(e2e::run(e2e::programPath(), {extra}, 120000), 0);
        std::remove((b.encoded + "/" + name + ".MP3").c_str());
        expectWhole(b);
        EXPECT_TRUE(testenv::listDir(std::string(std::getenv("TUNEWRIGHT_RUNTIME_DIR"))).empty());
    }
}
