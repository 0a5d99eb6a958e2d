#include "codec/EncoderLibrary.h"

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace codec {

EncoderConfigBytes EncoderConfigToBytes(const BeConfig& config) {
    EncoderConfigBytes bytes{};
    BeConfigWrite(&config, bytes.data());
    return bytes;
}

namespace {

// A tag frame is one MPEG audio frame: at most 1441 bytes at 320 kbit/s and
// 32 kHz (2881 for MPEG-2.5 rates); anything larger is not one.
constexpr std::uint32_t kMaxTagFrameBytes = 8192;

// Repeats a positional read or write until `size` bytes have moved; false on an
// error or when nothing more moves (the end of the file).
template <typename Byte, typename Transfer>
bool transferFully(Transfer transfer, int fd, Byte* data, std::size_t size, off_t offset) {
    while (size > 0) {
        ssize_t n = transfer(fd, data, size, offset);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
        offset += n;
    }
    return true;
}

bool preadFully(int fd, std::uint8_t* data, std::size_t size, off_t offset) {
    return transferFully(::pread, fd, data, size, offset);
}

bool pwriteFully(int fd, const std::uint8_t* data, std::size_t size, off_t offset) {
    return transferFully(::pwrite, fd, data, size, offset);
}

} // namespace

bool WriteLameTagFrame(BeGetLameTagFrameFn getFrame, std::uint32_t stream, int fd,
                       std::uint64_t audioStart) {
    if (!getFrame || fd < 0) {
        return false;
    }
    std::uint32_t size = 0;
    getFrame(stream, nullptr, 0, &size);
    if (size == 0 || size > kMaxTagFrameBytes) {
        return false;
    }
    std::vector<std::uint8_t> frame(size);
    std::uint32_t copied = 0;
    if (getFrame(stream, frame.data(), size, &copied) != BE_ERR_SUCCESSFUL || copied != size) {
        return false;
    }
    // The placeholder must be where the frame goes: a whole frame's bytes starting
    // with a frame sync. A file whose first writes failed is left as it is rather
    // than given a frame in front of a gap.
    struct stat st {};
    std::uint8_t sync[2] = {};
    const auto start = static_cast<off_t>(audioStart);
    if (::fstat(fd, &st) != 0 || st.st_size < start + static_cast<off_t>(size) ||
        !preadFully(fd, sync, sizeof sync, start) || sync[0] != 0xFF || (sync[1] & 0xE0) != 0xE0) {
        return false;
    }
    return pwriteFully(fd, frame.data(), size, start);
}

EncoderLibrary::LoadResult EncoderLibrary::Load(const std::string& name) {
    Unload();
    library_ = platform::RuntimeLibrary(
        name,
        {BE_INIT_STREAM_NAME, BE_ENCODE_CHUNK_NAME, BE_DEINIT_STREAM_NAME, BE_CLOSE_STREAM_NAME},
        {BE_GET_LAME_TAG_FRAME_NAME, BE_ENCODE_CHUNK_FLOAT_NAME});
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
    GetLameTagFrame = library_.entry<BeGetLameTagFrameFn>(BE_GET_LAME_TAG_FRAME_NAME);
    EncodeChunkFloat = library_.entry<BeEncodeChunkFloatFn>(BE_ENCODE_CHUNK_FLOAT_NAME);
    return LoadResult::Ok;
}

void EncoderLibrary::Unload() {
    InitStream = nullptr;
    EncodeChunk = nullptr;
    DeinitStream = nullptr;
    CloseStream = nullptr;
    GetLameTagFrame = nullptr;
    EncodeChunkFloat = nullptr;
    library_.unload();
}

} // namespace codec
