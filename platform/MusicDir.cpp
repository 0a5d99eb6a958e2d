// The user's music folder, from the desktop's own settings (Qt knows where the
// XDG user folders are).

#include "platform/Paths.h"

#include <QStandardPaths>

namespace platform {

std::string musicDir() {
    QString music = QStandardPaths::writableLocation(QStandardPaths::MusicLocation);
    if (music.isEmpty()) {
        music = QStandardPaths::writableLocation(QStandardPaths::HomeLocation) + "/Music";
    }
    std::string dir = music.toStdString();
    while (dir.size() > 1 && dir.back() == '/') {
        dir.pop_back();
    }
    return dir;
}

} // namespace platform
