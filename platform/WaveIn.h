#pragma once

// Wave input: the buffer-queue model of a capture device. The caller opens the
// device with a PCM format, prepares and queues buffers, starts the device, and
// polls each buffer's done flag; the device fills the queued buffers strictly in
// the order they were queued. While no buffer is queued the device keeps
// capturing into its own small buffer and what does not fit is lost.
//
// Every operation returns a numeric result code (WaveResult); 0 is success.
// All operations are called from one thread (the caller's); the device fills
// buffers on a thread of its own and only touches a buffer while it is queued.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace platform {

// Result codes of the wave-input operations, numbered like the multimedia
// result codes users of such devices know.
enum WaveResult : std::uint32_t {
    WaveOk = 0,
    WaveErrorGeneral = 1,       // the device failed in a way not listed below
    WaveErrorBadDevice = 2,     // no such capture device
    WaveErrorAllocated = 4,     // the device is busy (opened by someone else)
    WaveErrorInvalidHandle = 5, // the device is not open
    WaveErrorNoMemory = 7,
    WaveErrorInvalidParam = 11, // a header without data, or a buffer shorter than a frame
    WaveErrorBadFormat =
        32, // the format is not 8/16-bit PCM, mono/stereo, or the device refuses it
    WaveErrorStillPlaying = 33, // the buffer is queued, or buffers are still queued at close
    WaveErrorUnprepared = 34,   // the buffer was queued without being prepared
};

// The 16-byte PCM format record followed by its extra-size field.
struct WaveFormat {
    std::uint16_t formatTag = 1; // 1 = integer PCM
    std::uint16_t channels = 2;
    std::uint32_t samplesPerSec = 44100;
    std::uint32_t avgBytesPerSec = 176400;
    std::uint16_t blockAlign = 4;
    std::uint16_t bitsPerSample = 16;
    std::uint16_t extraSize = 0;

    // A consistent PCM format for the triple (rate, channels, bits).
    static WaveFormat pcm(std::uint32_t rate, std::uint16_t channels, std::uint16_t bits);
};

// Header flags.
enum WaveHeaderFlag : std::uint32_t {
    WaveHeaderDone = 0x01,     // the device has finished with the buffer
    WaveHeaderPrepared = 0x02, // prepared for queueing
    WaveHeaderInQueue = 0x10,  // queued on the device
};

// Describes one capture buffer. The caller owns the header and the memory it
// points to; both must stay valid while the buffer is prepared. The device
// writes `data`, `bytesRecorded` and `flags` only while the buffer is queued;
// it publishes the done flag last (release), so a caller that sees the flag
// (acquire) also sees the bytes.
struct WaveHeader {
    std::uint8_t* data = nullptr;
    std::uint32_t bufferLength = 0;
    std::atomic<std::uint32_t> bytesRecorded{0};
    std::uintptr_t user = 0;
    std::atomic<std::uint32_t> flags{0};
    std::uint32_t loops = 0;

    bool done() const { return (flags.load(std::memory_order_acquire) & WaveHeaderDone) != 0; }
};

class WaveIn {
public:
    virtual ~WaveIn() = default;

    // Opens the capture device with the format. A busy device fails at once.
    virtual std::uint32_t open(const WaveFormat& format) = 0;
    // Marks a header prepared; the buffer must hold at least one frame. A buffer
    // whose length is not a whole number of frames is filled up to its last
    // whole frame.
    virtual std::uint32_t prepareHeader(WaveHeader& header) = 0;
    // Clears the prepared flag; fails with WaveErrorStillPlaying while queued.
    virtual std::uint32_t unprepareHeader(WaveHeader& header) = 0;
    // Appends a prepared buffer to the queue; clears its done flag.
    virtual std::uint32_t addBuffer(WaveHeader& header) = 0;
    // Starts capturing into the queued buffers.
    virtual std::uint32_t start() = 0;
    // Stops capturing. A buffer filled in part is marked done with the bytes it
    // holds; buffers not yet touched stay queued.
    virtual std::uint32_t stop() = 0;
    // Stops capturing and marks every queued buffer done, returning it to the
    // caller (bytesRecorded tells what it holds, often 0).
    virtual std::uint32_t reset() = 0;
    // Closes the device; fails with WaveErrorStillPlaying while buffers are queued.
    virtual std::uint32_t close() = 0;
};

// The ALSA capture device named by TUNEWRIGHT_WAVE_DEVICE, "default" when unset.
// It is opened non-blocking (so a busy device fails instead of hanging) and then
// read in blocking mode, never asking for more than the device has ready, so
// stop, reset and close return promptly also when the device stops delivering.
// An overflow of the device's own buffer is recovered and the audio lost.
std::unique_ptr<WaveIn> makeAlsaWaveIn();

// The device name makeAlsaWaveIn uses.
std::string waveInDeviceName();

// Creates the wave-input device a recording uses: the installed factory, or
// makeAlsaWaveIn when none is installed.
using WaveInFactory = std::function<std::unique_ptr<WaveIn>()>;
std::unique_ptr<WaveIn> makeWaveIn();
// Replaces the factory (an empty one restores ALSA) and returns the previous one.
WaveInFactory installWaveInFactory(WaveInFactory factory);

} // namespace platform
