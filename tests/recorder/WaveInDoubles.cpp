#include "WaveInDoubles.h"

#include <chrono>
#include <cmath>

namespace testenv {

using platform::WaveHeader;

namespace {

void markDone(WaveHeader& header, std::uint32_t bytes) {
    header.bytesRecorded.store(bytes);
    std::uint32_t flags = header.flags.load();
    header.flags.store((flags & ~std::uint32_t(platform::WaveHeaderInQueue)) |
                           platform::WaveHeaderDone,
                       std::memory_order_release);
}

} // namespace

int ManualWaveInState::indexOf(const WaveHeader* header) const {
    for (std::size_t i = 0; i < known.size(); ++i) {
        if (known[i] == header) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

bool ManualWaveInState::deliver(const std::function<void(std::uint8_t*, std::uint32_t)>& fill) {
    if (queue.empty() || !started) {
        return false;
    }
    WaveHeader* header = queue.front();
    queue.pop_front();
    fill(header->data, header->bufferLength);
    markDone(*header, header->bufferLength);
    return true;
}

bool ManualWaveInState::deliverConstant(std::int16_t value) {
    return deliver([value](std::uint8_t* data, std::uint32_t length) {
        for (std::uint32_t i = 0; i + 1 < length; i += 2) {
            data[i] = static_cast<std::uint8_t>(value & 0xff);
            data[i + 1] = static_cast<std::uint8_t>((value >> 8) & 0xff);
        }
    });
}

int ManualWaveInState::deliverAll(std::int16_t value) {
    int n = 0;
    while (deliverConstant(value)) {
        ++n;
    }
    return n;
}

std::uint32_t ManualWaveIn::open(const platform::WaveFormat&) {
    s_->calls.push_back("open");
    if (s_->openResult != platform::WaveOk) {
        return s_->openResult;
    }
    s_->open = true;
    return platform::WaveOk;
}

std::uint32_t ManualWaveIn::prepareHeader(WaveHeader& header) {
    if (s_->indexOf(&header) < 0) {
        s_->known.push_back(&header);
    }
    int index = s_->indexOf(&header);
    s_->calls.push_back("prepare " + std::to_string(index));
    if (index == s_->failPrepareAt) {
        return s_->failResult;
    }
    header.flags.fetch_or(platform::WaveHeaderPrepared);
    return platform::WaveOk;
}

std::uint32_t ManualWaveIn::unprepareHeader(WaveHeader& header) {
    s_->calls.push_back("unprepare " + std::to_string(s_->indexOf(&header)));
    if (header.flags.load() & platform::WaveHeaderInQueue) {
        return platform::WaveErrorStillPlaying;
    }
    header.flags.fetch_and(~std::uint32_t(platform::WaveHeaderPrepared));
    return platform::WaveOk;
}

std::uint32_t ManualWaveIn::addBuffer(WaveHeader& header) {
    int index = s_->indexOf(&header);
    s_->calls.push_back("add " + std::to_string(index));
    if (index == s_->failAddAt) {
        return s_->failResult;
    }
    if (!(header.flags.load() & platform::WaveHeaderPrepared)) {
        return platform::WaveErrorUnprepared;
    }
    header.flags.store((header.flags.load() & ~std::uint32_t(platform::WaveHeaderDone)) |
                       platform::WaveHeaderInQueue);
    s_->queue.push_back(&header);
    return platform::WaveOk;
}

std::uint32_t ManualWaveIn::start() {
    s_->calls.push_back("start");
    if (s_->startResult != platform::WaveOk) {
        return s_->startResult;
    }
    s_->started = true;
    return platform::WaveOk;
}

std::uint32_t ManualWaveIn::stop() {
    s_->calls.push_back("stop");
    s_->started = false;
    return platform::WaveOk;
}

std::uint32_t ManualWaveIn::reset() {
    s_->calls.push_back("reset");
    s_->started = false;
    for (WaveHeader* header : s_->queue) {
        markDone(*header, 0);
    }
    s_->queue.clear();
    return platform::WaveOk;
}

std::uint32_t ManualWaveIn::close() {
    s_->calls.push_back("close");
    if (!s_->queue.empty()) {
        return platform::WaveErrorStillPlaying;
    }
    s_->preparedAtClose = 0;
    for (WaveHeader* header : s_->known) {
        if (header->flags.load() & platform::WaveHeaderPrepared) {
            ++s_->preparedAtClose;
        }
    }
    s_->open = false;
    return platform::WaveOk;
}

PacedWaveIn::~PacedWaveIn() {
    if (open_) {
        reset();
        close();
    }
}

std::uint32_t PacedWaveIn::open(const platform::WaveFormat& format) {
    std::lock_guard<std::mutex> lock(mutex_);
    format_ = format;
    open_ = true;
    quit_ = false;
    thread_ = std::thread([this] { run(); });
    return platform::WaveOk;
}

std::uint32_t PacedWaveIn::prepareHeader(WaveHeader& header) {
    header.flags.fetch_or(platform::WaveHeaderPrepared);
    return platform::WaveOk;
}

std::uint32_t PacedWaveIn::unprepareHeader(WaveHeader& header) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (header.flags.load() & platform::WaveHeaderInQueue) {
        return platform::WaveErrorStillPlaying;
    }
    header.flags.fetch_and(~std::uint32_t(platform::WaveHeaderPrepared));
    return platform::WaveOk;
}

std::uint32_t PacedWaveIn::addBuffer(WaveHeader& header) {
    std::lock_guard<std::mutex> lock(mutex_);
    header.flags.store((header.flags.load() & ~std::uint32_t(platform::WaveHeaderDone)) |
                       platform::WaveHeaderInQueue);
    queue_.push_back(&header);
    return platform::WaveOk;
}

std::uint32_t PacedWaveIn::start() {
    std::lock_guard<std::mutex> lock(mutex_);
    running_ = true;
    wake_.notify_all();
    return platform::WaveOk;
}

std::uint32_t PacedWaveIn::stop() {
    std::lock_guard<std::mutex> lock(mutex_);
    running_ = false;
    wake_.notify_all();
    return platform::WaveOk;
}

std::uint32_t PacedWaveIn::reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    running_ = false;
    for (WaveHeader* header : queue_) {
        markDone(*header, 0);
    }
    queue_.clear();
    wake_.notify_all();
    return platform::WaveOk;
}

std::uint32_t PacedWaveIn::close() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!queue_.empty()) {
            return platform::WaveErrorStillPlaying;
        }
        quit_ = true;
        open_ = false;
        wake_.notify_all();
    }
    thread_.join();
    return platform::WaveOk;
}

void PacedWaveIn::run() {
    using Clock = std::chrono::steady_clock;
    const std::uint32_t bufferBytes =
        format_.avgBytesPerSec / 10 / format_.blockAlign * format_.blockAlign;
    const auto period =
        std::chrono::nanoseconds(1'000'000'000ull * bufferBytes / format_.avgBytesPerSec);
    std::unique_lock<std::mutex> lock(mutex_);
    wake_.wait(lock, [this] { return quit_ || running_; });
    auto due = Clock::now() + period;
    while (!quit_) {
        if (wake_.wait_until(lock, due, [this] { return quit_; })) {
            break;
        }
        due += period;
        if (!running_) {
            continue;
        }
        if (queue_.empty()) {
            ++lost_;
            frame_ += bufferBytes / format_.blockAlign;
            continue;
        }
        WaveHeader* header = queue_.front();
        queue_.pop_front();
        const std::uint32_t frames = header->bufferLength / format_.blockAlign;
        for (std::uint32_t f = 0; f < frames; ++f, ++frame_) {
            double v = 8000.0 * std::sin(2.0 * M_PI * 440.0 * static_cast<double>(frame_) /
                                         format_.samplesPerSec);
            for (int c = 0; c < format_.channels; ++c) {
                std::uint8_t* out =
                    header->data + f * format_.blockAlign + c * (format_.bitsPerSample / 8);
                if (format_.bitsPerSample == 8) {
                    out[0] = static_cast<std::uint8_t>(128 + static_cast<int>(v / 256));
                } else {
                    auto s = static_cast<std::int16_t>(v);
                    out[0] = static_cast<std::uint8_t>(s & 0xff);
                    out[1] = static_cast<std::uint8_t>((s >> 8) & 0xff);
                }
            }
        }
        markDone(*header, frames * format_.blockAlign);
    }
}

} // namespace testenv
