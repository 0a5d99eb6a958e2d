#include "recorder/RecorderMp3Output.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "codec/EncoderLibrary.h"
#include "platform/FileIO.h"
#include "platform/Paths.h"

namespace recorder {

BeConfig MakeRecorderEncoderConfig(const RecorderMp3Settings& settings, bool lameTag) {
    BeConfig config;
    BeConfigInit(&config);
    config.sampleRate = settings.sampleRate;
    config.reSampleRate = 0;
    config.mode = settings.mono ? BE_MP3_MODE_MONO : BE_MP3_MODE_STEREO;
    if (settings.vbr) {
        config.bitrate = settings.minBitrate;
        // The highest rate only means something to variable rate.
        config.maxBitrate = settings.maxBitrate;
        config.enableVbr = 1;
    } else {
        config.bitrate = settings.bitrate;
    }
    config.vbrQuality = 9 - settings.qualityPosition;
    config.abrBps = 0;
    config.vbrMethod = BE_VBR_METHOD_OLD;
    // The Xing/Info (LAME) tag gives a variable-rate recording its true length and
    // every recording its delay and padding; asked for only when the library hands
    // out the finished frame, since a placeholder left in place is worse than none.
    config.writeVbrHeader = lameTag ? 1 : 0;
    return config;
}

RecorderMp3Output::RecorderMp3Output(std::string libraryPath)
    : libraryPath_(std::move(libraryPath)) {}

RecorderMp3Output::~RecorderMp3Output() {
    CloseEncoderStream();
    UnloadEncoderLibrary();
}

std::string RecorderMp3Output::DefaultLibraryPath() {
    return platform::programDir() + BE_LIBRARY_NAME;
}

bool RecorderMp3Output::LoadEncoderLibrary() {
    library_ = platform::RuntimeLibrary(
        libraryPath_,
        {BE_INIT_STREAM_NAME, BE_ENCODE_CHUNK_NAME, BE_DEINIT_STREAM_NAME, BE_CLOSE_STREAM_NAME},
        {BE_GET_LAME_TAG_FRAME_NAME});
    if (!library_.isLoaded()) {
        return false;
    }
    beInitStream_ = library_.entry<BeInitStreamFn>(BE_INIT_STREAM_NAME);
    beEncodeChunk_ = library_.entry<BeEncodeChunkFn>(BE_ENCODE_CHUNK_NAME);
    beDeinitStream_ = library_.entry<BeDeinitStreamFn>(BE_DEINIT_STREAM_NAME);
    beCloseStream_ = library_.entry<BeCloseStreamFn>(BE_CLOSE_STREAM_NAME);
    beGetLameTagFrame_ = library_.entry<BeGetLameTagFrameFn>(BE_GET_LAME_TAG_FRAME_NAME);
    return true;
}

bool RecorderMp3Output::OpenEncoderStream(const std::string& name,
                                          const RecorderMp3Settings& settings) {
    CloseEncoderStream();
    if (platform::fileExists(name)) {
        if (platform::isReadOnlyFile(name) || ::unlink(name.c_str()) != 0) {
            return false;
        }
    }
    if (!library_.isLoaded()) {
        return false;
    }
    // Read access lets the close check the first frame before it rewrites it.
    fd_ = ::open(name.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd_ < 0) {
        return false;
    }

    std::uint8_t record[BE_CONFIG_SIZE];
    BeConfig config = MakeRecorderEncoderConfig(settings, beGetLameTagFrame_ != nullptr);
    BeConfigWrite(&config, record);
    samplesPerChunk_ = 0;
    outputBufferSize_ = 0;
    stream_ = 0;
    std::uint32_t result = beInitStream_(record, &samplesPerChunk_, &outputBufferSize_, &stream_);
    if (result == BE_ERR_SUCCESSFUL && (samplesPerChunk_ == 0 || outputBufferSize_ == 0)) {
        // A stream that takes no samples per call could never consume a buffer.
        beCloseStream_(stream_);
        result = BE_ERR_INVALID_FORMAT_PARAMETERS;
    }
    if (result != BE_ERR_SUCCESSFUL) {
        ::close(fd_);
        fd_ = -1;
        return false;
    }
    outputBuffer_.assign(outputBufferSize_, 0);
    chunk_.assign(samplesPerChunk_, 0);
    streamOpen_ = true;
    return true;
}

bool RecorderMp3Output::Append(const std::uint8_t* data, std::uint32_t length) {
    return platform::writeAll(fd_, data, length);
}

bool RecorderMp3Output::EncodeBuffer(const std::uint8_t* data, std::uint32_t length) {
    if (!streamOpen_) {
        return false;
    }
    std::uint32_t remaining = length;
    std::uint32_t offset = 0;
    // Whole 16-bit values only: a lone trailing byte cannot be encoded.
    while (remaining >= 2) {
        std::uint32_t n = std::min(samplesPerChunk_, remaining / 2);
        remaining -= 2 * n;
        // The recorder's buffers are byte arrays; the values are copied out
        // little-endian so their alignment and the host's byte order do not matter.
        for (std::uint32_t i = 0; i < n; ++i) {
            const std::uint8_t* s = data + offset + 2 * i;
            chunk_[i] = static_cast<std::int16_t>(static_cast<std::uint16_t>(s[0]) |
                                                  static_cast<std::uint16_t>(s[1] << 8));
        }
        std::uint32_t produced = 0;
        std::uint32_t result =
            beEncodeChunk_(stream_, n, chunk_.data(), outputBuffer_.data(), &produced);
        offset += 2 * n;
        if (result != BE_ERR_SUCCESSFUL) {
            return false;
        }
        if (!Append(outputBuffer_.data(), std::min(produced, outputBufferSize_))) {
            return false;
        }
    }
    return true;
}

void RecorderMp3Output::CloseEncoderStream() {
    if (!streamOpen_) {
        return;
    }
    std::uint32_t produced = 0;
    beDeinitStream_(stream_, outputBuffer_.data(), &produced);
    Append(outputBuffer_.data(), std::min(produced, outputBufferSize_));
    // The audio is complete: the tag frame goes over the placeholder it began with.
    // Anything that goes in front of the file (tags) comes after this step.
    codec::WriteLameTagFrame(beGetLameTagFrame_, stream_, fd_);
    beCloseStream_(stream_);
    ::close(fd_);
    fd_ = -1;
    streamOpen_ = false;
    stream_ = 0;
    std::vector<std::uint8_t>().swap(outputBuffer_);
    std::vector<std::int16_t>().swap(chunk_);
}

void RecorderMp3Output::UnloadEncoderLibrary() {
    CloseEncoderStream();
    library_.unload();
    beInitStream_ = nullptr;
    beEncodeChunk_ = nullptr;
    beDeinitStream_ = nullptr;
    beCloseStream_ = nullptr;
    beGetLameTagFrame_ = nullptr;
}

} // namespace recorder
