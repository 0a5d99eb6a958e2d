#include "recorder/RecorderForm.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QFile>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QStyle>
#include <QTimer>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "codec/WavFormat.h"
#include "platform/FileIO.h"
#include "platform/Paths.h"
#include "platform/RadioFocus.h"
#include "platform/Services.h"
#include "tags/Tags.h"

namespace {

const QStringList kFrequencies = {"8000",  "11025", "12000", "16000", "22050",
                                  "24000", "32000", "44100", "48000"};
const QStringList kBitrates = {"32",  "40",  "48",  "56",  "64",  "80",  "96",
                               "112", "128", "160", "192", "224", "256", "320"};

const QColor kRed(255, 0, 0);
const QColor kBlue(0, 0, 255);
const QColor kBlack(0, 0, 0);
const QColor kLime(0, 255, 0);
const QColor kSilver(192, 192, 192);

// The largest data size a WAV header can describe (its RIFF size is data + 36).
constexpr std::uint64_t kMaxWavData = 0xFFFFFFFFull - 36;

QLabel* makeLabel(const QString& text, int x, int y, int w, int h, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setGeometry(x, y, w, h);
    return label;
}

QComboBox* makeList(const QStringList& items, const QString& current, int x, int y, int w,
                    QWidget* parent) {
    auto* box = new QComboBox(parent);
    box->addItems(items);
    box->setCurrentIndex(items.indexOf(current));
    box->setGeometry(x, y, w, 22);
    return box;
}

QSlider* makeSlider(int maximum, int tickInterval, int pageStep, int x, int y, int w,
                    QWidget* parent) {
    auto* slider = new QSlider(Qt::Horizontal, parent);
    slider->setRange(0, maximum);
    slider->setTickPosition(QSlider::TicksBelow);
    slider->setTickInterval(tickInterval);
    slider->setPageStep(pageStep);
    slider->setGeometry(x, y, w, 26);
    return slider;
}

QProgressBar* makeLevelBar(int x, int y, int w, QWidget* parent) {
    auto* bar = new QProgressBar(parent);
    bar->setRange(0, 127);
    bar->setValue(0);
    bar->setTextVisible(false);
    bar->setGeometry(x, y, w, 16);
    return bar;
}

// What a radio button draws: its indicator, the spacing and its text (its size
// hint adds margins that would push the second column into the frame).
int drawnWidth(const QRadioButton* button) {
    const QStyle* style = button->style();
    return style->pixelMetric(QStyle::PM_ExclusiveIndicatorWidth, nullptr, button) +
           style->pixelMetric(QStyle::PM_RadioButtonLabelSpacing, nullptr, button) +
           button->fontMetrics().horizontalAdvance(button->text()) + 2;
}

void setTextColor(QLabel* label, const QColor& color) {
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, color);
    label->setPalette(palette);
}

} // namespace

TRadioGroup::TRadioGroup(const QString& caption, const QStringList& items, int columns,
                         QWidget* parent)
    : QGroupBox(caption, parent) {
    for (const QString& text : items) {
        buttons_.push_back(new QRadioButton(text, this));
    }
    // Items fill the columns row by row, like the design's two-column groups;
    // each column is as wide as its widest item, so no text reaches the frame.
    const int left = 6;
    const int gap = 6;
    const int top = 18;
    const int rowHeight = 20;
    std::vector<int> widths(static_cast<std::size_t>(columns), 0);
    for (std::size_t i = 0; i < buttons_.size(); ++i) {
        int& width = widths[i % static_cast<std::size_t>(columns)];
        width = std::max(width, drawnWidth(buttons_[i]));
    }
    int x = left;
    std::vector<int> columnLeft;
    for (int width : widths) {
        columnLeft.push_back(x);
        x += width + gap;
    }
    neededWidth_ = x - gap + kRightMargin;
    for (std::size_t i = 0; i < buttons_.size(); ++i) {
        const std::size_t column = i % static_cast<std::size_t>(columns);
        const int row = static_cast<int>(i) / columns;
        buttons_[i]->setGeometry(columnLeft[column], top + row * rowHeight, widths[column],
                                 buttons_[i]->sizeHint().height());
    }
    platform::TabToCheckedButton({buttons_.begin(), buttons_.end()});
}

int TRadioGroup::ItemIndex() const {
    for (std::size_t i = 0; i < buttons_.size(); ++i) {
        if (buttons_[i]->isChecked()) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

void TRadioGroup::SetItemIndex(int index) {
    buttons_.at(index)->setChecked(true);
}

const char* const TForm3::kWarningText =
    "Possibly too low bitrate - can cause large downsampling and buffer overruns !";

TForm3::TForm3(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint),
      engine_(*this), encoderLibraryPath_(recorder::RecorderMp3Output::DefaultLibraryPath()),
      waitTimer_(new QTimer(this)) {
    setWindowTitle("Recorder");
    setFixedSize(536, 382);
    move(142, 119);
    // The program's windows share one font, the design's 8 points; the controls
    // are placed for it.
    QFont f = font();
    f.setFamilies({"MS Sans Serif", "Sans Serif"});
    f.setPointSize(8);
    setFont(f);
    BuildControls();
    decodedDir_ = [] { return platform::joinPath(platform::musicDir(), "Decoded WAVs"); };
    encodedDir_ = [] { return platform::joinPath(platform::musicDir(), "Compressed MP3"); };
    // Bounds each wait of the capture loop for the next event.
    waitTimer_->setTimerType(Qt::PreciseTimer);
    waitTimer_->setInterval(recorder::CaptureEngine::kWaitSliceMs);
}

TForm3::~TForm3() {
    // A window destroyed during a recording still leaves a finished file.
    engine_.CloseCapture();
    if (wavFd_ >= 0) {
        WriteWaveHeader();
    }
    mp3Output_.reset();
}

void TForm3::BuildControls() {
    // Level bars.
    auto* levels = new QGroupBox(this);
    levels->setGeometry(8, 2, 520, 62);
    makeLabel("Input signal level", 8, 12, 120, 16, levels);
    ProgressBar1 = makeLevelBar(130, 12, 380, levels);
    makeLabel("Switching level", 8, 36, 120, 16, levels);
    ProgressBar2 = makeLevelBar(130, 36, 380, levels);

    // Warning line across the window.
    Label15 = makeLabel("", 0, 66, 536, 32, this);
    Label15->setAlignment(Qt::AlignCenter);
    Label15->setWordWrap(true);
    setTextColor(Label15, kRed);

    // Silence autocut.
    auto* autocut = new QGroupBox(this);
    autocut->setGeometry(8, 100, 264, 132);
    CheckBox1 = new QCheckBox("Silence autocut enabled", autocut);
    CheckBox1->setGeometry(8, 8, 240, 20);
    makeLabel("Switching off intertion", 8, 32, 240, 16, autocut);
    TrackBar2 = makeSlider(50, 1, 10, 8, 48, 248, autocut);
    makeLabel("Switching level", 8, 78, 240, 16, autocut);
    TrackBar1 = makeSlider(127, 12, 22, 8, 94, 248, autocut);

    // Status lines.
    makeLabel("State:", 282, 104, 96, 18, this);
    Label2 = makeLabel("...", 380, 104, 148, 18, this);
    QFont bold = Label2->font();
    bold.setBold(true);
    Label2->setFont(bold);
    makeLabel("Last record:", 282, 124, 96, 18, this);
    // Two lines: during Start this is also the status line, whose texts are long.
    Label1 = makeLabel("....", 380, 124, 154, 36, this);
    Label1->setWordWrap(true);
    Label1->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    makeLabel("Total written:", 282, 160, 96, 18, this);
    Label10 = makeLabel(".....", 380, 160, 148, 18, this);
    makeLabel("Buffer overruns:", 282, 180, 96, 18, this);
    Label13 = makeLabel(".....", 380, 180, 148, 18, this);
    setTextColor(Label13, kRed);

    // Capture format.
    RadioGroup1 = new TRadioGroup("Mode", {"Mono", "Stereo"}, 2, this);
    RadioGroup1->SetItemIndex(1);
    RadioGroup2 = new TRadioGroup("Sampling depth", {"8 bit", "16 bit"}, 2, this);
    RadioGroup2->SetItemIndex(1);
    // The two groups share the 264 pixels under the autocut frame, 8 apart; the
    // first takes what its items need when that is more than half.
    const int modeWidth =
        std::max(128, std::min(RadioGroup1->NeededWidth(), 256 - RadioGroup2->NeededWidth()));
    RadioGroup1->setGeometry(8, 236, modeWidth, 46);
    RadioGroup2->setGeometry(16 + modeWidth, 236, 256 - modeWidth, 46);
    makeLabel("Frequency", 8, 292, 70, 22, this);
    ComboBox1 = makeList(kFrequencies, "44100", 80, 292, 80, this);

    // MP3 on the fly.
    auto* mp3 = new QGroupBox(this);
    mp3->setGeometry(280, 204, 248, 138);
    CheckBox2 = new QCheckBox("Compress to MP3 on fly ", mp3);
    CheckBox2->setGeometry(8, 8, 232, 20);
    ComboBox2 = makeList(kBitrates, "128", 8, 32, 56, mp3);
    QLabel* bitrateLabel = makeLabel("Bitrate (KBit/sec)", 68, 32, 110, 22, mp3);
    // "Use VBR" follows the caption's text and keeps clear of the frame.
    CheckBox3 = new QCheckBox("Use VBR", mp3);
    const int vbrWidth = CheckBox3->sizeHint().width();
    const int captionEnd = 68 + bitrateLabel->fontMetrics().horizontalAdvance(bitrateLabel->text());
    CheckBox3->setGeometry(captionEnd + 6, 32, vbrWidth, 22);
    ComboBox3 = makeList(kBitrates, "128", 8, 60, 56, mp3);
    makeLabel("Max bitrate", 68, 60, 80, 22, mp3);
    ComboBox4 = makeList(kBitrates, "128", 8, 88, 56, mp3);
    makeLabel("Min bitrate", 68, 88, 80, 22, mp3);
    TrackBar3 = makeSlider(9, 1, 1, 8, 110, 150, mp3);
    TrackBar3->setValue(4);
    makeLabel("VBR Quality", 162, 112, 80, 18, mp3);
    ComboBox3->setEnabled(false);
    ComboBox4->setEnabled(false);
    TrackBar3->setEnabled(false);

    // Start, Stop, output name.
    SpeedButton1 = new QPushButton("Start", this);
    SpeedButton1->setGeometry(8, 348, 70, 26);
    SpeedButton2 = new QPushButton("Stop", this);
    SpeedButton2->setGeometry(84, 348, 70, 26);
    // Start and Stop are pressed by a click or by Space when they have the focus;
    // neither answers Enter as a dialog's default button would, so Enter in the
    // name field starts nothing.
    for (QPushButton* button : {SpeedButton1, SpeedButton2}) {
        button->setAutoDefault(false);
        button->setDefault(false);
        button->setFocusPolicy(Qt::StrongFocus);
    }
    makeLabel("Output file:", 164, 352, 72, 18, this);
    Edit1 = new QLineEdit(this);
    Edit1->setGeometry(238, 350, 290, 22);

    connect(TrackBar1, &QSlider::valueChanged, this, [this] { TrackBar1Change(); });
    connect(CheckBox2, &QCheckBox::toggled, this, [this] { CheckBox2Click(); });
    connect(CheckBox3, &QCheckBox::toggled, this, [this] { CheckBox3Click(); });
    connect(ComboBox3, &QComboBox::activated, this, [this] { ComboBox3Change(); });
    connect(ComboBox4, &QComboBox::activated, this, [this] { ComboBox4Change(); });
    connect(SpeedButton1, &QPushButton::clicked, this, [this] { SpeedButton1Click(); });
    connect(SpeedButton2, &QPushButton::clicked, this, [this] { SpeedButton2Click(); });
}

void TForm3::SetOutputDirectories(std::function<std::string()> decodedDir,
                                  std::function<std::string()> encodedDir) {
    decodedDir_ = std::move(decodedDir);
    encodedDir_ = std::move(encodedDir);
}

void TForm3::TrackBar1Change() {
    ProgressBar2->setValue(TrackBar1->value());
}

void TForm3::CheckBox2Click() {
    if (CheckBox2->isChecked()) {
        RadioGroup1->SetItemIndex(1);
        RadioGroup1->repaint();
    }
}

void TForm3::CheckBox3Click() {
    bool vbr = CheckBox3->isChecked();
    ComboBox2->setEnabled(!vbr);
    ComboBox3->setEnabled(vbr);
    ComboBox4->setEnabled(vbr);
    TrackBar3->setEnabled(vbr);
}

void TForm3::ComboBox3Change() {
    if (ComboBox3->currentIndex() < ComboBox4->currentIndex()) {
        ComboBox3->setCurrentIndex(ComboBox4->currentIndex());
    }
}

void TForm3::ComboBox4Change() {
    if (ComboBox3->currentIndex() < ComboBox4->currentIndex()) {
        ComboBox4->setCurrentIndex(ComboBox3->currentIndex());
    }
}

void TForm3::SpeedButton2Click() {
    engine_.RequestStop();
}

void TForm3::FormCloseQuery(bool& canClose) {
    engine_.RequestStop();
    canClose = true;
}

void TForm3::closeEvent(QCloseEvent* event) {
    bool canClose = true;
    FormCloseQuery(canClose);
    if (recording_) {
        // The recording ends as by Stop; the window closes once its file is finished.
        closeRequested_ = true;
        event->ignore();
        return;
    }
    event->accept();
    QDialog::done(QDialog::Rejected);
}

void TForm3::keyPressEvent(QKeyEvent* event) {
    // Escape does not close the recorder: only Stop or the close button end
    // a recording.
    if (event->key() == Qt::Key_Escape) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void TForm3::reject() {
    close();
}

std::string TForm3::MakeOutputName() {
    std::string name = QFile::encodeName(Edit1->text()).toStdString();
    if (name.empty()) {
        platform::messageBox(this, "Can't create output file !", "Error", platform::Ok,
                             platform::Icon::Error);
        return "";
    }
    const bool mp3 = CheckBox2->isChecked();
    // "./" anywhere marks a name relative to the current directory; an absolute
    // name stands as it is. Every other name goes into the settings directory.
    if (name.find("./") == std::string::npos && name.front() != '/') {
        std::string dir = mp3 ? encodedDir_() : decodedDir_();
        name = platform::joinPath(dir, name);
    }
    std::size_t slash = name.rfind('/');
    std::size_t dot = name.rfind('.');
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) {
        name.erase(dot);
    }
    name += mp3 ? ".MP3" : ".WAV";

    int fd = -1;
    if (!platform::isReadOnlyFile(name)) {
        fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    }
    if (fd < 0) {
        platform::messageBox(this, "Can't create output file !", "Error", platform::Ok,
                             platform::Icon::Error);
        return "";
    }
    ::close(fd);
    ::unlink(name.c_str());
    return name;
}

void TForm3::SetRecordingState() {
    if (CheckBox2->isChecked()) {
        // The encoder takes 16-bit samples only.
        RadioGroup2->SetItemIndex(1);
        RadioGroup2->repaint();
    }
    // Stop first: Start, pressed from the keyboard, hands its focus to Stop
    // rather than to whatever control follows it.
    SpeedButton2->setEnabled(true);
    if (SpeedButton1->hasFocus()) {
        SpeedButton2->setFocus(Qt::OtherFocusReason);
    }
    Edit1->setEnabled(false);
    SpeedButton1->setEnabled(false);
    RadioGroup1->setEnabled(false);
    RadioGroup2->setEnabled(false);
    ComboBox1->setEnabled(false);
    ComboBox2->setEnabled(false);
    ComboBox3->setEnabled(false);
    ComboBox4->setEnabled(false);
    TrackBar3->setEnabled(false);
    CheckBox1->setEnabled(false);
    CheckBox2->setEnabled(false);
    CheckBox3->setEnabled(false);
    SpeedButton2->setEnabled(true);
    TrackBar1->setEnabled(true);
    TrackBar2->setEnabled(true);
}

void TForm3::SetIdleState() {
    SetStateText("Stopped", kBlack);
    Edit1->setEnabled(true);
    SpeedButton1->setEnabled(true);
    if (SpeedButton2->hasFocus()) {
        SpeedButton1->setFocus(Qt::OtherFocusReason);
    }
    RadioGroup1->setEnabled(true);
    RadioGroup2->setEnabled(true);
    ComboBox1->setEnabled(true);
    CheckBox1->setEnabled(true);
    CheckBox2->setEnabled(true);
    CheckBox3->setEnabled(true);
    SpeedButton2->setEnabled(false);
    if (CheckBox3->isChecked()) {
        ComboBox3->setEnabled(true);
        ComboBox4->setEnabled(true);
        TrackBar3->setEnabled(true);
    } else {
        ComboBox2->setEnabled(true);
    }
}

platform::WaveFormat TForm3::CaptureFormat() const {
    auto channels = static_cast<std::uint16_t>(RadioGroup1->ItemIndex() == 0 ? 1 : 2);
    auto bits = static_cast<std::uint16_t>(RadioGroup2->ItemIndex() == 0 ? 8 : 16);
    return platform::WaveFormat::pcm(ComboBox1->currentText().toUInt(), channels, bits);
}

recorder::RecorderMp3Settings TForm3::Mp3Settings() const {
    recorder::RecorderMp3Settings settings;
    settings.sampleRate = format_.samplesPerSec;
    settings.mono = RadioGroup1->ItemIndex() == 0;
    settings.vbr = CheckBox3->isChecked();
    settings.bitrate = ComboBox2->currentText().toUInt();
    settings.maxBitrate = ComboBox3->currentText().toUInt();
    settings.minBitrate = ComboBox4->currentText().toUInt();
    settings.qualityPosition = TrackBar3->value();
    return settings;
}

void TForm3::UpdateLowBitrateWarning(const platform::WaveFormat& format) {
    QComboBox* list = CheckBox3->isChecked() ? ComboBox3 : ComboBox2;
    std::uint32_t bitrate = list->currentText().toUInt();
    // The PCM rate in kbit/s divided by 12.
    std::uint32_t limit = format.avgBytesPerSec * 8 / 12000;
    Label15->setText(bitrate < limit ? QString(kWarningText) : QString());
}

void TForm3::SpeedButton1Click() {
    if (recording_) {
        return;
    }
    mp3_ = CheckBox2->isChecked();
    engine_.BeginRun(CheckBox1->isChecked());
    closeRequested_ = false;

    outputName_ = MakeOutputName();
    if (outputName_.empty()) {
        return;
    }
    recording_ = true;
    // The computer stays awake while it records, and the length of a recording
    // is taken from the moment capture is asked for.
    platform::Inhibitor awake = platform::services().sleepInhibitor->inhibit("Recording");
    const std::uint32_t startedAt = platform::services().clock->milliseconds();
    SetRecordingState();
    format_ = CaptureFormat();
    UpdateLowBitrateWarning(format_);

    const std::string recordedAt = tags::LocalTimestamp();
    if (!engine_.OpenCapture(format_, platform::makeWaveIn())) {
        recording_ = false;
        SetIdleState();
        if (closeRequested_) {
            close();
        }
        return;
    }

    bool outputOpen = true;
    if (mp3_) {
        mp3Output_ = std::make_unique<recorder::RecorderMp3Output>(encoderLibraryPath_);
        if (!mp3Output_->LoadEncoderLibrary()) {
            platform::messageBox(this, "Can't init LAME codec !", "Error", platform::Ok,
                                 platform::Icon::None);
        }
        if (!mp3Output_->OpenEncoderStream(outputName_, Mp3Settings())) {
            platform::messageBox(this, "Can't open output ", "Error", platform::Ok,
                                 platform::Icon::None);
        }
    } else {
        outputOpen = OpenWaveOutput();
    }

    if (outputOpen) {
        engine_.CaptureLoop();
    } else {
        // The file could not be created although the name test passed a moment
        // ago: nothing to record into.
        platform::messageBox(this, "Can't create output file !", "Error", platform::Ok,
                             platform::Icon::Error);
    }
    waitTimer_->stop();
    engine_.CloseCapture();

    const bool fileWritten = mp3Output_ ? mp3Output_->StreamOpen() : wavFd_ >= 0;
    if (mp3Output_) {
        mp3Output_->CloseEncoderStream();
        mp3Output_->UnloadEncoderLibrary();
        mp3Output_.reset();
    } else if (wavFd_ >= 0) {
        WriteWaveHeader();
    }
    if (fileWritten) {
        tags::TagSet tags;
        tags.date = recordedAt;
        tags::TagFile(outputName_, tags);
    }
    awake.release();
    recording_ = false;
    SetIdleState();
    if (fileWritten) {
        NotifyRecorded(platform::services().clock->milliseconds() - startedAt);
    }
    if (closeRequested_) {
        closeRequested_ = false;
        close();
    }
}

void TForm3::NotifyRecorded(std::uint32_t milliseconds) {
    if (milliseconds <= kNotifiedRecordingMs || (notifySource_ && !notifySource_())) {
        return;
    }
    const std::uint32_t seconds = milliseconds / 1000;
    char length[32];
    std::snprintf(length, sizeof length, "%u:%02u", seconds / 60, seconds % 60);
    platform::services().notifier->notify({"Recording finished",
                                           platform::fileName(outputName_) + " (" + length + ")",
                                           platform::parentDir(outputName_)});
}

bool TForm3::OpenWaveOutput() {
    if (platform::isReadOnlyFile(outputName_)) {
        return false;
    }
    wavFd_ = ::open(outputName_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (wavFd_ < 0) {
        return false;
    }
    // The header's 44 bytes are reserved now and written when recording stops.
    const std::uint8_t reserved[codec::kWavHeaderSize] = {};
    platform::writeAll(wavFd_, reserved, sizeof reserved);
    wavDataBytes_ = 0;
    return true;
}

void TForm3::WriteWaveHeader() {
    codec::AudioFormat format{format_.samplesPerSec, format_.channels, format_.bitsPerSample};
    codec::FinishWavFile(wavFd_, format);
    ::close(wavFd_);
    wavFd_ = -1;
}

int TForm3::SwitchingLevel() {
    return ProgressBar2->value();
}

int TForm3::InertiaPosition() {
    return TrackBar2->value();
}

void TForm3::ShowStatus(const std::string& text) {
    Label1->setText(QString::fromStdString(text));
    Label1->repaint();
}

void TForm3::ShowLevel(int level) {
    // The bar ends at 127; the loudest level, 128, shows as full.
    ProgressBar1->setValue(std::min(level, ProgressBar1->maximum()));
}

void TForm3::ShowOverruns(std::uint32_t overruns) {
    Label13->setText(QString::number(overruns));
}

void TForm3::ShowWritten(std::uint64_t writtenBuffers, std::uint32_t bufferSize) {
    Label10->setText(QString::number(writtenBuffers * bufferSize / 1024) + " Kb");
}

void TForm3::ShowTake(std::uint64_t takeBuffers, std::uint32_t bufferSize) {
    Label1->setText(QString::number(takeBuffers * bufferSize / 1024) + " Kb");
}

void TForm3::ShowGateState(bool gateOpen) {
    if (gateOpen) {
        SetStateText("Recording", kRed);
    } else {
        SetStateText("Ignoring silence", kBlue);
    }
}

void TForm3::SignalPause() {
    SetStateBackground(kLime);
    Label2->repaint();
    SetStateBackground(kSilver);
    Label2->repaint();
}

void TForm3::SetStateText(const QString& text, const QColor& color) {
    Label2->setText(text);
    // Called after every buffer: a palette change repaints and notifies, so it
    // is only made when the colour changes.
    if (Label2->palette().color(QPalette::WindowText) != color) {
        setTextColor(Label2, color);
    }
}

void TForm3::SetStateBackground(const QColor& color) {
    QPalette palette = Label2->palette();
    palette.setColor(QPalette::Window, color);
    Label2->setPalette(palette);
    Label2->setAutoFillBackground(true);
}

void TForm3::WriteOutput(const std::uint8_t* data, std::uint32_t length) {
    if (mp3Output_) {
        mp3Output_->EncodeBuffer(data, length);
        return;
    }
    if (wavFd_ < 0) {
        return;
    }
    // Past what a WAV header can describe the file would no longer match its
    // header; the recording goes on without appending.
    if (wavDataBytes_ + length > kMaxWavData) {
        return;
    }
    // The WAV output keeps recording after a failed write. A buffer written only in
    // part (a full disk) is taken back, so the file holds whole buffers and the
    // later ones stay in step with the frames.
    const auto end = static_cast<off_t>(codec::kWavHeaderSize + wavDataBytes_);
    if (!platform::writeAll(wavFd_, data, length)) {
        if (::ftruncate(wavFd_, end) == 0) {
            ::lseek(wavFd_, end, SEEK_SET);
        }
        return;
    }
    wavDataBytes_ += length;
}

void TForm3::ProcessEvents(int maxWaitMs) {
    if (maxWaitMs <= 0) {
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        return;
    }
    // Sleeps until the next event; the running wait timer makes sure one comes
    // within a few milliseconds, so the loop looks at its buffer again soon.
    if (!waitTimer_->isActive()) {
        waitTimer_->start();
    }
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
}
