// The encode side of the file codec: WAV file -> encoder library -> MP3 file.

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "codec/MP3Codec.h"
#include "codec/WavFormat.h"
#include "platform/FileIO.h"
#include "platform/Paths.h"
#include "tags/Tags.h"

namespace codec {
namespace {

// Reads until `size` bytes are in or the file ends; the count read.
std::size_t readFully(int fd, std::uint8_t* data, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        ssize_t n = ::read(fd, data + done, size - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    return done;
}

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

// An existing target is removed before an encode; false when it cannot be: a file
// the user may not write counts as read-only, and a directory cannot be deleted.
bool removeExistingTarget(const std::string& target) {
    struct stat st {};
    if (::lstat(target.c_str(), &st) != 0) {
        return true;
    }
    if (S_ISDIR(st.st_mode) || (!S_ISLNK(st.st_mode) && platform::isReadOnlyFile(target))) {
        return false;
    }
    return ::unlink(target.c_str()) == 0;
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
            // xorshift32: per codec instance, nothing shared between threads.
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

std::uint32_t BitrateForSampleRate(std::uint32_t sampleRate) {
    switch (sampleRate) {
    case 8000:
    case 11025:
    case 12000:
    case 16000:
    case 22050:
        return 64;
    case 24000:
        return 80;
    case 32000:
        return 96;
    case 44100:
        return 128;
    case 48000:
        return 160;
    default:
        return 0;
    }
}

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

int TMP3Codec::OpenEncode(const std::string& source, const std::string& target,
                          TargetMode mode) {
    // A caller that skipped CloseEncode must not leak the previous encode.
    ReleaseEncode();
    encodeSource_.clear();
    encodeTarget_.clear();
    encodePrivate_ = mode == TargetMode::Private;

    if (!encodePrivate_ && !removeExistingTarget(target)) {
        return kCodecUnableToOverwrite;
    }
    if (!encoder_.IsLoaded()) {
        return kCodecDllNotLoadedOpen;
    }

    // Opened without blocking, so that a FIFO, socket or device cannot stall the
    // job (and with it the lock and every hand-off); only regular files are read.
    source_ = ::open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    struct stat sourceStat {};
    if (source_ >= 0 && (::fstat(source_, &sourceStat) != 0 || !S_ISREG(sourceStat.st_mode) ||
                         ::fcntl(source_, F_SETFL, O_RDONLY) != 0)) {
        closeFile(source_);
    }
    WavHeader header;
    if (source_ >= 0 && ReadWavHeader(source_, header)) {
        formatTag_ = header.formatTag;
        channels_ = header.channels;
        blockAlign_ = header.blockAlign;
        bits_ = header.bitsPerSample;
        sampleRate_ = header.sampleRate;
        byteRate_ = header.byteRate;
        dataSize_ = header.dataSize;
    } else {
        // Any other regular file: FFmpeg's libraries read it, or nothing does.
        const bool regular = source_ >= 0;
        closeFile(source_);
        if (regular) {
            ffmpeg_ = FfmpegSource::Open(source);
        }
        if (!ffmpeg_) {
            return kCodecBadWavFormat;
        }
        sampleRate_ = ffmpeg_->SampleRate();
        channels_ = 2;
    }

    // A target that cannot be created stays -1: the first chunk's write then fails.
    // Read access lets the close check the first frame before it rewrites it.
    target_ = ::open(target.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);

    configuration_ = EncoderConfigToBytes(
        FileCodecEncoderConfig(sampleRate_, encoder_.GetLameTagFrame != nullptr));

    samplesPerChunk_ = 0;
    outputBufferSize_ = 0;
    stream_ = 0;
    bytesDone_ = 0;
    std::uint32_t result =
        encoder_.InitStream(configuration_.data(), &samplesPerChunk_, &outputBufferSize_, &stream_);
    if (result == 0) {
        streamOpen_ = true;
    }
    if (result != 0 || samplesPerChunk_ == 0 || samplesPerChunk_ > kMaxSamplesPerChunk ||
        outputBufferSize_ == 0 || outputBufferSize_ > kMaxOutputBufferSize) {
        ReleaseEncode();
        return kCodecUnableToInitStream;
    }

    outputBuffer_.assign(outputBufferSize_, 0);
    sampleBuffer_.assign(2 * static_cast<std::size_t>(samplesPerChunk_), 0);
    encodeSource_ = source;
    encodeTarget_ = target;
    // ReadWavHeader left the source at its first sample byte.
    return kCodecOk;
}

int TMP3Codec::EncodeStep(std::uint16_t& progress) {
    if (!encoder_.IsLoaded()) {
        return kCodecDllNotLoadedStep;
    }
    if (ffmpeg_) {
        return EncodeFfmpegStep(progress);
    }
    if (bytesDone_ >= dataSize_) {
        return kCodecDone;
    }

    // The chunk is measured in bytes of 16-bit stereo output: chunkBytes / 4 frames.
    const std::uint64_t fullChunk = 2 * static_cast<std::uint64_t>(samplesPerChunk_);
    chunkBytes_ = static_cast<std::uint64_t>(bytesDone_) + fullChunk < dataSize_
                      ? static_cast<std::uint32_t>(fullChunk)
                      : dataSize_ - bytesDone_;
    chunkBytes_ &= ~3u;

    std::uint32_t consumed = ReadSamples(chunkBytes_);
    if (consumed == 0) {
        return kCodecUnableToReadWavData;
    }

    mp3Bytes_ = 0;
    if (encoder_.EncodeChunk(stream_, chunkBytes_ / 2, sampleBuffer_.data(), outputBuffer_.data(),
                             &mp3Bytes_) != 0) {
        return kCodecChunkEncodeFail;
    }
    if (mp3Bytes_ > outputBuffer_.size() || !writeAll(target_, outputBuffer_.data(), mp3Bytes_)) {
        return kCodecWriteFail;
    }

    bytesDone_ += consumed;
    progress = dataSize_ <= 300 ? 100 : static_cast<std::uint16_t>(bytesDone_ / (dataSize_ / 100));
    return kCodecOk;
}

int TMP3Codec::EncodeFfmpegStep(std::uint16_t& progress) {
    if (ffmpeg_->AtEnd()) {
        return kCodecDone;
    }
    const std::size_t frames = samplesPerChunk_ / 2;
    floatBuffer_.resize(2 * frames);
    const long got = ffmpeg_->Read(floatBuffer_.data(), frames);
    if (got < 0) {
        return kCodecUnableToReadWavData;
    }
    if (got == 0) {
        return kCodecDone;
    }
    const auto count = static_cast<std::uint32_t>(2 * got);
    mp3Bytes_ = 0;
    std::uint32_t result = 0;
    if (encoder_.EncodeChunkFloat) {
        result = encoder_.EncodeChunkFloat(stream_, count, floatBuffer_.data(),
                                           outputBuffer_.data(), &mp3Bytes_);
    } else {
        for (std::uint32_t i = 0; i < count; ++i) {
            sampleBuffer_[i] = ditherTo16(floatBuffer_[i], ditherState_);
        }
        result = encoder_.EncodeChunk(stream_, count, sampleBuffer_.data(), outputBuffer_.data(),
                                      &mp3Bytes_);
    }
    if (result != 0) {
        return kCodecChunkEncodeFail;
    }
    if (mp3Bytes_ > outputBuffer_.size() || !writeAll(target_, outputBuffer_.data(), mp3Bytes_)) {
        return kCodecWriteFail;
    }
    progress = ffmpeg_->Progress();
    return kCodecOk;
}

std::uint32_t TMP3Codec::ReadSamples(std::uint32_t chunkBytes) {
    const std::size_t frames = chunkBytes / 4;
    std::int16_t* out = sampleBuffer_.data();

    if (channels_ == 2 && bits_ == 16) {
        // Fewer than four bytes left: half a frame that can never be encoded. Step over
        // it a byte at a time, as for the other sources, so that a file whose data size
        // is not a multiple of 4 still ends with "Encode done".
        if (chunkBytes == 0) {
            return 1;
        }
        auto* bytes = reinterpret_cast<std::uint8_t*>(out);
        std::size_t got = readFully(source_, bytes, chunkBytes);
        if (got < chunkBytes) {
            std::fill(bytes + got, bytes + chunkBytes, std::uint8_t{0});
        }
        if constexpr (std::endian::native == std::endian::big) {
            for (std::size_t i = 0; i < frames * 2; ++i) {
                auto v = static_cast<std::uint16_t>(out[i]);
                out[i] = static_cast<std::int16_t>(static_cast<std::uint16_t>((v >> 8) | (v << 8)));
            }
        }
        return static_cast<std::uint32_t>(got);
    }

    // Mono 8-bit holds 1 byte per frame; mono 16-bit and stereo 8-bit hold 2.
    const std::size_t bytesPerFrame = (bits_ == 8 && channels_ == 1) ? 1 : 2;
    const std::size_t request = bytesPerFrame == 1 ? chunkBytes / 4 : chunkBytes / 2;
    if (request == 0) {
        return 1;
    }
    scratch_.resize(request);
    std::size_t got = readFully(source_, scratch_.data(), request);
    if (got == 0) {
        return 0;
    }
    const std::size_t whole = got / bytesPerFrame;
    const std::uint8_t* in = scratch_.data();
    for (std::size_t f = 0; f < frames; ++f) {
        std::int16_t left = 0;
        std::int16_t right = 0;
        if (f < whole) {
            if (bits_ == 8 && channels_ == 1) {
                left = right = static_cast<std::int16_t>((in[f] - 128) * 256);
            } else if (bits_ == 8) {
                left = static_cast<std::int16_t>((in[2 * f] - 128) * 256);
                right = static_cast<std::int16_t>((in[2 * f + 1] - 128) * 256);
            } else {
                left = right = static_cast<std::int16_t>(in[2 * f] | (in[2 * f + 1] << 8));
            }
        }
        out[2 * f] = left;
        out[2 * f + 1] = right;
    }
    return static_cast<std::uint32_t>(got);
}

int TMP3Codec::CloseEncode() {
    if (!encoder_.IsLoaded()) {
        return kCodecDllNotLoadedClose;
    }
    ReleaseEncode();
    // 3. The source's tags go onto the finished, closed MP3.
    if (!encodeTarget_.empty()) {
        tags::CarryTags(encodeSource_, encodeTarget_,
                        encodePrivate_ ? tags::TargetFile::PrivateMp3 : tags::TargetFile::ByName);
        encodeSource_.clear();
        encodeTarget_.clear();
    }
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
    closeFile(source_);
    closeFile(target_);
    outputBuffer_.clear();
    outputBuffer_.shrink_to_fit();
    sampleBuffer_.clear();
    sampleBuffer_.shrink_to_fit();
    scratch_.clear();
    scratch_.shrink_to_fit();
    ffmpeg_.reset();
    floatBuffer_.clear();
    floatBuffer_.shrink_to_fit();
    samplesPerChunk_ = 0;
    outputBufferSize_ = 0;
    bytesDone_ = 0;
    chunkBytes_ = 0;
    mp3Bytes_ = 0;
    dataSize_ = 0;
}

} // namespace codec
