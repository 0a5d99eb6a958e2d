#include "DiscImage.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fcntl.h>
#include <stdexcept>
#include <unistd.h>

namespace testdisc {

std::string msf(int64_t blocks) {
    char text[32];
    std::snprintf(text, sizeof text, "%02lld:%02lld:%02lld", static_cast<long long>(blocks / 4500),
                  static_cast<long long>((blocks / 75) % 60), static_cast<long long>(blocks % 75));
    return text;
}

void fillAudio(uint8_t* out, int64_t firstFrame, int64_t frames, double frequency, int track) {
    const int64_t firstSample = firstFrame * (kFrameBytes / 4);
    const int64_t samples = frames * (kFrameBytes / 4);
    for (int64_t i = 0; i < samples; ++i) {
        int64_t n = firstSample + i;
        auto left = static_cast<int16_t>(std::lround(
            12000.0 * std::sin(2.0 * M_PI * frequency * static_cast<double>(n) / 44100.0)));
        // A slow ramp that differs per track, so a misplaced block never matches.
        auto right = static_cast<int16_t>(((n * 3 + track * 1000) % 4000) - 2000);
        uint8_t* p = out + i * 4;
        p[0] = static_cast<uint8_t>(left);
        p[1] = static_cast<uint8_t>(static_cast<uint16_t>(left) >> 8);
        p[2] = static_cast<uint8_t>(right);
        p[3] = static_cast<uint8_t>(static_cast<uint16_t>(right) >> 8);
    }
}

std::string DiscImage::trackBytes(const std::string& binBytes, size_t track) const {
    size_t from = static_cast<size_t>(starts[track]) * kFrameBytes;
    size_t to = static_cast<size_t>(starts[track + 1]) * kFrameBytes;
    return binBytes.substr(from, to - from);
}

DiscImage writeDiscImage(const std::string& dir, const std::string& name,
                         const std::vector<TrackSpec>& tracks, const DiscText& text) {
    DiscImage image;
    image.bin = dir + "/" + name + ".bin";
    image.cue = dir + "/" + name + ".cue";

    int fd = ::open(image.bin.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        throw std::runtime_error("cannot create " + image.bin);
    }
    std::string cue;
    if (!text.performer.empty()) {
        cue += "PERFORMER \"" + text.performer + "\"\n";
    }
    if (!text.title.empty()) {
        cue += "TITLE \"" + text.title + "\"\n";
    }
    cue += "FILE \"" + name + ".bin\" BINARY\n";
    int64_t block = 0;
    std::vector<uint8_t> chunk;
    for (size_t t = 0; t < tracks.size(); ++t) {
        const TrackSpec& track = tracks[t];
        char number[8];
        std::snprintf(number, sizeof number, "%02d", static_cast<int>(t + 1) % 100);
        cue += std::string("  TRACK ") + number + (track.data ? " MODE1/2352\n" : " AUDIO\n");
        if (!track.title.empty()) {
            cue += "    TITLE \"" + track.title + "\"\n";
        }
        if (!track.performer.empty()) {
            cue += "    PERFORMER \"" + track.performer + "\"\n";
        }
        cue += "    INDEX 01 " + msf(block) + "\n";
        image.starts.push_back(block);
        if (track.silent) {
            block += track.frames;
            continue;
        }
        constexpr int64_t kStep = 75;
        for (int64_t done = 0; done < track.frames; done += kStep) {
            int64_t n = std::min(kStep, track.frames - done);
            chunk.assign(static_cast<size_t>(n) * kFrameBytes, 0);
            if (track.data) {
                for (size_t i = 0; i < chunk.size(); ++i) {
                    chunk[i] = static_cast<uint8_t>((i * 31 + t) & 0xFF);
                }
            } else {
                fillAudio(chunk.data(), done, n, track.frequency, static_cast<int>(t));
            }
            off_t at = static_cast<off_t>((block + done) * kFrameBytes);
            if (::pwrite(fd, chunk.data(), chunk.size(), at) !=
                static_cast<ssize_t>(chunk.size())) {
                ::close(fd);
                throw std::runtime_error("cannot write " + image.bin);
            }
        }
        block += track.frames;
    }
    image.starts.push_back(block);
    // Silent tracks at the end are holes: the file still has to reach their end.
    if (::ftruncate(fd, static_cast<off_t>(block * kFrameBytes)) != 0) {
        ::close(fd);
        throw std::runtime_error("cannot size " + image.bin);
    }
    ::close(fd);

    FILE* f = std::fopen(image.cue.c_str(), "w");
    if (!f) {
        throw std::runtime_error("cannot create " + image.cue);
    }
    std::fputs(cue.c_str(), f);
    std::fclose(f);
    return image;
}

} // namespace testdisc
