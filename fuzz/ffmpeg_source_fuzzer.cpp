// The source reader library (ffreader.so's code), fed any bytes as a file: it opens
// them or refuses, and reads every frame it gives without a crash, a leak, a hang or
// memory beyond its bound (scripts/fuzz runs this target with a memory limit).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

#include "codec/Mp3Rates.h"
#include "ffreader.h"
#include "platform/FileIO.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const int fd = memfd_create("source", MFD_CLOEXEC);
    if (fd < 0 || ::ftruncate(fd, 0) != 0 || ::lseek(fd, 0, SEEK_SET) != 0 ||
        !platform::writeAll(fd, data, size)) {
        std::abort();
    }
    FfrStreamInfo info{};
    info.size = sizeof info;
    FfrReader* reader = nullptr;
    if (ffr_open(fd, "source.flac", &reader, &info) != FFR_OK) {
        if (reader) {
            std::abort();
        }
        return 0;
    }
    if (info.sourceRate < FFR_MIN_RATE || info.sourceRate > FFR_MAX_RATE ||
        info.sourceChannels < 1 || info.sourceChannels > FFR_MAX_CHANNELS) {
        std::abort();
    }
    if (ffr_start(reader, codec::EncodeRateForSourceRate(info.sourceRate)) == FFR_OK) {
        // A few seconds of output at most: a tiny file may state a huge length.
        std::vector<float> frames(2 * 4096);
        FfrStatus status{};
        status.size = sizeof status;
        for (long total = 0; total < 10 * 48000;) {
            uint32_t got = 0;
            if (ffr_read(reader, frames.data(), 4096, &got) != FFR_OK || got > 4096 ||
                ffr_status(reader, &status) != FFR_OK || status.progress > 100) {
                std::abort();
            }
            if (got == 0) {
                if (status.state == FFR_STATE_READING) {
                    std::abort();
                }
                break;
            }
            total += got;
        }
    }
    ffr_close(reader);
    return 0;
}
