// The encode job's FFmpeg source reader, fed any bytes as a file: it opens them or
// refuses, and reads every frame it gives without a crash, a leak or a hang.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

#include "codec/FfmpegSource.h"
#include "platform/FileIO.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const int fd = memfd_create("source", MFD_CLOEXEC);
    if (fd < 0 || ::ftruncate(fd, 0) != 0 || ::lseek(fd, 0, SEEK_SET) != 0 ||
        !platform::writeAll(fd, data, size)) {
        std::abort();
    }
    auto source = codec::FfmpegSource::Open("/proc/self/fd/" + std::to_string(fd));
    if (!source) {
        return 0;
    }
    static const uint32_t rates[] = {8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100, 48000};
    bool accepted = false;
    for (uint32_t rate : rates) {
        accepted = accepted || source->SampleRate() == rate;
    }
    if (!accepted || source->SourceChannels() < 1 || source->SourceChannels() > 8) {
        std::abort();
    }
    // A few seconds of output at most: a tiny file may state a huge length.
    std::vector<float> frames(2 * 4096);
    long total = 0;
    while (total < 10 * 48000) {
        const long got = source->Read(frames.data(), 4096);
        if (got <= 0) {
            break;
        }
        if (got > 4096 || source->Progress() > 100) {
            std::abort();
        }
        total += got;
    }
    return 0;
}
