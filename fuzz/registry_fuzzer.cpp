// The registry root loader: any bytes as a root file, then the reads the program
// makes (the settings values, the shell association's keys, the key tree).
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/Registry.h"

namespace {

void walk(const platform::RegistrySnapshot& root, const std::string& key, int depth) {
    for (const char* name : {"", "DecodedDir", "Overwrite", "PlaySound", "x"}) {
        (void)root.valueType(key, name);
        (void)root.readString(key, name);
        (void)root.readInteger(key, name);
    }
    if (depth >= 4) {
        return;
    }
    int visited = 0;
    for (const std::string& sub : root.subKeys(key)) {
        if (++visited > 16) {
            break;
        }
        walk(root, key.empty() ? sub : key + "\\" + sub, depth + 1);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    platform::RegistrySnapshot root = platform::RegistrySnapshot::parse(bytes);
    (void)root.keyExists("\\Software\\Brevant\\MP3 Tunewright");
    walk(root, "", 0);
    walk(root, "\\Software\\Brevant\\MP3 Tunewright", 3);
    return 0;
}
