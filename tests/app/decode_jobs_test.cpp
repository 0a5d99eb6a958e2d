// Decode jobs through the real decoder library: MP3 in, WAV with its 44-byte header
// out, and the decode's own failure rows (no message box, the batch goes on).

#include <QLabel>
#include <sys/stat.h>

#include "app/batch/Naming.h"
#include "app_test_support.h"

using apptest::ConversionTest;

namespace {

uint32_t le32(const std::string& bytes, size_t at) {
    return static_cast<uint8_t>(bytes[at]) | (static_cast<uint8_t>(bytes[at + 1]) << 8) |
           (static_cast<uint8_t>(bytes[at + 2]) << 16) |
           (static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + 3])) << 24);
}

// The header sizes match the file: RIFF size = length - 8, data size = length - 44.
void expectHeaderFitsFile(const std::string& path) {
    const std::string bytes = testenv::readFile(path);
    ASSERT_GE(bytes.size(), 44u) << path;
    EXPECT_EQ(bytes.substr(0, 4), "RIFF");
    EXPECT_EQ(bytes.substr(8, 8), "WAVEfmt ");
    EXPECT_EQ(bytes.substr(36, 4), "data");
    EXPECT_EQ(le32(bytes, 4), bytes.size() - 8);
    EXPECT_EQ(le32(bytes, 40), bytes.size() - 44);
}

} // namespace

TEST_F(ConversionTest, DecodeJobWritesTheWholeStreamAsWav) {
    const std::string stereo = dir + "Song.Mp3";
    const std::string mono = dir + "voice.MP3";
    apptest::makeMp3(stereo, 1.2);
    apptest::makeMp3(mono, 0.8, 22050, 1);
    TForm1& f = makeForm(stereo);
    f.QueueFile(mono);
    f.CurrentSettings().DecodedDir = decodedDir + "/nested/";

    tick();
    EXPECT_EQ(f.Label1->text(), "Decompressing");
    EXPECT_EQ(status(), "Done");
    EXPECT_EQ(f.Engine.LastKind, TForm1::KindDecode);
    EXPECT_EQ(f.Image2->width(), 255);
    EXPECT_EQ(countLine(), "1 file(s) to decode");
    tick();
    EXPECT_EQ(status(), "Done");

    expectHeaderFitsFile(decodedDir + "/nested/Song.WAV");
    apptest::expectTone(decodedDir + "/nested/Song.WAV", 1.2, 44100, 2);
    expectHeaderFitsFile(decodedDir + "/nested/voice.WAV");
    apptest::expectTone(decodedDir + "/nested/voice.WAV", 0.8, 22050, 1);
    EXPECT_TRUE(fake.dialogs->shown.empty());
}

TEST_F(ConversionTest, DecodeOfAnUndecodableFileIsAnErrorWithoutBox) {
    const std::string junk = dir + "junk.mp3";
    testenv::writeFile(junk, std::string(20000, '\x11'));
    const std::string next = dir + "next.wav";
    apptest::makeWav(next, 0.3);
    TForm1& f = makeForm(junk);
    f.QueueFile(next);
    tick();
    EXPECT_EQ(status(), "Error encountered");
    EXPECT_EQ(f.StatusShift, 11);
    EXPECT_FALSE(f.Engine.Busy);
    EXPECT_TRUE(fake.dialogs->shown.empty());
    EXPECT_FALSE(f.ApplicationEnded());
    // No blank 44-byte WAV is left in the decoded folder.
    EXPECT_FALSE(testenv::fileExists(decodedDir + "/junk.WAV"));
    tick();
    apptest::expectTone(encodedDir + "/next.MP3", 0.3, 44100, 2);

    // Nor for an empty input; a file of that name from before the job stays when
    // the job may not replace it.
    const std::string empty = dir + "empty.mp3";
    testenv::writeFile(empty, "");
    f.QueueFile(empty);
    tick();
    EXPECT_EQ(status(), "Error encountered");
    EXPECT_FALSE(testenv::fileExists(decodedDir + "/empty.WAV"));
    testenv::writeFile(decodedDir + "/junk.WAV", "earlier");
    ASSERT_EQ(::chmod((decodedDir + "/junk.WAV").c_str(), 0444), 0);
    f.QueueFile(junk);
    tick();
    EXPECT_EQ(status(), "Error encountered");
    EXPECT_EQ(testenv::readFile(decodedDir + "/junk.WAV"), "earlier");
    EXPECT_TRUE(fake.dialogs->shown.empty());
    ::chmod((decodedDir + "/junk.WAV").c_str(), 0644);
}

TEST_F(ConversionTest, WavToMp3ToWavRoundTripKeepsTheExactLength) {
    const std::string source = dir + "round.wav";
    apptest::makeWav(source, 1.5);
    TForm1& f = makeForm(source);
    tick();
    ASSERT_EQ(status(), "Done");
    const std::string mp3 = encodedDir + "/round.MP3";
    f.QueueFile(mp3);
    tick();
    ASSERT_EQ(status(), "Done");
    const std::string back = decodedDir + "/round.WAV";
    expectHeaderFitsFile(back);
    // The encoder's delay and padding are taken off again by the decoder, which
    // finds them in the MP3's LAME tag: the same number of samples comes back.
    EXPECT_EQ(apptest::fileSize(back), apptest::fileSize(source));
    EXPECT_EQ(apptest::capture("soxi -s " + apptest::quoted(back)), "66150\n");
    apptest::expectTone(back, 1.5, 44100, 2);
}

TEST_F(ConversionTest, DecodeIntoAReadOnlyTargetFailsAndLeavesItAlone) {
    const std::string source = dir + "song.mp3";
    apptest::makeMp3(source, 0.5);
    TForm1& f = makeForm(source);
    ASSERT_TRUE(app::CreateTargetDirectory(decodedDir));
    const std::string target = decodedDir + "/song.WAV";
    testenv::writeFile(target, "protected");
    ASSERT_EQ(::chmod(target.c_str(), 0444), 0);
    tick();
    EXPECT_EQ(status(), "Error encountered");
    EXPECT_EQ(f.StatusShift, 11);
    EXPECT_EQ(testenv::readFile(target), "protected");
    EXPECT_TRUE(fake.dialogs->shown.empty());
    ::chmod(target.c_str(), 0644);

    // With a unique name the decode goes to song0.WAV instead.
    f.CurrentSettings().Overwrite = 1;
    f.QueueFile(source);
    tick();
    apptest::expectTone(decodedDir + "/song0.WAV", 0.5, 44100, 2);
}

TEST_F(ConversionTest, DecodeStoppedByACloseRequestKeepsAFinishedPartialWav) {
    const std::string source = dir + "long.mp3";
    apptest::makeMp3(source, 300.0);
    TForm1& f = makeForm(source);
    bool closed = false;
    QTimer closer;
    closer.setInterval(1);
    QObject::connect(&closer, &QTimer::timeout, [&] {
        if (!closed && f.Engine.Busy && f.Image2->width() > 20) {
            closed = true;
            f.close();
        }
    });
    closer.start();
    tick();

    ASSERT_TRUE(closed);
    EXPECT_EQ(status(), "Done");
    EXPECT_FALSE(f.Engine.Busy);
    const std::string target = decodedDir + "/long.WAV";
    expectHeaderFitsFile(target);
    const apptest::Audio partial = apptest::analyse(target);
    EXPECT_EQ(partial.rate, 44100);
    EXPECT_GT(partial.seconds, 1.0);
    EXPECT_LT(partial.seconds, 275.0);
}

TEST_F(ConversionTest, DecodeWriteFailureMidFileIsAnErrorAndTheBatchGoesOn) {
    const std::string source = dir + "long.mp3";
    const std::string next = dir + "next.wav";
    apptest::makeMp3(source, 5.0);
    apptest::makeWav(next, 0.3);
    TForm1& f = makeForm(source);
    f.QueueFile(next);
    ASSERT_TRUE(app::CreateTargetDirectory(decodedDir));

    {
        // Writes past 64 KiB fail as on a full disk.
        testenv::FileSizeLimit full(65536);
        tick();
    }

    // A decode shows no box for its errors, but for a write that failed, which
    // the user hears of as from an encode, over the window.
    EXPECT_EQ(status(), "Error encountered");
    EXPECT_FALSE(f.Engine.Busy);
    ASSERT_EQ(fake.dialogs->shown.size(), 1u);
    EXPECT_EQ(fake.dialogs->shown[0].text,
              "Error occured: Write fail!\n while operating with: long.mp3");
    EXPECT_EQ(fake.dialogs->shown[0].owner, &f);
    // The samples written before the disk filled are kept under a header that
    // describes them, so every reader sees them.
    const std::string partial = decodedDir + "/long.WAV";
    EXPECT_LE(apptest::fileSize(partial), 65536);
    EXPECT_GT(apptest::fileSize(partial), 44 + 4 * 1152);
    expectHeaderFitsFile(partial);
    EXPECT_EQ(apptest::capture("soxi -s " + apptest::quoted(partial)),
              std::to_string((apptest::fileSize(partial) - 44) / 4) + "\n");
    EXPECT_GT(apptest::analyse(partial).seconds, 0.05);
    tick();
    apptest::expectTone(encodedDir + "/next.MP3", 0.3, 44100, 2);
}
