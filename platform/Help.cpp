#include "platform/Help.h"

#include "platform/Paths.h"
#include "platform/Services.h"

namespace platform {

std::string helpPath() {
    std::string inCurrentDir = absolutePath(kHelpFileName);
    if (fileExists(inCurrentDir)) {
        return inCurrentDir;
    }
    return programDir() + kHelpFileName;
}

void openHelp() {
    services().shell->open(helpPath(), ShowMode::Normal);
}

} // namespace platform
