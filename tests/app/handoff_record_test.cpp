// The conversion window as the lock holder: its record of unfinished names and
// the end of its batch, with the queue timer ticked by hand.

#include <QLabel>
#include <QTimer>
#include <sys/stat.h>

#include "app/BatchJobs.h"
#include "app_test_support.h"
#include "platform/InstanceFiles.h"

namespace {

class HolderTest : public apptest::ConversionTest {
protected:
    void SetUp() override {
        ConversionTest::SetUp();
        std::string error;
        rt = platform::runtimeDir(&error);
        ASSERT_FALSE(rt.empty()) << error;
        ASSERT_TRUE(lock.acquire(rt));
    }
    void TearDown() override {
        ConversionTest::TearDown();
        lock.release();
        platform::QueueRecord().remove(rt);
    }

    TForm1& makeHolder(const std::vector<std::string>& names) {
        form = std::make_unique<TForm1>(names, std::string(), &lock);
        form->Timer1->stop();
        form->Timer2->stop();
        settings::SettingsRecord& s = form->CurrentSettings();
        s.DecodedDir = decodedDir;
        s.EncodedDir = encodedDir;
        s.PlaySound = 0;
        s.NoErrors = 1;
        return *form;
    }

    std::string rt;
    platform::InstanceLock lock;
};

} // namespace

TEST_F(HolderTest, TakenNamesStayRecordedUntilTheirJobEnds) {
    // A converter killed earlier left one unfinished name: it comes first.
    {
        platform::QueueRecord killed;
        ASSERT_TRUE(killed.start(rt, {{dir + "left.wav"}, {dir + "done.wav"}}));
        killed.finish({1});
        killed.close();
    }
    TForm1& f = makeHolder({dir + "own.wav"});
    EXPECT_EQ(f.FileQueue, (std::deque<std::string>{dir + "left.wav", dir + "own.wav"}));
    EXPECT_EQ(testenv::unfinishedNames(rt),
              (std::vector<std::string>{dir + "left.wav", dir + "own.wav"}));

    std::string error;
    ASSERT_FALSE(
        platform::writeHandOffFile(rt, {dir + "handed.wav", dir + "own.wav"}, &error).empty())
        << error;
    f.Timer1Timer(); // the job of left.wav (its source is missing), then the scan
    EXPECT_EQ(f.FileQueue, (std::deque<std::string>{dir + "own.wav", dir + "handed.wav"}));
    EXPECT_EQ(testenv::unfinishedNames(rt),
              (std::vector<std::string>{dir + "own.wav", dir + "handed.wav"}));
    EXPECT_TRUE(platform::listHandOffFiles(rt).empty());

    // Names the user drops with "Last file" are not left for a next converter.
    f.Image4Click();
    EXPECT_TRUE(testenv::unfinishedNames(rt).empty());
    f.QueueFile(dir + "again.wav");
    EXPECT_EQ(testenv::unfinishedNames(rt), std::vector<std::string>{dir + "again.wav"});
    // Exit ends the batch: no record is left behind.
    f.Shutdown();
    EXPECT_FALSE(platform::handOffWorkWaiting(rt));
}

TEST_F(HolderTest, HandOffAfterTheLastScanResumesTheBatch) {
    TForm1& f = makeHolder({dir + "first.wav"});
    f.Timer1Timer(); // the job (source missing)
    f.Timer1Timer(); // idle 1
    f.Timer1Timer(); // idle 2: the last scan
    ASSERT_EQ(f.IdleTicks, 2);
    // A writer publishes now, after the last scan and before the end.
    std::string error;
    ASSERT_FALSE(platform::writeHandOffFile(rt, {dir + "late.wav"}, &error).empty()) << error;
    f.Timer1Timer(); // idle 3: the end looks again after releasing the lock
    EXPECT_FALSE(f.ApplicationEnded());
    EXPECT_TRUE(lock.held());
    EXPECT_EQ(f.FileQueue, std::deque<std::string>{dir + "late.wav"});
    EXPECT_TRUE(f.Timer1->isActive());
    f.Timer1->stop();

    EXPECT_LE(tickToEnd(), 5);
    EXPECT_TRUE(f.ApplicationEnded());
    // The real end: the lock is free and nothing waits in the runtime folder.
    EXPECT_FALSE(lock.held());
    EXPECT_FALSE(platform::handOffWorkWaiting(rt));
    EXPECT_FALSE(testenv::fileExists(rt + "active.flg"));
}

TEST_F(HolderTest, QueueingManyNamesKeepsTheDuplicateRule) {
    TForm1& f = makeHolder({});
    std::vector<std::string> names;
    for (int i = 0; i < 20000; ++i) {
        names.push_back(dir + std::to_string(i % 15000) + ".wav");
    }
    std::string error;
    ASSERT_FALSE(platform::writeHandOffFile(rt, names, &error).empty()) << error;
    f.Timer1Timer();
    ASSERT_EQ(f.FileQueue.size(), 15000u);
    EXPECT_EQ(f.FileQueue.back(), dir + "14999.wav");
    EXPECT_EQ(countLine(), "15000 file(s) to decode");
    EXPECT_EQ(testenv::unfinishedNames(rt).size(), 15000u);
}

TEST_F(HolderTest, InterruptedJobsAreRedoneIntoTheirTargetsOrDroppedKeepingThem) {
    // A converter that was killed left two names whose jobs had begun: "cut" once,
    // "again" for the second time. The overwrite rule would pick new names.
    const std::string cut = dir + "cut.wav";
    const std::string again = dir + "again.wav";
    apptest::makeWav(cut, 1.0);
    apptest::makeWav(again, 1.0);
    ASSERT_TRUE(app::CreateTargetDirectory(encodedDir));
    const std::string cutTarget = encodedDir + "/cut.MP3";
    const std::string againTarget = encodedDir + "/again.MP3";
    testenv::writeFile(cutTarget, "the first 40 seconds");
    testenv::writeFile(againTarget, "what the first attempt left");
    testenv::writeFile(app::RedoTarget(againTarget), "the second attempt's part");
    {
        platform::QueueRecord killed;
        ASSERT_TRUE(killed.start(rt, {{cut}, {again, true, againTarget}}));
        ASSERT_TRUE(killed.started(0, cutTarget));
        ASSERT_TRUE(killed.started(1, againTarget));
        killed.close();
    }
    TForm1& f = makeHolder({});
    f.CurrentSettings().Overwrite = 1;
    EXPECT_EQ(f.FileQueue, std::deque<std::string>{cut});
    tickToEnd();
    EXPECT_EQ(testenv::listDir(encodedDir), (std::vector<std::string>{"again.MP3", "cut.MP3"}));
    apptest::expectTone(cutTarget, 1.0, 44100, 2);
    EXPECT_EQ(testenv::readFile(againTarget), "what the first attempt left");
}

TEST_F(HolderTest, ARecordThatCannotBeWrittenIsDroppedAndNothingLoopsOrIsLost) {
    for (const char* name : {"own.wav", "late.wav", "handed.wav"}) {
        apptest::makeWav(dir + name, 0.3);
    }
    TForm1& f = makeHolder({dir + "own.wav"});
    ASSERT_TRUE(testenv::fileExists(rt + "queue"));

    // The runtime folder is full when a name comes: the record is dropped rather
    // than torn, and the hand-off files are kept until their names are converted.
    {
        testenv::FileSizeLimit full(0);
        f.QueueFile(dir + "late.wav");
    }
    EXPECT_FALSE(testenv::fileExists(rt + "queue"));
    std::string error;
    const std::string handOff = platform::writeHandOffFile(rt, {dir + "handed.wav"}, &error);
    ASSERT_FALSE(handOff.empty()) << error;
    f.Timer1Timer();
    EXPECT_TRUE(testenv::fileExists(handOff));

    EXPECT_LE(tickToEnd(), 8);
    EXPECT_TRUE(f.ApplicationEnded());
    EXPECT_EQ(testenv::listDir(encodedDir),
              (std::vector<std::string>{"handed.MP3", "late.MP3", "own.MP3"}));
    EXPECT_FALSE(platform::handOffWorkWaiting(rt));
}

TEST_F(HolderTest, AFifoAtTheRecordsPathIsNoRecord) {
    ASSERT_EQ(::mkfifo((rt + "queue").c_str(), 0600), 0);
    TForm1& f = makeHolder({dir + "own.wav"});
    EXPECT_EQ(f.FileQueue, std::deque<std::string>{dir + "own.wav"});
    EXPECT_LE(tickToEnd(), 6);
    EXPECT_TRUE(f.ApplicationEnded());
}
