#pragma once

// The encoder library "lame.so" as its users see it: loaded at run time with its four
// entry points, and the configuration record each user fills (plugins/include/
// lame_encoder.h has the record's layout and the entry points' contracts).

#include <array>
#include <cstdint>
#include <string>

#include "lame_encoder.h"
#include "platform/RuntimeLibrary.h"

namespace codec {

using EncoderConfigBytes = std::array<std::uint8_t, BE_CONFIG_SIZE>;

// The record serialised for beInitStream.
EncoderConfigBytes EncoderConfigToBytes(const BeConfig& config);

// The last step of an MP3's audio, after beDeinitStream and before beCloseStream:
// the stream's Xing/Info (LAME) tag frame, taken through the optional entry point,
// written over the placeholder frame the audio began with at `audioStart` of the
// file `fd` (opened for reading and writing). Tags that go in front of the file come
// after this step. Nothing is written when `getFrame` is null (an older library),
// the stream has no frame, or the file does not hold a frame of that size at
// `audioStart` (its first writes failed). True when the frame was written.
bool WriteLameTagFrame(BeGetLameTagFrameFn getFrame, std::uint32_t stream, int fd,
                       std::uint64_t audioStart = 0);

// The library with its four entry points resolved, and the two optional ones.
class EncoderLibrary {
public:
    enum class LoadResult {
        Ok,
        NotLoaded,         // the library file could not be loaded
        MissingEntryPoint, // loaded, but one of the four names is missing; unloaded again
    };

    // Loads `name` (a path, or a bare name looked up in the program directory first)
    // and resolves the four entry points. A library loaded before is unloaded first.
    LoadResult Load(const std::string& name);
    void Unload();
    bool IsLoaded() const { return library_.isLoaded(); }
    // Why the last Load failed, for logs.
    const std::string& Error() const { return error_; }

    // Valid only while IsLoaded().
    BeInitStreamFn InitStream = nullptr;
    BeEncodeChunkFn EncodeChunk = nullptr;
    BeDeinitStreamFn DeinitStream = nullptr;
    BeCloseStreamFn CloseStream = nullptr;
    // Null when the library does not offer it.
    BeGetLameTagFrameFn GetLameTagFrame = nullptr;
    BeEncodeChunkFloatFn EncodeChunkFloat = nullptr;

private:
    platform::RuntimeLibrary library_;
    std::string error_;
};

} // namespace codec
