// The readers of the runtime folder's files: hand-off files and the converter's
// record of unfinished names, fed any bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

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
    std::vector<std::string> names;
    if (platform::decodeQueueRecord(bytes, generation, names)) {
        std::vector<std::string> again;
        uint32_t generationAgain = 0;
        if (!platform::decodeQueueRecord(platform::encodeQueueRecord(generation, names),
                                         generationAgain, again) ||
            again != names || generationAgain != generation) {
            std::abort();
        }
    }
    std::vector<uint32_t> indices;
    if (platform::decodeQueueDone(bytes, generation, indices) && indices.size() * 4 + 8 > size) {
        std::abort();
    }
    return 0;
}
