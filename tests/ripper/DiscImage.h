#pragma once

// Disc images written by the tests: a BIN of raw CD audio with a CUE sheet, one
// tone per track, so rips can be compared byte for byte with the image.

#include <cstdint>
#include <string>
#include <vector>

namespace testdisc {

inline constexpr int kFrameBytes = 2352;

struct TrackSpec {
    int64_t frames = 0;
    double frequency = 440.0; // left channel tone; the right channel is a ramp
    bool data = false;        // a MODE1/2352 data track instead of audio
    bool silent = false;      // zeros (written sparse, so long tracks cost nothing)
    // CD-TEXT of the track in the cue sheet (TITLE and PERFORMER lines); none when empty.
    std::string title = {};
    std::string performer = {};
};

// CD-TEXT of the whole disc in the cue sheet; none when empty.
struct DiscText {
    std::string title = {};
    std::string performer = {};
};

struct DiscImage {
    std::string cue;
    std::string bin;
    std::vector<int64_t> starts; // first block of each track, then the end
    std::string trackBytes(const std::string& binBytes, size_t track) const;
};

// Writes <dir>/<name>.bin and <dir>/<name>.cue. The first track starts at block 0.
DiscImage writeDiscImage(const std::string& dir, const std::string& name,
                         const std::vector<TrackSpec>& tracks, const DiscText& text = {});

// Writes `frames` frames of a track's content, starting at frame `firstFrame` of
// the track (left: the tone, right: a ramp that depends on the track).
void fillAudio(uint8_t* out, int64_t firstFrame, int64_t frames, double frequency, int track);

// "mm:ss:ff" of a block count.
std::string msf(int64_t blocks);

} // namespace testdisc
