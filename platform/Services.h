#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class QWidget;

namespace platform {

// Message box buttons, combinable as flags; an answer is one of them.
enum Button : unsigned {
    NoButton = 0,
    Ok = 1u << 0,
    Cancel = 1u << 1,
    Yes = 1u << 2,
    No = 1u << 3,
    Abort = 1u << 4,
    Retry = 1u << 5,
    Ignore = 1u << 6,
};

enum class Icon { None, Information, Warning, Error, Question };

struct MessageBoxRequest {
    std::string text;    // UTF-8 for display
    std::string caption; // UTF-8 for display
    unsigned buttons = Ok;
    Icon icon = Icon::None;
    // The button that answers when the box is dismissed without a choice
    // (Enter, or the unattended mode); NoButton means the first of `buttons`.
    Button defaultButton = NoButton;
    // The window the box belongs to: the desktop box is its child, centred over
    // it (over the active window while the owner is hidden). Null: no owner.
    QWidget* owner = nullptr;
};

// Modal message boxes and the folder-browse dialog.
class Dialogs {
public:
    virtual ~Dialogs() = default;
    // Shows a modal box and returns the button chosen.
    virtual Button messageBox(const MessageBoxRequest& request) = 0;
    // Lets the user pick a folder; returns "" when cancelled. Byte string path.
    virtual std::string browseFolder(const std::string& title, const std::string& startDir) = 0;
    // Closes every box this service has open, as if closed without a choice: the
    // box returns Cancel when it offers Cancel, else its default button. A close
    // request from outside uses it, so no job waits for a box nobody answers.
    virtual void dismissOpenBoxes() {}
};

// The answer of a box closed without a choice (its title bar's close button, or
// dismissOpenBoxes): Cancel when offered, else the default button.
Button closedAnswer(const MessageBoxRequest& request);

// The first button of a set in the order Ok, Cancel, Yes, No, Abort, Retry, Ignore.
Button defaultAnswer(const MessageBoxRequest& request);

// How a window opened by the shell is shown.
enum class ShowMode { Normal, Minimized };

// Opening documents and folders with the desktop's handler.
class Shell {
public:
    virtual ~Shell() = default;
    // Opens a file or folder ("open" verb). Returns false when nothing could open it.
    virtual bool open(const std::string& path, ShowMode mode) = 0;
};

// Playing short sounds.
class Sound {
public:
    virtual ~Sound() = default;
    // Plays a WAV file and returns when it has finished; when the file cannot be
    // played, plays the built-in default sound instead.
    virtual void playFileSync(const std::string& path) = 0;
    virtual void playDefault() = 0;
};

// A millisecond tick counter.
class Clock {
public:
    virtual ~Clock() = default;
    virtual uint32_t milliseconds() = 0;
};

// Desktop services beside the windows: a notification when long work ends, a
// progress bar on the program's icon in the task bar or dock, and keeping the
// computer awake while work runs. They talk to the desktop over D-Bus; where
// there is no bus, or no service on it, every call does nothing and returns at
// once: they are courtesies, never errors. Call them from the thread that runs
// the application's event loop (the user-interface thread); without an
// application object they do nothing.

// A notification of work that has ended.
struct Notification {
    std::string summary;      // one short line, UTF-8: "12 files compressed to MP3"
    std::string body;         // plain text, UTF-8, may be empty
    std::string actionFolder; // opened through the Shell service when the user
                              // clicks the notification; "" for no action
};

class Notifier {
public:
    virtual ~Notifier() = default;
    // Shows the notification (org.freedesktop.Notifications on the session bus,
    // application "MP3 Tunewright", the program's icon) and returns at once,
    // without waiting for the server; the request reaches the server also when
    // the process ends right after the call. A click on it opens `actionFolder`
    // as long as this process runs its event loop; after the process has ended
    // the click does nothing.
    virtual void notify(const Notification& notification) = 0;
};

// The progress shown on the program's launcher icon (the
// com.canonical.Unity.LauncherEntry signal that GNOME's docks and KDE's task
// manager read, for the desktop entry start-up names in
// QGuiApplication::desktopFileName).
class TaskbarProgress {
public:
    virtual ~TaskbarProgress() = default;
    // Shows `fraction` (clamped to 0..1) of the work done. Calls that would not
    // change the shown value by 0.1% are not sent, so calling it for every file
    // of a large batch costs nothing.
    virtual void setProgress(double fraction) = 0;
    // Takes the progress off the icon; call it when the work ends, however it ends.
    virtual void clear() = 0;
};

// A held request that the computer neither suspends nor goes to sleep when
// idle. Move-only; released by release(), when it is destroyed, or when the
// process ends (the kernel closes its descriptor). An empty handle holds nothing.
class Inhibitor {
public:
    Inhibitor() = default;
    // Holds until `release` has been called (once, from release() or the destructor).
    explicit Inhibitor(std::function<void()> release) : release_(std::move(release)) {}
    Inhibitor(Inhibitor&& other) noexcept : release_(std::move(other.release_)) {
        other.release_ = nullptr;
    }
    Inhibitor& operator=(Inhibitor&& other) noexcept;
    Inhibitor(const Inhibitor&) = delete;
    Inhibitor& operator=(const Inhibitor&) = delete;
    ~Inhibitor() { release(); }

    bool held() const { return static_cast<bool>(release_); }
    void release();

private:
    std::function<void()> release_;
};

class SleepInhibitor {
public:
    virtual ~SleepInhibitor() = default;
    // Asks logind (org.freedesktop.login1.Manager.Inhibit "sleep:idle", "block" on
    // the system bus) to keep the computer awake, `why` being what the desktop
    // shows ("Ripping 12 tracks"). Waits at most a second for logind. Without a
    // system bus or logind, or when logind refuses, the handle holds nothing.
    virtual Inhibitor inhibit(const std::string& why) = 0;
};

// The set of services the program reaches the operating system through.
// Start-up installs the desktop set; tests install their own.
struct Services {
    std::shared_ptr<Dialogs> dialogs;
    std::shared_ptr<Shell> shell;
    std::shared_ptr<Sound> sound;
    std::shared_ptr<Clock> clock;
    // With initializers, so a set written {dialogs, shell, sound, clock} leaves
    // these empty (keeping the current ones) without a warning.
    std::shared_ptr<Notifier> notifier{};
    std::shared_ptr<TaskbarProgress> taskbar{};
    std::shared_ptr<SleepInhibitor> sleepInhibitor{};
};

// The current services. Before anything is installed this is the desktop set
// (or the unattended dialogs when TUNEWRIGHT_UNATTENDED=1).
Services& services();

// Replaces the current services (each null member keeps its current value)
// and returns the previous set.
Services installServices(const Services& replacement);

// Desktop implementations.
std::shared_ptr<Dialogs> makeDesktopDialogs();
std::shared_ptr<Dialogs> makeUnattendedDialogs();
std::shared_ptr<Shell> makeDesktopShell();
std::shared_ptr<Sound> makeAlsaSound();
std::shared_ptr<Clock> makeSteadyClock();
std::shared_ptr<Notifier> makeDesktopNotifier();
std::shared_ptr<TaskbarProgress> makeDesktopTaskbarProgress();
std::shared_ptr<SleepInhibitor> makeLogindSleepInhibitor();

// Shorthand for services().dialogs->messageBox(...), without an owner window and
// with one.
Button messageBox(const std::string& text, const std::string& caption, unsigned buttons, Icon icon,
                  Button defaultButton = NoButton);
Button messageBox(QWidget* owner, const std::string& text, const std::string& caption,
                  unsigned buttons, Icon icon, Button defaultButton = NoButton);

// The application's title, the caption of its general error box. Start-up sets it.
void setApplicationTitle(const std::string& title);
const std::string& applicationTitle();

// The program's general error box, used where the design shows "the application's
// error message box" (caption = application title, Error icon, OK).
void showErrorBox(const std::string& text);

} // namespace platform
