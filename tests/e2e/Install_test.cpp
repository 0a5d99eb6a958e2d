#include <gtest/gtest.h>

#include <cstdlib>

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
         {"mp3tunewright", "mp3tunewright-program.so", "lame.so", "xaudio.so", "ffreader.so", "libakrip32.so", "alldone.wav",
          "mp3tw.html"}) {
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
}
