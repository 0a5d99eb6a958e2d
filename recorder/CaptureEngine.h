#pragma once

// The recorder's capture engine: a ring of ten device buffers of a tenth of a
// second each, taken in turn, measured, passed through the silence gate and
// handed to the recording's output. It runs on the user-interface thread and
// talks to its window only through CaptureHost.

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/WaveIn.h"

namespace recorder {

inline constexpr int kCaptureBufferCount = 10;

// Bytes of one capture buffer: a tenth of a second, cut down to whole sample
// frames (at 11025 Hz a tenth of a second is not a whole number of frames for
// 16-bit or stereo audio, and the device only delivers whole frames).
std::uint32_t CaptureBufferSize(const platform::WaveFormat& format);

// Quiet buffers the gate tolerates after the last loud one:
// ((position x byte rate) / 100) / buffer size, integer divisions.
int InertiaBuffers(int inertiaPosition, std::uint32_t byteRate, std::uint32_t bufferSize);

// The level of a buffer, 0 to 128, channels not separated.
// 8 bits: mean of |127 - b| over the bytes. 16 bits: (sum of |x| / samples) >> 8.
int BufferLevel(const std::uint8_t* data, std::uint32_t length, int bitsPerSample);

// What the engine needs from its window. All calls come from the engine's
// thread (the user-interface thread).
class CaptureHost {
public:
    virtual ~CaptureHost() = default;

    // The switching level T (0 to 127) and the inertia slider position s
    // (0 to 50), read afresh in every cycle.
    virtual int SwitchingLevel() = 0;
    virtual int InertiaPosition() = 0;

    // Replaces the status line's text and paints it at once.
    virtual void ShowStatus(const std::string& text) = 0;
    // Per-buffer displays.
    virtual void ShowLevel(int level) = 0;
    virtual void ShowOverruns(std::uint32_t overruns) = 0;
    virtual void ShowWritten(std::uint64_t writtenBuffers, std::uint32_t bufferSize) = 0;
    virtual void ShowTake(std::uint64_t takeBuffers, std::uint32_t bufferSize) = 0;
    virtual void ShowGateState(bool gateOpen) = 0;
    // The gate has just closed.
    virtual void SignalPause() = 0;

    // Hands one buffer of the recording to the output. The result is not examined.
    virtual void WriteOutput(const std::uint8_t* data, std::uint32_t length) = 0;

    // Processes pending window events. With maxWaitMs > 0 it may block up to
    // that long for the next event when none is pending (the engine is waiting
    // for the device); with 0 it returns as soon as the pending events are done.
    virtual void ProcessEvents(int maxWaitMs) = 0;
};

// Counters of one run, readable by the window and tests.
struct CaptureCounters {
    std::uint32_t overruns = 0;
    std::uint64_t writtenBuffers = 0;
    std::uint64_t takeBuffers = 0;
    std::uint32_t silenceCount = 0;
    std::uint64_t cycles = 0;
};

class CaptureEngine {
public:
    explicit CaptureEngine(CaptureHost& host);
    ~CaptureEngine();
    CaptureEngine(const CaptureEngine&) = delete;
    CaptureEngine& operator=(const CaptureEngine&) = delete;

    // Creates the run state of one Start: counters 0, the stop request cleared,
    // the gate open without autocut and closed with it.
    void BeginRun(bool autocut);

    // Opens the device with the format, allocates and queues the ten buffers and
    // starts the device, writing its progress into the status line. On failure
    // releases what it acquired and returns false; the status line says why.
    bool OpenCapture(const platform::WaveFormat& format, std::unique_ptr<platform::WaveIn> device);

    // Runs cycles until the stop request is seen. A stop request also ends the
    // wait for a buffer at once; that buffer is not written.
    void CaptureLoop();

    // Clears the stop request, stops, resets and closes the device and frees the
    // buffers. Safe to call when nothing is open.
    void CloseCapture();

    void RequestStop() { stopRequest_ = true; }
    bool StopRequested() const { return stopRequest_; }

    bool IsOpen() const { return device_ != nullptr; }
    bool GateOpen() const { return gateOpen_; }
    const CaptureCounters& Counters() const { return counters_; }
    std::uint32_t BufferSize() const { return bufferSize_; }
    const platform::WaveFormat& Format() const { return format_; }

    // How long one wait for the device may block while no event arrives.
    static constexpr int kWaitSliceMs = 5;

private:
    bool Fail(const std::string& text);
    // Halts and closes the device and frees the buffers; leaves the run state.
    void Release();
    void ReleaseBuffers();
    void HaltDevice();

    CaptureHost& host_;
    std::unique_ptr<platform::WaveIn> device_;
    platform::WaveFormat format_;
    std::uint32_t bufferSize_ = 0;
    std::array<platform::WaveHeader, kCaptureBufferCount> headers_;
    std::array<std::vector<std::uint8_t>, kCaptureBufferCount> buffers_;
    std::vector<std::uint8_t> work_;
    int allocated_ = 0;               // buffers allocated (and their headers filled) so far
    int p_ = 0;                       // buffer to take next
    int q_ = kCaptureBufferCount - 1; // buffer queued most recently

    CaptureCounters counters_;
    bool autocut_ = false;
    bool gateOpen_ = true;
    bool stopRequest_ = false;
};

} // namespace recorder
