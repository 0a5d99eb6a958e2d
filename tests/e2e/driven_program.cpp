// The program's own start-up (app::Run), used from inside as a person would use its
// windows, for the tests of the orders of closing and of signals. TW_DRIVE names
// what it does; it prints what happens, one line each, so the test knows when to act:
//
//   box: <text>     a message box was shown
//   status: <word>  the conversion window showed a status word (every scenario)
//   ripping         a rip runs; it waits (at most 30 s) for the program to be closed
//   recording       likewise for a recording
//   working         likewise for a conversion job
//   log: <line>     a line of the ripper's log
//   acted           convert-act: TW_DRIVE_ACT ("lastfile", "exit") was done while the
//                   entry TW_DRIVE_AT was a quarter through its codec phase
//
// Boxes: "Abort ripping ?" takes its answers from TW_DRIVE_ABORT ("No,Yes": one per
// box, in order; Yes when none is left). A box whose text starts with TW_DRIVE_HOLD
// stays open until the program dismisses it, or until the file TW_DRIVE_RELEASE
// exists, when it gets its default answer (at most 30 s). "Delete uncomplete files ?"
// is answered TW_DRIVE_EXIT_ANSWER ("Cancel"; OK when unset). Every other box gets its
// default answer.
#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStringList>
#include <QTextBlock>
#include <QThread>
#include <QTimer>
#include <QToolButton>
#include <QTreeWidget>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/stat.h>

#include "app/ConversionForm.h"
#include "app/Startup.h"
#include "platform/Services.h"
#include "recorder/RecorderForm.h"
#include "ripper/RipperForm.h"
#include "ripper/RxSwitch.h"
#include "settings/LogoForm.h"
#include "settings/OptionsForm.h"

namespace {

std::string env(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

void say(const std::string& line) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

long long sizeOf(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

// Runs the event loop until `done` or 30 s have passed.
void waitFor(const std::function<bool()>& done) {
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < 30000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(2);
    }
}

class DrivenDialogs : public platform::Dialogs {
public:
    DrivenDialogs() {
        for (const QString& a : QString::fromStdString(env("TW_DRIVE_ABORT")).split(',')) {
            if (!a.isEmpty()) {
                abortAnswers_.push_back(a == "No" ? platform::No : platform::Yes);
            }
        }
        hold_ = env("TW_DRIVE_HOLD");
        release_ = env("TW_DRIVE_RELEASE");
    }

    platform::Button messageBox(const platform::MessageBoxRequest& request) override {
        say("box: " + request.text);
        if (request.text == "Abort ripping ?") {
            platform::Button answer = platform::Yes;
            if (!abortAnswers_.isEmpty()) {
                answer = abortAnswers_.takeFirst();
            }
            return answer;
        }
        if (!hold_.empty() && request.text.rfind(hold_, 0) == 0) {
            const int before = dismissals_;
            waitFor([&] {
                return dismissals_ != before || (!release_.empty() && sizeOf(release_) >= 0);
            });
            if (dismissals_ != before) {
                say("dismissed: " + request.text);
                return platform::closedAnswer(request);
            }
        }
        if (request.text == "Delete uncomplete files ?" && env("TW_DRIVE_EXIT_ANSWER") == "Cancel") {
            return platform::Cancel;
        }
        return platform::defaultAnswer(request);
    }

    std::string browseFolder(const std::string&, const std::string&) override { return ""; }

    void dismissOpenBoxes() override { ++dismissals_; }

private:
    QList<platform::Button> abortAnswers_;
    std::string hold_;
    std::string release_;
    int dismissals_ = 0;
};

template <typename T> T* findWindow() {
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (auto* found = qobject_cast<T*>(w)) {
            return found;
        }
    }
    return nullptr;
}

// Clicks later, from the event loop, so work that runs inside the click (a rip, a
// recording, the modal recorder) does not hold up the next step.
void clickLater(QAbstractButton* button) {
    QTimer::singleShot(0, button, [button] { button->click(); });
}

// One scenario, one step per tick of a 5 ms timer; the ticks also come while
// a rip, a recording or a job runs inside an earlier click.
class Driver : public QObject {
public:
    explicit Driver(QObject* parent)
        : QObject(parent), scenario_(env("TW_DRIVE")), then_(env("TW_DRIVE_THEN")) {
        auto* timer = new QTimer(this);
        timer->setInterval(5);
        connect(timer, &QTimer::timeout, this, [this] {
            if (!stepping_) {
                stepping_ = true;
                step();
                stepping_ = false;
            }
        });
        timer->start();
    }

private:
    void step() {
        if (!statusFollowed_) {
            if (auto* conversion = findWindow<TForm1>()) {
                connect(conversion, &TForm1::StatusShown, this,
                        [](const QString& word) { say("status: " + word.toStdString()); });
                statusFollowed_ = true;
            }
        }
        if (scenario_.rfind("rip", 0) == 0 || scenario_ == "ripper-open-close-launcher") {
            ripStep();
        } else if (scenario_ == "record-wait-signal") {
            recordStep();
        } else if (scenario_ == "convert-wait-signal" || scenario_ == "convert-exit-box") {
            convertStep();
        } else if (scenario_ == "convert-act") {
            actStep();
        } else if (scenario_ == "options-open") {
            optionsStep();
        }
    }

    void ripStep() {
        auto* launcher = findWindow<TLogoForm>();
        auto* ripper = findWindow<TRipperForm>();
        if (!launcher || !ripper) {
            return;
        }
        switch (state_) {
        case 0:
            if (!launcher->isVisible()) {
                return;
            }
            launcher->SpeedButton1->click(); // "CD Ripper"
            connect(ripper->Memo1, &QPlainTextEdit::textChanged, this, [ripper] {
                QString last = ripper->Memo1->document()->lastBlock().text();
                if (!last.isEmpty()) {
                    say("log: " + last.toStdString());
                }
            });
            if (scenario_ == "ripper-open-close-launcher") {
                say("ripper open");
                launcher->close();
                state_ = 100;
                return;
            }
            ripper->ListView1->selectAll();
            if (env("TW_DRIVE_COMPRESS") == "1") {
                ripper->RxSwitch1->click();
            }
            clickLater(ripper->SpeedButton1); // " Rip tracks !"
            state_ = 1;
            return;
        case 1: {
            // Some audio is on disk before anything else happens.
            const std::string out = env("TW_DRIVE_OUTPUT");
            if (!ripper->Engine.Ripping || sizeOf(out) < 400000) {
                return;
            }
            say("ripping");
            state_ = 2;
            if (scenario_ == "rip-wait-signal") {
                waitFor([] { return app::QuitRequested(); });
                return;
            }
            // rip-close-launcher: the launcher's close asks the ripper.
            launcher->close();
            say(std::string("launcher closed, ripper ") +
                (ripper->isVisible() ? "open" : "hidden"));
            return;
        }
        case 2:
            if (then_ == "stop-quit") {
                ripper->SpeedButton2->click(); // "Stop ripping"
                state_ = 3;
            } else if (then_ == "closebox") {
                ripper->close();
                state_ = 100;
            }
            return;
        case 3:
            if (!ripper->Engine.Ripping) {
                say("stopped");
                ripper->SpeedButton4->click(); // "Quit"
                state_ = 100;
            }
            return;
        default:
            return;
        }
    }

    void recordStep() {
        auto* launcher = findWindow<TLogoForm>();
        auto* recorder = findWindow<TForm3>();
        if (!launcher || !recorder) {
            return;
        }
        const std::string out = env("TW_DRIVE_OUTPUT");
        switch (state_) {
        case 0:
            if (!launcher->isVisible()) {
                return;
            }
            clickLater(launcher->SpeedButton2); // "Recorder", modal
            state_ = 1;
            return;
        case 1:
            if (!recorder->isVisible()) {
                return;
            }
            recorder->Edit1->setText(QString::fromStdString(out));
            if (env("TW_DRIVE_COMPRESS") == "1") {
                recorder->CheckBox2->click();
            }
            clickLater(recorder->SpeedButton1); // "Start"
            state_ = 2;
            return;
        case 2:
            if (!recorder->Recording() || sizeOf(out) < 64000) {
                return;
            }
            say("recording");
            state_ = 3;
            waitFor([] { return app::QuitRequested(); });
            return;
        default:
            return;
        }
    }

    void convertStep() {
        auto* conversion = findWindow<TForm1>();
        if (!conversion || state_ != 0) {
            return;
        }
        // Well into its codec phase: a tenth of the bar drawn.
        if (!conversion->Engine.Busy || conversion->Image2->width() < 26) {
            return;
        }
        say("working");
        state_ = 1;
        if (scenario_ == "convert-exit-box") {
            // "Exit" during the job: its question stays open until dismissed.
            conversion->SpeedButton5->click();
            return;
        }
        waitFor([] { return TForm1::CloseRequested; });
    }

    void actStep() {
        auto* conversion = findWindow<TForm1>();
        if (!conversion || state_ != 0 || !conversion->Engine.Busy ||
            conversion->Engine.SourceName != env("TW_DRIVE_AT") || conversion->Image2->width() < 64) {
            return;
        }
        state_ = 1;
        say("acted");
        if (env("TW_DRIVE_ACT") == "lastfile") {
            conversion->Image4Click();
        } else if (env("TW_DRIVE_ACT") == "exit") {
            conversion->SpeedButton5Click();
        }
    }

    void optionsStep() {
        auto* conversion = findWindow<TForm1>();
        TOptionsForm* options = TOptionsForm::Current();
        if (!conversion || !options || state_ != 0 || !conversion->isVisible()) {
            return;
        }
        conversion->Image3Click();
        options->CheckBox1->click(); // "Don't display errors"
        say(std::string("options open, no errors ") + (options->Settings.NoErrors ? "on" : "off"));
        state_ = 1;
    }

    std::string scenario_;
    std::string then_;
    int state_ = 0;
    bool stepping_ = false;
    bool statusFollowed_ = false;
};

// Runs as the application object is made; the driver lives as long as it.
void startDriver() {
    new Driver(QCoreApplication::instance());
}

} // namespace

Q_COREAPP_STARTUP_FUNCTION(startDriver)

int main(int argc, char** argv) {
    platform::installServices({std::make_shared<DrivenDialogs>(), nullptr, nullptr, nullptr});
    const int code = app::Run(argc, argv);
    say("exit " + std::to_string(code));
    return code;
}
