// Options on the command line of the real program: answered before anything else
// exists, never taken for file names, never handed over.

#include <gtest/gtest.h>

#include <dirent.h>
#include <unistd.h>

#include "TestEnv.h"
#include "e2e_support.h"
#include "platform/InstanceFiles.h"
#include "settings/Settings.h"

namespace {

std::string runtimeDir() {
    return std::string(std::getenv("TUNEWRIGHT_RUNTIME_DIR")) + "/";
}

bool isEmptyDir(const std::string& dir) {
    DIR* d = ::opendir(dir.c_str());
    if (!d) {
        return false;
    }
    int entries = 0;
    while (dirent* e = ::readdir(d)) {
        entries += std::string(e->d_name) != "." && std::string(e->d_name) != "..";
    }
    ::closedir(d);
    return entries == 0;
}

} // namespace

TEST(CommandLine, HelpVersionAndErrorsTouchNoFolderLockOrSetting) {
    // Every folder the program could use points into an empty home, and the
    // runtime and registry folders do not exist: any of them appearing is a fault.
    const std::string home = testenv::makeDir("untouched-home");
    e2e::Options options;
    options.env = {{"HOME", home},
                   {"XDG_CONFIG_HOME", home + "/.config"},
                   {"XDG_DATA_HOME", home + "/.local/share"},
                   {"XDG_CACHE_HOME", home + "/.cache"},
                   {"XDG_RUNTIME_DIR", home + "/run"},
                   {"TUNEWRIGHT_REGISTRY_DIR", home + "/registry"},
                   {"TUNEWRIGHT_RUNTIME_DIR", home + "/runtime"}};

    e2e::Process version = e2e::start(e2e::programPath(), {"--version"}, options);
    EXPECT_EQ(e2e::wait(version, 20000), 0) << e2e::errors(version);
    EXPECT_EQ(e2e::output(version), "MP3 Tunewright 3.32\n");

    e2e::Process help = e2e::start(e2e::programPath(), {"/music/a.mp3", "--help"}, options);
    EXPECT_EQ(e2e::wait(help, 20000), 0) << e2e::errors(help);
    const std::string usage = e2e::output(help);
    for (const char* part : {"Usage: mp3tunewright", "--version", "Exit status:", "  1  ",
                             "TUNEWRIGHT_RUNTIME_DIR", "TUNEWRIGHT_UNATTENDED"}) {
        EXPECT_NE(usage.find(part), std::string::npos) << part;
    }

    e2e::Process wrong = e2e::start(e2e::programPath(), {"/music/a.mp3", "-x"}, options);
    EXPECT_EQ(e2e::wait(wrong, 20000), 2);
    EXPECT_EQ(e2e::output(wrong), "");
    EXPECT_NE(e2e::errors(wrong).find("unknown option '-x'"), std::string::npos)
        << e2e::errors(wrong);

    EXPECT_TRUE(isEmptyDir(home)) << "a folder or file appeared in " << home;
}

TEST(CommandLine, OptionsAreNeverHandedOverButNamesAfterTheEndMarkerAre) {
    platform::InstanceLock held;
    ASSERT_TRUE(held.acquire(runtimeDir()));
    EXPECT_EQ(e2e::run(e2e::programPath(), {"/a.mp3", "--bogus"}, 20000), 2);
    EXPECT_EQ(e2e::run(e2e::programPath(), {"--help", "/a.mp3"}, 20000), 0);
    EXPECT_TRUE(platform::listHandOffFiles(runtimeDir()).empty());

    const std::string dir = testenv::makeDir("dashes");
    e2e::Options inDir;
    inDir.cwd = dir;
    ASSERT_EQ(e2e::run(e2e::programPath(), {"--", "-x.mp3", "--help", "--"}, 20000, inDir), 1);
    char real[4096];
    ASSERT_TRUE(realpath(dir.c_str(), real));
    std::vector<std::string> names;
    ASSERT_TRUE(platform::takeHandOffFile(runtimeDir() + "addedmp3.0", names));
    const std::string base = std::string(real) + "/";
    EXPECT_EQ(names, (std::vector<std::string>{base + "-x.mp3", base + "--help", base + "--"}));
}

TEST(CommandLine, QtOptionsAfterTheEndMarkerAreFileNamesNotQtSettings) {
    // Given to Qt, "-platform nosuch" would abort the process for want of a
    // platform plugin; here the two words are (missing) files of a batch that ends
    // normally.
    e2e::Process p = e2e::start(e2e::programPath(), {"--", "-platform", "nosuch"});
    EXPECT_EQ(e2e::wait(p, 60000), 0) << e2e::errors(p);
    EXPECT_EQ(e2e::errors(p).find("platform plugin"), std::string::npos) << e2e::errors(p);
    EXPECT_NE(e2e::errors(p).find("Unable to find source file"), std::string::npos)
        << e2e::errors(p);
}

// A folder named on the command line arrives in the converter as the folder
// entry of its verb, in the hand-off file the real program writes.
TEST(CommandLine, FoldersAreHandedOverAsEntriesOfTheirVerb) {
    platform::InstanceLock held;
    ASSERT_TRUE(held.acquire(runtimeDir()));
    const std::string dir = testenv::makeDir("folders");
    ASSERT_EQ(testenv::run("cd '" + dir + "' && mkdir -p 'Al bum/CD1' && ln -s 'Al bum' link"), 0);
    char real[4096];
    ASSERT_TRUE(realpath(dir.c_str(), real));
    const std::string base = std::string(real) + "/";
    struct Row {
        std::vector<std::string> args;
        std::vector<std::string> entries;
    };
    const std::vector<Row> rows = {
        {{"Al bum", "song.mp3"}, {base + "Al bum/", base + "song.mp3"}},
        {{"--decode-folders", "--", "Al bum/", "song.mp3", "link"},
         {base + "Al bum/*.mp3", base + "song.mp3", base + "link/*.mp3"}},
        {{"./Al bum/CD1/..//"}, {base + "Al bum/"}},
        {{"--decode-folders", "."}, {base + "*.mp3"}},
        {{base + "Al bum/CD1"}, {base + "Al bum/CD1/"}},
    };
    e2e::Options inDir;
    inDir.cwd = dir;
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::PrintToString(row.args));
        ASSERT_EQ(e2e::run(e2e::programPath(), row.args, 20000, inDir), 1);
        std::vector<std::string> names;
        ASSERT_TRUE(platform::takeHandOffFile(runtimeDir() + "addedmp3.0", names));
        EXPECT_EQ(names, row.entries);
    }
}

TEST(CommandLine, NotifyIsStoredForTheUser) {
    EXPECT_TRUE(settings::LoadNotify()) << "on when never set";
    for (bool on : {false, true, false}) {
        EXPECT_EQ(e2e::run(e2e::programPath(), {on ? "--notify=1" : "--notify=0"}, 20000), 0);
        EXPECT_EQ(settings::LoadNotify(), on);
    }
}
