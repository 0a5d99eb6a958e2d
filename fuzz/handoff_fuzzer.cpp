// The readers of the runtime folder's files: hand-off files and the converter's
// record of unfinished names, fed any bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/batch/QueueRecord.h"
#include "platform/InstanceFiles.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);

    // Never more than the bytes hold, and what was read writes back the same.
    std::vector<std::string> entries = platform::decodeHandOff(bytes);
    size_t total = 0;
    for (const std::string& e : entries) {
        total += e.size() + 4;
        if (e.find('\0') != std::string::npos) {
            std::abort();
        }
    }
    if (total > size || platform::decodeHandOff(platform::encodeHandOff(entries)) != entries) {
        std::abort();
    }

    uint32_t generation = 0;
    std::vector<app::RecordedName> names;
    std::vector<platform::FileIdentity> absorbed;
    if (app::decodeQueueRecord(bytes, generation, names, &absorbed)) {
        std::vector<app::RecordedName> again;
        std::vector<platform::FileIdentity> absorbedAgain;
        uint32_t generationAgain = 0;
        if (!app::decodeQueueRecord(app::encodeQueueRecord(generation, names, absorbed),
                                         generationAgain, again, &absorbedAgain) ||
            again != names || absorbedAgain != absorbed || generationAgain != generation) {
            std::abort();
        }
    }
    std::vector<app::RecordMark> marks;
    if (app::decodeQueueDone(bytes, generation, marks) && marks.size() * 4 + 8 > size) {
        std::abort();
    }
    return 0;
}
