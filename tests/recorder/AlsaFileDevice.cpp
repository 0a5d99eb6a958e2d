#include "AlsaFileDevice.h"

#include <alsa/asoundlib.h>

#include <cmath>
#include <cstdlib>

#include "TestEnv.h"

namespace testenv {

namespace {
int counter = 0;
}

AlsaFileDevice::AlsaFileDevice(const std::vector<std::uint8_t>& raw) {
    ++counter;
    std::string dir = makeDir("alsa" + std::to_string(counter));
    std::string rawPath = dir + "/input.raw";
    std::string confPath = dir + "/asound.conf";
    writeFile(rawPath, std::string(raw.begin(), raw.end()));
    name_ = "tw_capture" + std::to_string(counter);
    writeFile(confPath, "pcm." + name_ +
                            " {\n"
                            "  type file\n"
                            "  slave.pcm \"null\"\n"
                            "  file \"/dev/null\"\n"
                            "  infile \"" +
                            rawPath +
                            "\"\n"
                            "  format \"raw\"\n"
                            "}\n");
    setenv("ALSA_CONFIG_PATH", ("/usr/share/alsa/alsa.conf:" + confPath).c_str(), 1);
    setenv("TUNEWRIGHT_WAVE_DEVICE", name_.c_str(), 1);
    snd_config_update_free_global();
}

AlsaFileDevice::~AlsaFileDevice() {
    unsetenv("ALSA_CONFIG_PATH");
    unsetenv("TUNEWRIGHT_WAVE_DEVICE");
    snd_config_update_free_global();
}

std::vector<std::uint8_t> constantBuffers16(const std::vector<std::int16_t>& values,
                                            std::uint32_t bufferBytes) {
    std::vector<std::uint8_t> out;
    out.reserve(values.size() * bufferBytes);
    for (std::int16_t v : values) {
        for (std::uint32_t i = 0; i < bufferBytes / 2; ++i) {
            out.push_back(static_cast<std::uint8_t>(v & 0xff));
            out.push_back(static_cast<std::uint8_t>((v >> 8) & 0xff));
        }
    }
    return out;
}

void appendSine16(std::vector<std::uint8_t>& out, std::uint32_t frames, int channels,
                  double frequency, std::uint32_t rate, double amplitude) {
    for (std::uint32_t f = 0; f < frames; ++f) {
        auto v = static_cast<std::int16_t>(
            std::lround(amplitude * std::sin(2.0 * M_PI * frequency * f / rate)));
        for (int c = 0; c < channels; ++c) {
            out.push_back(static_cast<std::uint8_t>(v & 0xff));
            out.push_back(static_cast<std::uint8_t>((v >> 8) & 0xff));
        }
    }
}

std::int16_t sample16(const std::uint8_t* p) {
    return static_cast<std::int16_t>(static_cast<std::uint16_t>(p[0]) |
                                     static_cast<std::uint16_t>(p[1] << 8));
}

} // namespace testenv
