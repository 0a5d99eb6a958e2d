// Synchronous playback of short WAV files through ALSA's "default" device.
#include <alsa/asoundlib.h>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <vector>

#include "platform/ByteOrder.h"
#include "platform/Services.h"

namespace platform {
namespace {

struct Pcm {
    unsigned rate = 0;
    unsigned channels = 0;
    unsigned bits = 0;
    std::vector<uint8_t> data;
};

// Follows the RIFF chunk list; accepts 8- and 16-bit integer PCM.
bool readWave(const std::string& path, Pcm& pcm) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                               std::istreambuf_iterator<char>());
    if (bytes.size() < 12 || std::string(bytes.begin(), bytes.begin() + 4) != "RIFF" ||
        std::string(bytes.begin() + 8, bytes.begin() + 12) != "WAVE") {
        return false;
    }
    size_t at = 12;
    bool haveFormat = false;
    while (at + 8 <= bytes.size()) {
        std::string id(bytes.begin() + at, bytes.begin() + at + 4);
        uint64_t size = getLe32(bytes.data() + at + 4);
        size_t body = at + 8;
        if (id == "fmt " && size >= 16 && body + 16 <= bytes.size()) {
            pcm.channels = getLe16(bytes.data() + body + 2);
            pcm.rate = getLe32(bytes.data() + body + 4);
            pcm.bits = getLe16(bytes.data() + body + 14);
            haveFormat = true;
        } else if (id == "data") {
            size_t end = static_cast<size_t>(std::min<uint64_t>(body + size, bytes.size()));
            pcm.data.assign(bytes.begin() + body, bytes.begin() + end);
            break;
        }
        at = body + static_cast<size_t>(size) + (size & 1);
    }
    return haveFormat && (pcm.bits == 8 || pcm.bits == 16) &&
           (pcm.channels == 1 || pcm.channels == 2) && pcm.rate >= 4000 && pcm.rate <= 192000;
}

// alsa-lib prints its configuration errors (no sound card, say) to stderr;
// playing a completion sound is best effort, so they are kept quiet.
void quietAlsaErrors(const char*, int, const char*, int, const char*, ...) {}

void play(const Pcm& pcm) {
    snd_lib_error_set_handler(quietAlsaErrors);
    snd_pcm_t* handle = nullptr;
    if (snd_pcm_open(&handle, "default", SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK) < 0) {
        return;
    }
    snd_pcm_nonblock(handle, 0);
    snd_pcm_format_t format = pcm.bits == 8 ? SND_PCM_FORMAT_U8 : SND_PCM_FORMAT_S16_LE;
    if (snd_pcm_set_params(handle, format, SND_PCM_ACCESS_RW_INTERLEAVED, pcm.channels, pcm.rate,
                           1, 200000) < 0) {
        snd_pcm_close(handle);
        return;
    }
    size_t frameBytes = pcm.channels * pcm.bits / 8;
    snd_pcm_uframes_t frames = pcm.data.size() / frameBytes;
    const uint8_t* p = pcm.data.data();
    while (frames > 0) {
        snd_pcm_sframes_t n = snd_pcm_writei(handle, p, frames);
        if (n < 0) {
            if (snd_pcm_recover(handle, static_cast<int>(n), 1) < 0) {
                break;
            }
            continue;
        }
        p += static_cast<size_t>(n) * frameBytes;
        frames -= static_cast<snd_pcm_uframes_t>(n);
    }
    snd_pcm_drain(handle);
    snd_pcm_close(handle);
}

class AlsaSound : public Sound {
public:
    void playFileSync(const std::string& path) override {
        Pcm pcm;
        if (readWave(path, pcm)) {
            play(pcm);
        } else {
            playDefault();
        }
    }

    void playDefault() override {
        // A short two-tone chime, 22050 Hz mono.
        Pcm pcm{22050, 1, 16, {}};
        const double tones[] = {880.0, 1320.0};
        for (double f : tones) {
            for (int i = 0; i < 22050 / 8; ++i) {
                double fade = 1.0 - double(i) / (22050 / 8);
                auto s = static_cast<int16_t>(8000 * fade * std::sin(2 * M_PI * f * i / 22050));
                pcm.data.push_back(static_cast<uint8_t>(s & 0xff));
                pcm.data.push_back(static_cast<uint8_t>((s >> 8) & 0xff));
            }
        }
        play(pcm);
    }
};

}  // namespace

std::shared_ptr<Sound> makeAlsaSound() { return std::make_shared<AlsaSound>(); }

}  // namespace platform
