#include <gtest/gtest.h>

#include <cstdlib>
#include <unistd.h>

#include "TestEnv.h"
#include "e2e_support.h"

// `cmake --install` lays out the same set as the build folder: the program and
// every library and file it loads, side by side, and the installed program runs.
TEST(Install, PutsTheProgramAndEverythingItLoadsInOneFolder) {
    std::string build = testenv::buildDir();
    std::string cmake = testenv::cmakeCommand();
    std::string prefix = testenv::makeDir("prefix");
    ASSERT_EQ(testenv::run("'" + cmake + "' --install '" + build + "' --prefix '" + prefix +
                           "' >/dev/null"),
              0);
    std::string dir = prefix + "/lib/mp3tunewright/";
    for (const char* f :
         {"mp3tunewright", "lame.so", "xaudio.so", "libakrip32.so", "alldone.wav", "mp3tw.html"}) {
        EXPECT_TRUE(testenv::fileExists(dir + f)) << f;
    }
    // The installed program runs a batch (of one unreadable file) to its end, with
    // no "Cannot load" box from a library it did not find beside it.
    std::string wav = testenv::root() + "none.wav";
    testenv::writeFile(wav, "");
    e2e::Process p = e2e::start(dir + "mp3tunewright", {wav});
    int code = e2e::wait(p, 30000);
    EXPECT_EQ(code, 0) << e2e::errors(p);
    EXPECT_EQ(e2e::errors(p).find("Xaudio"), std::string::npos) << e2e::errors(p);
    EXPECT_FALSE(testenv::fileExists(dir + "active.flg"));

    // The command on PATH is a relative link into the program folder, so it holds
    // for any prefix and inside a package; beside it the desktop files.
    char target[4096];
    ssize_t n = readlink((prefix + "/bin/mp3tunewright").c_str(), target, sizeof target);
    ASSERT_GT(n, 0);
    EXPECT_EQ(std::string(target, static_cast<size_t>(n)), "../lib/mp3tunewright/mp3tunewright");
    const std::string id = "io.github.tunewright.MP3Tunewright";
    for (const std::string& f : std::vector<std::string>{
             "applications/" + id + ".desktop", "metainfo/" + id + ".metainfo.xml",
             "icons/hicolor/scalable/apps/" + id + ".svg",
             "icons/hicolor/48x48/apps/" + id + ".png", "man/man1/mp3tunewright.1.gz",
             "doc/mp3tunewright/copyright"}) {
        EXPECT_TRUE(testenv::fileExists(prefix + "/share/" + f)) << f;
    }
}
