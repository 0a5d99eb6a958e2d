// The registry root loader: any bytes as a root file, then the reads the program
// makes (the settings values, the shell association's keys, the key tree).
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/Registry.h"

namespace {

// At most 64 keys per input: every subkey list scans the whole root, so an
// unbounded walk of a root with many nested keys would grow out of bounds.
void walk(const platform::RegistrySnapshot& root, const std::string& key, int& budget) {
    if (--budget < 0) {
        return;
    }
    for (const char* name : {"", "DecodedDir", "Overwrite", "PlaySound", "x"}) {
        (void)root.valueType(key, name);
        (void)root.readString(key, name);
        (void)root.readInteger(key, name);
    }
    for (const std::string& sub : root.subKeys(key)) {
        if (budget <= 0) {
            break;
        }
        walk(root, key.empty() ? sub : key + "\\" + sub, budget);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    platform::RegistrySnapshot root = platform::RegistrySnapshot::parse(bytes);
    (void)root.keyExists("\\Software\\Brevant\\MP3 Tunewright");
    int budget = 64;
    walk(root, "", budget);
    budget = 8;
    walk(root, "\\Software\\Brevant\\MP3 Tunewright", budget);
    return 0;
}
