#pragma once

// Audio for the tests of the batch conversion, made and measured with the sox, lame
// and ffmpeg tools: a sine goes in, and what comes out is decoded completely and its
// rate, channels, length and pitch compared.

#include <cstdint>
#include <cstdio>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>

#include "TestEnv.h"

namespace apptest {

inline std::string quoted(const std::string& path) {
    std::string q = "'";
    for (char c : path) {
        if (c == '\'') {
            q += "'\\''";
        } else {
            q += c;
        }
    }
    return q + "'";
}

inline std::string capture(const std::string& command) {
    std::string out;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        char buffer[65536];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) {
            out.append(buffer, n);
        }
        ::pclose(pipe);
    }
    return out;
}

// A sine WAV made by sox.
inline void makeWav(const std::string& path, double seconds, int rate = 44100, int channels = 2,
                    int bits = 16, int frequency = 440) {
    const std::string command = "sox -n -r " + std::to_string(rate) + " -c " +
                                std::to_string(channels) + " -b " + std::to_string(bits) + " " +
                                quoted(path) + " synth " + std::to_string(seconds) + " sine " +
                                std::to_string(frequency) + " vol 0.5";
    ASSERT_EQ(testenv::run(command), 0) << command;
}

// An MP3 of a sine, made by sox and the lame tool.
inline void makeMp3(const std::string& path, double seconds, int rate = 44100, int channels = 2,
                    int frequency = 440) {
    const std::string wav = path + ".source.wav";
    makeWav(wav, seconds, rate, channels, 16, frequency);
    const std::string command = "lame --quiet -b 128 " + quoted(wav) + " " + quoted(path);
    ASSERT_EQ(testenv::run(command), 0) << command;
    std::remove(wav.c_str());
}

struct Audio {
    int rate = 0;
    int channels = 0;
    double seconds = 0;
    double frequency = 0; // from the zero crossings of the first channel
};

// Decodes a file completely with ffmpeg and measures it.
inline Audio analyse(const std::string& path) {
    Audio audio;
    const std::string info =
        capture("ffprobe -v error -select_streams a:0 -show_entries stream=sample_rate,channels "
                "-of default=noprint_wrappers=1 " +
                quoted(path) + " 2>/dev/null");
    std::sscanf(info.c_str() + std::min(info.find("sample_rate="), info.size()), "sample_rate=%d",
                &audio.rate);
    std::sscanf(info.c_str() + std::min(info.find("channels="), info.size()), "channels=%d",
                &audio.channels);
    if (audio.rate <= 0 || audio.channels <= 0) {
        return audio;
    }
    const std::string pcm =
        capture("ffmpeg -v error -i " + quoted(path) + " -f s16le -acodec pcm_s16le - 2>/dev/null");
    const size_t frames = pcm.size() / (2 * audio.channels);
    audio.seconds = static_cast<double>(frames) / audio.rate;
    // Rising crossings with some hysteresis, in the middle half of the stream only, so
    // that the near-silence and the ramps at its start and end do not count.
    size_t crossings = 0;
    size_t first = 0;
    size_t last = 0;
    bool below = false;
    for (size_t i = frames / 4; i < frames - frames / 4; ++i) {
        const size_t at = i * 2 * audio.channels;
        const int16_t s = static_cast<int16_t>(static_cast<uint8_t>(pcm[at]) |
                                               (static_cast<uint8_t>(pcm[at + 1]) << 8));
        if (s < -512) {
            below = true;
        } else if (below && s > 512) {
            below = false;
            if (crossings++ == 0) {
                first = i;
            }
            last = i;
        }
    }
    audio.frequency =
        crossings > 1 ? static_cast<double>(crossings - 1) * audio.rate / (last - first) : 0;
    return audio;
}

// Checks that `path` holds `seconds` of a 440 Hz tone at `rate` with `channels`;
// a stream that went through MP3 may be a little longer.
inline void expectTone(const std::string& path, double seconds, int rate, int channels) {
    const Audio a = analyse(path);
    EXPECT_EQ(a.rate, rate) << path;
    EXPECT_EQ(a.channels, channels) << path;
    // An MP3 stream adds the encoder's delay and fills its last frame: at most about
    // two frames of 1152 samples.
    EXPECT_GE(a.seconds, seconds - 0.03) << path;
    EXPECT_LE(a.seconds, seconds + 2400.0 / rate) << path;
    EXPECT_NEAR(a.frequency, 440, 8) << path;
}

inline off_t fileSize(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

} // namespace apptest
