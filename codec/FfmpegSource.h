#pragma once

// The encode job's reader for every source that is not one of the program's own
// WAVs (FLAC, M4A/AAC, Ogg Vorbis, Opus, AIFF, WMA, 24-bit, float, high-rate and
// multichannel WAV, the sound of a video): FFmpeg's libraries demux and decode the
// first audio stream, and libswresample converts it to interleaved stereo float at
// one of the nine MP3 rates, mixing more channels down to two.
//
// Only the one file named is read: it is opened as a plain file (never a URL), no
// protocol but "file" is allowed, and only demuxers that never open other files by
// reference may read it (no playlists, concat lists, image sequences or manifests).
//
// One instance per encode and per thread; instances share nothing, so several
// encodes may run at once on different threads.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace codec {

// The MP3 rate for a source rate: the nine accepted rates stay; 88200, 176400 and
// 352800 Hz become 44100; any other rate above 48000 becomes 48000; a rate between
// two accepted rates becomes the next higher one; below 8000, 8000.
std::uint32_t EncodeRateForSourceRate(std::uint32_t sampleRate);

class FfmpegSource {
public:
    // Opens `path` (made absolute against the current directory when relative).
    // Null when FFmpeg cannot open it, when it holds no audio stream, or when that
    // stream cannot be decoded (no decoder, no rate, more than 8 channels).
    static std::unique_ptr<FfmpegSource> Open(const std::string& path);

    ~FfmpegSource();
    FfmpegSource(const FfmpegSource&) = delete;
    FfmpegSource& operator=(const FfmpegSource&) = delete;

    // The rate of the samples Read gives (one of the nine accepted rates).
    std::uint32_t SampleRate() const { return outRate_; }
    // The stream's own rate and channel count.
    std::uint32_t SourceRate() const { return inRate_; }
    int SourceChannels() const { return inChannels_; }

    // Fills `out` with up to `frames` interleaved stereo frames (left first, +-1.0
    // full scale; a mono source gives the same samples on both sides, more channels
    // are mixed down without clipping). Returns the frames given: fewer than asked
    // only at the end, 0 once the stream is over; -1 after a read or decode error
    // (every frame decoded before the error has been given).
    long Read(float* out, std::size_t frames);

    // True once Read has given the last frame.
    bool AtEnd() const { return finished_ && !failed_ && pendingFrames() == 0; }

    // Percent of the stream read: by decoded position against the stream's length,
    // or by bytes read when the length is unknown. 0 to 100.
    std::uint16_t Progress() const;

private:
    struct Handles;
    FfmpegSource();

    bool Fill();                                  // decodes more into pending_; false on an error
    bool Convert(const void* frame, int samples); // through the resampler
    bool Drain();                                 // the resampler's last samples
    std::size_t pendingFrames() const { return (pending_.size() - pendingAt_) / 2; }

    std::unique_ptr<Handles> h_;
    std::uint32_t inRate_ = 0;
    std::uint32_t outRate_ = 0;
    int inChannels_ = 0;
    std::int64_t limit_ = -1;    // input samples the container states, -1 when not trusted
    std::int64_t length_ = 0;    // input samples expected, for progress; 0 when unknown
    std::int64_t consumed_ = 0;  // input samples given to the resampler
    bool inputEnded_ = false;    // the demuxer is at its end, the decoder flushed
    bool finished_ = false;      // the resampler is drained: nothing more comes
    bool failed_ = false;        // a read or decode error ended the stream
    std::vector<float> pending_; // converted frames not yet read, interleaved stereo
    std::size_t pendingAt_ = 0;
};

} // namespace codec
