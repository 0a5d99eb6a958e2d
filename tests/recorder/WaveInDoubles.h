#pragma once

// Wave-input devices for tests and measurements: one the test fills by hand, and
// one that fills its buffers at the pace of a real sound card.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/WaveIn.h"

namespace testenv {

// A device that fills a queued buffer only when the test calls deliver(). It keeps
// the same rules as the real device (prepared before queued, no unprepare or
// close while queued) and logs every call. The state is shared so the test can
// look at it after the engine has destroyed the device.
struct ManualWaveInState {
    std::vector<std::string> calls; // "open", "prepare 3", "add 3", "start", ...
    std::deque<platform::WaveHeader*> queue;
    std::vector<platform::WaveHeader*> known; // headers in the order first prepared
    bool open = false;
    bool started = false;
    // Failures to inject: the result code, and for prepare/add the buffer index.
    std::uint32_t openResult = platform::WaveOk;
    int failPrepareAt = -1;
    int failAddAt = -1;
    std::uint32_t failResult = platform::WaveErrorInvalidParam;
    std::uint32_t startResult = platform::WaveOk;
    // Prepared headers left when close was called.
    int preparedAtClose = -1;

    int indexOf(const platform::WaveHeader* header) const;
    // Fills the next queued buffer with `fill` and marks it done; false when none is queued.
    bool deliver(const std::function<void(std::uint8_t*, std::uint32_t)>& fill);
    bool deliverConstant(std::int16_t value);
    int deliverAll(std::int16_t value);
};

class ManualWaveIn : public platform::WaveIn {
public:
    explicit ManualWaveIn(std::shared_ptr<ManualWaveInState> state) : s_(std::move(state)) {}
    std::uint32_t open(const platform::WaveFormat& format) override;
    std::uint32_t prepareHeader(platform::WaveHeader& header) override;
    std::uint32_t unprepareHeader(platform::WaveHeader& header) override;
    std::uint32_t addBuffer(platform::WaveHeader& header) override;
    std::uint32_t start() override;
    std::uint32_t stop() override;
    std::uint32_t reset() override;
    std::uint32_t close() override;

private:
    std::shared_ptr<ManualWaveInState> s_;
};

// A device that delivers audio at real-time pace: every queued buffer is filled
// with a sine (amplitude 8000, 440 Hz) and marked done when the buffer's
// duration has passed since the previous one. While no buffer is queued, the
// audio of that time is lost, as on a sound card.
class PacedWaveIn : public platform::WaveIn {
public:
    PacedWaveIn() = default;
    ~PacedWaveIn() override;
    std::uint32_t open(const platform::WaveFormat& format) override;
    std::uint32_t prepareHeader(platform::WaveHeader& header) override;
    std::uint32_t unprepareHeader(platform::WaveHeader& header) override;
    std::uint32_t addBuffer(platform::WaveHeader& header) override;
    std::uint32_t start() override;
    std::uint32_t stop() override;
    std::uint32_t reset() override;
    std::uint32_t close() override;

    // Buffers whose time came while none was queued.
    std::uint64_t lostBuffers() const { return lost_.load(); }

private:
    void run();

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<platform::WaveHeader*> queue_;
    platform::WaveFormat format_;
    bool open_ = false;
    bool running_ = false;
    bool quit_ = false;
    std::uint64_t frame_ = 0; // sine phase
    std::atomic<std::uint64_t> lost_{0};
    std::thread thread_;
};

} // namespace testenv
