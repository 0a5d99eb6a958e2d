#include "app/Windows.h"

#include "app/ConversionForm.h"
#include "app/Lifetime.h"
#include "app/Startup.h"
#include "platform/Services.h"
#include "platform/SignalBridge.h"
#include "recorder/RecorderForm.h"
#include "ripper/RipperForm.h"
#include "settings/LogoForm.h"
#include "settings/OptionsForm.h"
#include "settings/Settings.h"

namespace app {
namespace {

// The windows of the running start, for the close request from outside and for
// what holds the program open; empty outside CreateWindows..DestroyWindows.
struct OpenWindows {
    TForm1* conversion = nullptr;
    TRipperForm* ripper = nullptr;
    TForm3* recorder = nullptr;
    bool ripperHolds = false; // its user chose to go on ripping
};
OpenWindows g_windows;

// The main window has closed. A ripper that is ripping asks whether to abort;
// answered No it stays open and keeps the program until it is closed and its
// rip has ended. Every other window ends with the program.
void mainWindowClosed() {
    TRipperForm* ripper = g_windows.ripper;
    if (ripper && ripper->Engine.Ripping && ripper->isVisible()) {
        g_windows.ripperHolds = true;
        ripper->close();
    }
}

bool holding() {
    TRipperForm* ripper = g_windows.ripper;
    return g_windows.ripperHolds && ripper && (ripper->isVisible() || ripper->Engine.Ripping);
}

// SIGTERM, SIGINT or SIGHUP: every window that writes a file is closed as from
// outside. An open box goes away unanswered; a running conversion, rip or
// recording ends at its next check and finishes its file; no question is asked.
// Then the program ends as when its main window closes: the options dialog is
// not closed on the way, so it saves nothing.
void closeFromOutside(int) {
    platform::services().dialogs->dismissOpenBoxes();
    if (g_windows.recorder && g_windows.recorder->isVisible()) {
        g_windows.recorder->close();
    }
    if (g_windows.ripper) {
        g_windows.ripper->CloseFromOutside();
    }
    if (g_windows.conversion) {
        g_windows.conversion->CloseFromOutside();
    }
    RequestQuit();
}

// Reads one directory of the current settings record at the moment it is
// needed, so a change in the options dialog acts at once.
std::function<std::string()> currentSetting(std::string settings::SettingsRecord::*field) {
    return [field] {
        TOptionsForm* options = TOptionsForm::Current();
        return options ? options->Settings.*field : std::string();
    };
}

Windows createWindows(bool hasFileNames, const std::vector<std::string>& names,
                      platform::InstanceLock* lock) {
    Windows windows;
    g_windows = {};
    // First, so a signal during the creation is taken too; destroyed last.
    windows.owned.push_back(std::make_unique<platform::SignalBridge>(closeFromOutside));
    SetProgramHolders({mainWindowClosed, holding});
    if (hasFileNames) {
        // The conversion window is created first and so is the main window.
        auto conversion = std::make_unique<TForm1>(names, std::string(), lock);
        windows.mainWindow = conversion.get();
        g_windows.conversion = conversion.get();
        windows.owned.push_back(std::move(conversion));
    }

    // The launcher's creation makes the options object, which loads the settings
    // and becomes the current one, and then the ripper, which looks for drives
    // only when "CD Ripper" first opens it.
    auto launcher = std::make_unique<TLogoForm>([] {
        auto ripper = std::make_unique<TRipperForm>();
        ripper->RipperOutSource = currentSetting(&settings::SettingsRecord::RipperOut);
        ripper->NotifySource = settings::LoadNotify;
        return ripper;
    });
    TRipperForm* ripper = qobject_cast<TRipperForm*>(launcher->RipperForm());
    g_windows.ripper = ripper;
    launcher->SetRipperFirstOpen([ripper] { ripper->DiscoverDrives(); });
    auto recorder = std::make_unique<TForm3>();
    g_windows.recorder = recorder.get();
    recorder->SetOutputDirectories(currentSetting(&settings::SettingsRecord::DecodedDir),
                                   currentSetting(&settings::SettingsRecord::EncodedDir));
    recorder->SetNotifySource(settings::LoadNotify);
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

} // namespace

Windows CreateWindows(bool hasFileNames, const std::vector<std::string>& names,
                      platform::InstanceLock* lock) {
    try {
        return createWindows(hasFileNames, names, lock);
    } catch (...) {
        // The windows made so far are gone with the exception.
        SetProgramHolders({});
        g_windows = {};
        throw;
    }
}

void DestroyWindows(Windows& windows) {
    SetProgramHolders({});
    g_windows = {};
    while (!windows.owned.empty()) {
        windows.owned.pop_back();
    }
    windows.mainWindow = nullptr;
}

} // namespace app
