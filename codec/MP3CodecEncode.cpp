// The encode side of the file codec: WAV file -> encoder library -> MP3 file.

#include <cmath>
#include <cstdio>
#include <fcntl.h>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

#include "codec/MP3Codec.h"
#include "codec/WavFormat.h"
#include "platform/FileIO.h"
#include "platform/Paths.h"
#include "tags/Tags.h"

namespace codec {
namespace {

// False when not every byte could be written, and always for a target that could
// not be created.
bool writeAll(int fd, const std::uint8_t* data, std::size_t size) {
    return fd >= 0 && platform::writeAll(fd, data, size);
}

void closeFile(int& fd) {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

// A float sample (+-1.0 full scale) as a 16-bit value for a library without the
// float entry point. A value that is already a 16-bit step (a 16-bit source that
// was not resampled) passes unchanged; any other gets triangular (TPDF) dither of
// +-1 step before rounding, so the lost bits become noise, not distortion.
std::int16_t ditherTo16(float value, std::uint32_t& state) {
    const float x = value * 32768.0f;
    float y = std::nearbyint(x);
    if (y != x) {
        auto next = [&state] {
            // xorshift32, seeded afresh for every file: the same source gives the
            // same bytes whichever codec encodes it and whatever it encoded before.
            state ^= state << 13;
            state ^= state >> 17;
            state ^= state << 5;
            return static_cast<float>(state >> 8) * (1.0f / 16777216.0f);
        };
        const float u1 = next();
        const float u2 = next();
        y = std::nearbyint(x + u1 - u2);
    }
    if (!(y > -32768.0f)) {
        return y != y ? 0 : -32768;
    }
    return y >= 32767.0f ? 32767 : static_cast<std::int16_t>(y);
}

// Values a sane encoder library reports; anything else is refused like a failed init.
constexpr std::uint32_t kMaxSamplesPerChunk = 1u << 20;
constexpr std::uint32_t kMaxOutputBufferSize = 1u << 24;

} // namespace

BeConfig FileCodecEncoderConfig(std::uint32_t sampleRate, bool lameTag) {
    BeConfig config;
    BeConfigInit(&config);
    config.sampleRate = sampleRate;
    config.reSampleRate = 0;
    config.mode = BE_MP3_MODE_STEREO;
    config.bitrate = BitrateForSampleRate(sampleRate);
    config.vbrQuality = 9;
    config.abrBps = 0;
    config.vbrMethod = BE_VBR_METHOD_OLD;
    // Without the tag, players cannot find the encoder's delay and padding (every
    // round trip grows by them) nor the length of a variable-rate stream. Asked for
    // only when the library can hand out the finished frame: a placeholder left in
    // place would be worse than none.
    config.writeVbrHeader = lameTag ? 1 : 0;
    return config;
}

int TMP3Codec::LoadEncoder(const std::string& directory) {
    // A stream of the library about to be replaced must not outlive it.
    ReleaseEncode();
    std::string name = platform::withTrailingSlash(directory) + EncoderLibraryName;
    switch (encoder_.Load(name)) {
    case EncoderLibrary::LoadResult::Ok:
        return kCodecOk;
    case EncoderLibrary::LoadResult::MissingEntryPoint:
        return kCodecUnableToInitDll;
    case EncoderLibrary::LoadResult::NotLoaded:
    default:
        return kCodecUnableToLoadDll;
    }
}

int TMP3Codec::OpenEncode(const std::string& source, const std::string& target, TargetMode mode) {
    return OpenEncodeFrom(
        [&source] {
            // Opened without blocking, so that a FIFO, socket or device cannot stall
            // the job (and with it the lock and every hand-off); only a regular file
            // is then read.
            int fd = ::open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
            if (fd >= 0 && ::fcntl(fd, F_SETFL, O_RDONLY) != 0) {
                closeFile(fd);
            }
            return fd;
        },
        source, target, mode);
}

int TMP3Codec::OpenEncode(int sourceFd, const std::string& sourceName, const std::string& target,
                          TargetMode mode) {
    return OpenEncodeFrom(
        [sourceFd] { return sourceFd >= 0 ? ::fcntl(sourceFd, F_DUPFD_CLOEXEC, 0) : -1; },
        sourceName, target, mode);
}

int TMP3Codec::OpenEncodeFrom(const std::function<int()>& openSource, const std::string& sourceName,
                              const std::string& target, TargetMode mode) {
    // A caller that skipped CloseEncode must not leak the previous encode.
    ReleaseEncode();
    encodeSource_.clear();
    encodeTarget_.clear();
    encodePrivate_ = mode == TargetMode::Private;

    if (!encodePrivate_ && !platform::removeExistingFile(target)) {
        return kCodecUnableToOverwrite;
    }
    if (!encoder_.IsLoaded()) {
        return kCodecDllNotLoadedOpen;
    }
    sourceFd_ = openSource();
    struct stat sourceStat {};
    if (sourceFd_ >= 0 && ::fstat(sourceFd_, &sourceStat) == 0 && S_ISREG(sourceStat.st_mode)) {
        source_ = OpenSampleSource(sourceFd_, sourceName, SourceReaderLibraryName);
    }
    if (!source_) {
        closeFile(sourceFd_);
        return kCodecBadWavFormat;
    }

    // A target that cannot be created stays -1: the first chunk's write then fails.
    // Read access lets the close check the first frame before it rewrites it.
    target_ = ::open(target.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);

    configuration_ = EncoderConfigToBytes(
        FileCodecEncoderConfig(source_->SampleRate(), encoder_.GetLameTagFrame != nullptr));

    samplesPerChunk_ = 0;
    outputBufferSize_ = 0;
    stream_ = 0;
    std::uint32_t result =
        encoder_.InitStream(configuration_.data(), &samplesPerChunk_, &outputBufferSize_, &stream_);
    if (result == 0) {
        streamOpen_ = true;
    }
    if (result != 0 || samplesPerChunk_ < 2 || samplesPerChunk_ > kMaxSamplesPerChunk ||
        outputBufferSize_ == 0 || outputBufferSize_ > kMaxOutputBufferSize) {
        ReleaseEncode();
        return kCodecUnableToInitStream;
    }

    outputBuffer_.assign(outputBufferSize_, 0);
    sampleBuffer_.assign(samplesPerChunk_, 0);
    if (source_->Kind() == SampleKind::Float) {
        floatBuffer_.assign(samplesPerChunk_, 0.0f);
    }
    ditherState_ = 0x9E3779B9u;
    encodeSource_ = sourceName;
    encodeTarget_ = target;
    return kCodecOk;
}

int TMP3Codec::EncodeStep(std::uint16_t& progress) {
    if (!encoder_.IsLoaded()) {
        return kCodecDllNotLoadedStep;
    }
    if (!source_) {
        return kCodecDone;
    }
    // A chunk of samples-per-chunk values: half as many stereo frames.
    std::uint32_t frames = 0;
    switch (
        source_->Read(sampleBuffer_.data(), floatBuffer_.data(), samplesPerChunk_ / 2, frames)) {
    case ReadStatus::End:
        return kCodecDone;
    case ReadStatus::Failed:
        return kCodecUnableToReadWavData;
    case ReadStatus::Frames:
        break;
    }

    const std::uint32_t values = 2 * frames;
    mp3Bytes_ = 0;
    std::uint32_t result = 0;
    if (source_->Kind() == SampleKind::Int16) {
        result = encoder_.EncodeChunk(stream_, values, sampleBuffer_.data(), outputBuffer_.data(),
                                      &mp3Bytes_);
    } else if (encoder_.EncodeChunkFloat) {
        result = encoder_.EncodeChunkFloat(stream_, values, floatBuffer_.data(),
                                           outputBuffer_.data(), &mp3Bytes_);
    } else {
        for (std::uint32_t i = 0; i < values; ++i) {
            sampleBuffer_[i] = ditherTo16(floatBuffer_[i], ditherState_);
        }
        result = encoder_.EncodeChunk(stream_, values, sampleBuffer_.data(), outputBuffer_.data(),
                                      &mp3Bytes_);
    }
    if (result != 0) {
        return kCodecChunkEncodeFail;
    }
    if (mp3Bytes_ > outputBuffer_.size() || !writeAll(target_, outputBuffer_.data(), mp3Bytes_)) {
        return kCodecWriteFail;
    }
    progress = source_->Progress();
    return kCodecOk;
}

int TMP3Codec::CloseEncode() {
    if (!encoder_.IsLoaded()) {
        return kCodecDllNotLoadedClose;
    }
    if (source_ && source_->DamagedFrames() > 0) {
        std::fprintf(stderr, "mp3tunewright: %s: %llu damaged frames skipped\n",
                     encodeSource_.c_str(),
                     static_cast<unsigned long long>(source_->DamagedFrames()));
        std::fflush(stderr);
    }
    // The source's descriptor outlives the rest: the tags are read from it.
    int sourceFd = std::exchange(sourceFd_, -1);
    ReleaseEncode();
    // 3. The source's tags go onto the finished, closed MP3.
    if (!encodeTarget_.empty()) {
        tags::CarryTags(sourceFd, encodeSource_, encodeTarget_,
                        encodePrivate_ ? tags::TargetFile::PrivateMp3 : tags::TargetFile::ByName);
        encodeSource_.clear();
        encodeTarget_.clear();
    }
    closeFile(sourceFd);
    return kCodecOk;
}

void TMP3Codec::FinishStream() {
    if (!streamOpen_ || !encoder_.IsLoaded()) {
        streamOpen_ = false;
        return;
    }
    // A stream whose buffers were never set up (a refused open) has no audio.
    if (!outputBuffer_.empty()) {
        // 1. The last audio.
        std::uint32_t count = 0;
        encoder_.DeinitStream(stream_, outputBuffer_.data(), &count);
        if (count <= outputBuffer_.size()) {
            writeAll(target_, outputBuffer_.data(), count);
        }
        // 2. The tag frame over the placeholder the audio began with. Anything that
        //    goes in front of the file (tags) comes after this step.
        WriteLameTagFrame(encoder_.GetLameTagFrame, stream_, target_);
    }
    encoder_.CloseStream(stream_);
    streamOpen_ = false;
}

void TMP3Codec::ReleaseEncode() {
    FinishStream();
    stream_ = 0;
    source_.reset();
    closeFile(sourceFd_);
    closeFile(target_);
    outputBuffer_.clear();
    outputBuffer_.shrink_to_fit();
    sampleBuffer_.clear();
    sampleBuffer_.shrink_to_fit();
    floatBuffer_.clear();
    floatBuffer_.shrink_to_fit();
    samplesPerChunk_ = 0;
    outputBufferSize_ = 0;
    mp3Bytes_ = 0;
}

} // namespace codec
