#include "recorder/CaptureEngine.h"

#include <cstring>

namespace recorder {

using platform::WaveHeader;

std::uint32_t CaptureBufferSize(const platform::WaveFormat& format) {
    std::uint32_t size = format.avgBytesPerSec / 10;
    if (format.blockAlign > 0) {
        size -= size % format.blockAlign;
    }
    return size;
}

int InertiaBuffers(int inertiaPosition, std::uint32_t byteRate, std::uint32_t bufferSize) {
    if (bufferSize == 0 || inertiaPosition <= 0) {
        return 0;
    }
    std::uint64_t bytes = static_cast<std::uint64_t>(inertiaPosition) * byteRate / 100;
    return static_cast<int>(bytes / bufferSize);
}

int BufferLevel(const std::uint8_t* data, std::uint32_t length, int bitsPerSample) {
    if (bitsPerSample == 8) {
        if (length == 0) {
            return 0;
        }
        std::uint64_t sum = 0;
        for (std::uint32_t i = 0; i < length; ++i) {
            int b = data[i];
            sum += static_cast<std::uint64_t>(b > 127 ? b - 127 : 127 - b);
        }
        return static_cast<int>(sum / length);
    }
    std::uint32_t samples = length / 2;
    if (samples == 0) {
        return 0;
    }
    std::uint64_t sum = 0;
    for (std::uint32_t i = 0; i < samples; ++i) {
        auto x = static_cast<std::int16_t>(static_cast<std::uint16_t>(data[2 * i]) |
                                           static_cast<std::uint16_t>(data[2 * i + 1] << 8));
        sum += static_cast<std::uint64_t>(x < 0 ? -static_cast<std::int32_t>(x) : x);
    }
    return static_cast<int>((sum / samples) >> 8);
}

CaptureEngine::CaptureEngine(CaptureHost& host) : host_(host) {}

CaptureEngine::~CaptureEngine() {
    CloseCapture();
}

void CaptureEngine::BeginRun(bool autocut) {
    counters_ = CaptureCounters{};
    autocut_ = autocut;
    gateOpen_ = !autocut;
    stopRequest_ = false;
}

bool CaptureEngine::OpenCapture(const platform::WaveFormat& format,
                                std::unique_ptr<platform::WaveIn> device) {
    Release();
    format_ = format;

    host_.ShowStatus("Opening wave device....");
    std::uint32_t result = device ? device->open(format) : platform::WaveErrorBadDevice;
    if (result != platform::WaveOk) {
        host_.ShowStatus("Opening device - Error Code:" + std::to_string(result));
        return false;
    }
    device_ = std::move(device);
    host_.ShowStatus("Opening wave device.... Ok ");

    bufferSize_ = CaptureBufferSize(format);
    work_.assign(bufferSize_, 0);
    for (int i = 0; i < kCaptureBufferCount; ++i) {
        buffers_[i].assign(bufferSize_, 0);
        WaveHeader& header = headers_[i];
        header.data = buffers_[i].data();
        header.bufferLength = bufferSize_;
        header.bytesRecorded.store(0);
        header.flags.store(0);
        header.loops = 0;
        header.user = 0;
        allocated_ = i + 1;

        result = device_->prepareHeader(header);
        if (result != platform::WaveOk) {
            return Fail("Preparing Buffer " + std::to_string(i) +
                        " - Error Code:" + std::to_string(result));
        }
        host_.ShowStatus("Preparing Buffer - Ok....");
        result = device_->addBuffer(header);
        if (result != platform::WaveOk) {
            return Fail("Adding Buffer " + std::to_string(i) +
                        " - Error Code:" + std::to_string(result));
        }
        host_.ShowStatus("Adding Buffer - Ok....");
    }

    p_ = 0;
    q_ = kCaptureBufferCount - 1;
    result = device_->start();
    if (result != platform::WaveOk) {
        return Fail("Starting record - Error Code:" + std::to_string(result));
    }
    host_.ShowStatus("Initialization Ok");
    return true;
}

bool CaptureEngine::Fail(const std::string& text) {
    host_.ShowStatus(text);
    Release();
    return false;
}

void CaptureEngine::CaptureLoop() {
    if (!device_) {
        return;
    }
    while (!stopRequest_) {
        const int threshold = host_.SwitchingLevel();
        const int inertia =
            InertiaBuffers(host_.InertiaPosition(), format_.avgBytesPerSec, bufferSize_);

        // All ten buffers full when the cycle begins: the device has had nowhere
        // to put its audio since.
        if (headers_[q_].done()) {
            ++counters_.overruns;
        }
        host_.ShowOverruns(counters_.overruns);

        WaveHeader& header = headers_[p_];
        while (!header.done() && !stopRequest_) {
            host_.ProcessEvents(kWaitSliceMs);
        }
        if (!stopRequest_) {
            host_.ProcessEvents(0);
        }
        if (header.done()) {
            device_->unprepareHeader(header);
            std::memcpy(work_.data(), header.data, bufferSize_);
        }

        if (stopRequest_) {
            HaltDevice();
            return;
        }

        device_->prepareHeader(header);
        device_->addBuffer(header);
        q_ = p_;

        const int level = BufferLevel(work_.data(), bufferSize_, format_.bitsPerSample);
        host_.ShowLevel(level);

        if (level > threshold) {
            if (!gateOpen_) {
                counters_.takeBuffers = 0;
            }
            gateOpen_ = true;
            ++counters_.takeBuffers;
            counters_.silenceCount = 0;
        }
        if (level < threshold && gateOpen_) {
            ++counters_.silenceCount;
        }
        if (gateOpen_) {
            ++counters_.writtenBuffers;
            host_.ShowWritten(counters_.writtenBuffers, bufferSize_);
            host_.WriteOutput(work_.data(), bufferSize_);
        }
        if (autocut_ && gateOpen_ && counters_.silenceCount > static_cast<std::uint32_t>(inertia)) {
            gateOpen_ = false;
            host_.SignalPause();
        }
        host_.ShowTake(counters_.takeBuffers, bufferSize_);
        host_.ShowGateState(gateOpen_);

        p_ = (p_ + 1) % kCaptureBufferCount;
        ++counters_.cycles;
    }
}

// Stops the device, takes every queued buffer back and unprepares all of them.
void CaptureEngine::HaltDevice() {
    if (!device_) {
        return;
    }
    device_->stop();
    device_->reset();
    for (int i = 0; i < allocated_; ++i) {
        if (headers_[i].flags.load() & platform::WaveHeaderPrepared) {
            device_->unprepareHeader(headers_[i]);
        }
    }
}

void CaptureEngine::CloseCapture() {
    stopRequest_ = false;
    Release();
}

void CaptureEngine::Release() {
    if (device_) {
        HaltDevice();
        device_->close();
        device_.reset();
    }
    ReleaseBuffers();
}

void CaptureEngine::ReleaseBuffers() {
    for (int i = 0; i < kCaptureBufferCount; ++i) {
        WaveHeader& header = headers_[i];
        header.data = nullptr;
        header.bufferLength = 0;
        header.bytesRecorded.store(0);
        header.flags.store(0);
        std::vector<std::uint8_t>().swap(buffers_[i]);
    }
    std::vector<std::uint8_t>().swap(work_);
    allocated_ = 0;
}

} // namespace recorder
