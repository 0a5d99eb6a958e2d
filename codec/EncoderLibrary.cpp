#include "codec/EncoderLibrary.h"

namespace codec {

EncoderConfigBytes EncoderConfigToBytes(const BeConfig& config) {
    EncoderConfigBytes bytes{};
    BeConfigWrite(&config, bytes.data());
    return bytes;
}

EncoderLibrary::LoadResult EncoderLibrary::Load(const std::string& name) {
    Unload();
    library_ = platform::RuntimeLibrary(name, {BE_INIT_STREAM_NAME, BE_ENCODE_CHUNK_NAME,
                                               BE_DEINIT_STREAM_NAME, BE_CLOSE_STREAM_NAME});
    if (!library_.isLoaded()) {
        error_ = library_.error();
        // The loader unloads on a missing entry point as well; a second load without
        // entry points tells the two failures apart.
        platform::RuntimeLibrary probe(name, std::initializer_list<const char*>{});
        return probe.isLoaded() ? LoadResult::MissingEntryPoint : LoadResult::NotLoaded;
    }
    error_.clear();
    InitStream = library_.entry<BeInitStreamFn>(BE_INIT_STREAM_NAME);
    EncodeChunk = library_.entry<BeEncodeChunkFn>(BE_ENCODE_CHUNK_NAME);
    DeinitStream = library_.entry<BeDeinitStreamFn>(BE_DEINIT_STREAM_NAME);
    CloseStream = library_.entry<BeCloseStreamFn>(BE_CLOSE_STREAM_NAME);
    return LoadResult::Ok;
}

void EncoderLibrary::Unload() {
    InitStream = nullptr;
    EncodeChunk = nullptr;
    DeinitStream = nullptr;
    CloseStream = nullptr;
    library_.unload();
}

} // namespace codec
