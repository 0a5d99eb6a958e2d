#include "platform/Services.h"

#include <QApplication>
#include <QDesktopServices>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QMessageBox>
#include <QPointer>
#include <QScreen>
#include <QShowEvent>
#include <QStandardPaths>
#include <QUrl>
#include <QWidget>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <spawn.h>
#include <sys/wait.h>
#include <system_error>
#include <thread>
#include <unistd.h>

#include "platform/Paths.h"

namespace platform {

Button defaultAnswer(const MessageBoxRequest& request) {
    if (request.defaultButton != NoButton) {
        return request.defaultButton;
    }
    for (Button b : {Ok, Cancel, Yes, No, Abort, Retry, Ignore}) {
        if (request.buttons & b) {
            return b;
        }
    }
    return Ok;
}

Button closedAnswer(const MessageBoxRequest& request) {
    return (request.buttons & Cancel) ? Cancel : defaultAnswer(request);
}

namespace {

const char* iconName(Icon icon) {
    switch (icon) {
    case Icon::Information:
        return "information";
    case Icon::Warning:
        return "warning";
    case Icon::Error:
        return "error";
    case Icon::Question:
        return "question";
    case Icon::None:
        break;
    }
    return "none";
}

const char* buttonName(Button b) {
    switch (b) {
    case Ok:
        return "OK";
    case Cancel:
        return "Cancel";
    case Yes:
        return "Yes";
    case No:
        return "No";
    case Abort:
        return "Abort";
    case Retry:
        return "Retry";
    case Ignore:
        return "Ignore";
    case NoButton:
        break;
    }
    return "none";
}

// A message box that opens with its client area centred over a window's (the
// frame the window manager adds goes around it), or over the screen without one.
// QDialog places a box itself by guessing the frame from the other visible
// windows (on X11 a frame is known only once the window manager has mapped the
// window); with only the frameless conversion window on screen it falls back to
// a 40-pixel title bar and a 10-pixel border, and the box sits that much above
// and left of the centre. So the box is placed here, once it has the size its
// text gives it and before it is mapped, by its client area: no frame is guessed.
class CentredMessageBox : public QMessageBox {
public:
    CentredMessageBox(QWidget* parent, QWidget* over) : QMessageBox(parent), over_(over) {}

protected:
    void showEvent(QShowEvent* event) override {
        QMessageBox::showEvent(event); // sizes the box to its text
        if (!event->spontaneous()) {
            placeOverWindow();
        }
    }

private:
    void placeOverWindow() {
        QScreen* screen = over_ ? over_->screen() : QGuiApplication::primaryScreen();
        if (!screen) {
            return;
        }
        const QRect desk = screen->availableGeometry();
        QRect box(QPoint(0, 0), size());
        box.moveCenter(over_ ? over_->geometry().center() : desk.center());
        // On the screen, left and top first when the box is larger than it.
        box.moveLeft(std::max(desk.left(), std::min(box.left(), desk.right() - box.width() + 1)));
        box.moveTop(std::max(desk.top(), std::min(box.top(), desk.bottom() - box.height() + 1)));
        setGeometry(box);
    }

    QPointer<QWidget> over_;
};

class DesktopDialogs : public Dialogs {
public:
    Button messageBox(const MessageBoxRequest& request) override {
        if (!qobject_cast<QApplication*>(QCoreApplication::instance())) {
            return UnattendedAnswer(request);
        }
        // A child of its window, so the desktop keeps it over that window; a box
        // whose window is not on screen goes over the window the user works in.
        QWidget* parent = request.owner ? request.owner->window() : nullptr;
        if (parent && !parent->isVisible()) {
            QWidget* active = QApplication::activeWindow();
            parent = active ? active : parent;
        }
        QWidget* over = parent && parent->isVisible() ? parent : QApplication::activeWindow();
        QPointer<QMessageBox> owned = new CentredMessageBox(parent, over);
        QMessageBox& box = *owned;
        box.setWindowTitle(QString::fromStdString(request.caption));
        // File names appear in these texts; they are shown as typed, never as markup.
        box.setTextFormat(Qt::PlainText);
        box.setText(QString::fromStdString(request.text));
        switch (request.icon) {
        case Icon::Information:
            box.setIcon(QMessageBox::Information);
            break;
        case Icon::Warning:
            box.setIcon(QMessageBox::Warning);
            break;
        case Icon::Error:
            box.setIcon(QMessageBox::Critical);
            break;
        case Icon::Question:
            box.setIcon(QMessageBox::Question);
            break;
        case Icon::None:
            break;
        }
        const std::pair<Button, QMessageBox::StandardButton> map[] = {
            {Ok, QMessageBox::Ok},        {Cancel, QMessageBox::Cancel},
            {Yes, QMessageBox::Yes},      {No, QMessageBox::No},
            {Abort, QMessageBox::Abort},  {Retry, QMessageBox::Retry},
            {Ignore, QMessageBox::Ignore}};
        QMessageBox::StandardButtons buttons;
        for (auto [ours, qt] : map) {
            if (request.buttons & ours) {
                buttons |= qt;
            }
        }
        box.setStandardButtons(buttons ? buttons : QMessageBox::StandardButtons(QMessageBox::Ok));
        Button def = defaultAnswer(request);
        for (auto [ours, qt] : map) {
            if (ours == def) {
                box.setDefaultButton(qt);
            }
        }
        open_.push_back(owned);
        int result = box.exec();
        // The box goes with its parent if the window is destroyed while it is open.
        open_.erase(std::remove(open_.begin(), open_.end(), owned), open_.end());
        open_.erase(std::remove(open_.begin(), open_.end(), nullptr), open_.end());
        delete owned.data();
        for (auto [ours, qt] : map) {
            if (result == qt) {
                return ours;
            }
        }
        // Closed through the title bar or dismissed.
        return closedAnswer(request);
    }

    void dismissOpenBoxes() override {
        // Innermost first; each box's own loop then returns as the stack unwinds.
        for (auto it = open_.rbegin(); it != open_.rend(); ++it) {
            if (*it) {
                (*it)->done(QMessageBox::NoButton);
            }
        }
    }

    std::string browseFolder(const std::string& title, const std::string& startDir) override {
        QString dir = QFileDialog::getExistingDirectory(nullptr, QString::fromStdString(title),
                                                        QString::fromStdString(startDir));
        return dir.isEmpty() ? std::string() : std::string(QFile::encodeName(dir).constData());
    }

    static Button UnattendedAnswer(const MessageBoxRequest& request) {
        Button answer = defaultAnswer(request);
        std::string text = request.text;
        for (char& c : text) {
            if (c == '\n' || c == '\r') {
                c = ' ';
            }
        }
        std::fprintf(stderr, "[message box] %s: %s (%s) -> %s\n", request.caption.c_str(),
                     text.c_str(), iconName(request.icon), buttonName(answer));
        std::fflush(stderr);
        return answer;
    }

private:
    std::vector<QPointer<QMessageBox>> open_; // boxes shown, outermost first
};

class UnattendedDialogs : public Dialogs {
public:
    Button messageBox(const MessageBoxRequest& request) override {
        return DesktopDialogs::UnattendedAnswer(request);
    }
    std::string browseFolder(const std::string& title, const std::string&) override {
        std::fprintf(stderr, "[folder dialog] %s -> cancelled\n", title.c_str());
        return "";
    }
};

// How long the desktop's opener is given to say whether a program took the file.
constexpr int kOpenerAnswerMs = 2000;

// Runs the desktop's opener (xdg-open) on a URL. It ends at once with a failure
// status when no program takes the file, and with success once it has handed the
// file on; on a desktop without an opener of its own it runs the program in the
// foreground, so one still running after a short while counts as opened. The
// child is reaped by a thread of its own whenever it ends and is never killed
// with this process. Nothing else runs meanwhile: a nested timer tick must not
// act twice (the batch opens its folder at its very end).
bool openWithOpener(const QString& opener, const QUrl& url) {
    const QByteArray program = QFile::encodeName(opener);
    const QByteArray argument = url.toEncoded();
    char name[] = "xdg-open";
    char* argv[] = {name, const_cast<char*>(argument.constData()), nullptr};
    // The child starts with every signal unblocked and at its default action,
    // whatever this process blocks or ignores.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigset_t defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (int signal : {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGPIPE, SIGCHLD}) {
        sigaddset(&defaults, signal);
    }
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, program.constData(), nullptr, &attributes, argv, environ);
    posix_spawnattr_destroy(&attributes);
    if (spawned != 0) {
        return false;
    }
    auto answer = std::make_shared<std::atomic<int>>(-1);
    auto reap = [pid, answer](int options) {
        int status = 0;
        pid_t ended = -1;
        do {
            ended = ::waitpid(pid, &status, options);
        } while (ended < 0 && errno == EINTR);
        if (ended != 0) {
            // A child reaped elsewhere cannot say: it counts as opened.
            answer->store(ended < 0 || (WIFEXITED(status) && WEXITSTATUS(status) == 0) ? 1 : 0);
        }
    };
    bool waiter = true;
    try {
        std::thread(reap, 0).detach();
    } catch (const std::system_error&) {
        waiter = false; // polled below; a child still running then stays unreaped
    }
    QElapsedTimer waited;
    waited.start();
    while (answer->load() < 0 && waited.elapsed() < kOpenerAnswerMs) {
        if (!waiter) {
            reap(WNOHANG);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return answer->load() != 0;
}

class DesktopShell : public Shell {
public:
    bool open(const std::string& path, ShowMode) override {
        // Desktops decide themselves how a folder window appears; the mode is a wish.
        std::string full = absolutePath(path);
        QUrl url = QUrl::fromLocalFile(QFile::decodeName(full.c_str()));
        if (std::getenv("TUNEWRIGHT_UNATTENDED") &&
            std::strcmp(std::getenv("TUNEWRIGHT_UNATTENDED"), "1") == 0) {
            std::fprintf(stderr, "[shell] open %s\n", full.c_str());
            return true;
        }
        const QString opener = QStandardPaths::findExecutable("xdg-open");
        return opener.isEmpty() ? QDesktopServices::openUrl(url) : openWithOpener(opener, url);
    }
};

class SteadyClock : public Clock {
public:
    uint32_t milliseconds() override {
        using namespace std::chrono;
        return static_cast<uint32_t>(
            duration_cast<std::chrono::milliseconds>(steady_clock::now().time_since_epoch())
                .count());
    }
};

bool unattended() {
    const char* v = std::getenv("TUNEWRIGHT_UNATTENDED");
    return v && std::strcmp(v, "1") == 0;
}

Services makeDesktopServices() {
    Services s;
    s.dialogs = unattended() ? makeUnattendedDialogs() : makeDesktopDialogs();
    s.shell = makeDesktopShell();
    s.sound = makeAlsaSound();
    s.clock = makeSteadyClock();
    s.notifier = makeDesktopNotifier();
    s.taskbar = makeDesktopTaskbarProgress();
    s.sleepInhibitor = makeLogindSleepInhibitor();
    return s;
}

} // namespace

std::shared_ptr<Dialogs> makeDesktopDialogs() {
    return std::make_shared<DesktopDialogs>();
}
std::shared_ptr<Dialogs> makeUnattendedDialogs() {
    return std::make_shared<UnattendedDialogs>();
}
std::shared_ptr<Shell> makeDesktopShell() {
    return std::make_shared<DesktopShell>();
}
std::shared_ptr<Clock> makeSteadyClock() {
    return std::make_shared<SteadyClock>();
}

Services& services() {
    static Services current = makeDesktopServices();
    return current;
}

Services installServices(const Services& replacement) {
    Services& current = services();
    Services previous = current;
    // Each service given replaces the current one; an empty one keeps it.
    auto take = [](auto& service, const auto& given) {
        if (given) {
            service = given;
        }
    };
    take(current.dialogs, replacement.dialogs);
    take(current.shell, replacement.shell);
    take(current.sound, replacement.sound);
    take(current.clock, replacement.clock);
    take(current.notifier, replacement.notifier);
    take(current.taskbar, replacement.taskbar);
    take(current.sleepInhibitor, replacement.sleepInhibitor);
    return previous;
}

Inhibitor& Inhibitor::operator=(Inhibitor&& other) noexcept {
    if (this != &other) {
        release();
        release_ = std::move(other.release_);
        other.release_ = nullptr;
    }
    return *this;
}

void Inhibitor::release() {
    std::function<void()> release = std::move(release_);
    release_ = nullptr;
    if (release) {
        release();
    }
}

Button messageBox(const std::string& text, const std::string& caption, unsigned buttons, Icon icon,
                  Button defaultButton) {
    return services().dialogs->messageBox({text, caption, buttons, icon, defaultButton});
}

Button messageBox(QWidget* owner, const std::string& text, const std::string& caption,
                  unsigned buttons, Icon icon, Button defaultButton) {
    return services().dialogs->messageBox({text, caption, buttons, icon, defaultButton, owner});
}

namespace {
std::string& titleStorage() {
    static std::string title = "MP3 Tunewright";
    return title;
}
} // namespace

void setApplicationTitle(const std::string& title) {
    titleStorage() = title;
}

const std::string& applicationTitle() {
    return titleStorage();
}

void showErrorBox(const std::string& text) {
    messageBox(text, applicationTitle(), Ok, Icon::Error);
}

} // namespace platform
