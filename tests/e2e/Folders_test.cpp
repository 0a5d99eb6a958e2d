// Folders chosen in a file manager, through the real program: every audio file below
// a folder, its place in the tree kept under the output folder; hidden things, other
// types and what a link reaches twice left out; an empty folder said on stderr; a
// converter killed halfway through a folder converts each file once after a restart;
// and what the desktop's own services hear of such a batch.

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "TestEnv.h"
#include "e2e_support.h"
#include "settings/Settings.h"
#include "tests/app/audio_check.h"

namespace {

constexpr int kEndMs = 120000;

// Every file below `dir`, by its path below it, in byte order.
std::vector<std::string> tree(const std::string& dir) {
    std::vector<std::string> files;
    std::istringstream in(apptest::capture("cd " + apptest::quoted(dir) +
                                           " 2>/dev/null && find . -type f | LC_ALL=C sort"));
    for (std::string line; std::getline(in, line);) {
        files.push_back(line);
    }
    return files;
}

} // namespace

TEST(Folders, EveryAudioFileBelowAFolderKeepsItsPlaceInTheTree) {
    const std::string root = testenv::makeDir("folders") + "/";
    for (const char* dir : {"Album", "Album/CD2", "Album/CD2/.hidden", "Album/Empty", "Nothing"}) {
        testenv::makeDir(std::string("folders/") + dir);
    }
    apptest::makeWav(root + "Album/01 one.wav", 0.3);
    apptest::makeWav(root + "Album/CD2/03.WAV", 0.4, 22050, 1);
    apptest::makeWav(root + "Album/.secret.wav", 0.3);
    apptest::makeWav(root + "Album/CD2/.hidden/x.wav", 0.3);
    apptest::makeMp3(root + "Album/song.mp3", 0.5);
    testenv::writeFile(root + "Album/notes.txt", "not audio");
    testenv::writeFile(root + "Nothing/cover.jpg", "not audio");
    ASSERT_EQ(::symlink("..", (root + "Album/CD2/up").c_str()), 0); // a loop
    const std::string out = root + "out/";
    e2e::saveSettings(out + "decoded", out + "encoded");

    struct Row {
        std::vector<std::string> args;
        std::vector<std::string> encoded;
        std::vector<std::string> decoded;
        bool saysEmpty;
    };
    const Row rows[] = {
        {{"--", root + "Album"}, {"./Album/01 one.MP3", "./Album/CD2/03.MP3"}, {}, false},
        {{"--decode-folders", "--", root + "Album/"}, {}, {"./Album/song.WAV"}, false},
        {{"--", root + "Nothing", root + "Album/Empty"}, {}, {}, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.args.back());
        testenv::run("rm -rf " + apptest::quoted(out + "encoded") + " " +
                     apptest::quoted(out + "decoded"));
        e2e::Process p = e2e::start(e2e::programPath(), row.args);
        ASSERT_EQ(e2e::wait(p, kEndMs), 0) << e2e::errors(p);
        EXPECT_EQ(tree(out + "encoded"), row.encoded);
        EXPECT_EQ(tree(out + "decoded"), row.decoded);
        EXPECT_EQ(e2e::errors(p).find("no file to convert") != std::string::npos, row.saysEmpty)
            << e2e::errors(p);
        for (const std::string& wav : row.decoded) {
            apptest::expectTone(out + "decoded/" + wav, 0.5, 44100, 2);
        }
    }
}

TEST(Folders, AConverterKilledHalfwayThroughAFolderConvertsEachFileOnce) {
    const std::string root = testenv::makeDir("folder-killed") + "/";
    testenv::makeDir("folder-killed/Big/sub");
    std::vector<std::string> expected;
    for (int i = 0; i < 24; ++i) {
        const std::string name = (i % 2 ? "sub/" : "") + std::to_string(100 + i) + ".wav";
        apptest::makeWav(root + "Big/" + name, 1.5);
        expected.push_back("./Big/" + name.substr(0, name.size() - 4) + ".MP3");
    }
    std::sort(expected.begin(), expected.end());
    apptest::makeWav(root + "other.wav", 0.2);
    const std::string out = root + "out/";
    // A second conversion of a file would show as a second, renamed target.
    e2e::saveSettings(out + "decoded", out + "encoded",
                      [](settings::SettingsRecord& r) { r.Overwrite = 1; });
    ASSERT_EQ(e2e::run(e2e::programPath(), {"--parallel-jobs=1"}, 20000), 0);
    e2e::Process p = e2e::start(e2e::programPath(), {"--", root + "Big"});
    ASSERT_TRUE(e2e::waitFor([&] { return tree(out + "encoded").size() >= 4; }, kEndMs));
    ::kill(p.pid, SIGKILL);
    e2e::wait(p, kEndMs);
    ASSERT_LT(tree(out + "encoded").size(), expected.size()) << "killed too late";

    ASSERT_EQ(e2e::run(e2e::programPath(), {root + "other.wav"}, kEndMs), 0);
    std::remove((out + "encoded/other.MP3").c_str());
    EXPECT_EQ(tree(out + "encoded"), expected);
}

// The desktop's services, stand-ins on a private session bus and a private system
// bus: the computer kept awake while the batch runs, the share done on the launcher
// icon, and one notification at the end that opens the output folder.
TEST(Folders, TheDesktopHearsOfTheBatch) {
    const std::string root = testenv::makeDir("folder-desktop") + "/";
    testenv::makeDir("folder-desktop/Album");
    apptest::makeWav(root + "Album/a.wav", 0.3);
    apptest::makeWav(root + "Album/b.wav", 0.3);
    const std::string encoded = root + "out/encoded";
    e2e::saveSettings(root + "out/decoded", encoded);
    testenv::PrivateSystemBus systemBus(root);
    e2e::Options options;
    options.env["DBUS_SYSTEM_BUS_ADDRESS"] = systemBus.address;
    const std::string log = root + "events.txt";
    ASSERT_EQ(e2e::run("/usr/bin/dbus-run-session",
                       {"--", "/usr/bin/python3", TW_BUS_PEERS, "--notifications", "--logind", log,
                        "--", e2e::programPath(), "--", root + "Album"},
                       kEndMs, options),
              0);
    const std::string events = testenv::readFile(log);
    const std::string icon = "io.github.tunewright.MP3Tunewright";
    for (const std::string& event : std::vector<std::string>{
             "inhibit sleep:idle|MP3 Tunewright|Converting files|block\n", "released while running\n",
          "update application://" + icon + ".desktop|1.000|1\n",
          "update application://" + icon + ".desktop|0.000|0\n",
          "|2 files compressed to MP3|Saved in " + encoded + "|default,Open folder|"}) {
        EXPECT_NE(events.find(event), std::string::npos) << event << " in\n" << events;
    }
    EXPECT_EQ(events.find("notify "), events.rfind("notify ")) << "one notification";
}
