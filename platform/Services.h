#pragma once

#include <cstdint>
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

// The set of services the program reaches the operating system through.
// Start-up installs the desktop set; tests install their own.
struct Services {
    std::shared_ptr<Dialogs> dialogs;
    std::shared_ptr<Shell> shell;
    std::shared_ptr<Sound> sound;
    std::shared_ptr<Clock> clock;
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
