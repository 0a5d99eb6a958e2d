// The FFmpeg reader: a thin owner of one ffreader.so reader.

#include "codec/FfmpegSampleSource.h"

#include <map>
#include <mutex>

#include "codec/Mp3Rates.h"
#include "ffreader.h"
#include "platform/RuntimeLibrary.h"

namespace codec {
namespace {

// The reader library with its entry points, loaded once per name for the life of the
// process (never unloaded, not even at exit, when a worker may still be finishing):
// every job after the first finds it loaded.
struct ReaderLibrary {
    platform::RuntimeLibrary library;
    FfrOpenFn open = nullptr;
    FfrStartFn start = nullptr;
    FfrReadFn read = nullptr;
    FfrStatusFn status = nullptr;
    FfrCloseFn close = nullptr;
};

const ReaderLibrary* readerLibrary(const std::string& name, std::string& why) {
    static std::mutex mutex;
    static auto& loaded = *new std::map<std::string, ReaderLibrary>;
    std::lock_guard<std::mutex> lock(mutex);
    auto it = loaded.find(name);
    if (it != loaded.end()) {
        return &it->second;
    }
    ReaderLibrary made;
    made.library = platform::RuntimeLibrary(
        name, {"ffr_open", "ffr_start", "ffr_read", "ffr_status", "ffr_close"});
    if (!made.library.isLoaded()) {
        why = made.library.error();
        return nullptr;
    }
    made.open = made.library.entry<FfrOpenFn>("ffr_open");
    made.start = made.library.entry<FfrStartFn>("ffr_start");
    made.read = made.library.entry<FfrReadFn>("ffr_read");
    made.status = made.library.entry<FfrStatusFn>("ffr_status");
    made.close = made.library.entry<FfrCloseFn>("ffr_close");
    return &loaded.emplace(name, std::move(made)).first->second;
}

class FfmpegSampleSource : public SampleSource {
public:
    FfmpegSampleSource(const ReaderLibrary& library, FfrReader* reader, const FfrStreamInfo& info,
                       std::uint32_t rate)
        : library_(library), reader_(reader), info_(info), rate_(rate) {}
    ~FfmpegSampleSource() override { library_.close(reader_); }
    FfmpegSampleSource(const FfmpegSampleSource&) = delete;
    FfmpegSampleSource& operator=(const FfmpegSampleSource&) = delete;

    std::uint32_t SampleRate() const override { return rate_; }
    SampleKind Kind() const override { return SampleKind::Float; }
    std::uint32_t SourceRate() const override { return info_.sourceRate; }
    std::uint16_t SourceChannels() const override {
        return static_cast<std::uint16_t>(info_.sourceChannels);
    }

    ReadStatus Read(std::int16_t*, float* floats, std::uint32_t maxFrames,
                    std::uint32_t& frames) override {
        frames = 0;
        if (library_.read(reader_, floats, maxFrames, &frames) != FFR_OK) {
            return ReadStatus::Failed;
        }
        if (frames > 0) {
            return ReadStatus::Frames;
        }
        return status().state == FFR_STATE_ENDED ? ReadStatus::End : ReadStatus::Failed;
    }

    std::uint16_t Progress() const override {
        return static_cast<std::uint16_t>(status().progress);
    }
    std::uint64_t DamagedFrames() const override { return status().damaged; }

private:
    FfrStatus status() const {
        FfrStatus s{};
        s.size = sizeof s;
        if (library_.status(reader_, &s) != FFR_OK) {
            s.state = FFR_STATE_FAILED;
        }
        return s;
    }

    const ReaderLibrary& library_;
    FfrReader* reader_;
    FfrStreamInfo info_;
    std::uint32_t rate_;
};

} // namespace

bool SourceReaderAvailable(const std::string& name, std::string& why) {
    return readerLibrary(name, why) != nullptr;
}

std::unique_ptr<SampleSource> OpenFfmpegSampleSource(int fd, const std::string& name,
                                                     const std::string& library, bool& missing) {
    std::string why;
    const ReaderLibrary* lib = readerLibrary(library, why);
    missing = lib == nullptr;
    if (!lib) {
        return nullptr;
    }
    FfrStreamInfo info{};
    info.size = sizeof info;
    FfrReader* reader = nullptr;
    if (lib->open(fd, name.c_str(), &reader, &info) != FFR_OK || !reader) {
        return nullptr;
    }
    const std::uint32_t rate = EncodeRateForSourceRate(info.sourceRate);
    if (lib->start(reader, rate) != FFR_OK) {
        lib->close(reader);
        return nullptr;
    }
    return std::make_unique<FfmpegSampleSource>(*lib, reader, info, rate);
}

} // namespace codec
