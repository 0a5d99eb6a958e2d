#pragma once

#include <QWidget>
#include <memory>
#include <string>
#include <vector>

namespace app {

// The windows start-up creates, in creation order. Every window object lives
// until the program ends; the first one created is the main window.
struct Windows {
    QWidget* mainWindow = nullptr;
    std::vector<std::unique_ptr<QObject>> owned;  // destroyed in reverse order
};

// Creates the windows of a start: the conversion window first when there are
// file names (it queues each of them), then the launcher and the recorder.
Windows CreateWindows(const std::vector<std::string>& fileNames);
void DestroyWindows(Windows& windows);

}  // namespace app
