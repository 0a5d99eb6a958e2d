#include <gtest/gtest.h>

#include <unistd.h>

#include "TestEnv.h"
#include "platform/Paths.h"
#include "platform/RuntimeLibrary.h"

using namespace platform;

TEST(Paths, ProgramDirIsTheExecutablesFolder) {
    std::string dir = programDir();
    ASSERT_FALSE(dir.empty());
    EXPECT_EQ(dir.back(), '/');
    EXPECT_TRUE(fileExists(dir + "platform_tests"));
}

TEST(Paths, NamePartsAndExtensions) {
    EXPECT_EQ(extension("/a.b/song.Mp3"), ".Mp3");
    EXPECT_EQ(extension("/a.b/song"), "");
    EXPECT_EQ(fileName("/x/y.wav"), "y.wav");
    EXPECT_EQ(parentDir("/x/y.wav"), "/x");
    EXPECT_EQ(parentDir("/y.wav"), "/");
    EXPECT_EQ(parentDir("y.wav"), "");
    EXPECT_EQ(joinPath("/x/", "y"), "/x/y");
    EXPECT_EQ(joinPath("/x", "y"), "/x/y");
    EXPECT_TRUE(equalsIgnoreCase(".MP3", ".mp3"));
    EXPECT_FALSE(equalsIgnoreCase(".mp3", ".mp"));
    EXPECT_FALSE(equalsIgnoreCase("\xc9", "\xe9")) << "only ASCII letters fold";
}

TEST(Paths, AbsolutePathUsesTheCurrentDirectory) {
    std::string dir = testenv::makeDir("cwd");
    ASSERT_EQ(chdir(dir.c_str()), 0);
    char buf[4096];
    ASSERT_TRUE(getcwd(buf, sizeof buf));
    EXPECT_EQ(absolutePath("song.mp3"), std::string(buf) + "/song.mp3");
    EXPECT_EQ(absolutePath("./sub/song.mp3"), std::string(buf) + "/sub/song.mp3");
    EXPECT_EQ(absolutePath("/abs/\xff.mp3"), "/abs/\xff.mp3");
}

TEST(Paths, ForceDirectoriesCreatesEveryLevel) {
    EXPECT_TRUE(forceDirectories("/"));
    std::string deep = testenv::root() + "a/b/c/";
    EXPECT_TRUE(forceDirectories(deep));
    EXPECT_TRUE(directoryExists(deep));
    EXPECT_TRUE(forceDirectories(deep)) << "an existing folder is success";
    std::string dir = testenv::makeDir("rel");
    ASSERT_EQ(chdir(dir.c_str()), 0);
    EXPECT_TRUE(forceDirectories("x/y"));
    EXPECT_TRUE(directoryExists(dir + "/x/y"));
}

TEST(Paths, ForceDirectoriesFailsBelowAFile) {
    std::string file = testenv::root() + "file";
    testenv::writeFile(file, "x");
    EXPECT_FALSE(forceDirectories(file + "/sub/dir"));
    EXPECT_FALSE(forceDirectories(file));
}

TEST(Paths, FileWithoutWriteBitsIsReadOnly) {
    std::string file = testenv::root() + "ro";
    testenv::writeFile(file, "x");
    EXPECT_FALSE(isReadOnlyFile(file));
    chmod(file.c_str(), 0444);
    EXPECT_TRUE(isReadOnlyFile(file));
    EXPECT_FALSE(isReadOnlyFile(testenv::root() + "missing"));
}

TEST(RuntimeLibrary, ResolvesEveryEntryPointOrUnloads) {
    RuntimeLibrary math("libm.so.6", {"cos", "sin"});
    ASSERT_TRUE(math.isLoaded()) << math.error();
    auto cosine = math.entry<double (*)(double)>("cos");
    ASSERT_NE(cosine, nullptr);
    EXPECT_DOUBLE_EQ(cosine(0.0), 1.0);
    EXPECT_EQ(math.symbol("tan"), nullptr) << "only the named entry points are resolved";

    RuntimeLibrary partial("libm.so.6", {"cos", "no_such_entry_point"});
    EXPECT_FALSE(partial.isLoaded());
    EXPECT_NE(partial.error().find("no_such_entry_point"), std::string::npos);
    EXPECT_EQ(partial.symbol("cos"), nullptr);
}

TEST(RuntimeLibrary, OptionalEntryPointsAreResolvedWhenPresentAndNeverFailTheLoad) {
    RuntimeLibrary math("libm.so.6", {"cos"}, {"sin", "no_such_entry_point"});
    ASSERT_TRUE(math.isLoaded()) << math.error();
    EXPECT_NE(math.symbol("cos"), nullptr);
    EXPECT_NE(math.symbol("sin"), nullptr);
    EXPECT_EQ(math.symbol("no_such_entry_point"), nullptr);

    // A required one that is missing still unloads, whatever the optional ones do.
    RuntimeLibrary partial("libm.so.6", {"no_such_entry_point"}, {"sin"});
    EXPECT_FALSE(partial.isLoaded());
    EXPECT_EQ(partial.symbol("sin"), nullptr);
}

TEST(RuntimeLibrary, BareNameIsFoundInTheProgramDirectoryFirst) {
    RuntimeLibrary lib("tw_test_library.so", {"tw_test_answer"});
    ASSERT_TRUE(lib.isLoaded()) << lib.error();
    EXPECT_EQ(lib.path(), programDir() + "tw_test_library.so");
    EXPECT_EQ(lib.entry<int (*)()>("tw_test_answer")(), 42);
}

TEST(RuntimeLibrary, MissingLibraryIsAnErrorNotACrash) {
    RuntimeLibrary lib("no-such-library.so", {"x"});
    EXPECT_FALSE(lib.isLoaded());
    EXPECT_FALSE(lib.error().empty());
    RuntimeLibrary moved = std::move(lib);
    EXPECT_FALSE(moved.isLoaded());
}
