// Wave input over ALSA capture: a capture thread fills the queued buffers in
// order and marks each one done.
#include "platform/WaveIn.h"

#include <alsa/asoundlib.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <thread>

namespace platform {

WaveFormat WaveFormat::pcm(std::uint32_t rate, std::uint16_t channels, std::uint16_t bits) {
    WaveFormat format;
    format.formatTag = 1;
    format.channels = channels;
    format.samplesPerSec = rate;
    format.bitsPerSample = bits;
    format.blockAlign = static_cast<std::uint16_t>(channels * bits / 8);
    format.avgBytesPerSec = rate * format.blockAlign;
    format.extraSize = 0;
    return format;
}

std::string waveInDeviceName() {
    const char* name = std::getenv("TUNEWRIGHT_WAVE_DEVICE");
    return name && *name ? std::string(name) : std::string("default");
}

namespace {

// How long the capture thread waits for the device before it looks at its
// stop flag again; bounds how long stop, reset and close take.
constexpr int kPollMs = 20;
// The device's own buffer: what it holds while no buffer of ours is queued.
constexpr unsigned kDeviceBufferUs = 250000;
constexpr unsigned kDevicePeriodUs = 25000;

std::uint32_t openErrorCode(int err) {
    switch (-err) {
    case EBUSY:
    case EAGAIN:
        return WaveErrorAllocated;
    case ENOMEM:
        return WaveErrorNoMemory;
    case ENOENT:
    case ENODEV:
    case ENXIO:
    case EINVAL:
        return WaveErrorBadDevice;
    default:
        return WaveErrorGeneral;
    }
}

bool isPcmFormat(const WaveFormat& f) {
    return f.formatTag == 1 && (f.channels == 1 || f.channels == 2) &&
           (f.bitsPerSample == 8 || f.bitsPerSample == 16) && f.samplesPerSec > 0 &&
           f.blockAlign == f.channels * f.bitsPerSample / 8 &&
           f.avgBytesPerSec == f.samplesPerSec * f.blockAlign;
}

class AlsaWaveIn final : public WaveIn {
public:
    ~AlsaWaveIn() override {
        if (pcm_) {
            reset();
            close();
        }
    }

    std::uint32_t open(const WaveFormat& format) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (pcm_) {
            return WaveErrorAllocated;
        }
        if (!isPcmFormat(format)) {
            return WaveErrorBadFormat;
        }
        snd_pcm_t* pcm = nullptr;
        int err = snd_pcm_open(&pcm, waveInDeviceName().c_str(), SND_PCM_STREAM_CAPTURE,
                               SND_PCM_NONBLOCK);
        if (err < 0) {
            return openErrorCode(err);
        }
        std::uint32_t result = configure(pcm, format);
        if (result != WaveOk) {
            snd_pcm_close(pcm);
            return result;
        }
        pcm_ = pcm;
        format_ = format;
        running_ = false;
        quit_ = false;
        queue_.clear();
        thread_ = std::thread([this] { run(); });
        return WaveOk;
    }

    std::uint32_t prepareHeader(WaveHeader& header) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!pcm_) {
            return WaveErrorInvalidHandle;
        }
        if (!header.data || header.bufferLength < format_.blockAlign) {
            return WaveErrorInvalidParam;
        }
        header.flags.fetch_or(WaveHeaderPrepared, std::memory_order_acq_rel);
        return WaveOk;
    }

    std::uint32_t unprepareHeader(WaveHeader& header) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!pcm_) {
            return WaveErrorInvalidHandle;
        }
        if (header.flags.load(std::memory_order_acquire) & WaveHeaderInQueue) {
            return WaveErrorStillPlaying;
        }
        header.flags.fetch_and(~std::uint32_t(WaveHeaderPrepared), std::memory_order_acq_rel);
        return WaveOk;
    }

    std::uint32_t addBuffer(WaveHeader& header) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!pcm_) {
            return WaveErrorInvalidHandle;
        }
        std::uint32_t flags = header.flags.load(std::memory_order_acquire);
        if (!(flags & WaveHeaderPrepared)) {
            return WaveErrorUnprepared;
        }
        if (flags & WaveHeaderInQueue) {
            return WaveErrorStillPlaying;
        }
        header.bytesRecorded.store(0, std::memory_order_relaxed);
        header.flags.store((flags & ~std::uint32_t(WaveHeaderDone)) | WaveHeaderInQueue,
                           std::memory_order_release);
        queue_.push_back(&header);
        wake_.notify_all();
        return WaveOk;
    }

    std::uint32_t start() override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!pcm_) {
            return WaveErrorInvalidHandle;
        }
        if (running_) {
            return WaveOk;
        }
        if (snd_pcm_state(pcm_) != SND_PCM_STATE_PREPARED) {
            int err = snd_pcm_prepare(pcm_);
            if (err < 0) {
                return WaveErrorGeneral;
            }
        }
        // Capture runs from now on, also while no buffer is queued: what does not
        // fit into the device's buffer then is lost, as an overrun loses it.
        int err = snd_pcm_start(pcm_);
        if (err < 0) {
            return WaveErrorGeneral;
        }
        running_ = true;
        wake_.notify_all();
        return WaveOk;
    }

    std::uint32_t stop() override {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!pcm_) {
            return WaveErrorInvalidHandle;
        }
        haltLocked(lock);
        return WaveOk;
    }

    std::uint32_t reset() override {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!pcm_) {
            return WaveErrorInvalidHandle;
        }
        haltLocked(lock);
        for (WaveHeader* header : queue_) {
            finishLocked(*header);
        }
        queue_.clear();
        return WaveOk;
    }

    std::uint32_t close() override {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!pcm_) {
            return WaveErrorInvalidHandle;
        }
        if (!queue_.empty()) {
            return WaveErrorStillPlaying;
        }
        haltLocked(lock);
        quit_ = true;
        wake_.notify_all();
        lock.unlock();
        thread_.join();
        lock.lock();
        snd_pcm_close(pcm_);
        pcm_ = nullptr;
        return WaveOk;
    }

private:
    static std::uint32_t configure(snd_pcm_t* pcm, const WaveFormat& format) {
        // Reads block from here on; the capture thread only asks for what the
        // device reports ready, so a read never waits for long.
        if (snd_pcm_nonblock(pcm, 0) < 0) {
            return WaveErrorGeneral;
        }
        snd_pcm_hw_params_t* hw = nullptr;
        snd_pcm_hw_params_alloca(&hw);
        if (snd_pcm_hw_params_any(pcm, hw) < 0) {
            return WaveErrorGeneral;
        }
        snd_pcm_format_t sampleFormat =
            format.bitsPerSample == 8 ? SND_PCM_FORMAT_U8 : SND_PCM_FORMAT_S16_LE;
        if (snd_pcm_hw_params_set_access(pcm, hw, SND_PCM_ACCESS_RW_INTERLEAVED) < 0 ||
            snd_pcm_hw_params_set_format(pcm, hw, sampleFormat) < 0 ||
            snd_pcm_hw_params_set_channels(pcm, hw, format.channels) < 0 ||
            snd_pcm_hw_params_set_rate(pcm, hw, format.samplesPerSec, 0) < 0) {
            return WaveErrorBadFormat;
        }
        // Sizes are wishes; a device that cannot meet them keeps its own.
        unsigned bufferUs = kDeviceBufferUs;
        unsigned periodUs = kDevicePeriodUs;
        int dir = 0;
        snd_pcm_hw_params_set_buffer_time_near(pcm, hw, &bufferUs, &dir);
        dir = 0;
        snd_pcm_hw_params_set_period_time_near(pcm, hw, &periodUs, &dir);
        if (snd_pcm_hw_params(pcm, hw) < 0) {
            return WaveErrorBadFormat;
        }
        return WaveOk;
    }

    // Stops the thread's filling and the device. Called with the lock held;
    // returns when the thread no longer touches any buffer.
    void haltLocked(std::unique_lock<std::mutex>& lock) {
        running_ = false;
        idle_.wait(lock, [this] { return current_ == nullptr; });
        snd_pcm_drop(pcm_);
    }

    static void finishLocked(WaveHeader& header) {
        std::uint32_t flags = header.flags.load(std::memory_order_relaxed);
        header.flags.store((flags & ~std::uint32_t(WaveHeaderInQueue)) | WaveHeaderDone,
                           std::memory_order_release);
    }

    void run() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            wake_.wait(lock, [this] { return quit_ || (running_ && !queue_.empty()); });
            if (quit_) {
                return;
            }
            WaveHeader* header = queue_.front();
            current_ = header;
            lock.unlock();
            std::uint32_t filled = fill(*header);
            lock.lock();
            current_ = nullptr;
            std::uint32_t frames = header->bufferLength / format_.blockAlign;
            bool complete = filled == frames * format_.blockAlign;
            // A buffer cut short by stop is handed back with what it holds; an
            // untouched one stays queued for the next start.
            if (complete || filled > 0) {
                header->bytesRecorded.store(filled, std::memory_order_relaxed);
                finishLocked(*header);
                queue_.pop_front();
            }
            idle_.notify_all();
        }
    }

    // Reads whole frames into the buffer until it is full or capture is halted;
    // returns the bytes filled. Runs without the lock; only this thread reads
    // from the device while running_ is set.
    std::uint32_t fill(WaveHeader& header) {
        const std::uint32_t frameBytes = format_.blockAlign;
        const snd_pcm_uframes_t frames = header.bufferLength / frameBytes;
        snd_pcm_uframes_t got = 0;
        while (got < frames && running_.load(std::memory_order_acquire)) {
            int ready = snd_pcm_wait(pcm_, kPollMs);
            if (ready < 0) {
                recover(ready);
                continue;
            }
            if (ready == 0) {
                continue;
            }
            snd_pcm_sframes_t avail = snd_pcm_avail_update(pcm_);
            if (avail < 0) {
                recover(static_cast<int>(avail));
                continue;
            }
            if (avail == 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                continue;
            }
            snd_pcm_uframes_t want = std::min<snd_pcm_uframes_t>(avail, frames - got);
            snd_pcm_sframes_t n = snd_pcm_readi(pcm_, header.data + got * frameBytes, want);
            if (n == -EAGAIN) {
                continue;
            }
            if (n < 0) {
                recover(static_cast<int>(n));
                continue;
            }
            got += static_cast<snd_pcm_uframes_t>(n);
        }
        return static_cast<std::uint32_t>(got * frameBytes);
    }

    // An overflow (the audio lost while nothing was read) or a suspend: bring the
    // device back and capture on. A device that cannot be recovered is retried at
    // the poll interval until capture is halted.
    void recover(int err) {
        if (snd_pcm_recover(pcm_, err, 1) < 0 || snd_pcm_start(pcm_) < 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_; // a buffer was queued, capture started, or quit
    std::condition_variable idle_; // the thread left a buffer
    snd_pcm_t* pcm_ = nullptr;
    WaveFormat format_;
    std::deque<WaveHeader*> queue_;
    WaveHeader* current_ = nullptr;
    std::atomic<bool> running_{false};
    bool quit_ = false;
    std::thread thread_;
};

std::mutex& factoryMutex() {
    static std::mutex mutex;
    return mutex;
}

WaveInFactory& installedFactory() {
    static WaveInFactory factory;
    return factory;
}

} // namespace

std::unique_ptr<WaveIn> makeAlsaWaveIn() {
    return std::make_unique<AlsaWaveIn>();
}

std::unique_ptr<WaveIn> makeWaveIn() {
    WaveInFactory factory;
    {
        std::lock_guard<std::mutex> lock(factoryMutex());
        factory = installedFactory();
    }
    return factory ? factory() : makeAlsaWaveIn();
}

WaveInFactory installWaveInFactory(WaveInFactory factory) {
    std::lock_guard<std::mutex> lock(factoryMutex());
    WaveInFactory previous = std::move(installedFactory());
    installedFactory() = std::move(factory);
    return previous;
}

} // namespace platform
