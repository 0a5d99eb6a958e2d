#pragma once

// Test helpers that check audio from outside: generated signals, WAV bytes made by
// hand, decoding an MP3 with ffmpeg, reading MP3 frame headers, and measuring a
// tone's frequency. Header-only so that any suite can include it.

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "TestEnv.h"

namespace audiocheck {

// ---- Bytes -----------------------------------------------------------------

inline void put16(std::string& s, std::uint16_t v) {
    s.push_back(static_cast<char>(v & 0xFF));
    s.push_back(static_cast<char>(v >> 8));
}

inline void put32(std::string& s, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        s.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
    }
}

inline std::uint16_t get16(const std::string& s, std::size_t at) {
    return static_cast<std::uint16_t>(static_cast<std::uint8_t>(s[at]) |
                                      (static_cast<std::uint8_t>(s[at + 1]) << 8));
}

inline std::uint32_t get32(const std::string& s, std::size_t at) {
    return static_cast<std::uint32_t>(get16(s, at)) |
           (static_cast<std::uint32_t>(get16(s, at + 2)) << 16);
}

// A "fmt " chunk with the given fields (length 16, or 18 with an extension word).
inline std::string fmtChunk(std::uint16_t tag, std::uint16_t channels, std::uint32_t rate,
                            std::uint16_t bits, bool extended = false) {
    std::string s = "fmt ";
    put32(s, extended ? 18 : 16);
    put16(s, tag);
    put16(s, channels);
    put32(s, rate);
    put32(s, rate * channels * bits / 8);
    put16(s, static_cast<std::uint16_t>(channels * bits / 8));
    put16(s, bits);
    if (extended) {
        put16(s, 0);
    }
    return s;
}

inline std::string chunk(const std::string& id, const std::string& body) {
    std::string s = id;
    put32(s, static_cast<std::uint32_t>(body.size()));
    return s + body;
}

// "RIFF" size "WAVE" followed by the chunks given.
inline std::string riff(const std::string& chunks) {
    std::string s = "RIFF";
    put32(s, static_cast<std::uint32_t>(chunks.size() + 4));
    return s + "WAVE" + chunks;
}

// A plain PCM WAV file image.
inline std::string wavFile(std::uint32_t rate, std::uint16_t channels, std::uint16_t bits,
                           const std::string& samples) {
    return riff(fmtChunk(1, channels, rate, bits) + chunk("data", samples));
}

// ---- Signals ---------------------------------------------------------------

// Interleaved 16-bit frames; channel c carries a sine of freqs[c] Hz.
inline std::vector<std::int16_t> sine16(std::uint32_t rate, double seconds,
                                        const std::vector<double>& freqs,
                                        double amplitude = 12000.0) {
    const std::size_t frames = static_cast<std::size_t>(seconds * rate);
    std::vector<std::int16_t> out;
    out.reserve(frames * freqs.size());
    for (std::size_t i = 0; i < frames; ++i) {
        for (double f : freqs) {
            out.push_back(static_cast<std::int16_t>(
                std::lround(amplitude * std::sin(2.0 * M_PI * f * double(i) / rate))));
        }
    }
    return out;
}

inline std::string bytes16(const std::vector<std::int16_t>& values) {
    std::string s;
    s.reserve(values.size() * 2);
    for (std::int16_t v : values) {
        put16(s, static_cast<std::uint16_t>(v));
    }
    return s;
}

// Unsigned 8-bit samples (128 = zero) of interleaved sines.
inline std::string sine8(std::uint32_t rate, double seconds, const std::vector<double>& freqs,
                         double amplitude = 90.0) {
    const std::size_t frames = static_cast<std::size_t>(seconds * rate);
    std::string s;
    for (std::size_t i = 0; i < frames; ++i) {
        for (double f : freqs) {
            long v = 128 + std::lround(amplitude * std::sin(2.0 * M_PI * f * double(i) / rate));
            s.push_back(static_cast<char>(static_cast<std::uint8_t>(v)));
        }
    }
    return s;
}

// ---- Decoding from outside ---------------------------------------------------

struct Decoded {
    bool ok = false;
    std::uint32_t rate = 0;
    std::uint16_t channels = 0;
    std::vector<std::int16_t> samples; // interleaved
    std::size_t frames() const { return channels ? samples.size() / channels : 0; }
    std::vector<std::int16_t> channel(std::size_t c) const {
        std::vector<std::int16_t> out;
        for (std::size_t i = c; i < samples.size(); i += channels) {
            out.push_back(samples[i]);
        }
        return out;
    }
};

// Reads a PCM WAV file by following chunk lengths (strict, unlike the program's reader).
inline Decoded parseWav(const std::string& bytes) {
    Decoded d;
    if (bytes.size() < 12 || bytes.compare(0, 4, "RIFF") != 0 || bytes.compare(8, 4, "WAVE") != 0) {
        return d;
    }
    std::size_t at = 12;
    std::uint16_t bits = 0;
    while (at + 8 <= bytes.size()) {
        std::string id = bytes.substr(at, 4);
        std::uint32_t len = get32(bytes, at + 4);
        std::size_t body = at + 8;
        if (id == "fmt ") {
            d.channels = get16(bytes, body + 2);
            d.rate = get32(bytes, body + 4);
            bits = get16(bytes, body + 14);
        } else if (id == "data") {
            std::size_t end = std::min<std::size_t>(bytes.size(), body + len);
            if (bits != 16) {
                return d;
            }
            for (std::size_t i = body; i + 1 < end; i += 2) {
                d.samples.push_back(static_cast<std::int16_t>(get16(bytes, i)));
            }
            d.ok = d.channels > 0;
            return d;
        }
        at = body + len + (len & 1);
    }
    return d;
}

// Decodes an MP3 file with ffmpeg into 16-bit PCM at its own rate and channel count.
inline Decoded decodeMp3(const std::string& mp3Path) {
    std::string wav = mp3Path + ".decoded.wav";
    std::string cmd =
        "ffmpeg -nostdin -v error -y -i '" + mp3Path + "' -c:a pcm_s16le -f wav '" + wav + "'";
    if (testenv::run(cmd) != 0) {
        return {};
    }
    return parseWav(testenv::readFile(wav));
}

// ---- Measuring ---------------------------------------------------------------

// Frequency of a tone from its rising zero crossings over the middle of the signal.
inline double toneFrequency(const std::vector<std::int16_t>& mono, std::uint32_t rate) {
    if (mono.size() < 8) {
        return 0;
    }
    std::size_t from = mono.size() / 5;
    std::size_t to = mono.size() - mono.size() / 5;
    std::size_t first = 0, last = 0, crossings = 0;
    for (std::size_t i = from + 1; i < to; ++i) {
        if (mono[i - 1] < 0 && mono[i] >= 0) {
            if (crossings == 0) {
                first = i;
            }
            last = i;
            ++crossings;
        }
    }
    if (crossings < 2) {
        return 0;
    }
    return double(crossings - 1) * rate / double(last - first);
}

inline double rms(const std::vector<std::int16_t>& mono) {
    if (mono.empty()) {
        return 0;
    }
    double sum = 0;
    for (std::int16_t v : mono) {
        sum += double(v) * v;
    }
    return std::sqrt(sum / double(mono.size()));
}

// ---- MP3 frame headers -------------------------------------------------------

struct FrameHeader {
    int version = 0; // 1 = MPEG-1, 2 = MPEG-2, 25 = MPEG-2.5
    int layer = 0;
    bool crc = false; // protection present
    int bitrate = 0;  // kbit/s
    std::uint32_t rate = 0;
    bool padding = false;
    bool privateBit = false;
    int mode = 0; // 0 stereo, 1 joint, 2 dual, 3 mono
    bool copyright = false;
    bool original = false;
    int emphasis = 0;
    std::size_t offset = 0;
    std::size_t length = 0;
    int samples = 0; // per channel
};

inline bool parseHeader(const std::string& b, std::size_t at, FrameHeader& h) {
    if (at + 4 > b.size()) {
        return false;
    }
    auto u = [&](std::size_t i) { return static_cast<std::uint8_t>(b[at + i]); };
    if (u(0) != 0xFF || (u(1) & 0xE0) != 0xE0) {
        return false;
    }
    int v = (u(1) >> 3) & 3;
    int layer = (u(1) >> 1) & 3;
    if (v == 1 || layer != 1) {
        return false; // reserved version, or not layer III
    }
    h.version = v == 3 ? 1 : v == 2 ? 2 : 25;
    h.layer = 3;
    h.crc = (u(1) & 1) == 0;
    int bi = u(2) >> 4;
    int si = (u(2) >> 2) & 3;
    if (bi == 0 || bi == 15 || si == 3) {
        return false;
    }
    static const int br1[] = {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320};
    static const int br2[] = {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160};
    static const std::uint32_t sr1[] = {44100, 48000, 32000};
    h.bitrate = h.version == 1 ? br1[bi] : br2[bi];
    h.rate = sr1[si] / (h.version == 1 ? 1 : h.version == 2 ? 2 : 4);
    h.padding = (u(2) >> 1) & 1;
    h.privateBit = u(2) & 1;
    h.mode = u(3) >> 6;
    h.copyright = (u(3) >> 3) & 1;
    h.original = (u(3) >> 2) & 1;
    h.emphasis = u(3) & 3;
    h.samples = h.version == 1 ? 1152 : 576;
    h.length = static_cast<std::size_t>((h.samples / 8) * h.bitrate * 1000 / h.rate) + h.padding;
    h.offset = at;
    return true;
}

// Every frame of a file, walked from the first sync by frame lengths.
inline std::vector<FrameHeader> frames(const std::string& b) {
    std::vector<FrameHeader> out;
    std::size_t at = 0;
    FrameHeader h;
    while (at + 4 <= b.size() && !parseHeader(b, at, h)) {
        ++at;
    }
    while (at + 4 <= b.size() && parseHeader(b, at, h)) {
        out.push_back(h);
        at += h.length;
    }
    return out;
}

inline std::map<int, int> bitrateHistogram(const std::vector<FrameHeader>& fs) {
    std::map<int, int> m;
    for (const auto& f : fs) {
        ++m[f.bitrate];
    }
    return m;
}

} // namespace audiocheck
