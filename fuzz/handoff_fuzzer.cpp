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
    std::vector<bool> retried;
    if (platform::decodeQueueRecord(bytes, generation, names, &retried)) {
        std::vector<std::string> again;
        std::vector<bool> retriedAgain;
        uint32_t generationAgain = 0;
        if (retried.size() != names.size() ||
            !platform::decodeQueueRecord(platform::encodeQueueRecord(generation, names, retried),
                                         generationAgain, again, &retriedAgain) ||
            again != names || retriedAgain != retried || generationAgain != generation) {
            std::abort();
        }
    }
    std::vector<uint32_t> indices;
    if (platform::decodeQueueDone(bytes, generation, indices) && indices.size() * 4 + 8 > size) {
        std::abort();
    }
    return 0;
}
