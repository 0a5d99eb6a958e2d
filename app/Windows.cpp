#include "app/Windows.h"

#include "settings/OptionsForm.h"

namespace app {

Windows CreateWindows(bool hasFileNames, const std::string& firstName) {
    Windows windows;
    (void)hasFileNames;
    (void)firstName;
    // The launcher's creation makes the options object, which loads the settings.
    windows.owned.push_back(std::make_unique<TOptionsForm>());
    return windows;
}

void DestroyWindows(Windows& windows) {
    while (!windows.owned.empty()) {
        windows.owned.pop_back();
    }
    windows.mainWindow = nullptr;
}

}  // namespace app
