#pragma once

// The recorder window: capture format, silence autocut, MP3 on the fly, output
// name; Start runs one recording into one file (WAV or MP3), Stop ends it.
// The recording runs inside the Start handler on the user-interface thread; the
// capture engine processes the window's events while it waits for the device.

#include <QDialog>
#include <QGroupBox>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/WaveIn.h"
#include "recorder/CaptureEngine.h"
#include "recorder/RecorderMp3Output.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QSlider;
class QTimer;

// A framed choice group whose items are radio buttons laid out in columns;
// exactly one item is selected.
class TRadioGroup : public QGroupBox {
    Q_OBJECT
public:
    TRadioGroup(const QString& caption, const QStringList& items, int columns, QWidget* parent);
    int ItemIndex() const;
    void SetItemIndex(int index);
    QRadioButton* Item(int index) const { return buttons_.at(index); }
    int Count() const { return static_cast<int>(buttons_.size()); }
    // The width that shows every item whole with a margin before the frame.
    int NeededWidth() const { return neededWidth_; }

    static constexpr int kRightMargin = 4;

private:
    std::vector<QRadioButton*> buttons_;
    int neededWidth_ = 0;
};

class TForm3 : public QDialog, protected recorder::CaptureHost {
    Q_OBJECT
public:
    explicit TForm3(QWidget* parent = nullptr);
    ~TForm3() override;

    // Where output names without a directory go: the decoded directory for WAV
    // recordings, the encoded directory for MP3 recordings, read when Start is
    // pressed. Until set, the default directories below the music folder.
    void SetOutputDirectories(std::function<std::string()> decodedDir,
                              std::function<std::string()> encodedDir);
    // The encoder library an MP3 recording loads (default: lame.so beside the program).
    void SetEncoderLibraryPath(const std::string& path) { encoderLibraryPath_ = path; }
    // Whether the end of a recording longer than kNotifiedRecordingMs is announced by
    // a notification (the Notify setting), read when it ends. Until set: on.
    void SetNotifySource(std::function<bool()> notify) { notifySource_ = std::move(notify); }
    static constexpr std::uint32_t kNotifiedRecordingMs = 60000;

    // Handlers.
    void TrackBar1Change();
    void CheckBox2Click();
    void CheckBox3Click();
    void ComboBox3Change();
    void ComboBox4Change();
    void SpeedButton1Click(); // Start: runs the whole recording
    void SpeedButton2Click(); // Stop
    void FormCloseQuery(bool& canClose);

    // The output file name from the edit, or "" after the error box.
    std::string MakeOutputName();
    void SetRecordingState();
    void SetIdleState();

    bool Recording() const { return recording_; }
    const recorder::CaptureEngine& Engine() const { return engine_; }

    // Controls, named as in the design.
    QProgressBar* ProgressBar1;
    QProgressBar* ProgressBar2;
    QCheckBox* CheckBox1;
    QSlider* TrackBar2;
    QSlider* TrackBar1;
    TRadioGroup* RadioGroup1;
    TRadioGroup* RadioGroup2;
    QComboBox* ComboBox1;
    QCheckBox* CheckBox2;
    QComboBox* ComboBox2;
    QCheckBox* CheckBox3;
    QComboBox* ComboBox3;
    QComboBox* ComboBox4;
    QSlider* TrackBar3;
    QLineEdit* Edit1;
    QPushButton* SpeedButton1;
    QPushButton* SpeedButton2;
    QLabel* Label2;  // state
    QLabel* Label1;  // last record; status line while starting
    QLabel* Label10; // total written
    QLabel* Label13; // buffer overruns
    QLabel* Label15; // warning line

    static const char* const kWarningText;

protected:
    void closeEvent(QCloseEvent* event) override;
    void reject() override;
    void keyPressEvent(QKeyEvent* event) override;

    // CaptureHost: the displays and the output of the running recording.
    int SwitchingLevel() override;
    int InertiaPosition() override;
    void ShowStatus(const std::string& text) override;
    void ShowLevel(int level) override;
    void ShowOverruns(std::uint32_t overruns) override;
    void ShowWritten(std::uint64_t writtenBuffers, std::uint32_t bufferSize) override;
    void ShowTake(std::uint64_t takeBuffers, std::uint32_t bufferSize) override;
    void ShowGateState(bool gateOpen) override;
    void SignalPause() override;
    void WriteOutput(const std::uint8_t* data, std::uint32_t length) override;
    void ProcessEvents(int maxWaitMs) override;

private:
    void BuildControls();
    void SetStateText(const QString& text, const QColor& color);
    void SetStateBackground(const QColor& color);
    platform::WaveFormat CaptureFormat() const;
    recorder::RecorderMp3Settings Mp3Settings() const;
    void UpdateLowBitrateWarning(const platform::WaveFormat& format);
    bool OpenWaveOutput();
    void WriteWaveHeader();
    void NotifyRecorded(std::uint32_t milliseconds);

    recorder::CaptureEngine engine_;
    std::function<std::string()> decodedDir_;
    std::function<std::string()> encodedDir_;
    std::string encoderLibraryPath_;
    std::function<bool()> notifySource_;
    QTimer* waitTimer_;

    // One recording.
    bool recording_ = false;
    bool closeRequested_ = false;
    bool mp3_ = false;
    std::string outputName_;
    platform::WaveFormat format_;
    int wavFd_ = -1;
    std::uint64_t wavDataBytes_ = 0;
    std::unique_ptr<recorder::RecorderMp3Output> mp3Output_;
};
