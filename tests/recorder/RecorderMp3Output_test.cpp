#include <gtest/gtest.h>

#include <dlfcn.h>
#include <sys/stat.h>

#include <cstring>

#include "FakeLame.h"
#include "TestEnv.h"
#include "recorder/RecorderMp3Output.h"

using recorder::RecorderMp3Output;
using recorder::RecorderMp3Settings;

namespace {

std::uint32_t le32(const std::uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (std::uint32_t(p[3]) << 24);
}

// Keeps the test encoder loaded for the whole test, so its state outlives the
// output's own load and unload, and hands out that state.
class FakeLameLibrary {
public:
    explicit FakeLameLibrary(const std::string& file = "recorder_fake_lame.so")
        : path_(testenv::appDir() + file) {
        handle_ = dlopen(path_.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (handle_) {
            auto fn = reinterpret_cast<FakeLameStateFn>(dlsym(handle_, "fakeLameState"));
            state_ = fn ? fn() : nullptr;
        }
        if (state_) {
            state_->reset();
        }
    }
    ~FakeLameLibrary() {
        if (handle_) {
            dlclose(handle_);
        }
    }
    const std::string& path() const { return path_; }
    FakeLameState& state() { return *state_; }
    bool ok() const { return state_ != nullptr; }

private:
    std::string path_;
    void* handle_ = nullptr;
    FakeLameState* state_ = nullptr;
};

std::vector<std::uint8_t> ramp(std::uint32_t bytes) {
    std::vector<std::uint8_t> data(bytes);
    for (std::uint32_t i = 0; i < bytes; ++i) {
        data[i] = static_cast<std::uint8_t>(i * 7 + 3);
    }
    return data;
}

} // namespace

TEST(RecorderMp3Output, ConfigurationRecordFromTheWindowChoices) {
    FakeLameLibrary lib;
    ASSERT_TRUE(lib.ok());
    struct Case {
        RecorderMp3Settings settings;
        std::uint32_t mode, bitrate, maxBitrate, vbr, quality;
    };
    RecorderMp3Settings vbr;
    vbr.sampleRate = 32000;
    vbr.vbr = true;
    vbr.bitrate = 320;
    vbr.minBitrate = 96;
    vbr.maxBitrate = 192;
    vbr.qualityPosition = 4;
    RecorderMp3Settings cbrMono;
    cbrMono.sampleRate = 22050;
    cbrMono.mono = true;
    cbrMono.bitrate = 64;
    cbrMono.maxBitrate = 256;
    cbrMono.qualityPosition = 9;
    for (const Case& c : {Case{vbr, 0, 96, 192, 1, 5}, Case{cbrMono, 3, 64, 0, 0, 0}}) {
        RecorderMp3Output out(lib.path());
        ASSERT_TRUE(out.LoadEncoderLibrary());
        std::string name = testenv::root() + "config.mp3";
        ASSERT_TRUE(out.OpenEncoderStream(name, c.settings));
        const std::uint8_t* r = lib.state().config;
        EXPECT_EQ(le32(r + 0), 256u);
        EXPECT_EQ(le32(r + 4), 1u);
        EXPECT_EQ(le32(r + 8), 331u);
        EXPECT_EQ(le32(r + 12), c.settings.sampleRate);
        EXPECT_EQ(le32(r + 16), 0u);
        EXPECT_EQ(le32(r + 20), c.mode);
        EXPECT_EQ(le32(r + 24), c.bitrate);
        EXPECT_EQ(le32(r + 28), c.maxBitrate);
        for (int offset = 32; offset < 68; offset += 4) {
            EXPECT_EQ(le32(r + offset), 0u) << offset;
        }
        EXPECT_EQ(le32(r + 68), c.vbr);
        EXPECT_EQ(le32(r + 72), c.quality);
        EXPECT_EQ(le32(r + 76), 0u);
        EXPECT_EQ(le32(r + 80), 1u);
        for (int offset = 84; offset < 331; ++offset) {
            ASSERT_EQ(r[offset], 0) << offset;
        }
        lib.state().reset();
    }
}

TEST(RecorderMp3Output, EncodesABufferInChunksAndFlushesAtClose) {
    FakeLameLibrary lib;
    ASSERT_TRUE(lib.ok());
    RecorderMp3Output out(lib.path());
    ASSERT_TRUE(out.LoadEncoderLibrary());
    std::string name = testenv::root() + "chunks.mp3";
    ASSERT_TRUE(out.OpenEncoderStream(name, RecorderMp3Settings{}));
    EXPECT_EQ(out.SamplesPerChunk(), 2304u);

    std::vector<std::uint8_t> first = ramp(17640);
    std::vector<std::uint8_t> second = ramp(2205); // odd: the last byte is half a sample
    EXPECT_TRUE(out.EncodeBuffer(first.data(), 17640));
    EXPECT_EQ(lib.state().encodeCounts, (std::vector<std::uint32_t>{2304, 2304, 2304, 1908}));
    EXPECT_TRUE(out.EncodeBuffer(second.data(), 2205));
    EXPECT_EQ(lib.state().encodeCounts.back(), 1102u);
    out.CloseEncoderStream();
    out.UnloadEncoderLibrary();
    EXPECT_EQ(lib.state().deinits, 1);
    EXPECT_EQ(lib.state().closes, 1);

    std::string expected(first.begin(), first.end());
    expected.append(second.begin(), second.end() - 1);
    expected += "END!";
    EXPECT_EQ(testenv::readFile(name), expected);
}

TEST(RecorderMp3Output, AFailedChunkDropsTheRestOfThatBufferOnly) {
    FakeLameLibrary lib;
    ASSERT_TRUE(lib.ok());
    lib.state().failEncodeAtCall = 1;
    RecorderMp3Output out(lib.path());
    ASSERT_TRUE(out.LoadEncoderLibrary());
    std::string name = testenv::root() + "fail.mp3";
    ASSERT_TRUE(out.OpenEncoderStream(name, RecorderMp3Settings{}));
    std::vector<std::uint8_t> buffer = ramp(17640);
    EXPECT_FALSE(out.EncodeBuffer(buffer.data(), 17640));
    EXPECT_EQ(lib.state().encodeCounts.size(), 2u);
    EXPECT_TRUE(out.EncodeBuffer(buffer.data(), 17640));
    EXPECT_EQ(lib.state().encodeCounts.size(), 6u);
    out.CloseEncoderStream();
    std::string file = testenv::readFile(name);
    EXPECT_EQ(file.size(), 2 * 2304 + 17640 + 4);
    EXPECT_EQ(file.substr(2 * 2304, 17640), std::string(buffer.begin(), buffer.end()));
}

TEST(RecorderMp3Output, MissingOrIncompleteLibraryFailsWithoutCallingIt) {
    for (std::string path : {testenv::appDir() + "recorder_no_such_lame.so",
                             testenv::appDir() + "recorder_fake_lame_noclose.so"}) {
        RecorderMp3Output out(path);
        EXPECT_FALSE(out.LoadEncoderLibrary()) << path;
        EXPECT_FALSE(out.LibraryLoaded());
        std::string name = testenv::root() + "absent.mp3";
        testenv::writeFile(name, "old");
        EXPECT_FALSE(out.OpenEncoderStream(name, RecorderMp3Settings{}));
        // The existing file is deleted before the library is looked at.
        EXPECT_FALSE(testenv::fileExists(name));
        std::vector<std::uint8_t> buffer = ramp(100);
        EXPECT_FALSE(out.EncodeBuffer(buffer.data(), 100));
        out.CloseEncoderStream();
        out.UnloadEncoderLibrary();
        EXPECT_FALSE(testenv::fileExists(name));
    }
}

TEST(RecorderMp3Output, RefusedConfigurationLeavesAnEmptyFileAndNoStream) {
    FakeLameLibrary lib;
    ASSERT_TRUE(lib.ok());
    lib.state().initResult = BE_ERR_INVALID_FORMAT_PARAMETERS;
    RecorderMp3Output out(lib.path());
    ASSERT_TRUE(out.LoadEncoderLibrary());
    std::string name = testenv::root() + "refused.mp3";
    EXPECT_FALSE(out.OpenEncoderStream(name, RecorderMp3Settings{}));
    EXPECT_TRUE(testenv::fileExists(name));
    EXPECT_EQ(testenv::readFile(name), "");
    out.CloseEncoderStream();
    out.UnloadEncoderLibrary();
    EXPECT_EQ(lib.state().deinits, 0);
    EXPECT_EQ(lib.state().closes, 0);
}

TEST(RecorderMp3Output, AStreamTakingNoSamplesIsRefused) {
    FakeLameLibrary lib;
    ASSERT_TRUE(lib.ok());
    lib.state().samplesPerChunk = 0;
    RecorderMp3Output out(lib.path());
    ASSERT_TRUE(out.LoadEncoderLibrary());
    EXPECT_FALSE(out.OpenEncoderStream(testenv::root() + "zero.mp3", RecorderMp3Settings{}));
    EXPECT_FALSE(out.StreamOpen());
    EXPECT_EQ(lib.state().closes, 1);
}

TEST(RecorderMp3Output, ExistingFilesThatCannotBeReplacedFailTheOpen) {
    FakeLameLibrary lib;
    ASSERT_TRUE(lib.ok());
    RecorderMp3Output out(lib.path());
    ASSERT_TRUE(out.LoadEncoderLibrary());
    // A read-only file is kept.
    std::string readOnly = testenv::root() + "readonly.mp3";
    testenv::writeFile(readOnly, "keep");
    ASSERT_EQ(chmod(readOnly.c_str(), 0444), 0);
    EXPECT_FALSE(out.OpenEncoderStream(readOnly, RecorderMp3Settings{}));
    EXPECT_EQ(testenv::readFile(readOnly), "keep");
    // A name that is a directory cannot be deleted as a file.
    std::string dir = testenv::makeDir("dir.mp3");
    EXPECT_FALSE(out.OpenEncoderStream(dir, RecorderMp3Settings{}));
    // A name under a regular file cannot be created.
    EXPECT_FALSE(out.OpenEncoderStream(readOnly + "/x.mp3", RecorderMp3Settings{}));
    EXPECT_EQ(lib.state().inits, 0);
}
