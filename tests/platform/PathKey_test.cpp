#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include "TestEnv.h"
#include "platform/PathKey.h"

using namespace platform;

TEST(PathKey, SpellingsOfOneFolderGiveOneKey) {
    const std::string dir = testenv::makeDir("keys");
    ASSERT_EQ(::mkdir((dir + "/real").c_str(), 0700), 0);
    ASSERT_EQ(::mkdir((dir + "/real/sub").c_str(), 0700), 0);
    ASSERT_EQ(::symlink("real", (dir + "/link").c_str()), 0);
    ASSERT_FALSE(folderIgnoresCase(dir + "/real"));
    ASSERT_EQ(::chdir(dir.c_str()), 0);
    const struct {
        std::string a;
        std::string b;
        bool same;
    } rows[] = {
        {dir + "/real/f.mp3", dir + "/link/f.mp3", true},
        {dir + "/real/sub/../f.mp3", dir + "/real/f.mp3", true},
        {dir + "//real///f.mp3", dir + "/real/f.mp3", true},
        {"real/f.mp3", dir + "/real/./f.mp3", true},
        {dir + "/real/f.mp3", dir + "/real/g.mp3", false},
        {dir + "/real/f.mp3", dir + "/real/F.mp3", false},
        {dir + "/missing/x/../f.mp3", dir + "/missing//f.mp3", true},
        {dir + "/missing/f.mp3", dir + "/missing/g.mp3", false},
    };
    for (const auto& row : rows) {
        const PathKey a = pathKeyOf(row.a);
        const PathKey b = pathKeyOf(row.b);
        EXPECT_EQ(a == b, row.same) << row.a << " / " << row.b;
        if (row.same) {
            EXPECT_EQ(std::hash<PathKey>{}(a), std::hash<PathKey>{}(b)) << row.a;
        }
    }
}

TEST(PathKey, CaseIsIgnoredWhereTheFolderIgnoresIt) {
    // Names that are not UTF-8 fold their ASCII letters only: two Latin-1 names
    // never meet in one replacement character.
    EXPECT_EQ(foldedFileName("Song.MP3"), foldedFileName("song.mp3"));
    EXPECT_EQ(foldedFileName("\xC3\x89t\xC3\xA9.wav"), foldedFileName("\xC3\xA9T\xC3\x89.WAV"));
    EXPECT_NE(foldedFileName("\xC9t\xE9.wav"), foldedFileName("\xE9t\xC9.wav"));

    // A case-insensitive folder: a casefolded tmpfs folder, where the kernel
    // offers one (6.13 and later, as root).
    const std::string mountPoint = testenv::makeDir("casefold");
    if (::mount("tmpfs", mountPoint.c_str(), "tmpfs", 0, "casefold") != 0) {
        GTEST_SKIP() << "no casefolding tmpfs here";
    }
    std::unique_ptr<const char, void (*)(const char*)> unmount(
        mountPoint.c_str(), [](const char* point) { ::umount2(point, MNT_DETACH); });
    const std::string dir = mountPoint + "/folded";
    if (::mkdir(dir.c_str(), 0700) != 0 || testenv::run("chattr +F '" + dir + "'") != 0) {
        GTEST_SKIP() << "the folder cannot be made case-insensitive";
    }
    testenv::writeFile(dir + "/Song.MP3", "x");
    ASSERT_TRUE(testenv::fileExists(dir + "/song.mp3"));
    EXPECT_TRUE(folderIgnoresCase(dir));
    EXPECT_EQ(pathKeyOf(dir + "/Song.MP3"), pathKeyOf(dir + "/song.mp3"));
}
