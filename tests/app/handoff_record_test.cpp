// The conversion window as the lock holder: its record of unfinished names and
// the end of its batch, with the queue timer ticked by hand.

#include <QLabel>
#include <QTimer>
#include <sys/stat.h>

#include "app/batch/Naming.h"
#include "app/batch/QueueRecord.h"
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
        ::unlink((rt + "queue").c_str());
        ::unlink((rt + "queue.done").c_str());
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
        app::QueueRecord killed;
        ASSERT_TRUE(killed.start(rt, {{dir + "left.wav"}, {dir + "done.wav"}}, {}));
        killed.finished({1});
        killed.close();
    }
    TForm1& f = makeHolder({dir + "own.wav"});
    EXPECT_EQ(f.Engine.FileQueue(), (std::deque<std::string>{dir + "left.wav", dir + "own.wav"}));
    EXPECT_EQ(testenv::unfinishedNames(rt),
              (std::vector<std::string>{dir + "left.wav", dir + "own.wav"}));

    std::string error;
    ASSERT_FALSE(
        platform::writeHandOffFile(rt, {dir + "handed.wav", dir + "own.wav"}, &error).empty())
        << error;
    tick(); // the job of left.wav (its source is missing), then the scan
    EXPECT_EQ(f.Engine.FileQueue(), (std::deque<std::string>{dir + "own.wav", dir + "handed.wav"}));
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
    EXPECT_FALSE(app::BatchEngine::WorkWaiting(rt, {}));
}

TEST_F(HolderTest, HandOffAfterTheLastScanResumesTheBatch) {
    TForm1& f = makeHolder({dir + "first.wav"});
    tick(); // the job (source missing)
    tick(); // idle 1
    tick(); // idle 2: the last scan
    ASSERT_EQ(f.Engine.IdleTicks, 2);
    // A writer publishes now, after the last scan and before the end.
    std::string error;
    ASSERT_FALSE(platform::writeHandOffFile(rt, {dir + "late.wav"}, &error).empty()) << error;
    tick(); // idle 3: the end looks again after releasing the lock
    EXPECT_FALSE(f.ApplicationEnded());
    EXPECT_TRUE(lock.held());
    EXPECT_EQ(f.Engine.FileQueue(), std::deque<std::string>{dir + "late.wav"});

    EXPECT_LE(tickToEnd(), 5);
    EXPECT_TRUE(f.ApplicationEnded());
    // The real end: the lock is free and nothing waits in the runtime folder.
    EXPECT_FALSE(lock.held());
    EXPECT_FALSE(app::BatchEngine::WorkWaiting(rt, {}));
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
    tick();
    ASSERT_EQ(f.Engine.FileQueue().size(), 15000u);
    EXPECT_EQ(f.Engine.FileQueue().back(), dir + "14999.wav");
    EXPECT_EQ(countLine(), "15000 file(s) to decode");
    EXPECT_EQ(testenv::unfinishedNames(rt).size(), 15000u);
}

// What earlier converters left: "cut" was stopped by a logout, which put its partial
// output in place; "changed" too, but the user has replaced that file since;
// "again" was cut off by a converter that died, twice. With the overwrite rule
// that picks new names, only the partial that is still as it was is replaced.
TEST_F(HolderTest, PartialsOfACleanCloseAreRedoneInPlaceAndTwiceDeadNamesDropped) {
    const std::string cut = dir + "cut.wav";
    const std::string changed = dir + "changed.wav";
    const std::string again = dir + "again.wav";
    for (const std::string& source : {cut, changed, again}) {
        apptest::makeWav(source, 1.0);
    }
    ASSERT_TRUE(app::CreateTargetDirectory(encodedDir));
    const std::string cutTarget = encodedDir + "/cut.MP3";
    const std::string changedTarget = encodedDir + "/changed.MP3";
    const std::string againTarget = encodedDir + "/again.MP3";
    testenv::writeFile(cutTarget, "the first 40 seconds");
    testenv::writeFile(changedTarget, "the first 20 seconds");
    testenv::writeFile(againTarget, "the user's own file");
    {
        app::QueueRecord stopped;
        ASSERT_TRUE(stopped.start(rt, {{cut}, {changed}, {again, {}, true}}, {}));
        ASSERT_TRUE(stopped.stopped(0, cutTarget, *platform::identityOf(cutTarget)));
        ASSERT_TRUE(stopped.stopped(1, changedTarget, *platform::identityOf(changedTarget)));
        ASSERT_TRUE(stopped.started(2));
        stopped.close();
    }
    testenv::writeFile(changedTarget, "the user's new file");
    TForm1& f = makeHolder({});
    f.CurrentSettings().Overwrite = 1;
    EXPECT_EQ(f.Engine.FileQueue(), (std::deque<std::string>{cut, changed}));
    tickToEnd();
    EXPECT_EQ(testenv::listDir(encodedDir),
              (std::vector<std::string>{"again.MP3", "changed.MP3", "changed0.MP3", "cut.MP3"}));
    apptest::expectTone(cutTarget, 1.0, 44100, 2);
    apptest::expectTone(encodedDir + "/changed0.MP3", 1.0, 44100, 2);
    EXPECT_EQ(testenv::readFile(changedTarget), "the user's new file");
    EXPECT_EQ(testenv::readFile(againTarget), "the user's own file");
}

// A full runtime folder: the record stays as it was, a name queued meanwhile is
// converted all the same, and a hand-off file that cannot be recorded stays until
// there is room; nothing loops and nothing is lost.
TEST_F(HolderTest, AFullRuntimeFolderLosesNoNameAndNothingLoops) {
    for (const char* name : {"own.wav", "late.wav", "handed.wav"}) {
        apptest::makeWav(dir + name, 0.3);
    }
    TForm1& f = makeHolder({dir + "own.wav"});
    ASSERT_TRUE(testenv::fileExists(rt + "queue"));
    {
        testenv::FileSizeLimit full(0);
        f.QueueFile(dir + "late.wav");
    }
    EXPECT_EQ(testenv::unfinishedNames(rt), std::vector<std::string>{dir + "own.wav"});
    EXPECT_EQ(f.Engine.FileQueue(), (std::deque<std::string>{dir + "own.wav", dir + "late.wav"}));
    tick();
    tick();
    std::string error;
    const std::string handOff = platform::writeHandOffFile(rt, {dir + "handed.wav"}, &error);
    ASSERT_FALSE(handOff.empty()) << error;
    {
        testenv::FileSizeLimit full(0);
        tick();
    }
    EXPECT_TRUE(testenv::fileExists(handOff));
    EXPECT_TRUE(f.Engine.FileQueue().empty());

    EXPECT_LE(tickToEnd(), 8);
    EXPECT_TRUE(f.ApplicationEnded());
    EXPECT_EQ(testenv::listDir(encodedDir),
              (std::vector<std::string>{"handed.MP3", "late.MP3", "own.MP3"}));
    EXPECT_FALSE(app::BatchEngine::WorkWaiting(rt, {}));
}

TEST_F(HolderTest, AFifoAtTheRecordsPathIsNoRecord) {
    ASSERT_EQ(::mkfifo((rt + "queue").c_str(), 0600), 0);
    TForm1& f = makeHolder({dir + "own.wav"});
    EXPECT_EQ(f.Engine.FileQueue(), std::deque<std::string>{dir + "own.wav"});
    EXPECT_LE(tickToEnd(), 6);
    EXPECT_TRUE(f.ApplicationEnded());
}
