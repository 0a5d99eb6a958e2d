// Folder entries of the queue and the walk that turns one into the audio files
// below it, over real trees made by the tests.
#include <gtest/gtest.h>

#include <algorithm>
#include <fcntl.h>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "TestEnv.h"
#include "app/batch/FolderEntries.h"

namespace {

// Makes a tree below `root` from items separated by ';': "a/" is a folder,
// "a -> b" a symbolic link to b, anything else an empty file.
void makeTree(const std::string& root, const std::string& tree) {
    for (size_t start = 0, end = 0; start < tree.size(); start = end + 1) {
        end = std::min(tree.find(';', start), tree.size());
        const std::string item = tree.substr(start, end - start);
        const size_t arrow = item.find(" -> ");
        if (arrow != std::string::npos) {
            const std::string link = root + "/" + item.substr(0, arrow);
            ASSERT_EQ(symlink(item.substr(arrow + 4).c_str(), link.c_str()), 0) << item;
        } else if (item.back() == '/') {
            ASSERT_EQ(mkdir((root + "/" + item).c_str(), 0755), 0) << item;
        } else {
            const int fd = open((root + "/" + item).c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
            ASSERT_GE(fd, 0) << item;
            close(fd);
        }
    }
}

using Found = std::vector<std::pair<std::string, std::string>>; // path below root, subfolder

} // namespace

TEST(FolderEntries, EntriesNameTheirFolderAndVerb) {
    const std::string root = testenv::makeDir("entries");
    makeTree(root, "Album/;Odd/;Odd/*.mp3");
    using Entry = std::optional<app::FolderEntry>;
    const std::vector<std::pair<std::string, Entry>> parsed = {
        {root + "/Album/", app::FolderEntry{root + "/Album", false}},
        {root + "/Album/*.mp3", app::FolderEntry{root + "/Album", true}},
        {"/", app::FolderEntry{"/", false}},
        {"/*.mp3", app::FolderEntry{"/", true}},
        {root + "/Album", std::nullopt},       // a file entry
        {root + "/Album/*.MP3", std::nullopt}, // a file entry
        {root + "/Missing/", std::nullopt},    // no such folder
        {root + "/Odd/*.mp3", std::nullopt},   // a file of that very name
        {root + "/Odd/*.mp3/", std::nullopt},  // not a folder
    };
    for (const auto& [entry, expected] : parsed) {
        const Entry got = app::ParseFolderEntry(entry);
        ASSERT_EQ(got.has_value(), expected.has_value()) << entry;
        if (got) {
            EXPECT_EQ(got->folder, expected->folder) << entry;
            EXPECT_EQ(got->decode, expected->decode) << entry;
        }
    }

    // The rest of the text's rules are proven by the hand-off of the real program.
    EXPECT_EQ(app::FolderEntryText("/..", true), "/*.mp3");
}

TEST(FolderWalk, FindsTheAudioOfEachTreeInOrderOnce) {
    const std::string album =
        "Album/;Album/b.flac;Album/a.WAV;Album/c.mp3;Album/d.Mp3;Album/Z.opus;Album/notes.txt;"
        "Album/cover.jpg;Album/.hidden.wav;Album/.cache/;Album/.cache/x.wav;Album/CD2/;"
        "Album/CD2/01.ogg;Album/CD2/02.MP3;Album/CD1/;Album/CD1/01.wav;Album/CD1/Extra/;"
        "Album/CD1/Extra/z.m4a;Album/in.wav/;Album/in.wav/x.aiff;Album/dead.wav -> nowhere.wav";
    struct Row {
        std::string label;
        std::string tree;
        std::string selected;
        bool decode;
        Found expected;
    };
    const std::vector<Row> rows = {
        {"compress: files by name, then each subfolder whole",
         album,
         "Album",
         false,
         {{"Album/Z.opus", "Album"},
          {"Album/a.WAV", "Album"},
          {"Album/b.flac", "Album"},
          {"Album/CD1/01.wav", "Album/CD1"},
          {"Album/CD1/Extra/z.m4a", "Album/CD1/Extra"},
          {"Album/CD2/01.ogg", "Album/CD2"},
          {"Album/in.wav/x.aiff", "Album/in.wav"}}},
        {"decode: the MP3s in any case",
         album,
         "Album",
         true,
         {{"Album/c.mp3", "Album"}, {"Album/d.Mp3", "Album"}, {"Album/CD2/02.MP3", "Album/CD2"}}},
        {"links: loops, a folder and a file reached twice",
         "Loop/;Loop/a.wav;Loop/link.wav -> a.wav;Loop/self -> .;Loop/up -> ..;Loop/sub/;"
         "Loop/sub/b.wav;Loop/sub/back -> ../sub;Outside/;Outside/o.wav;Loop/ext -> ../Outside;"
         "Loop/sub/again -> ../../Outside",
         "Loop",
         false,
         {{"Loop/a.wav", "Loop"}, {"Loop/ext/o.wav", "Loop/ext"}, {"Loop/sub/b.wav", "Loop/sub"}}},
        {"an empty folder", "Empty/", "Empty", false, {}},
        {"a hidden folder chosen itself",
         ".Music/;.Music/a.wav",
         ".Music",
         false,
         {{".Music/a.wav", ".Music"}}},
    };
    int rowNumber = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.label);
        const std::string root = testenv::makeDir("walk-" + std::to_string(++rowNumber));
        makeTree(root, row.tree);
        app::FolderWalk walk({root + "/" + row.selected, row.decode});
        std::vector<app::FoundFile> files;
        int steps = 0;
        // A small budget, so that steps end in every state of the walk.
        while (walk.step(files, 2) && ++steps < 1000) {
        }
        ASSERT_LT(steps, 1000);
        Found found;
        for (const app::FoundFile& file : files) {
            ASSERT_EQ(file.path.rfind(root + "/", 0), 0u) << file.path;
            found.emplace_back(file.path.substr(root.size() + 1), file.subfolder);
        }
        EXPECT_EQ(found, row.expected);
    }
}

TEST(FolderWalk, AHundredThousandFilesInBoundedSteps) {
    const std::string root = testenv::makeDir("big");
    const std::string folder = root + "/Big";
    ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
    constexpr int kFiles = 100000;
    std::vector<std::string> names;
    for (int i = 0; i < kFiles; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "t%06d.wav", i);
        names.push_back(name);
        const int fd = open((folder + "/" + name).c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0);
        close(fd);
    }
    app::FolderWalk walk({folder, false});
    std::vector<app::FoundFile> files;
    size_t steps = 0;
    bool more = true;
    while (more && steps < 10 * kFiles) {
        const size_t readsBefore = walk.reads();
        const size_t filesBefore = files.size();
        more = walk.step(files);
        ++steps;
        ASSERT_LE(walk.reads() - readsBefore, app::FolderWalk::kMostReadsPerStep);
        ASSERT_LE(files.size() - filesBefore, 256u);
    }
    EXPECT_FALSE(more);
    ASSERT_EQ(files.size(), names.size());
    for (size_t i = 0; i < names.size(); ++i) {
        ASSERT_EQ(files[i].path, folder + "/" + names[i]);
        ASSERT_EQ(files[i].subfolder, "Big");
    }
    // Every entry was read once and every file looked at once: the steps are many.
    EXPECT_GE(steps, 2 * names.size() / app::FolderWalk::kMostReadsPerStep);
}
