// The queue record: what a converter that ended early leaves for the next one.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include "TestEnv.h"
#include "app/batch/QueueRecord.h"
#include "platform/ByteOrder.h"

using namespace app;

namespace {

std::string freshDir(const std::string& name) {
    std::string dir = testenv::makeDir(name);
    chmod(dir.c_str(), 0700);
    return dir + "/";
}

std::string le32(uint32_t v) {
    std::string s;
    platform::putLe32(s, v);
    return s;
}

std::vector<std::string> unfinished(const std::string& dir) {
    std::vector<std::string> names;
    for (const RecordedName& entry : QueueRecord::readLeft(dir).unfinished) {
        names.push_back(entry.name);
    }
    return names;
}

} // namespace

TEST(QueueRecord, KeepsTheUnfinishedNamesInTheirOrder) {
    std::string dir = freshDir("record");
    EXPECT_FALSE(QueueRecord::holdsWork(dir));
    QueueRecord record;
    ASSERT_TRUE(record.start(dir, {{"/a.wav"}, {"/b.mp3"}}, {}));
    EXPECT_EQ(record.next(), 2u);
    ASSERT_TRUE(record.append({{"/c d.wav"}, {"/caf\xe9.mp3", "Album/CD1"}}));
    ASSERT_TRUE(record.finished({1}));
    ASSERT_TRUE(record.finished({0, 3}));
    EXPECT_EQ(unfinished(dir), std::vector<std::string>{"/c d.wav"});
    EXPECT_TRUE(QueueRecord::holdsWork(dir));

    // A write that finds the disk full changes nothing, and the next one still reads.
    {
        testenv::FileSizeLimit full(0);
        EXPECT_FALSE(record.append({{"/lost.wav"}}));
    }
    ASSERT_TRUE(record.append({{"/e.wav"}}));
    EXPECT_EQ(unfinished(dir), (std::vector<std::string>{"/c d.wav", "/e.wav"}));

    // A result marked before it takes its name counts once the file there is it.
    testenv::writeFile(dir + "e.MP3", "the result");
    ASSERT_TRUE(record.finished(4, dir + "e.MP3", *platform::identityOf(dir + "e.MP3")));
    ASSERT_TRUE(record.finished(2, dir + "c d.MP3", *platform::identityOf(dir + "e.MP3")));
    EXPECT_EQ(unfinished(dir), std::vector<std::string>{"/c d.wav"});

    // A killed converter leaves the files; the next record replaces them, and the
    // marks of the old one do not apply to the new one.
    record.close();
    QueueRecord next;
    ASSERT_TRUE(next.start(dir, {{"/c d.wav"}, {"/f.wav"}}, {}));
    EXPECT_EQ(unfinished(dir), (std::vector<std::string>{"/c d.wav", "/f.wav"}));
    next.remove();
    EXPECT_TRUE(unfinished(dir).empty());
    EXPECT_FALSE(QueueRecord::holdsWork(dir));
}

TEST(QueueRecord, TornOrForeignFilesLoseOnlyTheirDamagedPart) {
    std::string dir = freshDir("record-torn");
    const std::string names = encodeQueueRecord(7, {{"/one.wav"}, {"/two.wav"}});
    // An append cut short by a kill: the names before it stay. Marks written by the
    // converter before this one are read too.
    testenv::writeFile(dir + "queue", names + le32(9) + "/thr");
    testenv::writeFile(dir + "queue.done", "TWD1" + le32(7) + le32(0) + "\x01");
    EXPECT_EQ(unfinished(dir), std::vector<std::string>{"/two.wav"});
    // Marks of another generation are ignored.
    testenv::writeFile(dir + "queue.done", "TWD1" + le32(8) + le32(0));
    EXPECT_EQ(unfinished(dir), (std::vector<std::string>{"/one.wav", "/two.wav"}));
    // A file that is not a record is no record.
    testenv::writeFile(dir + "queue", le32(2) + le32(4) + "/x.y");
    EXPECT_TRUE(unfinished(dir).empty());
}

// Only a converter that dies inside a job counts against its name: twice and the
// name is dropped. A clean close (a logout) stops the job and keeps the partial
// output it put in place for the redo, however often it happens.
TEST(QueueRecord, OnlyADyingConverterCountsAgainstAName) {
    std::string dir = freshDir("record-retry");
    const platform::FileIdentity handOff{1, 2, 3, 4};
    const platform::FileIdentity partial{5, 6, 7, 8};
    QueueRecord first;
    ASSERT_TRUE(first.start(dir, {{"/ends-the-converter.wav"}, {"/next.wav"}}, {}));
    ASSERT_TRUE(first.started(0));
    ASSERT_TRUE(first.append({{"/handed.wav"}}, &handOff));
    first.close(); // killed inside the first job
    RecordLeft left = QueueRecord::readLeft(dir);
    std::vector<RecordedName> expected = {
        {"/ends-the-converter.wav", {}, true}, {"/next.wav"}, {"/handed.wav"}};
    EXPECT_EQ(left.unfinished, expected);
    EXPECT_EQ(left.absorbed, std::vector<platform::FileIdentity>{handOff});

    // Closed from outside twice while it redoes the second name.
    for (int close = 0; close < 2; ++close) {
        QueueRecord again;
        ASSERT_TRUE(again.start(dir, left.unfinished, left.absorbed));
        ASSERT_TRUE(again.started(1));
        ASSERT_TRUE(again.stopped(1, "/out/next.MP3", partial));
        again.close();
        left = QueueRecord::readLeft(dir);
    }
    expected[1].partial = "/out/next.MP3";
    expected[1].partialIdentity = partial;
    EXPECT_EQ(left.unfinished, expected);
    EXPECT_EQ(left.absorbed, std::vector<platform::FileIdentity>{handOff});

    // Killed inside the first job again: that name is dropped.
    QueueRecord last;
    ASSERT_TRUE(last.start(dir, left.unfinished, left.absorbed));
    ASSERT_TRUE(last.started(0));
    last.close();
    left = QueueRecord::readLeft(dir);
    EXPECT_EQ(left.unfinished, (std::vector<RecordedName>(expected.begin() + 1, expected.end())));
    EXPECT_EQ(left.dropped, std::vector<RecordedName>{expected[0]});
}
