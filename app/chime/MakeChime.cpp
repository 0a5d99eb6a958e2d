// Writes the completion sound "alldone.wav": a short two-note chime, 22050 Hz,
// mono, 16-bit, with the same 44-byte header every WAV file of the program has.
//
// Usage: tw_make_chime <output.wav>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace {

constexpr uint32_t kRate = 22050;
constexpr double kPi = 3.14159265358979323846;

void put16(std::vector<uint8_t>& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v & 0xFF));
    out.push_back(static_cast<uint8_t>(v >> 8));
}

void put32(std::vector<uint8_t>& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<uint8_t>((v >> (8 * i)) & 0xFF));
    }
}

void putTag(std::vector<uint8_t>& out, const char* tag) {
    for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<uint8_t>(tag[i]));
    }
}

// One bell-like note: a fundamental with a softer octave and a faster-decaying
// upper partial, a 5 ms attack and an exponential decay.
double note(double t, double frequency) {
    if (t < 0) {
        return 0;
    }
    const double attack = t < 0.005 ? t / 0.005 : 1.0;
    const double body = std::exp(-t * 5.0);
    return attack * body *
           (0.60 * std::sin(2 * kPi * frequency * t) +
            0.25 * std::sin(2 * kPi * 2 * frequency * t) +
            0.15 * std::exp(-t * 12.0) * std::sin(2 * kPi * 3.01 * frequency * t));
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <output.wav>\n", argv[0]);
        return 2;
    }
    const double seconds = 0.8;
    const uint32_t frames = static_cast<uint32_t>(seconds * kRate);
    std::vector<int16_t> samples(frames);
    for (uint32_t i = 0; i < frames; ++i) {
        const double t = static_cast<double>(i) / kRate;
        // E6 then B6, 150 ms apart; faded out over the last 50 ms.
        double v = 0.45 * note(t, 1318.51) + 0.45 * note(t - 0.15, 1975.53);
        const double tail = seconds - t;
        if (tail < 0.05) {
            v *= tail / 0.05;
        }
        samples[i] = static_cast<int16_t>(std::lround(std::fmax(-1.0, std::fmin(1.0, v)) * 30000));
    }

    const uint32_t dataSize = frames * 2;
    std::vector<uint8_t> out;
    putTag(out, "RIFF");
    put32(out, dataSize + 36);
    putTag(out, "WAVE");
    putTag(out, "fmt ");
    put32(out, 16);
    put16(out, 1);         // PCM
    put16(out, 1);         // mono
    put32(out, kRate);     // sample rate
    put32(out, kRate * 2); // byte rate
    put16(out, 2);         // block align
    put16(out, 16);        // bits per sample
    putTag(out, "data");
    put32(out, dataSize);
    for (int16_t s : samples) {
        put16(out, static_cast<uint16_t>(s));
    }

    std::FILE* file = std::fopen(argv[1], "wb");
    if (!file) {
        std::perror(argv[1]);
        return 1;
    }
    const bool written = std::fwrite(out.data(), 1, out.size(), file) == out.size();
    if (std::fclose(file) != 0 || !written) {
        std::fprintf(stderr, "%s: write failed\n", argv[1]);
        std::remove(argv[1]);
        return 1;
    }
    return 0;
}
