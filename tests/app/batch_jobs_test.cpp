// The decode and encode jobs: target naming, the overwrite policies, every failure
// row with its status, box and effect on the batch, and the completion actions.

#include <QLabel>
#include <fcntl.h>
#include <unistd.h>

#include "app/batch/Naming.h"
#include "app/Startup.h"
#include "app_test_support.h"
#include "codec/MP3Codec.h"

using apptest::ConversionTest;

TEST(TargetName, ReplacesOrAppendsTheKindsExtensionInCapitals) {
    struct Row {
        const char* dir;
        const char* entry;
        const char* extension;
        const char* expected;
    };
    const Row rows[] = {
        {"/out/Decoded WAVs", "/music/Song.mp3", ".WAV", "/out/Decoded WAVs/Song.WAV"},
        {"/out/Decoded WAVs/", "/music/Song.MP3", ".WAV", "/out/Decoded WAVs/Song.WAV"},
        {"/out/enc", "/a.b/track", ".MP3", "/out/enc/track.MP3"},
        {"/out/enc", "/m/x.wav", ".MP3", "/out/enc/x.MP3"},
        {"/out/enc", "/m/tape.mp3.wav", ".MP3", "/out/enc/tape.mp3.MP3"},
        {"/out/enc", "/m/song.", ".MP3", "/out/enc/song.MP3"},
        {"out", "relative.ogg", ".MP3", "out/relative.MP3"},
        {"/", "/m/x.wav", ".MP3", "/x.MP3"},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(app::TargetNameFor(r.dir, r.entry, r.extension), r.expected) << r.entry;
    }
}

TEST(TargetName, UniqueNameCountsUpWithoutSeparator) {
    const std::string dir = testenv::makeDir("unique") + "/";
    EXPECT_EQ(app::UniqueTargetName(dir + "Song.WAV", ".WAV"), dir + "Song0.WAV");
    testenv::writeFile(dir + "Song0.WAV", "x");
    EXPECT_EQ(app::UniqueTargetName(dir + "Song.WAV", ".WAV"), dir + "Song1.WAV");
    // A directory of that name is not a free name either.
    testenv::makeDir("unique/Song1.WAV");
    EXPECT_EQ(app::UniqueTargetName(dir + "Song.WAV", ".WAV"), dir + "Song2.WAV");
}

TEST(TargetDirectory, CreatesParentsAndFailsWhereNothingCanBeMade) {
    const std::string root = testenv::makeDir("dirs") + "/";
    EXPECT_FALSE(app::CreateTargetDirectory(""));
    EXPECT_TRUE(app::CreateTargetDirectory("/"));
    EXPECT_TRUE(app::CreateTargetDirectory(root + "a/b c/d/"));
    EXPECT_TRUE(testenv::fileExists(root + "a/b c/d"));
    EXPECT_TRUE(app::CreateTargetDirectory(root + "a"));
    testenv::writeFile(root + "file", "x");
    EXPECT_FALSE(app::CreateTargetDirectory(root + "file"));
    EXPECT_FALSE(app::CreateTargetDirectory(root + "file/sub"));
}

TEST_F(ConversionTest, EncodeJobWritesAnMp3OfTheWholeWav) {
    const std::string source = dir + "Tone File.wav";
    apptest::makeWav(source, 1.5);
    TForm1& f = makeForm(source);
    f.CurrentSettings().EncodedDir = encodedDir + "/deeper/still/";
    tick();

    apptest::expectTone(encodedDir + "/deeper/still/Tone File.MP3", 1.5, 44100, 2);
    EXPECT_EQ(status(), "Done");
    EXPECT_EQ(f.StatusShift, 10);
    EXPECT_EQ(f.Label1->text(), "Compressing");
    // The line shows the file name whole; the whole path is its tool tip.
    EXPECT_TRUE(f.Label3->text().endsWith("/Tone File.wav")) << f.Label3->text().toStdString();
    EXPECT_EQ(f.Label3->toolTip().toStdString(), source);
    EXPECT_EQ(countLine(), "0 file(s) to decode");
    EXPECT_EQ(f.Image2->width(), 255);
    EXPECT_EQ(f.Engine.LastKind, TForm1::KindEncode);
    EXPECT_FALSE(f.Engine.Busy);
    EXPECT_TRUE(f.Engine.FileQueue().empty());
    EXPECT_TRUE(fake.dialogs->shown.empty());
}

TEST_F(ConversionTest, EncodeJobTakesMonoAndEightBitSources) {
    const std::string source = dir + "mono8.WAV";
    apptest::makeWav(source, 1.0, 22050, 1, 8);
    makeForm(source);
    tick();
    // The encoder writes stereo whatever the source's channel count.
    apptest::expectTone(encodedDir + "/mono8.MP3", 1.0, 22050, 2);
    EXPECT_EQ(status(), "Done");
}

TEST_F(ConversionTest, OverwritePoliciesReplaceRenameOrSkip) {
    const std::string source = dir + "song.wav";
    apptest::makeWav(source, 0.5);
    TForm1& f = makeForm(source);
    ASSERT_TRUE(app::CreateTargetDirectory(encodedDir));
    const std::string target = encodedDir + "/song.MP3";

    // 0: the existing file is replaced.
    testenv::writeFile(target, "not an mp3");
    tick();
    apptest::expectTone(target, 0.5, 44100, 2);

    // 1: song.MP3 -> song0.MP3 -> song1.MP3.
    f.CurrentSettings().Overwrite = 1;
    for (int i = 0; i < 2; ++i) {
        f.QueueFile(source);
        tick();
    }
    apptest::expectTone(encodedDir + "/song0.MP3", 0.5, 44100, 2);
    apptest::expectTone(encodedDir + "/song1.MP3", 0.5, 44100, 2);

    // 2: skipped; the entry leaves, the count line keeps its number, nothing is written.
    f.CurrentSettings().Overwrite = 2;
    testenv::writeFile(target, "keep me");
    f.QueueFile(source);
    f.QueueFile(dir + "next.wav");
    tick();
    EXPECT_EQ(status(), "Skipping");
    EXPECT_EQ(f.StatusShift, 0);
    EXPECT_EQ(countLine(), "2 file(s) to decode");
    EXPECT_EQ(f.Engine.FileQueue(), std::deque<std::string>{dir + "next.wav"});
    EXPECT_EQ(testenv::readFile(target), "keep me");
    EXPECT_FALSE(testenv::fileExists(encodedDir + "/song2.MP3"));
    EXPECT_TRUE(fake.dialogs->shown.empty());
}

TEST_F(ConversionTest, ReadOnlyTargetIsLeftAloneAndReportedAsAnEncodeError) {
    const std::string source = dir + "song.wav";
    apptest::makeWav(source, 0.5);
    TForm1& f = makeForm(source);
    ASSERT_TRUE(app::CreateTargetDirectory(encodedDir));
    const std::string target = encodedDir + "/song.MP3";
    testenv::writeFile(target, "protected");
    ASSERT_EQ(::chmod(target.c_str(), 0444), 0);
    tick();
    EXPECT_EQ(status(), "Error encountered");
    EXPECT_EQ(f.StatusShift, 21);
    EXPECT_EQ(testenv::readFile(target), "protected");
    ASSERT_EQ(fake.dialogs->shown.size(), 1u);
    EXPECT_EQ(fake.dialogs->shown[0].text,
              "Error occured: Unable to overwrite target file!\n while operating with: song.wav");
    ::chmod(target.c_str(), 0644);
}

// The directory rows: a decode goes on with the next entry, an encode ends the batch.
struct DirectoryCase {
    bool decodeFirst;
    bool noErrors;
};

class DirectoryFailure : public ConversionTest,
                         public ::testing::WithParamInterface<DirectoryCase> {};

TEST_P(DirectoryFailure, FailsTheEntryAndEndsOnlyAnEncodeBatch) {
    const DirectoryCase c = GetParam();
    const std::string blocker = dir + "a-file";
    testenv::writeFile(blocker, "x");
    const std::string first = dir + (c.decodeFirst ? "first.mp3" : "first.wav");
    const std::string second = dir + "second.wav";
    apptest::makeWav(second, 0.5);
    TForm1& f = makeForm(first);
    f.QueueFile(second);
    f.CurrentSettings().NoErrors = c.noErrors;
    if (c.decodeFirst) {
        f.CurrentSettings().DecodedDir = blocker + "/decoded";
    } else {
        f.CurrentSettings().EncodedDir = blocker + "/encoded";
    }
    tick();

    EXPECT_EQ(status(), "Failed");
    EXPECT_EQ(f.StatusShift, 0);
    EXPECT_EQ(countLine(), "2 file(s) to decode"); // still counts the removed entry
    EXPECT_EQ(f.Engine.FileQueue(), std::deque<std::string>{second});
    if (c.noErrors) {
        EXPECT_TRUE(fake.dialogs->shown.empty());
    } else {
        ASSERT_EQ(fake.dialogs->shown.size(), 1u);
        EXPECT_EQ(fake.dialogs->shown[0].text, "Unable to create target directory");
        EXPECT_EQ(fake.dialogs->shown[0].caption, "Error");
        EXPECT_EQ(fake.dialogs->shown[0].buttons, unsigned(platform::Ok));
        EXPECT_EQ(fake.dialogs->shown[0].icon, platform::Icon::None);
    }
    EXPECT_EQ(f.ApplicationEnded(), !c.decodeFirst);
    tickToEnd();
    if (c.decodeFirst) {
        apptest::expectTone(encodedDir + "/second.MP3", 0.5, 44100, 2);
        EXPECT_EQ(fake.sound->files.size(), 1u);
    } else {
        EXPECT_FALSE(testenv::fileExists(encodedDir + "/second.MP3"));
        EXPECT_TRUE(fake.sound->files.empty()); // no completion actions
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, DirectoryFailure,
                         ::testing::Values(DirectoryCase{true, false}, DirectoryCase{false, false},
                                           DirectoryCase{true, true}, DirectoryCase{false, true}));

// The source rows: a missing source fails its own entry, decode and encode alike;
// the batch goes on with the next entry and ends with its completion actions.
class MissingSource : public ConversionTest, public ::testing::WithParamInterface<DirectoryCase> {};

TEST_P(MissingSource, FailsOnlyItsOwnEntry) {
    const DirectoryCase c = GetParam();
    const std::string first = dir + (c.decodeFirst ? "gone.mp3" : "gone.wav");
    const std::string second = dir + "second.wav";
    apptest::makeWav(second, 0.5);
    TForm1& f = makeForm(first);
    f.QueueFile(second);
    f.CurrentSettings().NoErrors = c.noErrors;
    tick();

    EXPECT_EQ(status(), "Starting");
    EXPECT_EQ(countLine(), "1 file(s) to decode");
    EXPECT_FALSE(f.ApplicationEnded());
    EXPECT_EQ(f.Engine.FileQueue(), std::deque<std::string>{second});
    if (c.noErrors) {
        EXPECT_TRUE(fake.dialogs->shown.empty());
    } else {
        ASSERT_EQ(fake.dialogs->shown.size(), 1u);
        EXPECT_EQ(fake.dialogs->shown[0].text, "Unable to find source file: " + first);
        EXPECT_EQ(fake.dialogs->shown[0].caption, "Error");
        EXPECT_EQ(fake.dialogs->shown[0].icon, platform::Icon::None);
    }
    tickToEnd();
    apptest::expectTone(encodedDir + "/second.MP3", 0.5, 44100, 2);
    EXPECT_EQ(fake.sound->files.size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Rows, MissingSource,
                         ::testing::Values(DirectoryCase{true, false}, DirectoryCase{false, false},
                                           DirectoryCase{true, true}, DirectoryCase{false, true}));

TEST_F(ConversionTest, TheBatchEndsOnlyOnceItsLastBoxIsAnswered) {
    TForm1& f = makeForm(dir + "gone.wav", false);
    // The box is read for five seconds; the three idle ticks come meanwhile.
    fake.dialogs->answer(platform::Ok, 5000);
    bool endedWhileOpen = true;
    fake.dialogs->onBox = [&](const platform::MessageBoxRequest&) {
        QTimer::singleShot(4000, [&] { endedWhileOpen = f.ApplicationEnded(); });
    };
    ASSERT_TRUE(apptest::waitUntil([&] { return f.ApplicationEnded(); }, 20000));
    EXPECT_FALSE(endedWhileOpen);
    EXPECT_EQ(fake.sound->files.size(), 1u);
}

TEST_F(ConversionTest, DirectoryAsSourceCountsAsMissing) {
    const std::string folder = testenv::makeDir("ConversionTest.folder.wav");
    TForm1& f = makeForm(folder);
    tick();
    ASSERT_EQ(fake.dialogs->shown.size(), 1u);
    EXPECT_EQ(fake.dialogs->shown[0].text, "Unable to find source file: " + folder);
    EXPECT_FALSE(f.ApplicationEnded());
}

TEST_F(ConversionTest, EncoderLibraryMissingFailsEachEncodeWithItsText) {
    // A program folder without lame.so: every encode fails at its open.
    const std::string programDir = testenv::makeDir("ConversionTest.nolame");
    const std::string a = dir + "a.wav";
    const std::string b = dir + "b.wav";
    apptest::makeWav(a, 0.3);
    apptest::makeWav(b, 0.3);
    TForm1& f = makeForm(a, true, programDir);
    f.QueueFile(b);
    tick();
    EXPECT_EQ(f.Label1->text(), "Compressing");
    EXPECT_EQ(status(), "Error encountered");
    EXPECT_EQ(f.StatusShift, 21);
    EXPECT_EQ(f.Image2->width(), 255);
    ASSERT_EQ(fake.dialogs->shown.size(), 1u);
    EXPECT_EQ(fake.dialogs->shown[0].text,
              "Error occured: DLL not loaded!\n while operating with: a.wav");
    EXPECT_EQ(fake.dialogs->shown[0].caption, app::kApplicationTitle);
    EXPECT_EQ(fake.dialogs->shown[0].icon, platform::Icon::None);

    f.CurrentSettings().NoErrors = 1;
    tick();
    EXPECT_EQ(status(), "Error encountered");
    EXPECT_EQ(fake.dialogs->shown.size(), 1u);
    EXPECT_FALSE(f.ApplicationEnded());

    // Completion without the sound file beside the program plays the default sound.
    tickToEnd();
    EXPECT_TRUE(fake.sound->files.empty());
    EXPECT_EQ(fake.sound->defaults, 1);
}

TEST_F(ConversionTest, SourceThatIsNoWavReportsBadFormat) {
    const std::string source = dir + "noise.ogg";
    testenv::writeFile(source, std::string(5000, 'x'));
    makeForm(source);
    tick();
    EXPECT_EQ(status(), "Error encountered");
    ASSERT_EQ(fake.dialogs->shown.size(), 1u);
    EXPECT_EQ(fake.dialogs->shown[0].text,
              "Error occured: Bad WAV format!\n while operating with: noise.ogg");
    EXPECT_TRUE(testenv::fileExists(source));
}

TEST_F(ConversionTest, WriteFailureMidFileEndsTheEntryAndTheBatchGoesOn) {
    const std::string big = dir + "big.wav";
    const std::string small = dir + "small.wav";
    apptest::makeWav(big, 3.0);
    apptest::makeWav(small, 0.3);
    TForm1& f = makeForm(big);
    f.QueueFile(small);
    ASSERT_TRUE(app::CreateTargetDirectory(encodedDir));

    {
        // Writes past 16 KiB fail as on a full disk.
        testenv::FileSizeLimit full(16384);
        tick();
    }

    EXPECT_EQ(status(), "Error encountered");
    ASSERT_EQ(fake.dialogs->shown.size(), 1u);
    EXPECT_EQ(fake.dialogs->shown[0].text,
              "Error occured: Write fail!\n while operating with: big.wav");
    EXPECT_LE(apptest::fileSize(encodedDir + "/big.MP3"), 16384);
    EXPECT_TRUE(testenv::fileExists(big));

    tick();
    apptest::expectTone(encodedDir + "/small.MP3", 0.3, 44100, 2);
}

TEST_F(ConversionTest, CompletionPlaysTheSoundAndOpensTheLastKindsDirectory) {
    const std::string source = dir + "a.wav";
    apptest::makeWav(source, 0.3);
    TForm1& f = makeForm(source);
    f.CurrentSettings().OpenDir = 1;
    EXPECT_EQ(tickToEnd(), 4); // the job, then three idle ticks
    EXPECT_EQ(fake.sound->files, std::vector<std::string>{f.AppDir + "alldone.wav"});
    ASSERT_EQ(fake.shell->calls.size(), 1u);
    EXPECT_EQ(fake.shell->calls[0].path, encodedDir);
    EXPECT_EQ(fake.shell->calls[0].mode, platform::ShowMode::Minimized);
    EXPECT_EQ(f.windowTitle(), "MP3 Tunewright - terminating");
}

TEST_F(ConversionTest, CompletionAfterNoJobOpensTheDecodedDirectory) {
    TForm1& f = makeForm(dir + "a.wav");
    f.CurrentSettings().OpenDir = 1;
    f.CurrentSettings().PlaySound = 0;
    f.Image4Click();
    EXPECT_EQ(tickToEnd(), 3);
    EXPECT_TRUE(fake.sound->files.empty());
    EXPECT_EQ(fake.sound->defaults, 0);
    ASSERT_EQ(fake.shell->calls.size(), 1u);
    EXPECT_EQ(fake.shell->calls[0].path, decodedDir);
    EXPECT_EQ(fake.shell->calls[0].mode, platform::ShowMode::Normal);
}

// Dialogs that fail once, as a broken desktop service might.
class ThrowingDialogs : public testenv::ScriptedDialogs {
public:
    int throwsLeft = 1;
    platform::Button messageBox(const platform::MessageBoxRequest& request) override {
        if (throwsLeft > 0) {
            --throwsLeft;
            shown.push_back(request);
            throw std::runtime_error("dialog service failed");
        }
        return ScriptedDialogs::messageBox(request);
    }
};

TEST_F(ConversionTest, ExceptionInsideAJobEndsItAsAnErrorAndTheBatchGoesOn) {
    auto dialogs = std::make_shared<ThrowingDialogs>();
    platform::installServices({dialogs, nullptr, nullptr, nullptr});
    // The encode error box is shown while the job is busy; it throws there.
    const std::string programDir = testenv::makeDir("ConversionTest.throwing");
    const std::string a = dir + "a.wav";
    apptest::makeWav(a, 0.3);
    TForm1& f = makeForm(a, true, programDir);
    f.QueueFile(dir + "b.wav");
    tick();
    EXPECT_FALSE(f.Engine.Busy);
    EXPECT_EQ(status(), "Error encountered");
    EXPECT_EQ(f.Engine.FileQueue(), std::deque<std::string>{dir + "b.wav"});
    ASSERT_EQ(dialogs->shown.size(), 2u);
    EXPECT_EQ(dialogs->shown[1].text, "dialog service failed");
    tick(); // the next entry runs
    EXPECT_TRUE(f.Engine.FileQueue().empty());
    platform::installServices({fake.dialogs, nullptr, nullptr, nullptr});
}

// Jobs running ahead on other workers, when the user drops the rest of the queue or
// exits: "Last file" stops the removed entries' jobs and nothing of theirs appears;
// Exit's OK drops what the shown entry wrote, Cancel puts it in place as it stands,
// and what ran ahead of the window never appears.
TEST_F(ConversionTest, LastFileAndExitReachTheJobsRunningAhead) {
    enum class Act { LastFile, ExitOk, ExitCancel };
    for (Act act : {Act::LastFile, Act::ExitOk, Act::ExitCancel}) {
        SCOPED_TRACE(static_cast<int>(act));
        const std::string in = testenv::makeDir("ahead-" + std::to_string(static_cast<int>(act)));
        for (const char* name : {"/a.wav", "/b.wav", "/c.wav"}) {
            apptest::makeWav(in + name, 120);
        }
        testenv::setParallelJobs(2);
        TForm1::CloseRequested = false;
        TForm1& f = makeForm(in + "/a.wav", false);
        f.QueueFile(in + "/b.wav");
        f.QueueFile(in + "/c.wav");
        const std::string a = encodedDir + "/a.MP3";
        // Acts once entry 0's job has made progress: the second worker is writing ahead.
        bool acted = false;
        QTimer watch;
        watch.setInterval(5);
        QObject::connect(&watch, &QTimer::timeout, [&] {
            if (acted || !f.Engine.Busy || f.Image2->width() < 20) {
                return;
            }
            acted = true;
            if (act == Act::LastFile) {
                f.Image4Click();
            } else {
                fake.dialogs->answer(act == Act::ExitOk ? platform::Ok : platform::Cancel);
                f.SpeedButton5Click();
            }
        });
        watch.start();
        ASSERT_TRUE(apptest::waitUntil([&] { return f.ApplicationEnded(); }, 30000));
        ASSERT_TRUE(acted);
        form.reset(); // every worker has closed its file
        switch (act) {
        case Act::LastFile:
            EXPECT_EQ(testenv::listDir(encodedDir), std::vector<std::string>{"a.MP3"});
            apptest::expectTone(a, 120, 44100, 2);
            break;
        case Act::ExitOk:
            EXPECT_TRUE(testenv::listDir(encodedDir).empty());
            break;
        case Act::ExitCancel:
            EXPECT_EQ(testenv::listDir(encodedDir), std::vector<std::string>{"a.MP3"});
            EXPECT_GT(apptest::analyse(a).seconds, 1.0);
            EXPECT_LT(apptest::analyse(a).seconds, 119.0);
            break;
        }
        ASSERT_EQ(testenv::run("rm -rf " + apptest::quoted(encodedDir)), 0);
    }
}
