// The file codec's encode side: result codes, the record it fills, the samples it
// hands to the encoder (through a recording stand-in library), and real WAV -> MP3
// conversions through lame.so checked with ffmpeg.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

#include "AudioCheck.h"
#include "TestEnv.h"
#include "codec/MP3Codec.h"
#include "codec/WavFormat.h"
#include "platform/Paths.h"

namespace {

using namespace audiocheck;
using codec::TMP3Codec;

const char* const kFakeEnv[] = {"FAKE_LAME_SAMPLES", "FAKE_LAME_INIT_RESULT", "FAKE_LAME_FAIL_AT",
                                "FAKE_LAME_BYTES",   "FAKE_LAME_RECORD",      "FAKE_LAME_LOG",
                                "FAKE_LAME_CONFIG"};

struct EncodeRun {
    int open = -1;
    int last = -1;
    int close = -1;
    int steps = 0;
    std::vector<std::uint16_t> progress;
};

// Runs one encode as a job does: open; steps while 0; close whenever open gave 0.
EncodeRun encode(TMP3Codec& codec, const std::string& source, const std::string& target) {
    EncodeRun r;
    r.open = codec.OpenEncode(source, target);
    if (r.open != 0) {
        return r;
    }
    std::uint16_t progress = 0;
    int code = 0;
    while (code == 0 && r.steps < 100000) {
        code = codec.EncodeStep(progress);
        ++r.steps;
        if (code == 0) {
            r.progress.push_back(progress);
        }
    }
    r.last = code;
    r.close = codec.CloseEncode();
    return r;
}

class MP3CodecEncode : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ =
            testenv::makeDir(::testing::UnitTest::GetInstance()->current_test_info()->name()) + "/";
        for (const char* name : kFakeEnv) {
            unsetenv(name);
        }
    }
    void TearDown() override {
        for (const char* name : kFakeEnv) {
            unsetenv(name);
        }
    }

    std::string path(const std::string& name) const { return dir_ + name; }

    std::string writeWav(const std::string& name, const std::string& bytes) {
        testenv::writeFile(path(name), bytes);
        return path(name);
    }

    // The codec over the recording stand-in; its log and recorded samples in dir_.
    void useFake(TMP3Codec& codec, int samplesPerChunk = 2304) {
        setenv("FAKE_LAME_SAMPLES", std::to_string(samplesPerChunk).c_str(), 1);
        setenv("FAKE_LAME_RECORD", path("recorded.raw").c_str(), 1);
        setenv("FAKE_LAME_LOG", path("calls.log").c_str(), 1);
        codec.EncoderLibraryName = "fake_lame.so";
        ASSERT_EQ(codec.LoadEncoder(platform::programDir()), 0);
    }

    std::vector<std::int16_t> recorded() const {
        std::string raw = testenv::readFile(path("recorded.raw"));
        std::vector<std::int16_t> v;
        for (std::size_t i = 0; i + 1 < raw.size(); i += 2) {
            v.push_back(static_cast<std::int16_t>(get16(raw, i)));
        }
        return v;
    }

    // The value counts of the encode calls, in order.
    std::vector<std::uint32_t> encodeCalls() const {
        std::istringstream in(testenv::readFile(path("calls.log")));
        std::vector<std::uint32_t> counts;
        std::string what;
        std::uint32_t n = 0;
        while (in >> what >> n) {
            if (what == "encode") {
                counts.push_back(n);
            }
        }
        return counts;
    }

    std::string dir_;
};

TEST(CodecErrorText, HasTheTwentySevenTexts) {
    const char* expected[27] = {"Ok",
                                "Unable to load DLL",
                                "Unable to init DLL",
                                "Unable to overwrite target file!",
                                "Unable to init stream!",
                                "Unable to read WAV data!",
                                "Chunk encode fail!",
                                "Write fail!",
                                "Encode done",
                                "DLL not loaded!",
                                "DLL not loaded!",
                                "DLL not loaded!",
                                "Error 12",
                                "Error 13",
                                "Error 14",
                                "Bad WAV format!",
                                "Error 16",
                                "Error 17",
                                "Error 18",
                                "Error 19",
                                "Error 20",
                                "Error 21",
                                "Error 22",
                                "Error 23",
                                "Error 24",
                                "General decode error!",
                                "Error 26"};
    ASSERT_EQ(codec::CodecErrorText.size(), 27u);
    for (int i = 0; i < 27; ++i) {
        EXPECT_STREQ(codec::CodecErrorText[i], expected[i]) << i;
        EXPECT_STREQ(codec::CodecResultText(i), expected[i]) << i;
    }
    EXPECT_STREQ(codec::CodecResultText(27), "");
    EXPECT_STREQ(codec::CodecResultText(-1), "");
}

TEST(FileCodecRecord, BitrateForEachAcceptedRate) {
    const std::pair<std::uint32_t, std::uint32_t> table[] = {
        {8000, 64},  {11025, 64}, {12000, 64},  {16000, 64}, {22050, 64},
        {24000, 80}, {32000, 96}, {44100, 128}, {48000, 160}};
    for (auto [rate, bitrate] : table) {
        EXPECT_EQ(codec::BitrateForSampleRate(rate), bitrate) << rate;
    }
    EXPECT_EQ(codec::BitrateForSampleRate(96000), 0u);
}

TEST_F(MP3CodecEncode, FillsTheRecordAsTheDesignSays) {
    TMP3Codec codec;
    useFake(codec);
    setenv("FAKE_LAME_CONFIG", path("record.bin").c_str(), 1);
    std::string src = writeWav("a.wav", wavFile(32000, 1, 8, std::string(100, '\x80')));
    EncodeRun r = encode(codec, src, path("a.mp3"));
    ASSERT_EQ(r.open, 0);
    std::string rec = testenv::readFile(path("record.bin"));
    ASSERT_EQ(rec.size(), 331u);
    std::string expected;
    put32(expected, 256);
    put32(expected, 1);
    put32(expected, 331);
    put32(expected, 32000);
    put32(expected, 0);  // output rate
    put32(expected, 0);  // stereo, whatever the source's channels
    put32(expected, 96); // bitrate of the table
    expected += std::string(72 - 28, '\0');
    put32(expected, 9); // variable-rate quality
    put32(expected, 0); // average bitrate
    put32(expected, 1); // variable-rate method
    expected += std::string(331 - 84, '\0');
    // This stand-in lacks the tag-frame entry point, as an older library does: the
    // write variable-rate header field stays 0, so no placeholder frame is asked for.
    EXPECT_EQ(rec, expected);
}

// ---- Real conversions through lame.so --------------------------------------------

struct Conversion {
    const char* name;
    std::uint32_t rate;
    std::uint16_t channels;
    std::uint16_t bits;
    double seconds;
    double left, right; // tone of each channel (mono: left only)
    int bitrate;
};

class RealConversion : public MP3CodecEncode, public ::testing::WithParamInterface<Conversion> {};

TEST_P(RealConversion, DecodesToTheSameRateToneAndLength) {
    const Conversion& c = GetParam();
    std::vector<double> freqs = {c.left};
    if (c.channels == 2) {
        freqs.push_back(c.right);
    }
    std::string samples =
        c.bits == 16 ? bytes16(sine16(c.rate, c.seconds, freqs)) : sine8(c.rate, c.seconds, freqs);
    std::string src =
        writeWav(std::string(c.name) + ".wav", wavFile(c.rate, c.channels, c.bits, samples));
    std::string target = path(std::string(c.name) + ".mp3");

    TMP3Codec codec;
    ASSERT_EQ(codec.LoadEncoder(platform::programDir()), 0);
    EncodeRun r = encode(codec, src, target);
    ASSERT_EQ(r.open, 0);
    EXPECT_EQ(r.last, 8) << codec::CodecResultText(r.last);
    EXPECT_EQ(r.close, 0);
    ASSERT_FALSE(r.progress.empty());
    EXPECT_EQ(r.progress.back(), 100);

    std::string mp3 = testenv::readFile(target);
    auto fs = frames(mp3);
    ASSERT_FALSE(fs.empty());
    for (const auto& f : fs) {
        EXPECT_EQ(f.bitrate, c.bitrate);
        EXPECT_EQ(f.rate, c.rate);
        EXPECT_EQ(f.mode, 0) << "stereo mode";
    }

    Decoded d = decodeMp3(target);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.rate, c.rate);
    EXPECT_EQ(d.channels, 2) << "mono sources are widened to stereo";
    const std::size_t inputFrames = samples.size() / (c.channels * c.bits / 8);
    // The stream's LAME tag tells the decoder the encoder's delay and padding, so
    // nothing is added; the last source bytes under four are stepped over.
    EXPECT_GE(d.frames(), inputFrames - 3);
    EXPECT_LE(d.frames(), inputFrames);
    EXPECT_EQ(fs[0].offset, 0u);
    EXPECT_NE(mp3.substr(0, fs[0].length).find("Info"), std::string::npos) << "tag frame first";
    EXPECT_NEAR(toneFrequency(d.channel(0), c.rate), c.left, c.left / 100);
    double right = c.channels == 2 ? c.right : c.left;
    EXPECT_NEAR(toneFrequency(d.channel(1), c.rate), right, right / 100);
}

INSTANTIATE_TEST_SUITE_P(
    Sources, RealConversion,
    ::testing::Values(Conversion{"stereo16_44100", 44100, 2, 16, 3.0, 440, 660, 128},
                      Conversion{"mono8_22050", 22050, 1, 8, 2.0, 500, 0, 64},
                      Conversion{"stereo16_8000", 8000, 2, 16, 2.0, 300, 500, 64},
                      Conversion{"mono16_48000", 48000, 1, 16, 2.0, 1000, 0, 160},
                      Conversion{"stereo8_16000", 16000, 2, 8, 1.0, 400, 600, 64},
                      Conversion{"mono16_11025", 11025, 1, 16, 1.0, 350, 0, 64},
                      Conversion{"mono16_12000", 12000, 1, 16, 1.0, 350, 0, 64},
                      Conversion{"stereo16_24000", 24000, 2, 16, 1.0, 440, 880, 80},
                      Conversion{"stereo16_32000", 32000, 2, 16, 1.0, 440, 880, 96}),
    [](const auto& info) { return std::string(info.param.name); });

// WAVs as ffmpeg writes them: its tags go in a LIST chunk before the data, and
// other codings than PCM must not reach the encoder. ffmpeg judges the MP3s.
TEST_F(MP3CodecEncode, WavsWrittenByFfmpegKeepTheirLengthAndChannels) {
    const std::string tone =
        writeWav("tone.wav", wavFile(44100, 2, 16, bytes16(sine16(44100, 1.0, {440.0, 660.0}))));
    struct Row {
        const char* name;
        std::string options;
    } rows[] = {
        {"long-title", "-metadata title=" + std::string(12000, 't')},
        {"bigdata", "-metadata title=Bigdata"},
        {"data-xy", "-metadata 'title=data xy'"},
        // Not PCM: never read as PCM (noise), but decoded by the FFmpeg reader.
        {"alaw", "-c:a pcm_alaw"},
        {"mulaw", "-c:a pcm_mulaw"},
    };
    TMP3Codec codec;
    ASSERT_EQ(codec.LoadEncoder(platform::programDir()), 0);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string source = path(std::string(row.name) + ".wav");
        const std::string target = path(std::string(row.name) + ".mp3");
        ASSERT_EQ(testenv::run("ffmpeg -nostdin -v error -y -i '" + tone + "' " + row.options +
                               " '" + source + "'"),
                  0);
        EncodeRun r = encode(codec, source, target);
        ASSERT_EQ(r.open, 0);
        EXPECT_EQ(r.last, 8) << codec::CodecResultText(r.last);
        Decoded d = decodeMp3(target);
        ASSERT_TRUE(d.ok);
        EXPECT_NEAR(double(d.frames()), 44100.0, 3.0);
        EXPECT_NEAR(toneFrequency(d.channel(0), 44100), 440.0, 4.4);
        EXPECT_NEAR(toneFrequency(d.channel(1), 44100), 660.0, 6.6);
    }
}

TEST_F(MP3CodecEncode, DataRunningOutEndsWithCodeFiveAndKeepsThePartialMp3) {
    std::string samples = bytes16(sine16(44100, 1.0, {440.0, 440.0}));
    std::string bytes = riff(fmtChunk(1, 2, 44100, 16));
    bytes += "data";
    put32(bytes, static_cast<std::uint32_t>(samples.size() * 2)); // claims twice as much
    bytes += samples;
    std::string src = writeWav("short.wav", bytes);

    TMP3Codec codec;
    ASSERT_EQ(codec.LoadEncoder(platform::programDir()), 0);
    EncodeRun r = encode(codec, src, path("short.mp3"));
    ASSERT_EQ(r.open, 0);
    EXPECT_EQ(r.last, 5);
    EXPECT_STREQ(codec::CodecResultText(r.last), "Unable to read WAV data!");
    EXPECT_EQ(r.close, 0);
    Decoded d = decodeMp3(path("short.mp3"));
    ASSERT_TRUE(d.ok) << "the partial MP3 stays and is flushed";
    EXPECT_GE(d.frames(), 44100u - 4);
    EXPECT_NEAR(toneFrequency(d.channel(0), 44100), 440.0, 4.4);
}

// ---- What reaches the encoder ------------------------------------------------------

TEST_F(MP3CodecEncode, EightBitValuesAreWidenedIntoBothChannels) {
    TMP3Codec codec;
    useFake(codec);
    std::string samples = std::string("\x80\x00\xff", 3) + std::string(2997, '\x80');
    EncodeRun r = encode(codec, writeWav("m8.wav", wavFile(22050, 1, 8, samples)), path("m8.mp3"));
    ASSERT_EQ(r.open, 0);
    EXPECT_EQ(r.last, 8);
    auto v = recorded();
    ASSERT_GE(v.size(), 6u);
    EXPECT_EQ(v[0], 0);
    EXPECT_EQ(v[1], 0);
    EXPECT_EQ(v[2], -32768);
    EXPECT_EQ(v[3], -32768);
    EXPECT_EQ(v[4], 32512);
    EXPECT_EQ(v[5], 32512);
}

TEST_F(MP3CodecEncode, StereoEightBitKeepsTheLeftSampleFirst) {
    TMP3Codec codec;
    useFake(codec);
    std::string samples;
    for (int i = 0; i < 500; ++i) {
        samples += std::string("\x00\xff", 2);
    }
    EncodeRun r = encode(codec, writeWav("s8.wav", wavFile(16000, 2, 8, samples)), path("s8.mp3"));
    ASSERT_EQ(r.open, 0);
    EXPECT_EQ(r.last, 8);
    auto v = recorded();
    ASSERT_GE(v.size(), 4u);
    for (std::size_t i = 0; i + 1 < v.size(); i += 2) {
        ASSERT_EQ(v[i], -32768) << i;
        ASSERT_EQ(v[i + 1], 32512) << i;
    }
}

TEST_F(MP3CodecEncode, MonoSixteenBitIsDuplicatedAndStereoPassesStraight) {
    TMP3Codec codec;
    useFake(codec);
    std::vector<std::int16_t> mono = {1, -2, 300, -32768, 32767, 0, 5, 6};
    EncodeRun r =
        encode(codec, writeWav("m16.wav", wavFile(8000, 1, 16, bytes16(mono))), path("m16.mp3"));
    EXPECT_EQ(r.last, 8);
    auto v = recorded();
    // 16 bytes of data: the first chunk takes 8 of them (a half, see ReadSamples).
    ASSERT_GE(v.size(), 8u);
    for (std::size_t f = 0; f < 4; ++f) {
        EXPECT_EQ(v[2 * f], mono[f]);
        EXPECT_EQ(v[2 * f + 1], mono[f]);
    }

    TMP3Codec straight;
    useFake(straight);
    std::remove(path("recorded.raw").c_str());
    std::vector<std::int16_t> stereo = {1, -1, 2, -2, 3, -3, 32767, -32768};
    r = encode(straight, writeWav("s16.wav", wavFile(44100, 2, 16, bytes16(stereo))),
               path("s16.mp3"));
    EXPECT_EQ(r.last, 8);
    EXPECT_EQ(recorded(), stereo);
}

TEST_F(MP3CodecEncode, SmallerSourcesAreReadToTheirLastFrame) {
    TMP3Codec codec;
    useFake(codec, 8); // chunks of 8 values = 4 stereo frames
    std::string samples;
    for (int i = 0; i < 37; ++i) {
        samples.push_back(static_cast<char>(i + 1));
    }
    EncodeRun r =
        encode(codec, writeWav("tail.wav", wavFile(22050, 1, 8, samples)), path("tail.mp3"));
    EXPECT_EQ(r.last, 8);
    // Whole chunks of 4 frames, then the last frame: none of the 37 is left out.
    std::vector<std::uint32_t> expected(9, 8);
    expected.push_back(2);
    EXPECT_EQ(encodeCalls(), expected);
    auto v = recorded();
    ASSERT_EQ(v.size(), 37u * 2);
    for (std::size_t i = 0; i < 37; ++i) {
        EXPECT_EQ(v[2 * i], (static_cast<int>(i + 1) - 128) * 256) << "in order, none skipped";
    }
}

TEST_F(MP3CodecEncode, StereoSixteenBitWithAPartialLastFrameEndsWithDone) {
    TMP3Codec codec;
    useFake(codec, 100);
    std::vector<std::int16_t> stereo(500, 7);
    std::string data = bytes16(stereo) + "xy"; // 1002 bytes: 250 frames and 2 stray bytes
    EncodeRun r = encode(codec, writeWav("odd.wav", wavFile(44100, 2, 16, data)), path("odd.mp3"));
    ASSERT_EQ(r.open, 0);
    EXPECT_EQ(r.last, 8) << "every whole frame encoded, the stray bytes stepped over";
    EXPECT_EQ(recorded(), stereo);
    auto calls = encodeCalls();
    ASSERT_GE(calls.size(), 2u);
    EXPECT_EQ(calls[calls.size() - 1], 0u);
    EXPECT_EQ(calls[calls.size() - 2], 0u);
}

TEST_F(MP3CodecEncode, ProgressByWholeHundredths) {
    TMP3Codec codec;
    useFake(codec, 100); // chunks of 200 bytes
    EncodeRun r =
        encode(codec, writeWav("p1000.wav", wavFile(44100, 2, 16, std::string(1000, '\0'))),
               path("p.mp3"));
    EXPECT_EQ(r.last, 8);
    EXPECT_EQ(r.progress, (std::vector<std::uint16_t>{20, 40, 60, 80, 100}));

    r = encode(codec, writeWav("p300.wav", wavFile(44100, 2, 16, std::string(300, '\0'))),
               path("p.mp3"));
    ASSERT_FALSE(r.progress.empty());
    EXPECT_EQ(r.progress.front(), 100) << "300 bytes or less: 100 after the first chunk";

    r = encode(codec, writeWav("p304.wav", wavFile(44100, 2, 16, std::string(304, '\0'))),
               path("p.mp3"));
    EXPECT_EQ(r.progress, (std::vector<std::uint16_t>{66, 101})) << "304 / 3 = 101";
}

TEST_F(MP3CodecEncode, ProgressIsLeftAloneAtTheEnd) {
    TMP3Codec codec;
    useFake(codec);
    ASSERT_EQ(codec.OpenEncode(writeWav("e.wav", wavFile(44100, 2, 16, std::string(400, '\0'))),
                               path("e.mp3")),
              0);
    std::uint16_t progress = 0;
    EXPECT_EQ(codec.EncodeStep(progress), 0);
    EXPECT_EQ(progress, 100);
    progress = 55;
    EXPECT_EQ(codec.EncodeStep(progress), 8);
    EXPECT_EQ(progress, 55);
    EXPECT_EQ(codec.CloseEncode(), 0);
}

// ---- Result codes ----------------------------------------------------------------

TEST_F(MP3CodecEncode, MissingLibraryIsReportedAtEveryStage) {
    TMP3Codec codec;
    EXPECT_EQ(codec.LoadEncoder(testenv::makeDir("no-library-here")), 1);
    EXPECT_FALSE(codec.EncoderLoaded());
    testenv::writeFile(path("old.mp3"), "old");
    std::string src = writeWav("a.wav", wavFile(44100, 2, 16, std::string(400, '\0')));
    EXPECT_EQ(codec.OpenEncode(src, path("old.mp3")), 9);
    EXPECT_FALSE(testenv::fileExists(path("old.mp3"))) << "the target is deleted first";
    std::uint16_t progress = 0;
    EXPECT_EQ(codec.EncodeStep(progress), 10);
    EXPECT_EQ(codec.CloseEncode(), 11);
}

TEST_F(MP3CodecEncode, LibraryLookedUpByABareNameMustExist) {
    TMP3Codec codec;
    codec.EncoderLibraryName = "no_such_encoder.so";
    EXPECT_EQ(codec.LoadEncoder(""), 1);
    EXPECT_EQ(codec.LoadEncoder(platform::programDir()), 1);
}

TEST_F(MP3CodecEncode, LibraryWithoutAllFourEntryPointsIsUnloaded) {
    TMP3Codec codec;
    codec.EncoderLibraryName = "lame_missing_entry.so";
    EXPECT_EQ(codec.LoadEncoder(platform::programDir()), 2);
    EXPECT_FALSE(codec.EncoderLoaded());
    std::string src = writeWav("a.wav", wavFile(44100, 2, 16, std::string(400, '\0')));
    EXPECT_EQ(codec.OpenEncode(src, path("a.mp3")), 9);
}

TEST_F(MP3CodecEncode, TheRealLibraryLoadsFromTheProgramDirectory) {
    TMP3Codec codec;
    EXPECT_EQ(codec.LoadEncoder(platform::programDir()), 0);
    EXPECT_EQ(codec.LoadEncoder(""), 0) << "a bare name is looked up in the program directory";
    EXPECT_TRUE(codec.EncoderLoaded());
}

TEST_F(MP3CodecEncode, ReadOnlyTargetIsKeptAndTheSourceNeverOpened) {
    TMP3Codec codec;
    useFake(codec);
    testenv::writeFile(path("keep.mp3"), "precious");
    ASSERT_EQ(chmod(path("keep.mp3").c_str(), 0444), 0);
    // The source does not exist: opening it would give 15.
    EXPECT_EQ(codec.OpenEncode(path("missing.wav"), path("keep.mp3")), 3);
    EXPECT_EQ(testenv::readFile(path("keep.mp3")), "precious");
    EXPECT_STREQ(codec::CodecResultText(3), "Unable to overwrite target file!");
}

TEST_F(MP3CodecEncode, TargetThatIsADirectoryCannotBeOverwritten) {
    TMP3Codec codec;
    useFake(codec);
    std::string src = writeWav("a.wav", wavFile(44100, 2, 16, std::string(400, '\0')));
    std::string target = testenv::makeDir(std::string("TargetDir/x.mp3"));
    EXPECT_EQ(codec.OpenEncode(src, target), 3);
}

TEST_F(MP3CodecEncode, WritableTargetIsDeletedEvenWhenTheSourceIsRejected) {
    TMP3Codec codec;
    useFake(codec);
    testenv::writeFile(path("old.mp3"), "old");
    // Neither the WAV reader nor FFmpeg makes audio of it.
    std::string src = writeWav("bad.wav", "RIFF" + std::string(400, 'x'));
    EXPECT_EQ(codec.OpenEncode(src, path("old.mp3")), 15);
    EXPECT_FALSE(testenv::fileExists(path("old.mp3")));
    EXPECT_EQ(codec.OpenEncode(path("missing.wav"), path("new.mp3")), 15)
        << "a source that cannot be opened fails like a bad header";
    EXPECT_FALSE(testenv::fileExists(path("new.mp3"))) << "no target is created";
    writeWav("trunc.wav", wavFile(44100, 2, 16, "").substr(0, 30));
    EXPECT_EQ(codec.OpenEncode(path("trunc.wav"), path("new.mp3")), 15);
}

TEST_F(MP3CodecEncode, StreamRefusedLeavesTheEmptyTarget) {
    TMP3Codec codec;
    useFake(codec);
    setenv("FAKE_LAME_INIT_RESULT", "2", 1);
    std::string src = writeWav("a.wav", wavFile(44100, 2, 16, std::string(400, '\0')));
    EXPECT_EQ(codec.OpenEncode(src, path("a.mp3")), 4);
    EXPECT_TRUE(testenv::fileExists(path("a.mp3")));
    EXPECT_EQ(testenv::readFile(path("a.mp3")), "");
    unsetenv("FAKE_LAME_INIT_RESULT");
    EXPECT_EQ(encode(codec, src, path("a.mp3")).last, 8) << "nothing stayed open";
}

TEST_F(MP3CodecEncode, ChunkRefusedEndsWithSixAndTheCloseStillFlushes) {
    TMP3Codec codec;
    useFake(codec, 100);
    setenv("FAKE_LAME_FAIL_AT", "3", 1);
    setenv("FAKE_LAME_BYTES", "5", 1);
    std::string src = writeWav("a.wav", wavFile(44100, 2, 16, std::string(4000, '\0')));
    EncodeRun r = encode(codec, src, path("a.mp3"));
    EXPECT_EQ(r.last, 6);
    EXPECT_EQ(r.close, 0);
    EXPECT_EQ(testenv::readFile(path("a.mp3")), "MMMMMMMMMMEND");
}

TEST_F(MP3CodecEncode, TargetThatCannotBeCreatedFailsAtTheFirstWrite) {
    TMP3Codec codec;
    useFake(codec);
    testenv::writeFile(path("plainfile"), "x");
    std::string src = writeWav("a.wav", wavFile(44100, 2, 16, std::string(400, '\0')));
    EncodeRun r = encode(codec, src, path("plainfile/a.mp3"));
    ASSERT_EQ(r.open, 0);
    EXPECT_EQ(r.last, 7);
    EXPECT_EQ(r.steps, 1);
    EXPECT_EQ(r.close, 0);
}

TEST_F(MP3CodecEncode, OneCodecServesManyFiles) {
    TMP3Codec codec;
    ASSERT_EQ(codec.LoadEncoder(platform::programDir()), 0);
    for (int i = 0; i < 3; ++i) {
        std::string src = writeWav("f" + std::to_string(i) + ".wav",
                                   wavFile(22050, 1, 16, bytes16(sine16(22050, 0.5, {600.0}))));
        EncodeRun r = encode(codec, src, path("f" + std::to_string(i) + ".mp3"));
        EXPECT_EQ(r.last, 8);
        EXPECT_FALSE(frames(testenv::readFile(path("f" + std::to_string(i) + ".mp3"))).empty());
    }
    // An open encode abandoned without CloseEncode is released by the next open.
    std::string src = path("f0.wav");
    ASSERT_EQ(codec.OpenEncode(src, path("g.mp3")), 0);
    EXPECT_EQ(encode(codec, src, path("h.mp3")).last, 8);
    // Loading the library again releases an open encode before the old one goes.
    ASSERT_EQ(codec.OpenEncode(src, path("i.mp3")), 0);
    EXPECT_EQ(codec.LoadEncoder(platform::programDir()), 0);
    std::uint16_t progress = 0;
    EXPECT_EQ(codec.EncodeStep(progress), 8);
    EXPECT_EQ(codec.CloseEncode(), 0);
}

} // namespace

// A library without the float entry point gets an FFmpeg source as 16-bit values:
// a 16-bit source exactly as it was, a 24-bit one within one step of its value with
// triangular dither (so rounding errors are spread, not the same for equal inputs).
// The reference is ffmpeg's own decode of the source.
TEST_F(MP3CodecEncode, WithoutTheFloatEntryPointSourcesAreDitheredToSixteenBits) {
    struct Row {
        const char* name;
        const char* sampleFormat;
        bool exact;
    };
    for (const Row& row : {Row{"sixteen.flac", "s16", true}, Row{"deep.flac", "s32", false}}) {
        SCOPED_TRACE(row.name);
        const std::string source = path(row.name);
        ASSERT_EQ(testenv::run(std::string("ffmpeg -v error -y -f lavfi -i "
                                           "'aevalsrc=0.3*sin(2*PI*441*t)|0.2*sin(2*PI*882*t):"
                                           "s=44100:d=0.5' -c:a flac -sample_fmt ") +
                               row.sampleFormat + " '" + source + "'"),
                  0);
        TMP3Codec codec;
        useFake(codec);
        std::remove(path("recorded.raw").c_str());
        EncodeRun run = encode(codec, source, path("out.mp3"));
        ASSERT_EQ(run.open, 0);
        EXPECT_EQ(run.last, 8);

        const std::string reference = path("reference.raw");
        ASSERT_EQ(
            testenv::run("ffmpeg -v error -y -i '" + source + "' -f s32le '" + reference + "'"), 0);
        const std::string raw = testenv::readFile(reference);
        const std::vector<std::int16_t> got = recorded();
        ASSERT_EQ(got.size(), raw.size() / 4);
        double worst = 0;
        std::size_t differing = 0;
        for (std::size_t i = 0; i < got.size(); ++i) {
            const double want = static_cast<std::int32_t>(get32(raw, 4 * i)) / 65536.0;
            worst = std::max(worst, std::abs(got[i] - want));
            differing += got[i] != std::lround(want);
        }
        if (row.exact) {
            EXPECT_EQ(worst, 0.0);
        } else {
            EXPECT_LT(worst, 1.5);
            EXPECT_GT(differing, got.size() / 10);
        }
    }
}

// The dither of a float source starts afresh for every file: the same file gives the
// same values whatever the codec encoded before.
TEST_F(MP3CodecEncode, TheSameSourceGivesTheSameValuesWhateverWentBefore) {
    const std::string source = path("deep.flac");
    ASSERT_EQ(testenv::run("ffmpeg -v error -y -f lavfi -i 'aevalsrc=0.3*sin(2*PI*441*t):s=44100:"
                           "d=0.3' -c:a flac -sample_fmt s32 '" +
                           source + "'"),
              0);
    TMP3Codec codec;
    useFake(codec);
    std::vector<std::vector<std::int16_t>> runs;
    for (int i = 0; i < 2; ++i) {
        std::remove(path("recorded.raw").c_str());
        ASSERT_EQ(encode(codec, source, path("out.mp3")).last, 8);
        runs.push_back(recorded());
    }
    ASSERT_FALSE(runs[0].empty());
    EXPECT_EQ(runs[0], runs[1]);
}

// Without the reader library a WAV of the program's own kind still converts; any
// other source is refused as a bad format, with one line on stderr saying why.
TEST_F(MP3CodecEncode, WithoutTheReaderLibraryOnlyTheWavPathWorks) {
    const std::string flac = path("tone.flac");
    ASSERT_EQ(testenv::run("ffmpeg -v error -y -f lavfi -i sine=d=0.5 '" + flac + "'"), 0);
    const std::string wav =
        writeWav("tone.wav", wavFile(44100, 2, 16, bytes16(sine16(44100, 0.5, {440.0, 660.0}))));
    TMP3Codec codec;
    ASSERT_EQ(codec.LoadEncoder(platform::programDir()), 0);
    codec.SourceReaderLibraryName = "no_such_reader.so";
    EXPECT_EQ(encode(codec, wav, path("tone-wav.mp3")).last, 8);
    ::testing::internal::CaptureStderr();
    const int open = codec.OpenEncode(flac, path("tone-flac.mp3"));
    const std::string errors = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(open, 15);
    EXPECT_FALSE(testenv::fileExists(path("tone-flac.mp3")));
    EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), 1) << errors;
    EXPECT_NE(errors.find("no_such_reader.so"), std::string::npos) << errors;
}

// A source renamed away and replaced while it is encoded (a FIFO without a writer, a
// link to an endless device) changes nothing: the samples and the tags come from the
// file that was opened, and the job ends on its own.
TEST_F(MP3CodecEncode, ASourceReplacedWhileItIsEncodedChangesNothing) {
    struct Row {
        const char* name;
        std::function<int(const std::string&)> replace;
    } rows[] = {
        {"fifo", [](const std::string& p) { return ::mkfifo(p.c_str(), 0600); }},
        {"endless-device", [](const std::string& p) { return ::symlink("/dev/zero", p.c_str()); }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string source = path(std::string(row.name) + ".flac");
        const std::string target = path(std::string(row.name) + ".mp3");
        ASSERT_EQ(testenv::run("ffmpeg -v error -y -f lavfi -i sine=f=440:d=3 -metadata "
                               "title=Kept '" +
                               source + "'"),
                  0);
        const int status = testenv::runInChild(
            [&] {
                TMP3Codec codec;
                std::uint16_t progress = 0;
                if (codec.LoadEncoder(platform::programDir()) != 0 ||
                    codec.OpenEncode(source, target) != 0 || codec.EncodeStep(progress) != 0) {
                    return 2;
                }
                const std::string aside = source + ".old";
                if (::rename(source.c_str(), aside.c_str()) != 0 || row.replace(source) != 0) {
                    return 3;
                }
                int code = 0;
                while (code == 0) {
                    code = codec.EncodeStep(progress);
                }
                codec.CloseEncode();
                return code;
            },
            60000);
        EXPECT_EQ(status, 8);
        Decoded d = decodeMp3(target);
        ASSERT_TRUE(d.ok);
        EXPECT_NEAR(double(d.frames()), 3.0 * 44100, 2.0);
        EXPECT_EQ(testenv::probeTags(target)["title"], "Kept");
        ::unlink(source.c_str());
    }
}
