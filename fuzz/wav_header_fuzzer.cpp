// The WAV header reader of the encoder side, fed any bytes as a file.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sys/mman.h>
#include <unistd.h>

#include "codec/WavFormat.h"
#include "platform/FileIO.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const int fd = memfd_create("wav", MFD_CLOEXEC);
    if (fd < 0 || ::ftruncate(fd, 0) != 0 || ::lseek(fd, 0, SEEK_SET) != 0 ||
        !platform::writeAll(fd, data, size) || ::lseek(fd, 0, SEEK_SET) != 0) {
        std::abort();
    }
    codec::WavHeader header;
    if (codec::ReadWavHeader(fd, header)) {
        // An accepted header is integer PCM, leaves the position at the first sample,
        // inside the file, and describes a format the writers can write back.
        const off_t at = ::lseek(fd, 0, SEEK_CUR);
        if ((header.formatTag != 1 && header.formatTag != 0xFFFE) || at < 0 ||
            static_cast<uint64_t>(at) != header.dataOffset || header.dataOffset > size ||
            !codec::IsAcceptedSampleRate(header.sampleRate) ||
            (header.channels != 1 && header.channels != 2) ||
            (header.bitsPerSample != 8 && header.bitsPerSample != 16)) {
            std::abort();
        }
        codec::AudioFormat format{header.sampleRate, header.channels, header.bitsPerSample};
        codec::WriteWavHeaderForFileSize(fd, format);
    }
    return 0;
}
