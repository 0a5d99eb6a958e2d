// lame.so through its four C entry points, loaded as the program loads it, with
// its MP3 output checked from outside (frame headers, ffmpeg decode).

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <set>
#include <thread>

#include "AudioCheck.h"
#include "TestEnv.h"
#include "lame_encoder.h"
#include "platform/RuntimeLibrary.h"

namespace {

using namespace audiocheck;

class Lame {
public:
    Lame()
        : library_(BE_LIBRARY_NAME,
                   {BE_INIT_STREAM_NAME, BE_ENCODE_CHUNK_NAME, BE_DEINIT_STREAM_NAME,
                    BE_CLOSE_STREAM_NAME, BE_GET_LAME_TAG_FRAME_NAME, BE_ENCODE_CHUNK_FLOAT_NAME}) {
        init = library_.entry<BeInitStreamFn>(BE_INIT_STREAM_NAME);
        encode = library_.entry<BeEncodeChunkFn>(BE_ENCODE_CHUNK_NAME);
        deinit = library_.entry<BeDeinitStreamFn>(BE_DEINIT_STREAM_NAME);
        close = library_.entry<BeCloseStreamFn>(BE_CLOSE_STREAM_NAME);
        tagFrame = library_.entry<BeGetLameTagFrameFn>(BE_GET_LAME_TAG_FRAME_NAME);
        encodeFloat = library_.entry<BeEncodeChunkFloatFn>(BE_ENCODE_CHUNK_FLOAT_NAME);
    }
    bool loaded() const { return library_.isLoaded(); }
    const std::string& error() const { return library_.error(); }

    BeInitStreamFn init = nullptr;
    BeEncodeChunkFn encode = nullptr;
    BeDeinitStreamFn deinit = nullptr;
    BeCloseStreamFn close = nullptr;
    BeGetLameTagFrameFn tagFrame = nullptr;
    BeEncodeChunkFloatFn encodeFloat = nullptr;

private:
    platform::RuntimeLibrary library_;
};

Lame& lame() {
    static Lame instance;
    return instance;
}

BeConfig cbr(std::uint32_t rate, std::int32_t mode, std::uint32_t bitrate) {
    BeConfig c;
    BeConfigInit(&c);
    c.sampleRate = rate;
    c.mode = mode;
    c.bitrate = bitrate;
    c.vbrQuality = 9;
    c.vbrMethod = BE_VBR_METHOD_OLD;
    return c;
}

struct Opened {
    std::uint32_t result = 0;
    std::uint32_t samples = 0;
    std::uint32_t bufferSize = 0;
    std::uint32_t handle = 0;
};

Opened open(const BeConfig& config) {
    std::uint8_t bytes[BE_CONFIG_SIZE];
    BeConfigWrite(&config, bytes);
    Opened o;
    o.result = lame().init(bytes, &o.samples, &o.bufferSize, &o.handle);
    return o;
}

// Encodes the values in calls of `step` values (at most samples per chunk), flushes,
// writes the tag frame over the start when `withTag` and the stream has one, closes,
// and returns the MP3 bytes.
std::string encodeAll(const BeConfig& config, const std::vector<std::int16_t>& values,
                      std::uint32_t step = 0, bool withTag = false) {
    Opened o = open(config);
    EXPECT_EQ(o.result, BE_ERR_SUCCESSFUL);
    if (o.result != 0) {
        return {};
    }
    if (step == 0) {
        step = o.samples;
    }
    std::vector<std::uint8_t> out(o.bufferSize);
    std::string mp3;
    for (std::size_t at = 0; at < values.size(); at += step) {
        std::uint32_t n =
            static_cast<std::uint32_t>(std::min<std::size_t>(step, values.size() - at));
        std::uint32_t produced = 0;
        EXPECT_EQ(lame().encode(o.handle, n, values.data() + at, out.data(), &produced), 0u);
        EXPECT_LE(produced, o.bufferSize);
        mp3.append(reinterpret_cast<const char*>(out.data()), produced);
    }
    std::uint32_t last = 0;
    EXPECT_EQ(lame().deinit(o.handle, out.data(), &last), 0u);
    mp3.append(reinterpret_cast<const char*>(out.data()), last);
    if (withTag) {
        std::uint32_t size = 0;
        EXPECT_EQ(lame().tagFrame(o.handle, out.data(), o.bufferSize, &size), 0u);
        EXPECT_LE(size, mp3.size());
        mp3.replace(0, size, reinterpret_cast<const char*>(out.data()), size);
    }
    EXPECT_EQ(lame().close(o.handle), 0u);
    return mp3;
}

std::string probe(const std::string& path, const std::string& entry) {
    std::string out;
    const std::string command =
        "ffprobe -v error -show_entries " + entry + " -of csv=p=0 '" + path + "'";
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        char buffer[256];
        while (std::fgets(buffer, sizeof buffer, pipe)) {
            out += buffer;
        }
        ::pclose(pipe);
    }
    return out;
}

std::string writeMp3(const std::string& name, const std::string& mp3) {
    std::string path = testenv::root() + name;
    testenv::writeFile(path, mp3);
    return path;
}

class LameEncoder : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(lame().loaded()) << lame().error(); }
};

TEST_F(LameEncoder, ReportsFrameSizeTimesChannelsAndABufferForAnyChunk) {
    struct Row {
        std::uint32_t rate;
        std::int32_t mode;
        std::uint32_t bitrate;
        std::uint32_t samples;
    } rows[] = {{44100, BE_MP3_MODE_STEREO, 128, 2304}, {48000, BE_MP3_MODE_JSTEREO, 160, 2304},
                {44100, BE_MP3_MODE_MONO, 128, 1152},   {22050, BE_MP3_MODE_STEREO, 64, 1152},
                {22050, BE_MP3_MODE_MONO, 64, 576},     {8000, BE_MP3_MODE_STEREO, 64, 1152}};
    for (const Row& r : rows) {
        Opened o = open(cbr(r.rate, r.mode, r.bitrate));
        ASSERT_EQ(o.result, 0u) << r.rate;
        EXPECT_EQ(o.samples, r.samples) << r.rate << " mode " << r.mode;
        EXPECT_GE(o.bufferSize, 1.25 * o.samples + 7200) << r.rate;
        EXPECT_NE(o.handle, 0u);
        EXPECT_EQ(lame().close(o.handle), 0u);
    }
}

TEST_F(LameEncoder, StereoSineSurvivesAtConstantBitrate) {
    const std::uint32_t rate = 44100;
    auto pcm = sine16(rate, 3.0, {440.0, 660.0});
    std::string mp3 = encodeAll(cbr(rate, BE_MP3_MODE_STEREO, 128), pcm);
    ASSERT_FALSE(mp3.empty());

    auto fs = frames(mp3);
    ASSERT_GT(fs.size(), 100u);
    for (const auto& f : fs) {
        EXPECT_EQ(f.version, 1);
        EXPECT_EQ(f.bitrate, 128);
        EXPECT_EQ(f.rate, rate);
        EXPECT_EQ(f.mode, 0);
        EXPECT_FALSE(f.crc);
    }
    EXPECT_EQ(fs.back().offset + fs.back().length, mp3.size()) << "nothing but whole frames";

    Decoded d = decodeMp3(writeMp3("stereo.mp3", mp3));
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.rate, rate);
    EXPECT_EQ(d.channels, 2);
    // The decoder keeps the encoder's delay and padding: at most a few frames more.
    EXPECT_GE(d.frames(), pcm.size() / 2);
    EXPECT_LE(d.frames(), pcm.size() / 2 + 3 * 1152);
    EXPECT_NEAR(toneFrequency(d.channel(0), rate), 440.0, 4.0);
    EXPECT_NEAR(toneFrequency(d.channel(1), rate), 660.0, 6.0);
    EXPECT_GT(rms(d.channel(0)), 6000);
}

TEST_F(LameEncoder, JointStereoModeIsWrittenInTheFrames) {
    auto pcm = sine16(44100, 1.0, {440.0, 440.0});
    auto fs = frames(encodeAll(cbr(44100, BE_MP3_MODE_JSTEREO, 128), pcm));
    ASSERT_FALSE(fs.empty());
    for (const auto& f : fs) {
        EXPECT_EQ(f.mode, 1);
    }
}

TEST_F(LameEncoder, MonoModeTakesOneInputChannel) {
    const std::uint32_t rate = 22050;
    auto pcm = sine16(rate, 2.0, {500.0});
    std::string mp3 = encodeAll(cbr(rate, BE_MP3_MODE_MONO, 64), pcm);
    auto fs = frames(mp3);
    ASSERT_FALSE(fs.empty());
    for (const auto& f : fs) {
        EXPECT_EQ(f.mode, 3);
        EXPECT_EQ(f.version, 2);
        EXPECT_EQ(f.bitrate, 64);
    }
    Decoded d = decodeMp3(writeMp3("mono.mp3", mp3));
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.channels, 1);
    EXPECT_EQ(d.rate, rate);
    EXPECT_GE(d.frames(), pcm.size());
    EXPECT_LE(d.frames(), pcm.size() + 4 * 576);
    EXPECT_NEAR(toneFrequency(d.samples, rate), 500.0, 5.0);
}

// A signal whose demands vary: quiet passages and loud noise bursts.
std::vector<std::int16_t> varyingSignal(std::uint32_t rate, double seconds) {
    std::vector<std::int16_t> v;
    std::uint32_t seed = 12345;
    const std::size_t n = static_cast<std::size_t>(rate * seconds);
    for (std::size_t i = 0; i < n; ++i) {
        bool loud = (i / (rate / 4)) % 2 == 0;
        seed = seed * 1664525u + 1013904223u;
        double noise = (static_cast<int>(seed >> 16) % 20000) - 10000;
        double tone = 3000 * std::sin(2 * M_PI * 330 * double(i) / rate);
        double s = loud ? noise + tone : tone * 0.05;
        v.push_back(static_cast<std::int16_t>(s));
        v.push_back(static_cast<std::int16_t>(loud ? -s : s));
    }
    return v;
}

TEST_F(LameEncoder, VariableRateStaysBetweenLowestAndHighest) {
    for (std::int32_t method : {BE_VBR_METHOD_OLD, BE_VBR_METHOD_NEW, BE_VBR_METHOD_DEFAULT}) {
        BeConfig c = cbr(44100, BE_MP3_MODE_JSTEREO, 64);
        c.maxBitrate = 256;
        c.enableVbr = 1;
        c.vbrQuality = 2;
        c.vbrMethod = method;
        auto fs = frames(encodeAll(c, varyingSignal(44100, 2.0)));
        ASSERT_FALSE(fs.empty()) << method;
        auto hist = bitrateHistogram(fs);
        EXPECT_GE(hist.size(), 2u) << "method " << method;
        EXPECT_GE(hist.begin()->first, 64) << method;
        EXPECT_LE(hist.rbegin()->first, 256) << method;
    }
}

TEST_F(LameEncoder, VariableRateOffMeansConstantBitrateWhateverTheMethod) {
    BeConfig c = cbr(44100, BE_MP3_MODE_STEREO, 192);
    c.vbrMethod = BE_VBR_METHOD_NEW;
    c.vbrQuality = 0;
    auto hist = bitrateHistogram(frames(encodeAll(c, varyingSignal(44100, 1.0))));
    ASSERT_EQ(hist.size(), 1u);
    EXPECT_EQ(hist.begin()->first, 192);
}

TEST_F(LameEncoder, AverageBitrateInBitsPerSecond) {
    BeConfig c = cbr(44100, BE_MP3_MODE_JSTEREO, 0);
    c.abrBps = 96000;
    auto fs = frames(encodeAll(c, varyingSignal(44100, 3.0)));
    ASSERT_FALSE(fs.empty());
    double sum = 0;
    for (const auto& f : fs) {
        sum += f.bitrate;
    }
    EXPECT_GE(bitrateHistogram(fs).size(), 2u);
    EXPECT_NEAR(sum / fs.size(), 96.0, 30.0);
}

TEST_F(LameEncoder, OutputRateResamples) {
    BeConfig c = cbr(44100, BE_MP3_MODE_STEREO, 128);
    c.reSampleRate = 32000;
    std::string mp3 = encodeAll(c, sine16(44100, 1.0, {1000.0, 1000.0}));
    auto fs = frames(mp3);
    ASSERT_FALSE(fs.empty());
    EXPECT_EQ(fs[0].rate, 32000u);
    Decoded d = decodeMp3(writeMp3("resampled.mp3", mp3));
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.rate, 32000u);
    EXPECT_NEAR(toneFrequency(d.channel(0), 32000), 1000.0, 10.0);
}

TEST_F(LameEncoder, FrameHeaderFlagsAndEmphasis) {
    BeConfig c = cbr(44100, BE_MP3_MODE_STEREO, 128);
    c.privateBit = 1;
    c.crc = 1;
    c.copyright = 1;
    c.original = 1;
    c.emphasis = 1;
    auto fs = frames(encodeAll(c, sine16(44100, 0.5, {440.0, 440.0})));
    ASSERT_FALSE(fs.empty());
    for (const auto& f : fs) {
        EXPECT_TRUE(f.privateBit);
        EXPECT_TRUE(f.crc);
        EXPECT_TRUE(f.copyright);
        EXPECT_TRUE(f.original);
        EXPECT_EQ(f.emphasis, 1);
    }

    c = cbr(44100, BE_MP3_MODE_STEREO, 128);
    fs = frames(encodeAll(c, sine16(44100, 0.5, {440.0, 440.0})));
    ASSERT_FALSE(fs.empty());
    for (const auto& f : fs) {
        EXPECT_FALSE(f.privateBit);
        EXPECT_FALSE(f.crc);
        EXPECT_FALSE(f.copyright);
        EXPECT_FALSE(f.original);
        EXPECT_EQ(f.emphasis, 0);
    }
}

TEST_F(LameEncoder, VariableRateHeaderFrameWhenAsked) {
    BeConfig c = cbr(44100, BE_MP3_MODE_JSTEREO, 32);
    c.enableVbr = 1;
    c.vbrQuality = 4;
    c.vbrMethod = BE_VBR_METHOD_NEW;
    c.writeVbrHeader = 1;
    std::string with = encodeAll(c, varyingSignal(44100, 1.0));
    c.writeVbrHeader = 0;
    std::string without = encodeAll(c, varyingSignal(44100, 1.0));
    auto fs = frames(with);
    ASSERT_FALSE(fs.empty());
    // The header frame comes first and carries no audio; the output still decodes.
    EXPECT_EQ(frames(without).size() + 1, fs.size());
    Decoded d = decodeMp3(writeMp3("vbrheader.mp3", with));
    EXPECT_TRUE(d.ok);
}

TEST_F(LameEncoder, TagFrameGivesVariableRateItsLengthAndEveryStreamItsExactSamples) {
    ASSERT_NE(lame().tagFrame, nullptr);
    const std::uint32_t rate = 44100;
    const std::vector<std::int16_t> signal = varyingSignal(rate, 6.0);
    const std::size_t frames = signal.size() / 2;

    // Variable rate: the placeholder reads as a wrong length, the frame as the true one.
    BeConfig vbr = cbr(rate, BE_MP3_MODE_JSTEREO, 32);
    vbr.maxBitrate = 320;
    vbr.enableVbr = 1;
    vbr.vbrQuality = 2;
    vbr.writeVbrHeader = 1;
    const std::string tagged = writeMp3("tagged-vbr.mp3", encodeAll(vbr, signal, 0, true));
    EXPECT_NEAR(std::stod(probe(tagged, "format=duration")), double(frames) / rate, 0.1);
    Decoded d = decodeMp3(tagged);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.frames(), frames) << "delay and padding come from the tag";

    // Constant rate: the Info frame carries delay and padding as well.
    BeConfig constant = cbr(rate, BE_MP3_MODE_STEREO, 128);
    constant.writeVbrHeader = 1;
    d = decodeMp3(writeMp3("tagged-cbr.mp3", encodeAll(constant, signal, 0, true)));
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.frames(), frames);
}

TEST_F(LameEncoder, TagFrameOnlyAfterTheFlushAndOnlyWhenAskedFor) {
    const std::vector<std::int16_t> signal = sine16(44100, 0.5, {440.0, 660.0});
    for (std::uint32_t asked : {0u, 1u}) {
        BeConfig c = cbr(44100, BE_MP3_MODE_STEREO, 128);
        c.writeVbrHeader = asked;
        Opened o = open(c);
        ASSERT_EQ(o.result, 0u);
        std::vector<std::uint8_t> out(o.bufferSize);
        std::string mp3;
        std::uint32_t size = 99;
        EXPECT_EQ(lame().tagFrame(o.handle, out.data(), o.bufferSize, &size),
                  BE_ERR_INVALID_FORMAT_PARAMETERS);
        EXPECT_EQ(size, 0u);
        for (std::size_t at = 0; at < signal.size(); at += o.samples) {
            auto n =
                static_cast<std::uint32_t>(std::min<std::size_t>(o.samples, signal.size() - at));
            std::uint32_t produced = 0;
            ASSERT_EQ(lame().encode(o.handle, n, signal.data() + at, out.data(), &produced), 0u);
            mp3.append(reinterpret_cast<const char*>(out.data()), produced);
        }
        std::uint32_t last = 0;
        ASSERT_EQ(lame().deinit(o.handle, out.data(), &last), 0u);
        mp3.append(reinterpret_cast<const char*>(out.data()), last);

        if (asked == 0) {
            EXPECT_EQ(lame().tagFrame(o.handle, out.data(), o.bufferSize, &size), 0u);
            EXPECT_EQ(size, 0u);
        } else {
            // Too small a buffer tells the size; the frame is exactly the first frame.
            EXPECT_EQ(lame().tagFrame(o.handle, nullptr, 0, &size), BE_ERR_BUFFER_TOO_SMALL);
            auto fs = frames(mp3);
            ASSERT_FALSE(fs.empty());
            EXPECT_EQ(fs[0].offset, 0u);
            EXPECT_EQ(size, fs[0].length);
            std::uint32_t copied = 0;
            ASSERT_EQ(lame().tagFrame(o.handle, out.data(), size, &copied), 0u);
            EXPECT_EQ(copied, size);
            const std::string frame(reinterpret_cast<const char*>(out.data()), copied);
            EXPECT_NE(frame.find("Info"), std::string::npos);
            EXPECT_NE(frame.find("LAME"), std::string::npos);
        }
        EXPECT_EQ(lame().close(o.handle), 0u);
        EXPECT_EQ(lame().tagFrame(o.handle, out.data(), o.bufferSize, &size),
                  BE_ERR_INVALID_HANDLE);
    }
}

TEST_F(LameEncoder, PresetsAreAcceptedAndUnknownOnesRefused) {
    for (std::int32_t preset : {BE_PRESET_NONE,
                                BE_PRESET_NORMAL_QUALITY,
                                BE_PRESET_LOW_QUALITY,
                                BE_PRESET_HIGH_QUALITY,
                                BE_PRESET_VOICE_QUALITY,
                                BE_PRESET_R3MIX,
                                BE_PRESET_VERYHIGH_QUALITY,
                                BE_PRESET_STANDARD,
                                BE_PRESET_FAST_STANDARD,
                                BE_PRESET_EXTREME,
                                BE_PRESET_FAST_EXTREME,
                                BE_PRESET_INSANE,
                                BE_PRESET_ABR,
                                BE_PRESET_CBR,
                                BE_PRESET_MEDIUM,
                                BE_PRESET_FAST_MEDIUM,
                                BE_PRESET_PHONE,
                                BE_PRESET_SW,
                                BE_PRESET_AM,
                                BE_PRESET_FM,
                                BE_PRESET_VOICE,
                                BE_PRESET_RADIO,
                                BE_PRESET_TAPE,
                                BE_PRESET_HIFI,
                                BE_PRESET_CD,
                                BE_PRESET_STUDIO}) {
        BeConfig c = cbr(44100, BE_MP3_MODE_STEREO, 128);
        c.preset = preset;
        c.abrBps = preset == BE_PRESET_ABR ? 128000 : 0;
        std::string mp3 = encodeAll(c, sine16(44100, 0.3, {440.0, 440.0}));
        EXPECT_FALSE(frames(mp3).empty()) << "preset " << preset;
    }
    BeConfig c = cbr(44100, BE_MP3_MODE_STEREO, 128);
    c.preset = 77;
    EXPECT_NE(open(c).result, 0u);
}

TEST_F(LameEncoder, VoicePresetMakesMonoFromStereoInput) {
    BeConfig c = cbr(44100, BE_MP3_MODE_STEREO, 128);
    c.preset = BE_PRESET_VOICE;
    Opened o = open(c);
    ASSERT_EQ(o.result, 0u);
    EXPECT_EQ(o.samples % 2, 0u) << "two input channels";
    lame().close(o.handle);
    auto fs = frames(encodeAll(c, sine16(44100, 0.5, {440.0, 440.0})));
    ASSERT_FALSE(fs.empty());
    EXPECT_EQ(fs[0].mode, 3);
}

TEST_F(LameEncoder, RefusesRecordsOfAnotherKindVersionOrSize) {
    struct Row {
        const char* what;
        std::size_t offset;
        std::uint32_t value;
    } rows[] = {{"kind 0", BE_OFFSET_KIND, 0},       {"kind 255", BE_OFFSET_KIND, 255},
                {"version 2", BE_OFFSET_VERSION, 2}, {"version 0", BE_OFFSET_VERSION, 0},
                {"size 330", BE_OFFSET_SIZE, 330},   {"size 332", BE_OFFSET_SIZE, 332}};
    for (const Row& r : rows) {
        BeConfig c = cbr(44100, BE_MP3_MODE_STEREO, 128);
        std::uint8_t bytes[BE_CONFIG_SIZE];
        BeConfigWrite(&c, bytes);
        BeConfigPut32(bytes, r.offset, r.value);
        std::uint32_t samples = 7, size = 7, handle = 7;
        EXPECT_EQ(lame().init(bytes, &samples, &size, &handle), BE_ERR_INVALID_FORMAT) << r.what;
        EXPECT_EQ(handle, 0u) << r.what;
        EXPECT_EQ(samples, 0u) << r.what;
    }
}

TEST_F(LameEncoder, RefusesFieldsOutOfRange) {
    struct Row {
        const char* what;
        void (*change)(BeConfig&);
    } rows[] = {
        {"mode 4", [](BeConfig& c) { c.mode = 4; }},
        {"mode -1", [](BeConfig& c) { c.mode = -1; }},
        {"input rate 0", [](BeConfig& c) { c.sampleRate = 0; }},
        {"emphasis 2", [](BeConfig& c) { c.emphasis = 2; }},
        {"emphasis 9", [](BeConfig& c) { c.emphasis = 9; }},
        {"vbr quality 10", [](BeConfig& c) { c.enableVbr = 1, c.vbrQuality = 10; }},
        {"vbr quality -1", [](BeConfig& c) { c.enableVbr = 1, c.vbrQuality = -1; }},
        {"vbr method 9", [](BeConfig& c) { c.enableVbr = 1, c.vbrMethod = 9; }},
        {"bitrate 1e9", [](BeConfig& c) { c.bitrate = 1000000000; }},
    };
    for (const Row& r : rows) {
        BeConfig c = cbr(44100, BE_MP3_MODE_STEREO, 128);
        r.change(c);
        Opened o = open(c);
        EXPECT_NE(o.result, 0u) << r.what;
        EXPECT_EQ(o.handle, 0u) << r.what;
    }
}

TEST_F(LameEncoder, NullPointersAreRefusedNotFollowed) {
    BeConfig c = cbr(44100, BE_MP3_MODE_STEREO, 128);
    std::uint8_t bytes[BE_CONFIG_SIZE];
    BeConfigWrite(&c, bytes);
    std::uint32_t a = 0, b = 0, h = 0;
    EXPECT_NE(lame().init(nullptr, &a, &b, &h), 0u);
    EXPECT_NE(lame().init(bytes, nullptr, &b, &h), 0u);
    EXPECT_NE(lame().init(bytes, &a, nullptr, &h), 0u);
    EXPECT_NE(lame().init(bytes, &a, &b, nullptr), 0u);

    Opened o = open(c);
    ASSERT_EQ(o.result, 0u);
    std::vector<std::int16_t> pcm(o.samples, 0);
    std::vector<std::uint8_t> out(o.bufferSize);
    std::uint32_t produced = 0;
    EXPECT_NE(lame().encode(o.handle, o.samples, nullptr, out.data(), &produced), 0u);
    EXPECT_NE(lame().encode(o.handle, o.samples, pcm.data(), nullptr, &produced), 0u);
    EXPECT_NE(lame().encode(o.handle, o.samples, pcm.data(), out.data(), nullptr), 0u);
    EXPECT_NE(lame().deinit(o.handle, nullptr, &produced), 0u);
    EXPECT_NE(lame().deinit(o.handle, out.data(), nullptr), 0u);
    // The stream is still usable after the refusals.
    EXPECT_EQ(lame().encode(o.handle, o.samples, pcm.data(), out.data(), &produced), 0u);
    EXPECT_EQ(lame().close(o.handle), 0u);
}

TEST_F(LameEncoder, BadHandlesAreRefused) {
    std::vector<std::int16_t> pcm(2304, 0);
    std::vector<std::uint8_t> out(20000);
    std::uint32_t produced = 99;
    for (std::uint32_t handle : {0u, 12345u, 0xFFFFFFFFu}) {
        EXPECT_EQ(lame().encode(handle, 10, pcm.data(), out.data(), &produced),
                  BE_ERR_INVALID_HANDLE);
        EXPECT_EQ(produced, 0u);
        EXPECT_EQ(lame().deinit(handle, out.data(), &produced), BE_ERR_INVALID_HANDLE);
        EXPECT_EQ(lame().close(handle), BE_ERR_INVALID_HANDLE);
    }
    Opened o = open(cbr(44100, BE_MP3_MODE_STEREO, 128));
    ASSERT_EQ(o.result, 0u);
    EXPECT_EQ(lame().close(o.handle), 0u);
    EXPECT_EQ(lame().close(o.handle), BE_ERR_INVALID_HANDLE) << "closed twice";
    EXPECT_EQ(lame().encode(o.handle, 10, pcm.data(), out.data(), &produced),
              BE_ERR_INVALID_HANDLE);
}

TEST_F(LameEncoder, TakesAtMostSamplesPerChunk) {
    Opened o = open(cbr(44100, BE_MP3_MODE_STEREO, 128));
    ASSERT_EQ(o.result, 0u);
    std::vector<std::int16_t> pcm(o.samples + 2, 0);
    std::vector<std::uint8_t> out(o.bufferSize);
    std::uint32_t produced = 0;
    EXPECT_NE(lame().encode(o.handle, o.samples + 2, pcm.data(), out.data(), &produced), 0u);
    EXPECT_NE(lame().encode(o.handle, 0xFFFFFFFFu, pcm.data(), out.data(), &produced), 0u);
    EXPECT_EQ(lame().encode(o.handle, o.samples, pcm.data(), out.data(), &produced), 0u);
    EXPECT_EQ(lame().encode(o.handle, 0, pcm.data(), out.data(), &produced), 0u);
    EXPECT_EQ(produced, 0u);
    lame().close(o.handle);
}

TEST_F(LameEncoder, NothingIsEncodedAfterTheFlush) {
    Opened o = open(cbr(44100, BE_MP3_MODE_STEREO, 128));
    ASSERT_EQ(o.result, 0u);
    std::vector<std::int16_t> pcm(o.samples, 100);
    std::vector<std::uint8_t> out(o.bufferSize);
    std::uint32_t produced = 0;
    EXPECT_EQ(lame().encode(o.handle, o.samples, pcm.data(), out.data(), &produced), 0u);
    EXPECT_EQ(lame().deinit(o.handle, out.data(), &produced), 0u);
    EXPECT_GT(produced, 0u);
    EXPECT_NE(lame().encode(o.handle, o.samples, pcm.data(), out.data(), &produced), 0u);
    EXPECT_EQ(lame().deinit(o.handle, out.data(), &produced), 0u);
    EXPECT_EQ(produced, 0u) << "a second flush has nothing left";
    EXPECT_EQ(lame().close(o.handle), 0u);
}

TEST_F(LameEncoder, OddCountsKeepTheChannelsInOrder) {
    const std::uint32_t rate = 44100;
    auto pcm = sine16(rate, 2.0, {440.0, 990.0});
    Decoded d =
        decodeMp3(writeMp3("odd.mp3", encodeAll(cbr(rate, BE_MP3_MODE_STEREO, 128), pcm, 1151)));
    ASSERT_TRUE(d.ok);
    EXPECT_GE(d.frames(), pcm.size() / 2);
    EXPECT_NEAR(toneFrequency(d.channel(0), rate), 440.0, 4.0);
    EXPECT_NEAR(toneFrequency(d.channel(1), rate), 990.0, 9.0);
}

TEST_F(LameEncoder, SeveralStreamsAtOnceStayApart) {
    const std::uint32_t rate = 44100;
    const double freqs[] = {300.0, 500.0, 700.0, 900.0};
    std::vector<Opened> streams;
    std::vector<std::vector<std::int16_t>> pcm;
    std::vector<std::string> mp3(4);
    for (double f : freqs) {
        streams.push_back(open(cbr(rate, BE_MP3_MODE_MONO, 96)));
        ASSERT_EQ(streams.back().result, 0u);
        pcm.push_back(sine16(rate, 1.5, {f}));
    }
    std::set<std::uint32_t> handles;
    for (const auto& s : streams) {
        handles.insert(s.handle);
    }
    EXPECT_EQ(handles.size(), 4u);
    std::vector<std::uint8_t> out(streams[0].bufferSize);
    const std::uint32_t step = streams[0].samples;
    // Interleaved chunk by chunk across the four streams.
    for (std::size_t at = 0; at < pcm[0].size(); at += step) {
        for (std::size_t s = 0; s < 4; ++s) {
            std::uint32_t n =
                static_cast<std::uint32_t>(std::min<std::size_t>(step, pcm[s].size() - at));
            std::uint32_t produced = 0;
            ASSERT_EQ(
                lame().encode(streams[s].handle, n, pcm[s].data() + at, out.data(), &produced), 0u);
            mp3[s].append(reinterpret_cast<const char*>(out.data()), produced);
        }
    }
    for (std::size_t s = 0; s < 4; ++s) {
        std::uint32_t produced = 0;
        lame().deinit(streams[s].handle, out.data(), &produced);
        mp3[s].append(reinterpret_cast<const char*>(out.data()), produced);
        lame().close(streams[s].handle);
        Decoded d = decodeMp3(writeMp3("multi" + std::to_string(s) + ".mp3", mp3[s]));
        ASSERT_TRUE(d.ok);
        EXPECT_NEAR(toneFrequency(d.samples, rate), freqs[s], freqs[s] / 100) << s;
    }
}

TEST_F(LameEncoder, StreamsOnSeveralThreads) {
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&failures, t] {
            for (int round = 0; round < 3; ++round) {
                BeConfig c =
                    cbr(t % 2 ? 44100 : 32000, t % 2 ? BE_MP3_MODE_STEREO : BE_MP3_MODE_MONO, 128);
                Opened o = open(c);
                if (o.result != 0) {
                    ++failures;
                    return;
                }
                std::vector<std::int16_t> pcm(o.samples, 1000);
                std::vector<std::uint8_t> out(o.bufferSize);
                for (int i = 0; i < 40; ++i) {
                    std::uint32_t produced = 0;
                    if (lame().encode(o.handle, o.samples, pcm.data(), out.data(), &produced) !=
                        0) {
                        ++failures;
                    }
                }
                std::uint32_t produced = 0;
                lame().deinit(o.handle, out.data(), &produced);
                if (lame().close(o.handle) != 0) {
                    ++failures;
                }
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_EQ(failures.load(), 0);
}

TEST_F(LameEncoder, HandleTableFullIsReportedAndRecovers) {
    std::vector<std::uint32_t> handles;
    Opened o;
    for (int i = 0; i < BE_MAX_STREAMS; ++i) {
        o = open(cbr(22050, BE_MP3_MODE_MONO, 32));
        ASSERT_EQ(o.result, 0u) << i;
        handles.push_back(o.handle);
    }
    o = open(cbr(22050, BE_MP3_MODE_MONO, 32));
    EXPECT_EQ(o.result, BE_ERR_NO_MORE_HANDLES);
    EXPECT_EQ(o.handle, 0u);
    for (std::uint32_t h : handles) {
        EXPECT_EQ(lame().close(h), 0u);
    }
    o = open(cbr(22050, BE_MP3_MODE_MONO, 32));
    EXPECT_EQ(o.result, 0u);
    lame().close(o.handle);
}

} // namespace

// Float samples at +-1.0 full scale come out at the level they went in, and values
// beyond full scale are limited to it instead of being encoded as louder than any
// 16-bit sample could be (judged by ffmpeg decoding to float).
TEST_F(LameEncoder, FloatSamplesUseFullScaleOneAndAreClamped) {
    Opened o = open(cbr(44100, BE_MP3_MODE_STEREO, 192));
    ASSERT_EQ(o.result, 0u);
    std::vector<std::uint8_t> out(o.bufferSize);
    std::uint32_t produced = 0;
    const float odd[3] = {0, 0, 0};
    EXPECT_EQ(lame().encodeFloat(o.handle, 3, odd, out.data(), &produced),
              BE_ERR_INVALID_FORMAT_PARAMETERS);

    // Left: a sine at half of full scale; right: one at 1.6 times full scale.
    std::vector<float> values;
    for (int i = 0; i < 44100; ++i) {
        const double s = std::sin(2 * M_PI * 440 * i / 44100.0);
        values.push_back(static_cast<float>(0.5 * s));
        values.push_back(static_cast<float>(1.6 * s));
    }
    std::string mp3;
    for (std::size_t at = 0; at < values.size(); at += o.samples) {
        const auto n =
            static_cast<std::uint32_t>(std::min<std::size_t>(o.samples, values.size() - at));
        ASSERT_EQ(lame().encodeFloat(o.handle, n, values.data() + at, out.data(), &produced), 0u);
        mp3.append(reinterpret_cast<const char*>(out.data()), produced);
    }
    ASSERT_EQ(lame().deinit(o.handle, out.data(), &produced), 0u);
    mp3.append(reinterpret_cast<const char*>(out.data()), produced);
    lame().close(o.handle);

    const std::string path = writeMp3("float.mp3", mp3);
    std::string raw;
    if (FILE* pipe = ::popen(("ffmpeg -v error -i '" + path + "' -f f32le -").c_str(), "r")) {
        char buffer[65536];
        std::size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) {
            raw.append(buffer, n);
        }
        ::pclose(pipe);
    }
    ASSERT_GT(raw.size(), 8u * 40000);
    float peak[2] = {0, 0};
    for (std::size_t i = 0; i + 4 <= raw.size(); i += 4) {
        float v;
        std::memcpy(&v, raw.data() + i, 4);
        peak[(i / 4) % 2] = std::max(peak[(i / 4) % 2], std::fabs(v));
    }
    EXPECT_NEAR(peak[0], 0.5, 0.05);
    EXPECT_GT(peak[1], 0.9f);
    EXPECT_LT(peak[1], 1.2f);
}
