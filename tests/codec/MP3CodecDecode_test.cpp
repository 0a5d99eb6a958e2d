// The decode side of TMP3Codec, driven as a batch job drives it: open, steps with
// events processed before and after each, close. Real decodes through xaudio.so are
// compared sample for sample with the mpg123 tool; the player's protocol (Play sent
// again, refusals, the end) is checked against a stand-in library.

#include <gtest/gtest.h>

#include <ctime>
#include <map>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

#include "DecodeFixtures.h"
#include "DecodeTestApp.h"
#include "TestEnv.h"
#include "codec/MP3Codec.h"
#include "platform/RuntimeLibrary.h"

using codec::TMP3Codec;
using namespace decodetest;

namespace {

struct Source {
    uint32_t rate;
    uint16_t channels;
    double seconds;
    const char* lameArgs;
};

// MP3 files made once per process.
const std::string& mp3(const std::string& key) {
    static const std::map<std::string, Source> sources = {
        {"mono22", {22050, 1, 2.0, "-b 64"}},
        {"stereo44", {44100, 2, 2.0, "-b 128"}},
        {"tagged", {44100, 2, 1.5, "-b 160 --tt Title --ta Artist --add-id3v2"}},
        {"vbr", {44100, 2, 3.0, "-V 2"}},
        // Ten minutes that decode in a fraction of a second: long enough to stop
        // midway whatever the machine's speed.
        {"long", {22050, 1, 600.0, "-b 32 -q 9"}},
    };
    static std::map<std::string, std::string> made;
    if (auto it = made.find(key); it != made.end()) {
        return it->second;
    }
    const Source& s = sources.at(key);
    const std::string path = testenv::makeDir("decode-sources") + "/" + key + ".mp3";
    EXPECT_TRUE(encodeMp3(sine(s.rate, s.channels, s.seconds, 440.0), path, s.lameArgs));
    return made[key] = path;
}

std::string out(const std::string& name) {
    static const std::string dir = testenv::makeDir("decoded") + "/";
    return dir + name;
}

struct JobRun {
    int code = -1;
    std::vector<uint16_t> progress;
    int steps = 0;
};

// One decode job: open, then while the code is 0 and `stopAfter` steps have not been
// taken, process events, step, process events; close in every case.
JobRun runDecode(TMP3Codec& codec, const std::string& source, const std::string& target,
                 int stopAfter = -1, int timeoutMs = 30000) {
    JobRun run;
    run.code = codec.OpenDecode(source, target);
    QElapsedTimer timer;
    timer.start();
    while (run.code == 0 && run.steps != stopAfter) {
        if (timer.elapsed() > timeoutMs) {
            ADD_FAILURE() << "the decode did not end";
            break;
        }
        QCoreApplication::processEvents();
        uint16_t progress = 0xFFFF;
        run.code = codec.DecodeStep(progress);
        ++run.steps;
        if (run.code == 0) {
            run.progress.push_back(progress);
        }
        QCoreApplication::processEvents();
    }
    EXPECT_EQ(codec.CloseDecode(), 0);
    return run;
}

// The size of the INFO "LIST" and "ID3 " chunks a tagged source adds after the data
// chunk of `path`, which the header's data size leaves out; -1 when anything else
// follows the data.
off_t tagChunkBytes(const std::string& path, uint32_t dataSize) {
    const std::string bytes = testenv::readFile(path);
    std::size_t at = 44 + std::size_t(dataSize);
    at += at & 1;
    while (at + 8 <= bytes.size()) {
        const std::string id = bytes.substr(at, 4);
        if (id != "LIST" && id != "ID3 ") {
            return -1;
        }
        const auto* p = reinterpret_cast<const uint8_t*>(bytes.data() + at + 4);
        const std::size_t len = p[0] | p[1] << 8 | p[2] << 16 | std::size_t(p[3]) << 24;
        at += 8 + len + (len & 1);
    }
    return at == bytes.size() || bytes.size() == 44 + std::size_t(dataSize)
               ? off_t(bytes.size() - 44 - dataSize)
               : -1;
}

void expectHeaderFor(const std::string& path, uint16_t channels, uint32_t rate) {
    Header44 h;
    ASSERT_TRUE(readHeader44(path, h));
    const off_t size = fileSize(path);
    const off_t tags = tagChunkBytes(path, h.dataSize);
    ASSERT_GE(tags, 0) << "only tag chunks may follow the data";
    EXPECT_EQ(h.riff, "RIFF");
    EXPECT_EQ(h.riffSize, uint32_t(size - 8));
    EXPECT_EQ(h.wave, "WAVE");
    EXPECT_EQ(h.fmt, "fmt ");
    EXPECT_EQ(h.fmtSize, 16u);
    EXPECT_EQ(h.formatTag, 1);
    EXPECT_EQ(h.channels, channels);
    EXPECT_EQ(h.rate, rate);
    EXPECT_EQ(h.byteRate, rate * 2 * channels);
    EXPECT_EQ(h.blockAlign, 2 * channels);
    EXPECT_EQ(h.bits, 16);
    EXPECT_EQ(h.data, "data");
    EXPECT_EQ(h.dataSize, uint32_t(size - 44 - tags));
}

class MP3CodecDecode : public ::testing::Test {
protected:
    void SetUp() override { ensureApplication(); }
};

} // namespace

TEST_F(MP3CodecDecode, MonoLowRateStreamBecomesAWavDescribingIt) {
    TMP3Codec codec;
    ASSERT_EQ(codec.InitDecoder(testenv::appDir()), 0);
    const std::string target = out("mono.wav");
    JobRun run = runDecode(codec, mp3("mono22"), target);
    EXPECT_EQ(run.code, 8);
    expectHeaderFor(target, 1, 22050);
    Header44 h;
    readHeader44(target, h);
    EXPECT_EQ(h.byteRate, 44100u);
    EXPECT_EQ(h.blockAlign, 2);

    Pcm reference;
    ASSERT_TRUE(referenceDecode(mp3("mono22"), reference));
    std::vector<int16_t> pcm = samplesAfter44(target);
    EXPECT_EQ(pcm, reference.samples);
    EXPECT_NEAR(double(pcm.size()) / 22050, 2.0, 0.06);
    EXPECT_NEAR(toneFrequency(pcm, 1, 0, 22050), 440.0, 5.0);

    ASSERT_FALSE(run.progress.empty());
    EXPECT_TRUE(std::is_sorted(run.progress.begin(), run.progress.end()));
    EXPECT_LE(run.progress.back(), 100);
}

TEST_F(MP3CodecDecode, StereoTaggedAndVariableRateStreamsMatchMpg123) {
    TMP3Codec codec;
    ASSERT_EQ(codec.InitDecoder(""), 0);
    for (const char* key : {"stereo44", "tagged", "vbr"}) {
        SCOPED_TRACE(key);
        const std::string target = out(std::string(key) + ".wav");
        EXPECT_EQ(runDecode(codec, mp3(key), target).code, 8);
        expectHeaderFor(target, 2, 44100);
        Pcm reference;
        ASSERT_TRUE(referenceDecode(mp3(key), reference));
        Header44 h;
        ASSERT_TRUE(readHeader44(target, h));
        std::vector<int16_t> pcm = samplesAfter44(target);
        pcm.resize(h.dataSize / 2); // the tagged source's tags follow the samples
        EXPECT_EQ(pcm, reference.samples);
        EXPECT_NEAR(toneFrequency(pcm, 2, 0, 44100), 440.0, 5.0);
        EXPECT_NEAR(toneFrequency(pcm, 2, 1, 44100), 660.0, 5.0);
        // What the job reads back with the program's own reader.
        Pcm viaReader;
        ASSERT_TRUE(readWav(target, viaReader));
        EXPECT_EQ(viaReader.samples.size(), reference.samples.size());
    }
}

TEST_F(MP3CodecDecode, ACancelledDecodeGetsAHeaderForWhatWasDecoded) {
    TMP3Codec codec;
    const std::string target = out("cancelled.wav");
    JobRun run = runDecode(codec, mp3("long"), target, /*stopAfter=*/2);
    EXPECT_EQ(run.code, 0);
    // CloseDecode has closed the output: nothing is written after it.
    EXPECT_FALSE(fileOpenInProcess(target));
    const off_t size = fileSize(target);
    QThread::msleep(150);
    EXPECT_EQ(fileSize(target), size);

    expectHeaderFor(target, 1, 22050);
    Pcm reference;
    ASSERT_TRUE(referenceDecode(mp3("long"), reference));
    std::vector<int16_t> pcm = samplesAfter44(target);
    ASSERT_LT(pcm.size(), reference.samples.size()) << "the decode was not cut midway";
    EXPECT_TRUE(std::equal(pcm.begin(), pcm.end(), reference.samples.begin()));

    // The codec and its player are ready for the next file at once.
    EXPECT_EQ(runDecode(codec, mp3("mono22"), out("after-cancel.wav")).code, 8);
    expectHeaderFor(out("after-cancel.wav"), 1, 22050);
}

TEST_F(MP3CodecDecode, ACancelBeforeThePlayerReportedPlayingStillClosesTheOutputFirst) {
    TMP3Codec codec;
    const std::string target = out("cancel-at-once.wav");
    ASSERT_EQ(codec.OpenDecode(mp3("long"), target), 0);
    uint16_t progress = 0;
    ASSERT_EQ(codec.DecodeStep(progress), 0); // sends Play; no event processed since
    QThread::msleep(5);
    EXPECT_EQ(codec.CloseDecode(), 0);
    const off_t size = fileSize(target);
    QThread::msleep(150);
    EXPECT_EQ(fileSize(target), size) << "the player kept writing after the header";
    expectHeaderFor(target, 1, 22050);
    processEventsFor(50);
}

// A source the player refuses is a decode error; a WAV it cannot create is a
// write failure, as on the encode side.
TEST_F(MP3CodecDecode, RefusedCommandsEndWithTheirCodeAndLeaveNoEmptyTarget) {
    TMP3Codec codec;
    const std::string blocker = out("plain-file");
    testenv::writeFile(blocker, "x");
    struct Row {
        std::string source, target;
        int code;
    };
    for (const Row& row : {Row{out("missing.mp3"), out("from-missing.wav"), 25},
                           Row{mp3("stereo44"), blocker + "/cannot-exist.wav", 7}}) {
        SCOPED_TRACE(row.target);
        JobRun run = runDecode(codec, row.source, row.target);
        EXPECT_EQ(run.code, row.code);
        // The blank header area the decoder created holds no audio: it is gone.
        EXPECT_EQ(fileSize(row.target), -1);
    }
    EXPECT_EQ(fileSize(blocker + "/cannot-exist.wav"), -1);

    // A disk that fills during the decode: a write failure, and the samples written
    // stay readable under a header that describes them.
    const std::string longMp3 = mp3("long");
    JobRun full;
    {
        testenv::FileSizeLimit limit(65536);
        full = runDecode(codec, longMp3, out("disk-full.wav"));
    }
    EXPECT_EQ(full.code, 7);
    EXPECT_GT(fileSize(out("disk-full.wav")), 44 + 4 * 1152);
    expectHeaderFor(out("disk-full.wav"), 1, 22050);

    // After a refusal the next decode starts clean.
    EXPECT_EQ(runDecode(codec, mp3("mono22"), out("after-refusal.wav")).code, 8);
}

TEST_F(MP3CodecDecode, ATargetThatCannotBeReplacedIsCodeThreeAndNothingIsRewritten) {
    TMP3Codec codec;
    const std::string finished = out("finished.wav");
    ASSERT_EQ(runDecode(codec, mp3("mono22"), finished).code, 8);
    const std::string before = testenv::readFile(finished);

    const std::string directory = testenv::makeDir("decoded/a-directory.wav");
    JobRun run = runDecode(codec, mp3("mono22"), directory);
    EXPECT_EQ(run.code, 3);
    EXPECT_EQ(run.steps, 0);
    EXPECT_EQ(testenv::readFile(finished), before) << "the previous target was touched";

    if (geteuid() != 0) {
        const std::string readOnly = out("read-only.wav");
        testenv::writeFile(readOnly, "keep");
        chmod(readOnly.c_str(), 0444);
        EXPECT_EQ(runDecode(codec, mp3("mono22"), readOnly).code, 3);
        EXPECT_EQ(testenv::readFile(readOnly), "keep");
    }

    // A writable target is replaced.
    const std::string existing = out("existing.wav");
    testenv::writeFile(existing, std::string(100000, 'z'));
    EXPECT_EQ(runDecode(codec, mp3("mono22"), existing).code, 8);
    EXPECT_EQ(testenv::readFile(existing), before);
}

TEST_F(MP3CodecDecode, TheHeaderIsNeverWrittenIntoAFileThatDisappeared) {
    TMP3Codec codec;
    const std::string target = out("vanishing.wav");
    ASSERT_EQ(codec.OpenDecode(mp3("mono22"), target), 0);
    int code = 0;
    ASSERT_TRUE(processEventsUntil([&] {
        uint16_t progress = 0;
        code = codec.DecodeStep(progress);
        return code != 0;
    }));
    EXPECT_EQ(code, 8);
    ASSERT_EQ(unlink(target.c_str()), 0);
    EXPECT_EQ(codec.CloseDecode(), 0);
    EXPECT_EQ(fileSize(target), -1);
}

TEST_F(MP3CodecDecode, APausedPlayerIsSentPlayAgainAndTheDecodeCompletes) {
    TMP3Codec codec;
    const std::string target = out("paused.wav");
    bool paused = false;
    // Watch the states the codec is told of.
    std::vector<int> states;
    auto handler = codec.XaudioPlayer()->OnNotifyPlayerState;
    codec.XaudioPlayer()->OnNotifyPlayerState = [&](codec::TXaudioPlayer* sender, int state) {
        states.push_back(state);
        handler(sender, state);
    };
    ASSERT_EQ(codec.OpenDecode(mp3("long"), target), 0);
    int code = 0;
    int steps = 0;
    ASSERT_TRUE(processEventsUntil([&] {
        uint16_t progress = 0;
        code = codec.DecodeStep(progress);
        if (++steps == 2) {
            codec.XaudioPlayer()->Pause(); // the player reports state 2 mid-stream
            paused = true;
        }
        return code != 0;
    }));
    codec.CloseDecode();
    EXPECT_TRUE(paused);
    EXPECT_EQ(code, 8);
    ASSERT_GE(states.size(), 4u);
    EXPECT_EQ(std::vector<int>(states.begin(), states.begin() + 4), (std::vector<int>{1, 2, 1, 3}));
    Pcm reference;
    ASSERT_TRUE(referenceDecode(mp3("long"), reference));
    EXPECT_EQ(samplesAfter44(target), reference.samples);
}

// Input the decoder refuses, or that holds no single frame of audio, ends with 25
// ("General decode error!") and leaves no file; what can be decoded ends with 8.
// Nothing blocks, a FIFO included.
TEST_F(MP3CodecDecode, BadInputEndsWithCode25AndDecodableInputWith8InBoundedTime) {
    TMP3Codec codec;
    const std::string dir = testenv::makeDir("bad-input") + "/";
    const std::string valid = testenv::readFile(mp3("stereo44"));
    auto id3 = [](uint32_t size) {
        std::string tag = std::string("ID3\x03\x00\x00", 6);
        for (int shift : {21, 14, 7, 0}) {
            tag.push_back(char((size >> shift) & 0x7F));
        }
        return tag;
    };
    const uint32_t tagSize = 3 * 1024 * 1024;
    testenv::writeFile(dir + "huge-tag.mp3", id3(tagSize) + std::string(tagSize, '\0') + valid);
    testenv::writeFile(dir + "tag-past-end.mp3", id3(tagSize) + std::string(1000, '\0'));
    testenv::writeFile(dir + "truncated.mp3", valid.substr(0, valid.size() / 2 + 3));
    testenv::writeFile(dir + "empty.mp3", "");
    std::mt19937 random(7);
    std::string noise(100000, '\0');
    for (char& c : noise) {
        c = char(random());
    }
    testenv::writeFile(dir + "random.mp3", noise);
    writeWav(dir + "renamed-wave.mp3", sine(44100, 2, 1.0, 440.0));
    ASSERT_TRUE(encodeMp3(sine(44100, 2, 0.0, 440.0), dir + "no-audio.mp3", "-b 128"));
    ASSERT_EQ(mkfifo((dir + "fifo.mp3").c_str(), 0600), 0);
    testenv::makeDir("bad-input/folder.mp3");

    const std::pair<const char*, int> rows[] = {
        {"missing.mp3", 25},  {"folder.mp3", 25},       {"fifo.mp3", 25},
        {"empty.mp3", 25},    {"random.mp3", 25},       {"renamed-wave.mp3", 25},
        {"no-audio.mp3", 25}, {"tag-past-end.mp3", 25}, {"truncated.mp3", 8},
        {"huge-tag.mp3", 8},
    };
    for (const auto& [name, code] : rows) {
        SCOPED_TRACE(name);
        const std::string target = dir + name + ".wav";
        QElapsedTimer timer;
        timer.start();
        JobRun run = runDecode(codec, dir + name, target, -1, 10000);
        EXPECT_LT(timer.elapsed(), 10000);
        EXPECT_EQ(run.code, code);
        if (code == 25) {
            EXPECT_EQ(fileSize(target), -1);
            continue;
        }
        Pcm reference;
        ASSERT_TRUE(referenceDecode(dir + name, reference));
        EXPECT_EQ(samplesAfter44(target), reference.samples);
        expectHeaderFor(target, 2, 44100);
    }
}

TEST_F(MP3CodecDecode, TheUserInterfaceThreadSleepsWhileThePlayerDecodes) {
    TMP3Codec codec;
    const std::string source = mp3("long"); // made before the measurement
    timespec cpu0{}, cpu1{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu0);
    QElapsedTimer wall;
    wall.start();
    JobRun run = runDecode(codec, source, out("long.wav"));
    const double wallSeconds = wall.nsecsElapsed() / 1e9;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu1);
    const double cpuSeconds =
        double(cpu1.tv_sec - cpu0.tv_sec) + double(cpu1.tv_nsec - cpu0.tv_nsec) / 1e9;
    EXPECT_EQ(run.code, 8);
    // A loop that spun would step thousands of times a second and use this thread's
    // whole share of a core; each step waits for the player's next notification
    // (about every 50 ms) for at most 10 ms.
    EXPECT_LT(run.steps, wallSeconds * 250 + 20)
        << run.steps << " steps in " << wallSeconds << " s";
    EXPECT_LT(cpuSeconds, 0.5 * wallSeconds)
        << cpuSeconds << " s of cpu in " << wallSeconds << " s, " << run.steps << " steps";
}

// ---- The player's protocol, against a stand-in library -----------------------------

namespace {

struct FakeXaudio {
    FakeXaudio()
        : path(testenv::appDir() + "testlibs/xaudio_3_8.so"),
          library(path, {"fake_log", "fake_clear_log", "fake_post"}) {
        EXPECT_TRUE(library.isLoaded()) << library.error();
        library.entry<void (*)()>("fake_clear_log")();
    }
    std::string log() const {
        std::string all = library.entry<const char* (*)()>("fake_log")();
        library.entry<void (*)()>("fake_clear_log")();
        return all;
    }
    void post(uint32_t code, std::vector<uint8_t> data) const {
        data.resize(12);
        using Post = int (*)(uint32_t, const uint8_t*, const char*, const char*, const char*,
                             const void*, const void*);
        library.entry<Post>("fake_post")(code, data.data(), nullptr, nullptr, nullptr, nullptr,
                                         nullptr);
        processEventsFor(20);
    }
    void state(uint8_t s) const { post(78, {s}); }
    std::string path;
    platform::RuntimeLibrary library;
};

} // namespace

TEST_F(MP3CodecDecode, FollowsThePlayersStatesAsTheyAreReported) {
    FakeXaudio fake;
    TMP3Codec codec;
    codec.XaudioPlayer()->XaudioPath = fake.path;
    ASSERT_EQ(codec.InitDecoder(""), 0);
    fake.log();
    const std::string target = out("protocol.wav");
    uint16_t progress = 0;

    ASSERT_EQ(codec.OpenDecode("/music/in.mp3", target), 0);
    EXPECT_EQ(fake.log(), "S 8 '/music/in.mp3'\nS 17 '" + target + "'\n");
    EXPECT_EQ(codec.DecodeStep(progress), 0);
    EXPECT_EQ(fake.log(), "N 4\n") << "the first step starts the player";
    fake.state(1);
    fake.post(112, {0x22, 0x56, 0, 0, 64, 0, 1}); // 22050 Hz, 64 kbit/s, mono
    fake.post(85, {250, 0, 0, 0, 0xE8, 0x03});    // 250 of 1000
    EXPECT_EQ(codec.DecodeStep(progress), 0);
    EXPECT_EQ(progress, 25);
    EXPECT_EQ(fake.log(), "");
    for (uint8_t state : {2, 0, 7}) {
        fake.state(state);
        EXPECT_EQ(codec.DecodeStep(progress), 0);
        EXPECT_EQ(fake.log(), "N 4\n") << "state " << int(state) << " is sent Play again";
        fake.state(1);
        EXPECT_EQ(codec.DecodeStep(progress), 0);
        EXPECT_EQ(fake.log(), "");
    }
    fake.post(85, {0x10, 0x27, 0, 0, 0x10, 0x27}); // 10000 of 10000
    // The player writes every sample before it reports the end.
    testenv::writeFile(target, std::string(44 + 400, '\x01'));
    fake.state(3);
    EXPECT_EQ(fake.log(), "N 18\nN 9\n") << "the end closes the output, then the input";
    progress = 0;
    EXPECT_EQ(codec.DecodeStep(progress), 8);
    EXPECT_EQ(progress, 0) << "progress is left alone at the end";
    EXPECT_EQ(codec.DecodeStep(progress), 8);

    EXPECT_EQ(codec.CloseDecode(), 0);
    EXPECT_EQ(fake.log(), "N 18\nN 9\nN 22\n");
    expectHeaderFor(target, 1, 22050);
}

TEST_F(MP3CodecDecode, ANackMidStreamKeepsTheSamplesUnderAHeaderThatDescribesThem) {
    FakeXaudio fake;
    TMP3Codec codec;
    codec.XaudioPlayer()->XaudioPath = fake.path;
    const std::string target = out("nacked.wav");
    uint16_t progress = 0;
    ASSERT_EQ(codec.OpenDecode("in.mp3", target), 0);
    // As a decoder leaves a file when the disk fills: the blank header area, 25
    // whole stereo frames and part of the next.
    testenv::writeFile(target, std::string(44, '\0') + std::string(100 + 3, '\x01'));
    EXPECT_EQ(codec.DecodeStep(progress), 0);
    fake.state(1);
    fake.post(112, {0x44, 0xAC, 0, 0, 128, 0, 2}); // 44100 Hz, 128 kbit/s, stereo
    fake.post(75, {4, 0, 0xF1, 0xFF});             // Play refused
    EXPECT_EQ(codec.DecodeStep(progress), 25);
    EXPECT_EQ(codec.DecodeStep(progress), 25);
    fake.log();
    EXPECT_EQ(codec.CloseDecode(), 0);
    EXPECT_EQ(fake.log(), "N 18\nN 9\nN 22\n");
    // The partial frame is cut; the header counts the 100 bytes of whole frames.
    expectHeaderFor(target, 2, 44100);
    EXPECT_EQ(fileSize(target), 144);
    EXPECT_EQ(testenv::readFile(target).substr(44), std::string(100, '\x01'));

    // A refusal before any sample: a blank file this decode created is removed, but
    // one that was there before the decode (here put back by hand after the open)
    // and holds anything else stays.
    ASSERT_EQ(codec.OpenDecode("in.mp3", target), 0);
    testenv::writeFile(target, std::string(44, '\0'));
    EXPECT_EQ(codec.DecodeStep(progress), 0);
    fake.post(75, {4, 0, 0xF1, 0xFF});
    EXPECT_EQ(codec.CloseDecode(), 0);
    EXPECT_EQ(fileSize(target), -1);
    ASSERT_EQ(codec.OpenDecode("in.mp3", target), 0);
    testenv::writeFile(target, "user's own bytes");
    EXPECT_EQ(codec.DecodeStep(progress), 0);
    fake.post(75, {4, 0, 0xF1, 0xFF});
    EXPECT_EQ(codec.CloseDecode(), 0);
    EXPECT_EQ(testenv::readFile(target), "user's own bytes");
}

TEST_F(MP3CodecDecode, ClosingWithoutADecodeOnlyResetsTheOutput) {
    FakeXaudio fake;
    TMP3Codec codec;
    codec.XaudioPlayer()->XaudioPath = fake.path;
    EXPECT_EQ(codec.CloseDecode(), 0);
    EXPECT_EQ(fake.log(), "get_version 2\nplayer_new\nN 22\n");
}

TEST_F(MP3CodecDecode, AMissingOrWrongLibraryRaisesFromInitAndOpen) {
    TMP3Codec codec;
    codec.XaudioPlayer()->XaudioPath = testenv::root() + "none/xaudio.so";
    EXPECT_THROW(codec.InitDecoder(""), codec::EXaudioException);
    EXPECT_THROW(codec.OpenDecode(mp3("mono22"), out("never.wav")), codec::EXaudioException);
    TMP3Codec other;
    other.XaudioPlayer()->XaudioPath = testenv::appDir() + "testlibs/xaudio_3_7.so";
    try {
        other.InitDecoder("");
        ADD_FAILURE() << "nothing raised";
    } catch (const codec::EXaudioException& e) {
        EXPECT_STREQ(e.what(), "Xaudio DLL API Mismatch\nExpected 3.8, Got 3.7");
    }
}
