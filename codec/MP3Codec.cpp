#include "codec/MP3Codec.h"

namespace codec {

const std::array<const char*, kCodecResultCount> CodecErrorText = {
    "Ok",
    "Unable to load DLL",
    "Unable to init DLL",
    "Unable to overwrite target file!",
    "Unable to init stream!",
    "Unable to read WAV data!",
    "Chunk encode fail!",
    "Write fail!",
    "Encode done",
    "DLL not loaded!",
    "DLL not loaded!",
    "DLL not loaded!",
    "Error 12",
    "Error 13",
    "Error 14",
    "Bad WAV format!",
    "Error 16",
    "Error 17",
    "Error 18",
    "Error 19",
    "Error 20",
    "Error 21",
    "Error 22",
    "Error 23",
    "Error 24",
    "General decode error!",
    "Error 26",
};

const char* CodecResultText(int code) {
    if (code < 0 || code >= kCodecResultCount) {
        return "";
    }
    return CodecErrorText[static_cast<std::size_t>(code)];
}

TMP3Codec::TMP3Codec() = default;

TMP3Codec::~TMP3Codec() {
    ReleaseEncode();
    encoder_.Unload();
}

} // namespace codec
