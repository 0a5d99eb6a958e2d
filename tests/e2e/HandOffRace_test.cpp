// Hand-offs that must never be lost: names handed over around the end of a batch,
// names a killed converter had taken, sources that are not regular files, and a
// lock that cannot be used. Real processes throughout; every wait is bounded.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <dirent.h>
#include <functional>
#include <map>
#include <set>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "TestEnv.h"
#include "e2e_support.h"
#include "app/batch/QueueRecord.h"
#include "platform/InstanceFiles.h"
#include "settings/Settings.h"
#include "tests/app/audio_check.h"

namespace {

using testenv::listDir;

// Settings of the processes: a second conversion of a name would show up as a
// second target ("name0.MP3"), since an existing target gets a new name.
void saveSettings(const std::string& encoded) {
    e2e::saveSettings(testenv::root() + "decoded", encoded,
                      [](settings::SettingsRecord& r) { r.Overwrite = 1; });
}

std::string privateDir(const std::string& name) {
    std::string dir = testenv::makeDir(name);
    ::chmod(dir.c_str(), 0700);
    return dir + "/";
}


} // namespace

TEST(HandOffRace, NamesHandedOverAcrossTheEndOfABatchAreConvertedOnce) {
    // Four independent runtime folders (lanes), each with a converter and a row of
    // hand-offs whose spacing sweeps from 1.5 to 3.4 s: around the 2.1 s a batch
    // lasts after its last job, so hand-offs land before the last scan, inside the
    // final window, during the lock's release and after the converter has gone.
    const std::string sources = testenv::makeDir("race-sources") + "/";
    const std::string encoded = testenv::root() + "race-out";
    saveSettings(encoded);
    const int lanes = 4;
    const int perLane = 5;

    struct Start {
        double at; // seconds after the test's start
        int lane;
        std::string name;
    };
    std::vector<Start> schedule;
    std::vector<std::string> runtime;
    for (int lane = 0; lane < lanes; ++lane) {
        runtime.push_back(privateDir("race-runtime-" + std::to_string(lane)));
        double at = 0.05 * lane;
        schedule.push_back({at, lane, "lane" + std::to_string(lane) + "-first.wav"});
        at += 0.6; // the converter's own start-up
        for (int k = 0; k < perLane; ++k) {
            at += 1.5 + 0.1 * (lane + lanes * k);
            schedule.push_back(
                {at, lane, "lane" + std::to_string(lane) + "-" + std::to_string(k) + ".wav"});
        }
    }
    std::sort(schedule.begin(), schedule.end(),
              [](const Start& a, const Start& b) { return a.at < b.at; });
    for (const Start& s : schedule) {
        apptest::makeWav(sources + s.name, 0.1, 22050, 1);
    }

    std::vector<e2e::Process> processes;
    std::vector<std::string> names;
    const auto begin = std::chrono::steady_clock::now();
    for (const Start& s : schedule) {
        std::this_thread::sleep_until(begin + std::chrono::duration<double>(s.at));
        e2e::Options options;
        options.env["TUNEWRIGHT_RUNTIME_DIR"] = runtime[static_cast<size_t>(s.lane)];
        processes.push_back(e2e::start(e2e::programPath(), {sources + s.name}, options));
        names.push_back(s.name);
    }
    std::map<int, int> exits;
    for (size_t i = 0; i < processes.size(); ++i) {
        const int code = e2e::wait(processes[i], 60000);
        ++exits[code];
        EXPECT_TRUE(code == 0 || code == 1)
            << names[i] << " ended with " << code << ": " << e2e::errors(processes[i]);
    }
    std::printf("hand-off race: %zu processes, %d converted themselves (exit 0), %d handed over "
                "(exit 1)\n",
                processes.size(), exits[0], exits[1]);

    // Every name, handed over or not, converted exactly once.
    std::set<std::string> expected;
    for (const std::string& n : names) {
        expected.insert(n.substr(0, n.rfind('.')) + ".MP3");
    }
    const std::vector<std::string> made = listDir(encoded);
    EXPECT_EQ(std::set<std::string>(made.begin(), made.end()), expected);
    EXPECT_EQ(made.size(), expected.size());
    for (const std::string& dir : runtime) {
        EXPECT_TRUE(listDir(dir).empty()) << dir << " still holds " << listDir(dir).size();
    }
}

TEST(HandOffRace, NamesTakenByAKilledConverterAreConvertedOnceByTheNext) {
    const std::string sources = testenv::makeDir("killed-sources") + "/";
    const std::string encoded = testenv::root() + "killed-out";
    const std::string rt = std::string(std::getenv("TUNEWRIGHT_RUNTIME_DIR")) + "/";
    saveSettings(encoded);
    // One job at a time: the names handed over wait, taken and unfinished, behind
    // the long first job, which keeps the converter busy while it takes them.
    testenv::setParallelJobs(1);
    apptest::makeWav(sources + "long.wav", 420, 44100, 2);
    for (const char* n : {"a.wav", "b.wav", "c.wav", "next.wav"}) {
        apptest::makeWav(sources + n, 0.3, 22050, 1);
    }

    e2e::Process converter = e2e::start(e2e::programPath(), {sources + "long.wav"});
    // Its job has started once the record marks it so (its output is unnamed until
    // it is done).
    ASSERT_TRUE(e2e::waitFor(
        [&] {
            const app::RecordLeft left = app::QueueRecord::readLeft(rt);
            return !left.unfinished.empty() && left.unfinished[0].retried;
        },
        20000));
    for (const char* n : {"a.wav", "b.wav", "c.wav"}) {
        ASSERT_EQ(e2e::run(e2e::programPath(), {sources + n}, 20000), 1) << n;
    }
    // Taken: the hand-off files are gone, read by the converter's scan.
    ASSERT_TRUE(e2e::waitFor([&] { return platform::listHandOffFiles(rt).empty(); }, 10000));
    ASSERT_FALSE(testenv::fileExists(encoded + "/a.MP3")) << "the first job ended too soon";
    ::kill(converter.pid, SIGKILL);
    e2e::wait(converter, 10000);

    // The next start converts what the killed one had taken, first, then its own.
    e2e::Process next = e2e::start(e2e::programPath(), {sources + "next.wav"});
    ASSERT_EQ(e2e::wait(next, 120000), 0) << e2e::errors(next);
    // The killed job left nothing in the output folder and is redone; a, b and c
    // are converted once.
    const std::vector<std::string> made = listDir(encoded);
    EXPECT_EQ(made, (std::vector<std::string>{"a.MP3", "b.MP3", "c.MP3", "long.MP3", "next.MP3"}));
    apptest::expectTone(encoded + "/long.MP3", 420, 44100, 2);
    apptest::expectTone(encoded + "/c.MP3", 0.3, 22050, 2);
    struct stat c {
    }, own{};
    ASSERT_EQ(::stat((encoded + "/c.MP3").c_str(), &c), 0);
    ASSERT_EQ(::stat((encoded + "/next.MP3").c_str(), &own), 0);
    EXPECT_LE(c.st_mtim.tv_sec * 1000000000LL + c.st_mtim.tv_nsec,
              own.st_mtim.tv_sec * 1000000000LL + own.st_mtim.tv_nsec);
    EXPECT_TRUE(listDir(rt).empty());
}

TEST(HandOffRace, FifoNamedWavEndsWithTheCannotOpenOutcome) {
    const std::string sources = testenv::makeDir("fifo") + "/";
    saveSettings(testenv::root() + "fifo-out");
    const std::string fifo = sources + "stream.wav";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    apptest::makeWav(sources + "after.wav", 0.2, 22050, 1);

    e2e::Process p = e2e::start(e2e::programPath(), {fifo});
    ASSERT_TRUE(e2e::waitFor(
        [&] {
            return testenv::fileExists(std::string(std::getenv("TUNEWRIGHT_RUNTIME_DIR")) +
                                       "/active.flg");
        },
        10000));
    EXPECT_EQ(e2e::run(e2e::programPath(), {sources + "after.wav"}, 10000), 1);
    // The first tick comes 0.7 s after the window; the job then refuses at once.
    const auto started = std::chrono::steady_clock::now();
    const std::string outcome = "Error occured: Bad WAV format!  while operating with: stream.wav";
    ASSERT_TRUE(e2e::waitFor([&] { return e2e::errors(p).find(outcome) != std::string::npos; }, 10000))
        << e2e::errors(p);
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count(),
              5.0);
    ASSERT_EQ(e2e::wait(p, 30000), 0) << e2e::errors(p);
    apptest::expectTone(testenv::root() + "fifo-out/after.MP3", 0.2, 22050, 2);
}

TEST(HandOffRace, LockThatCannotBeOpenedIsAnErrorNotAHandOff) {
    const std::string rt = privateDir("lock-is-a-folder");
    ASSERT_EQ(::mkdir((rt + "active.flg").c_str(), 0700), 0);
    e2e::Options options;
    options.env["TUNEWRIGHT_RUNTIME_DIR"] = rt;
    e2e::Process p = e2e::start(e2e::programPath(), {"/music/a.mp3"}, options);
    EXPECT_EQ(e2e::wait(p, 20000), 2);
    const std::string errors = e2e::errors(p);
    EXPECT_NE(errors.find("mp3tunewright: cannot open the lock file " + rt + "active.flg"),
              std::string::npos)
        << errors;
    // The same reason in a box, for a user who never sees stderr.
    EXPECT_NE(errors.find("[message box] MP3 Tunewright 3.32: cannot open the lock file"),
              std::string::npos)
        << errors;
    EXPECT_TRUE(platform::listHandOffFiles(rt).empty());

    // A link planted at the lock's path is refused, not followed.
    const std::string linked = privateDir("lock-is-a-link");
    const std::string target = testenv::root() + "lock-target";
    ASSERT_EQ(::symlink(target.c_str(), (linked + "active.flg").c_str()), 0);
    options.env["TUNEWRIGHT_RUNTIME_DIR"] = linked;
    e2e::Process q = e2e::start(e2e::programPath(), {"/music/a.mp3"}, options);
    EXPECT_EQ(e2e::wait(q, 20000), 2) << e2e::errors(q);
    EXPECT_FALSE(testenv::fileExists(target));
}

TEST(HandOffRace, AFullOrStuckRuntimeFolderNeitherLoopsNorLosesAName) {
    // In a private mount namespace (skipped where none can be made): a full tmpfs
    // holding a stopped batch's record, and a hand-off file that cannot be removed
    // (a mount point). Either once made the converter convert names for ever.
    if (testenv::run("unshare -m true 2>/dev/null") != 0) {
        GTEST_SKIP() << "no private mount namespace here";
    }
    const std::string sources = testenv::makeDir("hostile-sources") + "/";
    for (const char* n : {"own.wav", "left.wav", "handed.wav"}) {
        apptest::makeWav(sources + n, 0.3, 22050, 1);
    }
    struct Row {
        const char* name;
        const char* prepare; // run in the namespace, with $RT and $STAGE
        std::vector<std::string> converted;
    };
    const Row rows[] = {
        {"full",
         "mount -t tmpfs -o size=1m tmpfs \"$RT\" && chmod 700 \"$RT\" && cp \"$STAGE\"/queue* "
         "\"$RT\"/ && (dd if=/dev/zero of=\"$RT/filler\" bs=64k 2>/dev/null; true)",
         {"left.MP3", "own.MP3"}},
        {"stuck",
         "cp \"$STAGE\"/addedmp3.0 \"$RT\"/ && mount --bind \"$RT/addedmp3.0\" "
         "\"$RT/addedmp3.0\"",
         {"handed.MP3", "own.MP3"}},
    };
    for (const Row& row : rows) {
        const std::string stage = privateDir(std::string("hostile-stage-") + row.name);
        const std::string rt = privateDir(std::string("hostile-rt-") + row.name);
        const std::string encoded = testenv::root() + "hostile-out-" + row.name;
        saveSettings(encoded);
        {
            app::QueueRecord stopped;
            ASSERT_TRUE(stopped.start(stage, {{sources + "left.wav"}}, {}));
            stopped.close();
        }
        std::string error;
        ASSERT_FALSE(platform::writeHandOffFile(stage, {sources + "handed.wav"}, &error).empty())
            << error;
        e2e::Options options;
        options.env["TUNEWRIGHT_RUNTIME_DIR"] = rt;
        options.env["RT"] = rt;
        options.env["STAGE"] = stage;
        e2e::Process p = e2e::start("/usr/bin/unshare",
                                    {"-m", "sh", "-c", std::string(row.prepare) + " && exec \"$@\"",
                                     "sh", e2e::programPath(), "--", sources + "own.wav"},
                                    options);
        ASSERT_EQ(e2e::wait(p, 60000), 0) << row.name << ": " << e2e::errors(p);
        EXPECT_EQ(listDir(encoded), row.converted) << row.name << ": " << e2e::errors(p);
    }
}
