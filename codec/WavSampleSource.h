#pragma once

// The WAV reader behind SampleSource: the lenient header reader of WavFormat, then the
// data chunk frame by frame as 16-bit stereo. Stereo 16-bit passes as it is; 8-bit
// samples s become (s - 128) x 256; a mono frame's sample goes to both sides. The data
// size the header states bounds what is read, to its last whole frame; bytes after
// that (less than a frame) are stepped over one per read.

#include <cstdint>
#include <memory>
#include <vector>

#include "codec/SampleSource.h"
#include "codec/WavFormat.h"

namespace codec {

class WavSampleSource : public SampleSource {
public:
    // A reader for the WAV open at `fd`, or null. `accepted` tells whether the header
    // was accepted at all: null with `accepted` is a WAV without a single frame, null
    // without it a file the WAV reader does not take.
    static std::unique_ptr<WavSampleSource> Open(int fd, bool& accepted);

    std::uint32_t SampleRate() const override { return header_.sampleRate; }
    SampleKind Kind() const override { return SampleKind::Int16; }
    std::uint32_t SourceRate() const override { return header_.sampleRate; }
    std::uint16_t SourceChannels() const override { return header_.channels; }
    ReadStatus Read(std::int16_t* ints, float* floats, std::uint32_t maxFrames,
                    std::uint32_t& frames) override;
    // 100 for a data size of 300 bytes or less, else bytes read / (data size / 100).
    std::uint16_t Progress() const override;

private:
    WavSampleSource(int fd, const WavHeader& header);

    int fd_;
    WavHeader header_;
    std::uint64_t offset_;     // of the next sample byte
    std::uint32_t frameBytes_; // 1, 2 or 4
    std::uint32_t bytesDone_ = 0;
    std::vector<std::uint8_t> scratch_; // the source bytes of a widened read
};

} // namespace codec
