#pragma once

// An ALSA capture device of type "file" over the "null" device, reading the raw
// samples of a file the test writes. ALSA reads it as fast as it is asked (no
// real-time pace).

#include <cstdint>
#include <string>
#include <vector>

namespace testenv {

class AlsaFileDevice {
public:
    // Writes `raw` to a file, an ALSA configuration naming a capture device over
    // it (after the system's alsa.conf), points ALSA_CONFIG_PATH at both and
    // TUNEWRIGHT_WAVE_DEVICE at the device, and makes ALSA read its
    // configuration again.
    explicit AlsaFileDevice(const std::vector<std::uint8_t>& raw);
    ~AlsaFileDevice();

    const std::string& name() const { return name_; }

private:
    std::string name_;
};

// Raw 16-bit little-endian samples: `buffers` buffers of `bufferBytes` bytes each,
// buffer i holding the constant value values[i] in every sample.
std::vector<std::uint8_t> constantBuffers16(const std::vector<std::int16_t>& values,
                                            std::uint32_t bufferBytes);

// Appends `count` 16-bit values of a sine to `out`.
void appendSine16(std::vector<std::uint8_t>& out, std::uint32_t frames, int channels,
                  double frequency, std::uint32_t rate, double amplitude);

std::int16_t sample16(const std::uint8_t* p);

} // namespace testenv
