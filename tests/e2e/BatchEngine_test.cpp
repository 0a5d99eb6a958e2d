// The batch as its user drives it, with real processes. One script, run one job at a
// time and on three workers, leaves the same files with the same bytes: existing
// targets (one read-only) under each overwrite rule, "Last file" and Exit answered OK
// or Cancel at the same moment, a name reached through a symlinked folder that an
// earlier entry writes, two sources of one name and a missing source. Logouts in a
// row lose nothing, and a full runtime folder loses no name that was handed over.

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <map>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "TestEnv.h"
#include "app/batch/QueueRecord.h"
#include "e2e_support.h"
#include "settings/Settings.h"
#include "tests/app/audio_check.h"

namespace {

constexpr int kEndMs = 120000;

std::string driver() {
    return testenv::appDir() + "driven_program";
}

void setJobs(unsigned jobs) {
    ASSERT_EQ(e2e::run(e2e::programPath(), {"--parallel-jobs=" + std::to_string(jobs)}, 20000), 0);
}


// Every file of the output folders with its bytes (one changed by the user's action
// at an unknown moment, a partial, only by its name).
std::map<std::string, std::string> filesIn(const std::vector<std::string>& dirs,
                                           const std::string& partial) {
    std::map<std::string, std::string> files;
    for (const std::string& dir : dirs) {
        for (const std::string& name : testenv::listDir(dir)) {
            const std::string path = dir + "/" + name;
            files[dir.substr(dir.rfind('/') + 1) + "/" + name] =
                path == partial ? "partial" : testenv::readFile(path);
        }
    }
    return files;
}

} // namespace

TEST(BatchEngine, OneAtATimeAndThreeWorkersLeaveTheSameFiles) {
    const std::string sources = testenv::makeDir("script") + "/";
    testenv::makeDir("script/x");
    testenv::makeDir("script/y");
    // Long enough that its job still runs when its turn is shown, with every worker.
    apptest::makeWav(sources + "a.wav", 240);
    apptest::makeWav(sources + "b.wav", 2, 44100, 2, 16, 550);
    apptest::makeWav(sources + "c.wav", 2, 22050, 1);
    apptest::makeWav(sources + "x/same.wav", 1.5);
    apptest::makeWav(sources + "y/same.wav", 1, 44100, 2, 16, 660);

    struct Row {
        int overwrite;
        const char* act; // done while a.wav is a quarter through its codec phase
        const char* exitAnswer;
    };
    const Row rows[] = {{0, "", ""},         {1, "", ""},          {2, "", ""},
                        {0, "lastfile", ""}, {1, "exit", "OK"}, {0, "exit", "Cancel"}};
    for (const Row& row : rows) {
        const std::string name = "script-" + std::to_string(row.overwrite) + row.act + row.exitAnswer;
        SCOPED_TRACE(name);
        std::map<unsigned, std::map<std::string, std::string>> files;
        std::map<unsigned, std::vector<std::string>> shown;
        for (unsigned jobs : {1u, 3u}) {
            const std::string root = testenv::makeDir(name + "-" + std::to_string(jobs)) + "/";
            const std::string encoded = root + "encoded";
            const std::string decoded = root + "decoded";
            testenv::makeDir(name + "-" + std::to_string(jobs) + "/encoded");
            testenv::writeFile(encoded + "/b.MP3", "the user's b, read-only");
            ASSERT_EQ(::chmod((encoded + "/b.MP3").c_str(), 0444), 0);
            testenv::writeFile(encoded + "/c.MP3", "the user's c");
            ASSERT_EQ(::symlink(encoded.c_str(), (root + "link").c_str()), 0);
            e2e::saveSettings(decoded, encoded,
                              [&](settings::SettingsRecord& r) { r.Overwrite = row.overwrite; });
            setJobs(jobs);

            e2e::Options options;
            options.env["TW_DRIVE"] = "convert-act";
            options.env["TW_DRIVE_ACT"] = row.act;
            options.env["TW_DRIVE_AT"] = sources + "a.wav";
            options.env["TW_DRIVE_EXIT_ANSWER"] = row.exitAnswer;
            e2e::Process p = e2e::start(
                driver(),
                {sources + "a.wav", sources + "b.wav", root + "link/a.MP3", sources + "c.wav",
                 sources + "x/same.wav", sources + "gone.wav", sources + "y/same.wav"},
                options);
            ASSERT_EQ(e2e::wait(p, kEndMs), 0) << e2e::output(p) << e2e::errors(p);
            if (*row.act) {
                ASSERT_NE(e2e::output(p).find("acted\n"), std::string::npos) << e2e::output(p);
            }
            // Files the user had are never deleted, and a read-only one never replaced.
            EXPECT_EQ(testenv::readFile(encoded + "/b.MP3"), "the user's b, read-only");
            EXPECT_TRUE(testenv::fileExists(encoded + "/c.MP3"));
            const bool partial = std::string(row.exitAnswer) == "Cancel";
            if (partial) {
                const apptest::Audio a = apptest::analyse(encoded + "/a.MP3");
                EXPECT_GT(a.seconds, 1.0);
                EXPECT_LT(a.seconds, 239.0);
            }
            files[jobs] = filesIn({encoded, decoded}, partial ? encoded + "/a.MP3" : "");
            shown[jobs] = e2e::linesStartingWith(e2e::output(p), {"status: ", "box: "});
            ::chmod((encoded + "/b.MP3").c_str(), 0644);
        }
        EXPECT_EQ(files[1], files[3]);
        EXPECT_EQ(shown[1], shown[3]);
        if (std::string(row.act).empty()) {
            // The symlinked name was read once the earlier entry had written it.
            EXPECT_EQ(files[3].count("decoded/a.WAV"), 1u);
        }
        if (std::string(row.exitAnswer) == "OK") {
            EXPECT_EQ(files[3].size(), 2u) << "only the user's own files";
        }
    }
}

// A logout while both workers run, a restart, another logout while the names are
// redone, a restart: each name ends converted whole, once.
TEST(BatchEngine, LogoutsInARowLoseNothing) {
    const std::string dir = testenv::makeDir("logouts") + "/";
    const std::string rt = std::string(std::getenv("TUNEWRIGHT_RUNTIME_DIR")) + "/";
    apptest::makeWav(dir + "one.wav", 120);
    apptest::makeWav(dir + "two.wav", 120);
    e2e::saveSettings(dir + "decoded", dir + "encoded",
                      [](settings::SettingsRecord& r) { r.Overwrite = 1; });
    setJobs(2);
    for (int logout = 0; logout < 3; ++logout) {
        const std::string own = dir + "own" + std::to_string(logout) + ".wav";
        apptest::makeWav(own, 0.3);
        e2e::Process p = e2e::start(e2e::programPath(), {dir + "one.wav", dir + "two.wav", own});
        if (logout == 2) {
            ASSERT_EQ(e2e::wait(p, kEndMs), 0) << e2e::errors(p);
            break;
        }
        // Both jobs have started: the record marks them so.
        ASSERT_TRUE(e2e::waitFor(
            [&] {
                const app::RecordLeft left = app::QueueRecord::readLeft(rt);
                return left.unfinished.size() >= 2 && left.unfinished[0].retried &&
                       left.unfinished[1].retried;
            },
            kEndMs));
        ASSERT_EQ(::kill(p.pid, SIGTERM), 0);
        ASSERT_EQ(::kill(p.pid, SIGHUP), 0);
        ASSERT_EQ(e2e::wait(p, kEndMs), 0) << e2e::errors(p);
    }
    EXPECT_EQ(testenv::listDir(dir + "encoded"),
              (std::vector<std::string>{"one.MP3", "own0.MP3", "own1.MP3", "own2.MP3", "two.MP3"}));
    apptest::expectTone(dir + "encoded/one.MP3", 120, 44100, 2);
    apptest::expectTone(dir + "encoded/two.MP3", 120, 44100, 2);
    EXPECT_TRUE(testenv::listDir(rt).empty());
}

// The runtime folder on a small file system that fills while names are handed over,
// then a logout or a kill, then a restart once there is room again: every name
// whose hand-off was accepted (exit code 1) is converted once, and the folder is
// left empty.
TEST(BatchEngine, AFullRuntimeFolderLosesNoHandedOverName) {
    if (testenv::run("unshare -m true 2>/dev/null") != 0) {
        GTEST_SKIP() << "no private mount namespace here";
    }
    const std::string dir = testenv::makeDir("full-rt") + "/";
    // Long enough to be still running when the signal comes.
    apptest::makeWav(dir + "long.wav", 720);
    apptest::makeWav(dir + "restart.wav", 0.2);
    for (int i = 0; i < 12; ++i) {
        apptest::makeWav(dir + "n" + std::to_string(i) + ".wav", 0.2, 22050, 1);
    }
    e2e::saveSettings(dir + "decoded", dir + "encoded",
                      [](settings::SettingsRecord& r) { r.Overwrite = 1; });
    setJobs(1);
    // In a mount namespace of its own: the converter, six hand-offs, the folder
    // filled, six more, the signal (to a converter still running its first job),
    // room again, and the next converter, started for a name of its own.
    const std::string script = R"(
        set -u
        mount -t tmpfs -o size=64k tmpfs "$RT" && chmod 700 "$RT" || exit 3
        "$PROGRAM" -- "$DIR/long.wav" & converter=$!
        while [ ! -e "$RT/queue" ]; do sleep 0.05; done
        hand() { "$PROGRAM" -- "$DIR/$1.wav"; echo "$1 $?" >> "$DIR/handed"; }
        for i in 0 1 2 3 4 5; do hand n$i; done
        sleep 0.5
        dd if=/dev/zero of="$RT/filler" bs=4k 2>/dev/null
        for i in 6 7 8 9 10 11; do hand n$i; done
        sleep 0.5
        kill -"$SIGNAL" $converter || exit 4
        wait $converter
        rm -f "$RT/filler"
        "$PROGRAM" -- "$DIR/restart.wav"; echo "restart $?" >> "$DIR/handed"
        ls -A "$RT" > "$DIR/left"
    )";
    for (const char* signal : {"TERM", "KILL"}) {
        SCOPED_TRACE(signal);
        testenv::run("rm -rf " + apptest::quoted(dir + "encoded") + " " +
                     apptest::quoted(dir + "handed"));
        e2e::Options options;
        options.env["RT"] = testenv::makeDir(std::string("full-rt-mount-") + signal);
        options.env["TUNEWRIGHT_RUNTIME_DIR"] = options.env["RT"];
        options.env["PROGRAM"] = e2e::programPath();
        options.env["DIR"] = dir.substr(0, dir.size() - 1);
        options.env["SIGNAL"] = signal;
        ASSERT_EQ(e2e::run("/usr/bin/unshare", {"-m", "sh", "-c", script}, 4 * kEndMs, options), 0);

        std::vector<std::string> expected = {"long.MP3", "restart.MP3"};
        std::istringstream handed(testenv::readFile(dir + "handed"));
        int line = 0;
        for (std::string n, code; handed >> n >> code; ++line) {
            if (n == "restart") {
                EXPECT_EQ(code, "0");
            } else if (code == "1") {
                expected.push_back(n + ".MP3");
            } else {
                // Refused with a box: not taken. Only the full folder refuses.
                EXPECT_EQ(code, "2") << n;
                EXPECT_GE(line, 6) << n;
            }
        }
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(testenv::listDir(dir + "encoded"), expected);
        apptest::expectTone(dir + "encoded/long.MP3", 720, 44100, 2);
        EXPECT_EQ(testenv::readFile(dir + "left"), "");
    }
}
