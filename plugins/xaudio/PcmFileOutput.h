#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace xaudio {

// The file output: raw PCM samples written after a 44-byte area left for the
// caller's WAV header (zeros). Every block handed to write() is in the file when
// write() returns; nothing is buffered. Used by the player's thread only.
class PcmFileOutput {
public:
    static constexpr int64_t kHeaderArea = 44;

    PcmFileOutput() = default;
    ~PcmFileOutput();
    PcmFileOutput(const PcmFileOutput&) = delete;
    PcmFileOutput& operator=(const PcmFileOutput&) = delete;

    // Creates or truncates the file and reserves the header area. XA_SUCCESS or
    // XA_ERROR_OUTPUT_OPEN; on failure nothing stays open.
    int32_t open(const std::string& name);
    // XA_SUCCESS or XA_ERROR_OUTPUT_WRITE (the file stays open with what was written).
    int32_t write(const unsigned char* data, size_t size);
    // Closes the file; XA_ERROR_OUTPUT_CLOSE when the system reports a lost write.
    // Closing a closed output succeeds.
    int32_t close();

    bool isOpen() const { return fd_ >= 0; }
    const std::string& name() const { return name_; }
    uint64_t bytesWritten() const { return written_; }

private:
    int fd_ = -1;
    std::string name_;
    uint64_t written_ = 0;
};

} // namespace xaudio
