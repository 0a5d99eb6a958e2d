#pragma once

// A test encoder library with the four entry points of lame.so. It "encodes" by
// copying the 16-bit values it is given, little-endian, into the output, so the
// bytes in the output file show exactly which values were fed in which order;
// the flush writes "END!". Its behaviour is set and its calls are read through
// the state below (fakeLameState, resolved from the loaded library).

#include <cstdint>
#include <vector>

struct FakeLameState {
    // Set by the test.
    std::uint32_t initResult = 0;
    std::uint32_t samplesPerChunk = 2304;
    int failEncodeAtCall = -1; // index of the beEncodeChunk call that fails

    // Recorded by the library.
    std::uint8_t config[331] = {};
    int inits = 0;
    int deinits = 0;
    int closes = 0;
    std::vector<std::uint32_t> encodeCounts; // values per beEncodeChunk call

    void reset() { *this = FakeLameState(); }
};

using FakeLameStateFn = FakeLameState* (*)();
