#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdlib>
#include <thread>
#include <vector>

#include "AlsaFileDevice.h"
#include "platform/WaveIn.h"

using platform::WaveFormat;
using platform::WaveHeader;

namespace {

struct Buffers {
    explicit Buffers(int count, std::uint32_t length) : storage(count), headers(count) {
        for (int i = 0; i < count; ++i) {
            storage[i].assign(length, 0xEE);
            headers[i].data = storage[i].data();
            headers[i].bufferLength = length;
        }
    }
    std::vector<std::vector<std::uint8_t>> storage;
    std::vector<WaveHeader> headers;
};

bool waitDone(const WaveHeader& header, int ms = 5000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!header.done()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

std::vector<std::uint8_t> pattern(std::size_t bytes) {
    std::vector<std::uint8_t> raw(bytes);
    std::uint32_t x = 12345;
    for (auto& b : raw) {
        x = x * 1103515245u + 12345u;
        b = static_cast<std::uint8_t>(x >> 16);
    }
    return raw;
}

} // namespace

// Every format the recorder offers is captured byte for byte in queue order,
// buffers holding whole frames only.
TEST(WaveInAlsa, CapturesTheDeviceBytesInQueueOrder) {
    struct Row {
        std::uint32_t rate;
        std::uint16_t channels;
        std::uint16_t bits;
        std::uint32_t length; // bytes per buffer, whole frames
    };
    for (Row row : {Row{8000, 1, 8, 800}, Row{11025, 1, 16, 2204}, Row{11025, 2, 8, 2204},
                    Row{22050, 2, 16, 8820}, Row{44100, 2, 16, 17640}, Row{48000, 1, 16, 9600}}) {
        SCOPED_TRACE(std::to_string(row.rate) + "/" + std::to_string(row.channels) + "/" +
                     std::to_string(row.bits));
        const int count = 4;
        std::vector<std::uint8_t> raw = pattern(row.length * (count + 4));
        testenv::AlsaFileDevice device(raw);
        auto in = platform::makeAlsaWaveIn();
        ASSERT_EQ(in->open(WaveFormat::pcm(row.rate, row.channels, row.bits)), platform::WaveOk);
        Buffers buffers(count, row.length);
        for (WaveHeader& h : buffers.headers) {
            ASSERT_EQ(in->prepareHeader(h), platform::WaveOk);
            ASSERT_EQ(in->addBuffer(h), platform::WaveOk);
            EXPECT_TRUE(h.flags.load() & platform::WaveHeaderInQueue);
        }
        ASSERT_EQ(in->start(), platform::WaveOk);
        for (int i = 0; i < count; ++i) {
            ASSERT_TRUE(waitDone(buffers.headers[i])) << "buffer " << i;
            EXPECT_EQ(buffers.headers[i].bytesRecorded.load(), row.length);
            EXPECT_FALSE(buffers.headers[i].flags.load() & platform::WaveHeaderInQueue);
            EXPECT_TRUE(std::equal(buffers.storage[i].begin(), buffers.storage[i].end(),
                                   raw.begin() + i * row.length))
                << "buffer " << i;
        }
        EXPECT_EQ(in->stop(), platform::WaveOk);
        EXPECT_EQ(in->reset(), platform::WaveOk);
        for (WaveHeader& h : buffers.headers) {
            EXPECT_EQ(in->unprepareHeader(h), platform::WaveOk);
        }
        EXPECT_EQ(in->close(), platform::WaveOk);
    }
}

// A buffer queued again after it was taken continues the stream where the
// previous one ended.
TEST(WaveInAlsa, RequeuedBuffersContinueTheStream) {
    const std::uint32_t length = 1600;
    std::vector<std::uint8_t> raw = pattern(length * 12);
    testenv::AlsaFileDevice device(raw);
    auto in = platform::makeAlsaWaveIn();
    ASSERT_EQ(in->open(WaveFormat::pcm(8000, 1, 16)), platform::WaveOk);
    Buffers buffers(2, length);
    for (WaveHeader& h : buffers.headers) {
        in->prepareHeader(h);
        in->addBuffer(h);
    }
    ASSERT_EQ(in->start(), platform::WaveOk);
    std::vector<std::uint8_t> got;
    for (int i = 0; i < 6; ++i) {
        WaveHeader& h = buffers.headers[i % 2];
        ASSERT_TRUE(waitDone(h));
        got.insert(got.end(), h.data, h.data + length);
        ASSERT_EQ(in->addBuffer(h), platform::WaveOk);
    }
    EXPECT_TRUE(std::equal(got.begin(), got.end(), raw.begin()));
    in->reset();
    EXPECT_EQ(in->close(), platform::WaveOk);
}

TEST(WaveInAlsa, ResultCodesOfMisuse) {
    testenv::AlsaFileDevice device(pattern(64000));
    auto in = platform::makeAlsaWaveIn();
    Buffers buffers(3, 800);

    EXPECT_EQ(in->prepareHeader(buffers.headers[0]), platform::WaveErrorInvalidHandle);
    EXPECT_EQ(in->start(), platform::WaveErrorInvalidHandle);
    EXPECT_EQ(in->close(), platform::WaveErrorInvalidHandle);
    WaveFormat bad = WaveFormat::pcm(44100, 2, 24);
    EXPECT_EQ(in->open(bad), platform::WaveErrorBadFormat);
    WaveFormat inconsistent = WaveFormat::pcm(44100, 2, 16);
    inconsistent.avgBytesPerSec = 1000;
    EXPECT_EQ(in->open(inconsistent), platform::WaveErrorBadFormat);

    ASSERT_EQ(in->open(WaveFormat::pcm(8000, 1, 8)), platform::WaveOk);
    EXPECT_EQ(in->open(WaveFormat::pcm(8000, 1, 8)), platform::WaveErrorAllocated);
    EXPECT_EQ(in->addBuffer(buffers.headers[0]), platform::WaveErrorUnprepared);
    WaveHeader empty;
    EXPECT_EQ(in->prepareHeader(empty), platform::WaveErrorInvalidParam);

    for (WaveHeader& h : buffers.headers) {
        ASSERT_EQ(in->prepareHeader(h), platform::WaveOk);
        ASSERT_EQ(in->addBuffer(h), platform::WaveOk);
    }
    EXPECT_EQ(in->addBuffer(buffers.headers[0]), platform::WaveErrorStillPlaying);
    EXPECT_EQ(in->unprepareHeader(buffers.headers[1]), platform::WaveErrorStillPlaying);
    EXPECT_EQ(in->close(), platform::WaveErrorStillPlaying);

    // Never started: reset hands every queued buffer back, empty.
    EXPECT_EQ(in->reset(), platform::WaveOk);
    for (WaveHeader& h : buffers.headers) {
        EXPECT_TRUE(h.done());
        EXPECT_EQ(h.bytesRecorded.load(), 0u);
        EXPECT_EQ(in->unprepareHeader(h), platform::WaveOk);
        EXPECT_FALSE(h.flags.load() & platform::WaveHeaderPrepared);
    }
    EXPECT_EQ(in->close(), platform::WaveOk);
}

TEST(WaveInAlsa, AMissingDeviceFailsToOpenWithACode) {
    setenv("TUNEWRIGHT_WAVE_DEVICE", "tw_no_such_capture_device", 1);
    auto in = platform::makeAlsaWaveIn();
    EXPECT_EQ(in->open(WaveFormat::pcm(44100, 2, 16)), platform::WaveErrorBadDevice);
    unsetenv("TUNEWRIGHT_WAVE_DEVICE");
    EXPECT_EQ(platform::waveInDeviceName(), "default");
}

// A device that is destroyed while capturing stops its thread and releases the
// device (the sanitizers check that nothing is left behind).
TEST(WaveInAlsa, DestroyingAnOpenDeviceStopsIt) {
    testenv::AlsaFileDevice device(pattern(64000));
    Buffers buffers(2, 1600);
    {
        auto in = platform::makeAlsaWaveIn();
        ASSERT_EQ(in->open(WaveFormat::pcm(8000, 1, 16)), platform::WaveOk);
        for (WaveHeader& h : buffers.headers) {
            in->prepareHeader(h);
            in->addBuffer(h);
        }
        in->start();
    }
    for (WaveHeader& h : buffers.headers) {
        EXPECT_TRUE(h.done());
    }
}
