#pragma once

// The nine sample rates an MP3 made by the program has, and the encoder bitrate the
// file codec chooses for each: the one table every reader and the encoder use.

#include <array>
#include <cstdint>

namespace codec {

struct Mp3Rate {
    std::uint32_t rate;    // Hz
    std::uint32_t bitrate; // kbit/s the file codec encodes it at
};

inline constexpr std::array<Mp3Rate, 9> kMp3Rates = {{{8000, 64},
                                                      {11025, 64},
                                                      {12000, 64},
                                                      {16000, 64},
                                                      {22050, 64},
                                                      {24000, 80},
                                                      {32000, 96},
                                                      {44100, 128},
                                                      {48000, 160}}};

// One of the nine rates: 8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100, 48000.
constexpr bool IsAcceptedSampleRate(std::uint32_t sampleRate) {
    for (const Mp3Rate& r : kMp3Rates) {
        if (r.rate == sampleRate) {
            return true;
        }
    }
    return false;
}

// The encoder bitrate (kbit/s) for an accepted rate: 64 up to 22050 Hz, 80 at 24000,
// 96 at 32000, 128 at 44100, 160 at 48000; 0 for any other rate.
constexpr std::uint32_t BitrateForSampleRate(std::uint32_t sampleRate) {
    for (const Mp3Rate& r : kMp3Rates) {
        if (r.rate == sampleRate) {
            return r.bitrate;
        }
    }
    return 0;
}

// The MP3 rate for any source rate: the nine rates stay; 88200, 176400 and 352800 Hz
// become 44100; any other rate above 48000 becomes 48000; a rate between two of the
// nine becomes the next higher one; below 8000, 8000.
constexpr std::uint32_t EncodeRateForSourceRate(std::uint32_t sampleRate) {
    if (sampleRate == 88200 || sampleRate == 176400 || sampleRate == 352800) {
        return 44100;
    }
    for (const Mp3Rate& r : kMp3Rates) {
        if (sampleRate <= r.rate) {
            return r.rate;
        }
    }
    return kMp3Rates.back().rate;
}

} // namespace codec
