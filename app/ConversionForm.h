#pragma once

// The conversion window: a small borderless window that exists only in a process
// started with file names. It owns the queue of files to convert and the file codec,
// starts one job per queue tick, merges the names handed over by later processes,
// and ends the application once the queue has stayed empty for three ticks.

#include <QColor>
#include <QFontMetrics>
#include <QPoint>
#include <QString>
#include <QWidget>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "app/batch/BatchEngine.h"
#include "app/batch/Naming.h"
#include "platform/InstanceFiles.h"
#include "platform/Services.h"

class QLabel;
class QTimer;
class QToolButton;
class TOptionsForm;

namespace codec {
class TMP3Codec;
}
namespace settings {
struct SettingsRecord;
}

namespace app {

// The status word's colour value: the fade level shifted left by the low five bits
// of the shift, a 32-bit value with red in the lowest byte, then green, then blue.
uint32_t StatusColourValue(uint8_t level, int16_t shift);

// The colour drawn for such a value: its three low bytes as red, green and blue.
// The byte above blue (set by shift 21) is not drawn.
QColor StatusColour(uint32_t value);

// Where the window goes for an MWPosition value on a screen whose right and bottom
// edges are `right` and `bottom` (its width and height), for a window of
// `width` x `height`; any other position value keeps `current`.
QPoint PlacementFor(int position, int right, int bottom, int width, int height, QPoint current);

// Text of the count line for a number of queued entries.
std::string CountLineText(size_t count);

// The source line's text for a path in a line `width` pixels wide: the path when
// it fits, else the folder part shortened from its left ("…/Albums/song.mp3") so
// the file name stays whole; only a file name wider than the line itself is
// shortened in its middle.
QString SourceLineText(const QString& path, const QFontMetrics& metrics, int width);

} // namespace app

class TForm1 : public QWidget, private app::BatchView {
    Q_OBJECT
public:
    // Builds the window, queues `names` (each one entry), creates the codec from
    // `programDir`, starts the batch engine's workers and both timers. An
    // exception of the decoder component leaves the constructor.
    //
    // With the instance `lock` (the converting process), the engine first queues
    // the unfinished names a converter that ended early left, keeps a record of
    // its own unfinished names in the runtime folder, and ends its batch only after
    // it has released the lock and found no names waiting (else it takes the lock
    // back and goes on).
    explicit TForm1(const std::vector<std::string>& names, const std::string& programDir = {},
                    platform::InstanceLock* lock = nullptr);
    explicit TForm1(const std::string& firstName, const std::string& programDir = {});
    ~TForm1() override;

    enum Kind : int16_t { KindDecode = app::BatchEngine::KindDecode,
                          KindEncode = app::BatchEngine::KindEncode };

    // Set when the window is asked to close, never cleared. Process-wide.
    static bool CloseRequested;
    // Set when the window was closed from outside (a signal, the session ending):
    // its unfinished names are left for the next converter.
    static bool ClosedFromOutside;

    std::string AppDir; // program directory with a trailing '/'
    int16_t StatusShift = 0;
    uint8_t FadeLevel = 0;

    // Controls, named as the design names them.
    QLabel* Image1 = nullptr; // background picture
    QLabel* Label5 = nullptr; // drag strip
    QToolButton* SpeedButton4 = nullptr;
    QToolButton* SpeedButton5 = nullptr;
    QLabel* Image2 = nullptr; // progress bar: its width is the progress
    QLabel* Label3 = nullptr; // source path
    QLabel* Label1 = nullptr; // kind of job
    QLabel* Label2 = nullptr; // count line
    QLabel* Label4 = nullptr; // status word
    QLabel* Image3 = nullptr; // "Options"
    QLabel* Image4 = nullptr; // "Last file"
    QTimer* Timer1 = nullptr; // queue timer, 700 ms
    QTimer* Timer2 = nullptr; // fade timer, 100 ms

    // The queue, its jobs and the rules of the batch; the window shows them.
    app::BatchEngine Engine;

    // Event handlers.
    void FormCreate();
    void FormShow();
    void FormDestroy();
    void FormCloseQuery();
    void Timer1Timer();
    void Timer2Timer();
    void SpeedButton4Click();
    void SpeedButton5Click();
    void Label5MouseDown();
    void Image3Click();
    void Image4Click();

signals:
    // A status word was shown (for the desktop's accessibility and for tests
    // that follow a batch from outside).
    void StatusShown(const QString& word);

public:
    // Operations.
    void QueueFile(const std::string& name) { Engine.QueueFile(name); }
    void ShowStatus(const std::string& word, int16_t shift);
    void Shutdown();
    // The close request from outside (the session ends, a signal), as the
    // window's close: a running job ends at its next loop test and what it wrote
    // stays; no question, no completion actions.
    void CloseFromOutside();
    // The completion sound and the opening of the last job's target directory.
    void CompletionActions() { Engine.CompletionActions(); }

    // The settings record readers take their values from: the current options
    // object's (the launcher's once it exists), else the window's own.
    settings::SettingsRecord& CurrentSettings();

    // True once the window has ended the application (Shutdown or a close).
    bool ApplicationEnded() const { return ended_; }
    // The window's own codec, made with the window: its creation is where a missing
    // decoder library stops the program. The jobs run on the workers' codecs.
    codec::TMP3Codec& Codec() { return *codec_; }

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    // What the engine shows and asks.
    void showStatus(const std::string& word, int16_t shift) override { ShowStatus(word, shift); }
    void showCount(size_t count) override;
    void showSource(const std::string& source) override;
    void showKind(bool decode) override;
    void showProgress(int width) override;
    platform::Button showBox(const std::string& text, const std::string& caption,
                             unsigned buttons, platform::Icon icon) override;
    const settings::SettingsRecord& settings() override { return CurrentSettings(); }
    void shutdown() override { Shutdown(); }
    void restartTicks() override;

    void EndApplication();

    std::unique_ptr<codec::TMP3Codec> codec_;
    std::unique_ptr<TOptionsForm> options_;
    bool ended_ = false;
};
