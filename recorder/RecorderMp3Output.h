#pragma once

// The recorder's MP3 output: the encoder library loaded for one recording, one
// encoder stream configured from the window's choices, every recorded buffer
// encoded and appended to the file, and the stream flushed at the end.

#include <cstdint>
#include <string>
#include <vector>

#include "lame_encoder.h"
#include "platform/RuntimeLibrary.h"

namespace recorder {

// The window's choices that go into the encoder configuration.
struct RecorderMp3Settings {
    std::uint32_t sampleRate = 44100;
    bool mono = false;
    bool vbr = false;
    std::uint32_t bitrate = 128;    // "Bitrate (KBit/sec)", constant rate
    std::uint32_t minBitrate = 128; // "Min bitrate", variable rate
    std::uint32_t maxBitrate = 128; // "Max bitrate", variable rate
    int qualityPosition = 4;        // "VBR Quality" slider, 0 to 9
};

// The configuration record the recorder gives to beInitStream: mono mode 3 or
// stereo 0, the constant bitrate or, with variable rate, the minimum and
// maximum, variable-rate quality 9 minus the slider, method 1.
// With `lameTag` (the library offers the tag frame) the write variable-rate
// header field is 1, so the stream carries a Xing/Info (LAME) tag frame.
BeConfig MakeRecorderEncoderConfig(const RecorderMp3Settings& settings, bool lameTag = false);

class RecorderMp3Output {
public:
    // `libraryPath` is the library to load; by default "lame.so" in the
    // program's directory.
    explicit RecorderMp3Output(std::string libraryPath = DefaultLibraryPath());
    ~RecorderMp3Output();
    RecorderMp3Output(const RecorderMp3Output&) = delete;
    RecorderMp3Output& operator=(const RecorderMp3Output&) = delete;

    static std::string DefaultLibraryPath();

    // Loads the library and resolves the four entry points; on failure the
    // library is not loaded.
    bool LoadEncoderLibrary();

    // Deletes an existing file of that name (fails when it cannot be deleted,
    // also when it is read-only), fails when the library is not loaded, creates
    // the file and opens the encoder stream. A file that cannot be created, or
    // an encoder that refuses the configuration, fails the open; in the latter
    // case the empty file stays.
    bool OpenEncoderStream(const std::string& name, const RecorderMp3Settings& settings);

    // Encodes one buffer of interleaved 16-bit samples in chunks of at most the
    // stream's samples per chunk and appends the MP3 bytes. A lone trailing byte
    // (half a sample) is dropped. On an encoder or write failure the rest of
    // the buffer is dropped and false is returned; without an open stream the
    // buffer is dropped and false returned.
    bool EncodeBuffer(const std::uint8_t* data, std::uint32_t length);

    // Flushes the stream into the file, writes the stream's Xing/Info (LAME) tag
    // frame over its first frame when the library offers it, closes stream and
    // file, frees the output buffer. Does nothing when no stream is open.
    void CloseEncoderStream();

    void UnloadEncoderLibrary();

    bool LibraryLoaded() const { return library_.isLoaded(); }
    bool StreamOpen() const { return streamOpen_; }
    std::uint32_t SamplesPerChunk() const { return samplesPerChunk_; }

private:
    bool Append(const std::uint8_t* data, std::uint32_t length);

    std::string libraryPath_;
    platform::RuntimeLibrary library_;
    BeInitStreamFn beInitStream_ = nullptr;
    BeEncodeChunkFn beEncodeChunk_ = nullptr;
    BeDeinitStreamFn beDeinitStream_ = nullptr;
    BeCloseStreamFn beCloseStream_ = nullptr;
    BeGetLameTagFrameFn beGetLameTagFrame_ = nullptr; // optional

    int fd_ = -1;
    bool streamOpen_ = false;
    std::uint32_t stream_ = 0;
    std::uint32_t samplesPerChunk_ = 0;
    std::uint32_t outputBufferSize_ = 0;
    std::vector<std::uint8_t> outputBuffer_;
    std::vector<std::int16_t> chunk_; // aligned copy of the values of one call
};

} // namespace recorder
