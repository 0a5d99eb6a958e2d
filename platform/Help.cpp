#include "platform/Help.h"

#include <QFile>
#include <QString>

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

void openHelp(QWidget* owner) {
    const std::string path = helpPath();
    if (!services().shell->open(path, ShowMode::Normal)) {
        messageBox(owner,
                   "No program could open the help document. It is the file\n" +
                       QFile::decodeName(path.c_str()).toStdString(),
                   "Help", Ok, Icon::Information);
    }
}

} // namespace platform
