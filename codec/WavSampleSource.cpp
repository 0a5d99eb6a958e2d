// The WAV reader: the program's own WAVs, sample for sample, as 16-bit stereo.

#include "codec/WavSampleSource.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <unistd.h>

namespace codec {
namespace {

// pread until `size` bytes are in or the file ends; the count read.
std::size_t preadFully(int fd, std::uint8_t* data, std::size_t size, std::uint64_t at) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::pread(fd, data + done, size - done, static_cast<off_t>(at + done));
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

} // namespace

std::unique_ptr<WavSampleSource> WavSampleSource::Open(int fd, bool& accepted) {
    accepted = false;
    WavHeader header;
    if (!ReadWavHeader(fd, header)) {
        return nullptr;
    }
    accepted = true;
    // A WAV without a single whole frame gives no audio: no MP3 is made of it.
    const std::uint32_t frameBytes = header.channels * header.bitsPerSample / 8u;
    if (header.dataSize < frameBytes) {
        return nullptr;
    }
    return std::unique_ptr<WavSampleSource>(new WavSampleSource(fd, header));
}

WavSampleSource::WavSampleSource(int fd, const WavHeader& header)
    : fd_(fd), header_(header), offset_(header.dataOffset),
      frameBytes_(header.channels * header.bitsPerSample / 8u) {}

ReadStatus WavSampleSource::Read(std::int16_t* ints, float*, std::uint32_t maxFrames,
                                 std::uint32_t& frames) {
    frames = 0;
    const std::uint32_t dataSize = header_.dataSize;
    if (bytesDone_ >= dataSize) {
        return ReadStatus::End;
    }
    const std::uint32_t whole = (dataSize - bytesDone_) / frameBytes_;
    if (whole == 0) {
        // Less than a frame left: bytes that can never be encoded, stepped over one
        // per call (the encoder gets no value), so the file still ends with "done".
        ++bytesDone_;
        return ReadStatus::Frames;
    }
    const std::uint32_t want = std::min(maxFrames, whole);
    const std::size_t request = std::size_t{want} * frameBytes_;

    std::size_t got = 0;
    if (header_.channels == 2 && header_.bitsPerSample == 16) {
        got = preadFully(fd_, reinterpret_cast<std::uint8_t*>(ints), request, offset_);
        if constexpr (std::endian::native == std::endian::big) {
            for (std::size_t i = 0; i < got / 2; ++i) {
                auto v = static_cast<std::uint16_t>(ints[i]);
                ints[i] =
                    static_cast<std::int16_t>(static_cast<std::uint16_t>((v >> 8) | (v << 8)));
            }
        }
    } else {
        scratch_.resize(request);
        got = preadFully(fd_, scratch_.data(), request, offset_);
        const std::uint8_t* in = scratch_.data();
        const std::size_t count = got / frameBytes_;
        for (std::size_t f = 0; f < count; ++f) {
            std::int16_t left = 0;
            std::int16_t right = 0;
            if (header_.bitsPerSample == 8 && header_.channels == 1) {
                left = right = static_cast<std::int16_t>((in[f] - 128) * 256);
            } else if (header_.bitsPerSample == 8) {
                left = static_cast<std::int16_t>((in[2 * f] - 128) * 256);
                right = static_cast<std::int16_t>((in[2 * f + 1] - 128) * 256);
            } else {
                left = right = static_cast<std::int16_t>(in[2 * f] | (in[2 * f + 1] << 8));
            }
            ints[2 * f] = left;
            ints[2 * f + 1] = right;
        }
    }
    if (got == 0) {
        // The file ends before the data size its header states.
        return ReadStatus::Failed;
    }
    offset_ += got;
    bytesDone_ += static_cast<std::uint32_t>(got);
    frames = static_cast<std::uint32_t>(got / frameBytes_);
    return ReadStatus::Frames;
}

std::uint16_t WavSampleSource::Progress() const {
    const std::uint32_t dataSize = header_.dataSize;
    return dataSize <= 300 ? 100 : static_cast<std::uint16_t>(bytesDone_ / (dataSize / 100));
}

} // namespace codec
