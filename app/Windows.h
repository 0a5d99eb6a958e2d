#pragma once

#include <QWidget>
#include <memory>
#include <string>
#include <vector>

namespace platform {
class InstanceLock;
}

namespace app {

// The windows start-up creates, in creation order. Every window object lives
// until the program ends; the first one created is the main window.
struct Windows {
    QWidget* mainWindow = nullptr;
    std::vector<std::unique_ptr<QObject>> owned;  // destroyed in reverse order
};

// Creates the windows of a start: the conversion window first when there are
// file names (it queues `names`, each one entry, and with the instance `lock`
// keeps its crash-safe record and closes the end of its batch through it),
// then the launcher and the recorder. A converting process may start with no
// names of its own: it takes them from the hand-off files.
Windows CreateWindows(bool hasFileNames, const std::vector<std::string>& names,
                      platform::InstanceLock* lock = nullptr);
void DestroyWindows(Windows& windows);

} // namespace app
