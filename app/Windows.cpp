#include "app/Windows.h"

#include "app/ConversionForm.h"
#include "app/Startup.h"
#include "recorder/RecorderForm.h"
#include "ripper/RipperForm.h"
#include "settings/LogoForm.h"
#include "settings/OptionsForm.h"

namespace app {
namespace {

// Reads one directory of the current settings record at the moment it is
// needed, so a change in the options dialog acts at once.
std::function<std::string()> currentSetting(std::string settings::SettingsRecord::*field) {
    return [field] {
        TOptionsForm* options = TOptionsForm::Current();
        return options ? options->Settings.*field : std::string();
    };
}

} // namespace

Windows CreateWindows(bool hasFileNames, const std::string& firstName) {
    return CreateWindows(hasFileNames, std::vector<std::string>{firstName});
}

Windows CreateWindows(bool hasFileNames, const std::vector<std::string>& names,
                      platform::InstanceLock* lock) {
    Windows windows;
    if (hasFileNames) {
        // The conversion window is created first and so is the main window.
        auto conversion = std::make_unique<TForm1>(names, std::string(), lock);
        windows.mainWindow = conversion.get();
        windows.owned.push_back(std::move(conversion));
    }

    // The launcher's creation makes the options object, which loads the settings
    // and becomes the current one, and then the ripper, which looks for drives.
    auto launcher = std::make_unique<TLogoForm>([] {
        auto ripper = std::make_unique<TRipperForm>();
        ripper->RipperOutSource = currentSetting(&settings::SettingsRecord::RipperOut);
        return ripper;
    });
    auto recorder = std::make_unique<TForm3>();
    recorder->SetOutputDirectories(currentSetting(&settings::SettingsRecord::DecodedDir),
                                   currentSetting(&settings::SettingsRecord::EncodedDir));
    launcher->SetRecorderForm(recorder.get());
    if (!hasFileNames) {
        // Closing the main window ends the program, whatever else is open.
        windows.mainWindow = launcher.get();
        QObject::connect(launcher.get(), &TLogoForm::Closed, [] { RequestQuit(); });
    }
    windows.owned.push_back(std::move(launcher));
    windows.owned.push_back(std::move(recorder));
    return windows;
}

void DestroyWindows(Windows& windows) {
    while (!windows.owned.empty()) {
        windows.owned.pop_back();
    }
    windows.mainWindow = nullptr;
}

} // namespace app
