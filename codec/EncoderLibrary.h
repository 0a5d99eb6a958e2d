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

// The library with its four entry points resolved.
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

private:
    platform::RuntimeLibrary library_;
    std::string error_;
};

} // namespace codec
