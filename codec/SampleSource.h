#pragma once

// Where the encode job's samples come from: one interface, two readers. The WAV
// reader takes the program's own WAVs (8 or 16 bits, 1 or 2 channels, one of the nine
// rates) and gives them as 16-bit stereo exactly as they are; the FFmpeg reader (the
// library ffreader.so, loaded the first time a job needs it) takes every other audio
// file and gives stereo float at one of the nine rates. The encode step never asks
// which one it has.
//
// A source reads the descriptor it was opened on and nothing else; it never opens the
// file by name. One source per encode and per thread.

#include <cstdint>
#include <memory>
#include <string>

namespace codec {

enum class SampleKind {
    Int16, // interleaved 16-bit stereo, left first
    Float, // interleaved float stereo, left first, +-1.0 full scale
};

enum class ReadStatus {
    Frames, // `frames` frames given (0 only when the WAV reader steps over a stray byte)
    End,    // nothing more: every frame has been given
    Failed, // the source broke off; every frame before has been given
};

class SampleSource {
public:
    virtual ~SampleSource() = default;

    // The rate of the frames Read gives: one of the nine MP3 rates.
    virtual std::uint32_t SampleRate() const = 0;
    virtual SampleKind Kind() const = 0;
    // The source's own rate and channel count.
    virtual std::uint32_t SourceRate() const = 0;
    virtual std::uint16_t SourceChannels() const = 0;

    // Reads up to `maxFrames` stereo frames into `ints` (Int16) or `floats` (Float),
    // each with room for 2 x maxFrames values.
    virtual ReadStatus Read(std::int16_t* ints, float* floats, std::uint32_t maxFrames,
                            std::uint32_t& frames) = 0;

    // Percent of the source read, 0 to 100.
    virtual std::uint16_t Progress() const = 0;

    // Damaged packets and frames dropped so far (the FFmpeg reader skips them as
    // players do).
    virtual std::uint64_t DamagedFrames() const { return 0; }
};

// Opens a source on `fd`, a regular file open for reading that stays the caller's
// (the source reads it with pread only and never closes it). `name` is the file's
// name, used for messages and as a format hint, never opened. A WAV the WAV reader
// accepts is read by it; any other file by the FFmpeg reader from the library
// `readerLibrary` (a bare name is looked up in the program directory first). Null
// when neither takes it (a WAV without a single frame, a file without audio, a stream
// whose rate or channels are implausible, or the reader library missing: one line on
// stderr then says so).
std::unique_ptr<SampleSource> OpenSampleSource(int fd, const std::string& name,
                                               const std::string& readerLibrary);

} // namespace codec
