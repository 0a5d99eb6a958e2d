// The test encoder library (see FakeLame.h). Built twice: complete, and without
// beCloseStream (FAKE_LAME_NO_CLOSE) for the incomplete-library case.
#include "FakeLame.h"

#include <cstring>

#include "lame_encoder.h"

namespace {
FakeLameState state;
constexpr std::uint32_t kStream = 7;
} // namespace

extern "C" {

TW_EXPORT FakeLameState* fakeLameState() {
    return &state;
}

TW_EXPORT uint32_t beInitStream(const uint8_t* config, uint32_t* samplesPerChunk,
                                uint32_t* outputBufferSize, uint32_t* stream) {
    ++state.inits;
    std::memcpy(state.config, config, sizeof state.config);
    if (state.initResult != 0) {
        return state.initResult;
    }
    *samplesPerChunk = state.samplesPerChunk;
    *outputBufferSize = 2 * state.samplesPerChunk + 16;
    *stream = kStream;
    return 0;
}

TW_EXPORT uint32_t beEncodeChunk(uint32_t stream, uint32_t count, const int16_t* samples,
                                 uint8_t* output, uint32_t* outputBytes) {
    int call = static_cast<int>(state.encodeCounts.size());
    state.encodeCounts.push_back(count);
    if (stream != kStream || count > state.samplesPerChunk || call == state.failEncodeAtCall) {
        *outputBytes = 0;
        return BE_ERR_INVALID_FORMAT_PARAMETERS;
    }
    for (uint32_t i = 0; i < count; ++i) {
        output[2 * i] = static_cast<uint8_t>(samples[i] & 0xff);
        output[2 * i + 1] = static_cast<uint8_t>((samples[i] >> 8) & 0xff);
    }
    *outputBytes = 2 * count;
    return 0;
}

TW_EXPORT uint32_t beDeinitStream(uint32_t, uint8_t* output, uint32_t* outputBytes) {
    ++state.deinits;
    std::memcpy(output, "END!", 4);
    *outputBytes = 4;
    return 0;
}

#ifndef FAKE_LAME_NO_CLOSE
TW_EXPORT uint32_t beCloseStream(uint32_t) {
    ++state.closes;
    return 0;
}
#endif
}
