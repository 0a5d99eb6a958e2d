#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct mpg123_handle_struct;

namespace xaudio {

// An MPEG audio file decoded by libmpg123 to interleaved signed 16-bit samples at
// the stream's own rate and channel count. Used by the player's thread only.
class MpegInput {
public:
    MpegInput() = default;
    ~MpegInput();
    MpegInput(const MpegInput&) = delete;
    MpegInput& operator=(const MpegInput&) = delete;

    // Opens a regular file and reads up to its first audio frame, so the stream's
    // parameters are known on success. Returns XA_SUCCESS or an XA_ERROR_* code;
    // on failure nothing stays open.
    int32_t open(const std::string& name);
    void close();
    bool isOpen() const { return handle_ != nullptr; }
    const std::string& name() const { return name_; }

    long rate() const { return rate_; }
    int channels() const { return channels_; }
    // Bit rate of the frame last decoded, kbit/s.
    int bitrate() const;
    // Length of the stream in milliseconds, 0 when unknown.
    uint32_t durationMs() const;
    // Decoded time so far, in milliseconds.
    uint32_t timeMs() const;
    // The read position in the file scaled to 0..range.
    uint32_t position(uint32_t range) const;

    enum class Status {
        Data,      // `done` bytes of samples were decoded
        NewFormat, // the rate or channel count changed; `done` may hold samples of the old
        End,       // the stream is over
        Error,     // `error` holds an XA_ERROR_* code, `detail` libmpg123's text
    };
    Status read(unsigned char* buffer, size_t size, size_t& done, int32_t& error,
                std::string& detail);

    // Back to the start of the stream, decoding again exactly as after open(): the
    // file is opened anew, as a seek to 0 leaves the decoder's history behind it.
    // On failure the input is closed.
    int32_t rewind();

    // Moves to offset/range of the stream's length.
    int32_t seek(uint32_t offset, uint32_t range);

private:
    mpg123_handle_struct* handle_ = nullptr;
    int fd_ = -1;
    int64_t fileSize_ = 0;
    long rate_ = 0;
    int channels_ = 0;
    std::string name_;
};

} // namespace xaudio
