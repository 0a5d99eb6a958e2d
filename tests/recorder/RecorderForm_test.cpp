#include <gtest/gtest.h>

#include <QApplication>
#include <QTest>

#include <QCheckBox>
#include <QComboBox>
#include <QEvent>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QStyle>
#include <QTimer>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <functional>

#include "AlsaFileDevice.h"
#include "FakeServices.h"
#include "TabStops.h"
#include "TestEnv.h"
#include "WaveInDoubles.h"
#include "codec/WavFormat.h"
#include "recorder/RecorderForm.h"
#include "tags/Tags.h"

namespace {

// The window with a hook that presses Stop (or closes the window) after a given
// number of capture cycles, and a safety stop so no test can hang.
class TestForm : public TForm3 {
public:
    int stopAfterCycles = -1;
    bool closeInsteadOfStop = false;
    int cycles = 0;
    int waits = 0;
    std::function<void(const std::string&)> onStatus;
    std::function<void(int)> onCycle;       // called with each capture cycle's number
    std::vector<QColor> paintedBackgrounds; // state label background at each paint

    TestForm() {
        Label2->installEventFilter(this);
        SetOutputDirectories([this] { return decoded; }, [this] { return encoded; });
    }
    std::string decoded = testenv::makeDir("decoded");
    std::string encoded = testenv::makeDir("encoded");

    // Runs Start with a bound: after `ms` the recording is stopped and the test fails.
    void start(int ms = 20000) {
        QTimer safety;
        safety.setSingleShot(true);
        QObject::connect(&safety, &QTimer::timeout, [this] {
            ADD_FAILURE() << "recording did not end";
            SpeedButton2Click();
        });
        safety.start(ms);
        SpeedButton1Click();
    }

protected:
    void ProcessEvents(int maxWaitMs) override {
        waits += maxWaitMs > 0;
        TForm3::ProcessEvents(maxWaitMs);
    }
    void ShowStatus(const std::string& text) override {
        TForm3::ShowStatus(text);
        if (onStatus) {
            onStatus(text);
        }
    }
    void ShowGateState(bool open) override {
        TForm3::ShowGateState(open);
        if (onCycle) {
            onCycle(cycles + 1);
        }
        if (++cycles == stopAfterCycles) {
            if (closeInsteadOfStop) {
                close();
            } else {
                SpeedButton2Click();
            }
        }
    }
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == Label2 && event->type() == QEvent::Paint) {
            paintedBackgrounds.push_back(Label2->palette().color(QPalette::Window));
        }
        return TForm3::eventFilter(watched, event);
    }
};

struct WavFile {
    codec::WavHeader header;
    std::string data;
    std::uint64_t size = 0;
    bool ok = false;
};

WavFile readWav(const std::string& path) {
    WavFile wav;
    std::string bytes = testenv::readFile(path);
    wav.size = bytes.size();
    int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0) {
        return wav;
    }
    wav.ok = codec::ReadWavHeader(fd, wav.header);
    ::close(fd);
    if (wav.ok && wav.header.dataOffset <= bytes.size()) {
        wav.data = bytes.substr(wav.header.dataOffset, wav.header.dataSize);
    }
    return wav;
}

std::uint32_t le32(const std::string& s, std::size_t at) {
    auto b = [&](std::size_t i) { return static_cast<std::uint32_t>(std::uint8_t(s[at + i])); };
    return b(0) | (b(1) << 8) | (b(2) << 16) | (b(3) << 24);
}

// The file carries the time its recording started, as ffprobe and the tag reader see it.
void expectRecordingDate(const std::string& path, const std::string& before,
                         const std::string& after) {
    const std::string date = tags::ReadTags(path).date;
    EXPECT_GE(date, before);
    EXPECT_LE(date, after);
    EXPECT_EQ(date.size(), 19u) << date;
    const std::string probed = testenv::probeTags(path)["date"];
    EXPECT_EQ(probed.substr(0, 10), date.substr(0, 10)) << probed;
}

void selectText(QComboBox* box, const QString& text) {
    box->setCurrentIndex(box->findText(text));
    ASSERT_GE(box->currentIndex(), 0) << text.toStdString();
}

} // namespace

TEST(RecorderForm, WindowAndControlsAsDesigned) {
    testenv::FakeServices services;
    TForm3 form;
    EXPECT_EQ(form.windowTitle(), "Recorder");
    EXPECT_EQ(form.size(), QSize(536, 382));
    EXPECT_EQ(form.minimumSize(), form.maximumSize());
    EXPECT_EQ(form.pos(), QPoint(142, 119));

    EXPECT_EQ(form.ProgressBar1->maximum(), 127);
    EXPECT_EQ(form.ProgressBar2->value(), 0);
    EXPECT_EQ(form.CheckBox1->text(), "Silence autocut enabled");
    EXPECT_EQ(form.TrackBar2->maximum(), 50);
    EXPECT_EQ(form.TrackBar1->maximum(), 127);
    EXPECT_EQ(form.TrackBar1->tickInterval(), 12);
    EXPECT_EQ(form.TrackBar1->pageStep(), 22);
    EXPECT_EQ(form.RadioGroup1->title(), "Mode");
    EXPECT_EQ(form.RadioGroup1->Item(0)->text(), "Mono");
    EXPECT_EQ(form.RadioGroup1->ItemIndex(), 1);
    EXPECT_EQ(form.RadioGroup2->title(), "Sampling depth");
    EXPECT_EQ(form.RadioGroup2->Item(0)->text(), "8 bit");
    EXPECT_EQ(form.RadioGroup2->ItemIndex(), 1);
    EXPECT_EQ(form.ComboBox1->count(), 9);
    EXPECT_EQ(form.ComboBox1->currentText(), "44100");
    EXPECT_EQ(form.CheckBox2->text(), "Compress to MP3 on fly ");
    EXPECT_EQ(form.ComboBox2->count(), 14);
    EXPECT_EQ(form.ComboBox2->itemText(0), "32");
    EXPECT_EQ(form.ComboBox2->itemText(13), "320");
    EXPECT_EQ(form.ComboBox2->currentText(), "128");
    EXPECT_FALSE(form.ComboBox3->isEnabled());
    EXPECT_FALSE(form.ComboBox4->isEnabled());
    EXPECT_EQ(form.TrackBar3->value(), 4);
    EXPECT_FALSE(form.TrackBar3->isEnabled());
    EXPECT_EQ(form.Edit1->text(), "");
    EXPECT_EQ(form.SpeedButton1->text(), "Start");
    EXPECT_TRUE(form.SpeedButton2->isEnabled());
    EXPECT_EQ(form.Label2->text(), "...");
    EXPECT_EQ(form.Label1->text(), "....");
    EXPECT_EQ(form.Label10->text(), ".....");
    EXPECT_EQ(form.Label13->text(), ".....");
    EXPECT_EQ(form.Label13->palette().color(QPalette::WindowText), QColor(255, 0, 0));
    form.grab().save(QString::fromStdString(testenv::appDir() + "recorder-window.png"));
}

// Every choice is drawn whole with room before its frame's edge.
TEST(RecorderForm, ChoicesAreNotClipped) {
    testenv::FakeServices services;
    TForm3 form;
    for (TRadioGroup* group : {form.RadioGroup1, form.RadioGroup2}) {
        for (int i = 0; i < group->Count(); ++i) {
            QRadioButton* item = group->Item(i);
            const int drawn = item->style()->pixelMetric(QStyle::PM_ExclusiveIndicatorWidth) +
                              item->style()->pixelMetric(QStyle::PM_RadioButtonLabelSpacing) +
                              item->fontMetrics().horizontalAdvance(item->text());
            EXPECT_GE(item->width(), drawn) << item->text().toStdString();
            EXPECT_LE(item->geometry().right(), group->width() - 1 - 4)
                << item->text().toStdString();
        }
    }
    EXPECT_LE(form.RadioGroup1->geometry().right(), form.RadioGroup2->x() - 4);
    EXPECT_EQ(form.RadioGroup2->geometry().right(), 271);

    QWidget* mp3 = form.CheckBox3->parentWidget();
    EXPECT_GE(form.CheckBox3->width(), form.CheckBox3->sizeHint().width());
    EXPECT_LE(form.CheckBox3->geometry().right(), mp3->width() - 1 - 4);
}

TEST(RecorderForm, HandlersKeepTheControlsConsistent) {
    testenv::FakeServices services;
    TForm3 form;
    form.TrackBar1->setValue(77);
    EXPECT_EQ(form.ProgressBar2->value(), 77);

    form.RadioGroup1->SetItemIndex(0);
    form.CheckBox2->setChecked(true);
    EXPECT_EQ(form.RadioGroup1->ItemIndex(), 1);
    form.RadioGroup1->SetItemIndex(0);
    form.CheckBox2->setChecked(false);
    EXPECT_EQ(form.RadioGroup1->ItemIndex(), 0);

    form.CheckBox3->setChecked(true);
    EXPECT_FALSE(form.ComboBox2->isEnabled());
    EXPECT_TRUE(form.ComboBox3->isEnabled());
    EXPECT_TRUE(form.ComboBox4->isEnabled());
    EXPECT_TRUE(form.TrackBar3->isEnabled());

    // The maximum cannot go below the minimum, nor the minimum above the maximum.
    selectText(form.ComboBox3, "64");
    form.ComboBox3Change();
    EXPECT_EQ(form.ComboBox3->currentText(), "128");
    selectText(form.ComboBox4, "320");
    form.ComboBox4Change();
    EXPECT_EQ(form.ComboBox4->currentText(), "128");
    selectText(form.ComboBox3, "256");
    form.ComboBox3Change();
    selectText(form.ComboBox4, "192");
    form.ComboBox4Change();
    EXPECT_EQ(form.ComboBox3->currentText(), "256");
    EXPECT_EQ(form.ComboBox4->currentText(), "192");

    form.CheckBox3->setChecked(false);
    EXPECT_TRUE(form.ComboBox2->isEnabled());
    EXPECT_FALSE(form.ComboBox3->isEnabled());
    EXPECT_FALSE(form.TrackBar3->isEnabled());
}

TEST(RecorderForm, OutputNames) {
    testenv::FakeServices services;
    TestForm form;
    std::string cwd = testenv::makeDir("cwd");
    ASSERT_EQ(chdir(cwd.c_str()), 0);
    struct Case {
        QString text;
        bool mp3;
        std::string expected; // "" = refused with the box
    };
    std::string absolute = testenv::makeDir("rec");
    std::vector<Case> cases = {
        {"take1", true, form.encoded + "/take1.MP3"},
        {"take1", false, form.decoded + "/take1.WAV"},
        {QString::fromStdString(absolute + "/take1.wav"), false, absolute + "/take1.WAV"},
        {"./take2", false, "./take2.WAV"},
        {"my.take", false, form.decoded + "/my.WAV"},
        {"some.dir/take", true, ""}, // no sub-directory some.dir in the settings directory
        {"", false, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text.toStdString());
        form.Edit1->setText(c.text);
        form.CheckBox2->setChecked(c.mp3);
        std::size_t boxes = services.dialogs->shown.size();
        EXPECT_EQ(form.MakeOutputName(), c.expected);
        if (c.expected.empty()) {
            ASSERT_EQ(services.dialogs->shown.size(), boxes + 1);
            EXPECT_EQ(services.dialogs->shown.back().text, "Can't create output file !");
            EXPECT_EQ(services.dialogs->shown.back().caption, "Error");
            EXPECT_EQ(services.dialogs->shown.back().icon, platform::Icon::Error);
        } else {
            EXPECT_EQ(services.dialogs->shown.size(), boxes);
            // The name test leaves nothing behind.
            EXPECT_FALSE(testenv::fileExists(c.expected));
        }
    }
    testenv::makeDir("decoded/some.dir");
    form.Edit1->setText("some.dir/take");
    form.CheckBox2->setChecked(false);
    EXPECT_EQ(form.MakeOutputName(), form.decoded + "/some.dir/take.WAV");

    // An existing file is gone after the name test; a read-only one and a
    // directory are refused.
    testenv::writeFile(form.decoded + "/old.WAV", "old");
    form.Edit1->setText("old");
    EXPECT_EQ(form.MakeOutputName(), form.decoded + "/old.WAV");
    EXPECT_FALSE(testenv::fileExists(form.decoded + "/old.WAV"));
    testenv::writeFile(form.decoded + "/locked.WAV", "keep");
    chmod((form.decoded + "/locked.WAV").c_str(), 0444);
    form.Edit1->setText("locked");
    EXPECT_EQ(form.MakeOutputName(), "");
    EXPECT_EQ(testenv::readFile(form.decoded + "/locked.WAV"), "keep");
    testenv::makeDir("decoded/folder.WAV");
    form.Edit1->setText("folder");
    EXPECT_EQ(form.MakeOutputName(), "");
}

TEST(RecorderForm, NoCaptureDeviceShowsTheCodeAndReturnsToIdle) {
    testenv::FakeServices services;
    setenv("TUNEWRIGHT_WAVE_DEVICE", "tw_no_such_capture_device", 1);
    TestForm form;
    form.Edit1->setText("nodevice");
    form.start();
    unsetenv("TUNEWRIGHT_WAVE_DEVICE");
    EXPECT_EQ(form.Label1->text(), "Opening device - Error Code:2");
    EXPECT_EQ(form.Label2->text(), "Stopped");
    EXPECT_EQ(form.Label2->palette().color(QPalette::WindowText), QColor(0, 0, 0));
    EXPECT_TRUE(form.SpeedButton1->isEnabled());
    EXPECT_FALSE(form.SpeedButton2->isEnabled());
    EXPECT_TRUE(form.Edit1->isEnabled());
    EXPECT_TRUE(form.ComboBox2->isEnabled());
    EXPECT_FALSE(form.Recording());
    EXPECT_TRUE(services.dialogs->shown.empty());
    // The name test removed the file again; nothing was created.
    EXPECT_FALSE(testenv::fileExists(form.decoded + "/nodevice.WAV"));
}

TEST(RecorderForm, LowBitrateWarningAtEveryStart) {
    testenv::FakeServices services;
    setenv("TUNEWRIGHT_WAVE_DEVICE", "tw_no_such_capture_device", 1);
    TestForm form;
    form.Edit1->setText("warn");
    struct Case {
        QString rate;
        int mono, bits8;
        bool vbr;
        QString bitrate;
        bool warns;
    };
    for (const Case& c :
         {Case{"44100", 0, 0, false, "112", true}, Case{"44100", 0, 0, false, "128", false},
          Case{"8000", 1, 1, false, "32", false}, Case{"48000", 0, 0, true, "112", true},
          Case{"48000", 0, 0, true, "128", false}}) {
        SCOPED_TRACE(c.rate.toStdString() + " " + c.bitrate.toStdString());
        selectText(form.ComboBox1, c.rate);
        form.RadioGroup1->SetItemIndex(c.mono ? 0 : 1);
        form.RadioGroup2->SetItemIndex(c.bits8 ? 0 : 1);
        form.CheckBox3->setChecked(c.vbr);
        // With variable rate the maximum is compared; the constant rate is then
        // set to something that would give the other answer.
        selectText(c.vbr ? form.ComboBox3 : form.ComboBox2, c.bitrate);
        if (c.vbr) {
            selectText(form.ComboBox2, c.warns ? "320" : "32");
        }
        form.start();
        EXPECT_EQ(form.Label15->text(), c.warns ? TForm3::kWarningText : "");
    }
    unsetenv("TUNEWRIGHT_WAVE_DEVICE");
    EXPECT_EQ(form.Label15->palette().color(QPalette::WindowText), QColor(255, 0, 0));
}

// Buffers of 17640 bytes with levels 0, 20, 30, ...; each buffer holds one
// constant sample value so it can be found again in the file.
TEST(RecorderForm, AutocutWritesTheBuffersTheGateLetsThrough) {
    testenv::FakeServices services;
    const std::uint32_t B = 17640;
    std::vector<int> levels = {0, 0, 20, 20, 0, 0, 0, 0, 0, 30, 5, 5, 5, 5, 5, 0};
    std::vector<std::int16_t> values;
    for (std::size_t i = 0; i < levels.size(); ++i) {
        values.push_back(static_cast<std::int16_t>(levels[i] * 256 + int(i)));
    }
    std::vector<std::int16_t> padded = values;
    padded.resize(values.size() + 40, 0); // silence after the pattern
    testenv::AlsaFileDevice device(testenv::constantBuffers16(padded, B));

    TestForm form;
    form.Edit1->setText("autocut");
    form.CheckBox1->setChecked(true);
    form.TrackBar1->setValue(10);
    form.TrackBar2->setValue(20); // N = 2
    form.stopAfterCycles = static_cast<int>(values.size()) + 5;
    form.show();
    form.start();

    // Kept: 2, 3 (loud), 4, 5, 6 (the first N + 1 quiet), 9 (loud), 10, 11, 12.
    std::vector<std::int16_t> kept = {values[2], values[3],  values[4],  values[5], values[6],
                                      values[9], values[10], values[11], values[12]};
    WavFile wav = readWav(form.decoded + "/autocut.WAV");
    ASSERT_TRUE(wav.ok);
    EXPECT_EQ(wav.header.channels, 2);
    EXPECT_EQ(wav.header.sampleRate, 44100u);
    EXPECT_EQ(wav.header.bitsPerSample, 16);
    EXPECT_EQ(wav.header.byteRate, 176400u);
    EXPECT_EQ(wav.header.blockAlign, 4);
    EXPECT_EQ(wav.header.dataOffset, 44u);
    EXPECT_EQ(wav.header.dataSize, kept.size() * B);
    // The recording date follows the audio in tag chunks, which the RIFF size counts.
    EXPECT_GT(wav.size, 44 + kept.size() * B);
    EXPECT_EQ(le32(testenv::readFile(form.decoded + "/autocut.WAV"), 4), wav.size - 8);
    EXPECT_EQ(wav.data, [&] {
        auto raw = testenv::constantBuffers16(kept, B);
        return std::string(raw.begin(), raw.end());
    }());

    // Displays after the last cycle: gate closed, state blue on silver after a
    // lime flash at each of the two closings.
    EXPECT_EQ(form.Label2->text(), "Stopped");
    EXPECT_EQ(form.Label10->text(), QString::number(kept.size() * B / 1024) + " Kb");
    EXPECT_EQ(form.Label1->text(), QString::number(1 * B / 1024) + " Kb");
    // The file device is not paced: the ring is often full when a cycle begins.
    EXPECT_EQ(form.Label13->text(), QString::number(form.Engine().Counters().overruns));
    int limes = static_cast<int>(std::count(form.paintedBackgrounds.begin(),
                                            form.paintedBackgrounds.end(), QColor(0, 255, 0)));
    EXPECT_EQ(limes, 2);
    QImage drawn = form.Label2->grab().toImage();
    EXPECT_EQ(QColor(drawn.pixel(1, 1)), QColor(192, 192, 192));
}

TEST(RecorderForm, DisplaysWhileRecording) {
    testenv::FakeServices services;
    const std::uint32_t B = 17640;
    std::vector<std::int16_t> values = {-32768, 0, 0, 0};
    values.resize(50, 0);
    testenv::AlsaFileDevice device(testenv::constantBuffers16(values, B));
    struct Seen {
        int level;
        QString state;
        QColor color;
    };
    std::vector<Seen> seen;
    class Form : public TestForm {
    public:
        std::vector<Seen>* seen;

    protected:
        void ShowGateState(bool open) override {
            TestForm::ShowGateState(open);
            seen->push_back({ProgressBar1->value(), Label2->text(),
                             Label2->palette().color(QPalette::WindowText)});
        }
    } form;
    form.seen = &seen;
    form.Edit1->setText("displays");
    form.CheckBox1->setChecked(true);
    form.TrackBar1->setValue(5);
    form.stopAfterCycles = 3;
    form.start();
    ASSERT_EQ(seen.size(), 3u);
    // The loudest level, 128, fills the bar.
    EXPECT_EQ(seen[0].level, 127);
    EXPECT_EQ(seen[0].state, "Recording");
    EXPECT_EQ(seen[0].color, QColor(255, 0, 0));
    EXPECT_EQ(seen[1].level, 0);
    EXPECT_EQ(seen[1].state, "Ignoring silence");
    EXPECT_EQ(seen[1].color, QColor(0, 0, 255));
}

TEST(RecorderForm, WithoutAutocutEveryBufferIsWrittenInOrder) {
    testenv::FakeServices services;
    // 11025 Hz stereo 8-bit: a tenth of a second is 2205 bytes, cut to 2204.
    const std::uint32_t B = 2204;
    std::vector<std::uint8_t> raw(B * 60);
    for (std::size_t i = 0; i < raw.size(); ++i) {
        raw[i] = static_cast<std::uint8_t>((i * 31 + i / 977) & 0xff);
    }
    testenv::AlsaFileDevice device(raw);
    TestForm form;
    form.Edit1->setText("every");
    selectText(form.ComboBox1, "11025");
    form.RadioGroup2->SetItemIndex(0);
    form.TrackBar1->setValue(127);
    form.stopAfterCycles = 12;
    const std::string before = tags::LocalTimestamp();
    form.start();
    expectRecordingDate(form.decoded + "/every.WAV", before, tags::LocalTimestamp());
    WavFile wav = readWav(form.decoded + "/every.WAV");
    ASSERT_TRUE(wav.ok);
    EXPECT_EQ(wav.header.sampleRate, 11025u);
    EXPECT_EQ(wav.header.channels, 2);
    EXPECT_EQ(wav.header.bitsPerSample, 8);
    EXPECT_EQ(wav.header.blockAlign, 2);
    EXPECT_EQ(wav.header.dataSize, 12 * B);
    EXPECT_EQ(wav.data, std::string(raw.begin(), raw.begin() + 12 * B));
    EXPECT_EQ(form.Label10->text(), QString::number(12 * B / 1024) + " Kb");
}

TEST(RecorderForm, NothingAboveTheSwitchingLevelLeavesAnEmptyWav) {
    testenv::FakeServices services;
    testenv::AlsaFileDevice device(
        testenv::constantBuffers16(std::vector<std::int16_t>(40, 0), 19200));
    TestForm form;
    form.Edit1->setText("silent");
    selectText(form.ComboBox1, "48000");
    form.CheckBox1->setChecked(true);
    form.TrackBar1->setValue(3);
    form.stopAfterCycles = 8;
    form.start();
    std::string file = testenv::readFile(form.decoded + "/silent.WAV");
    ASSERT_EQ(file.size(), 44u);
    EXPECT_EQ(le32(file, 4), 36u);
    EXPECT_EQ(le32(file, 40), 0u);
    EXPECT_EQ(file.substr(0, 4), "RIFF");
}

TEST(RecorderForm, ClosingDuringARecordingFinishesTheFileFirst) {
    testenv::FakeServices services;
    const std::uint32_t B = 1600; // 8000 Hz mono 16-bit
    std::vector<std::int16_t> values(60, 3000);
    testenv::AlsaFileDevice device(testenv::constantBuffers16(values, B));
    TestForm form;
    form.Edit1->setText("closing");
    selectText(form.ComboBox1, "8000");
    form.RadioGroup1->SetItemIndex(0);
    form.show();
    form.stopAfterCycles = 7;
    form.closeInsteadOfStop = true;
    form.start();
    EXPECT_FALSE(form.isVisible());
    EXPECT_FALSE(form.Recording());
    WavFile wav = readWav(form.decoded + "/closing.WAV");
    ASSERT_TRUE(wav.ok);
    EXPECT_EQ(wav.header.dataSize, 7 * B);
    EXPECT_GT(wav.size, 44 + 7 * B) << "tagged with the recording date";
    EXPECT_EQ(le32(testenv::readFile(form.decoded + "/closing.WAV"), 4), wav.size - 8);

    // Stop while idle, then Start: the recording runs normally (and replaces the file).
    form.SpeedButton2Click();
    form.cycles = 0;
    form.stopAfterCycles = 3;
    form.closeInsteadOfStop = false;
    form.start();
    EXPECT_EQ(readWav(form.decoded + "/closing.WAV").header.dataSize, 3 * B);
}

TEST(RecorderForm, AFullDiskKeepsWholeBuffersUnderAHeaderThatDescribesThem) {
    testenv::FakeServices services;
    const std::uint32_t B = 1600; // 8000 Hz mono 16-bit
    std::vector<std::int16_t> values(60, 3000);
    testenv::AlsaFileDevice device(testenv::constantBuffers16(values, B));
    TestForm form;
    form.Edit1->setText("full");
    selectText(form.ComboBox1, "8000");
    form.RadioGroup1->SetItemIndex(0);
    form.stopAfterCycles = 10;

    // A file-size limit makes the fourth buffer's write stop halfway, as a full disk
    // does; the later writes fail at once.
    {
        testenv::FileSizeLimit limit(44 + 3 * B + B / 2);
        form.start();
    }

    const std::string path = form.decoded + "/full.WAV";
    WavFile wav = readWav(path);
    ASSERT_TRUE(wav.ok);
    EXPECT_EQ(wav.size, 44 + 3 * B) << "the half-written buffer is taken back";
    EXPECT_EQ(wav.header.dataSize, 3 * B);
    EXPECT_EQ(testenv::run("test \"$(soxi -s '" + path + "')\" = " + std::to_string(3 * B / 2)), 0);
}

TEST(RecorderForm, AbsentEncoderShowsBothBoxesAndRecordsNothing) {
    testenv::FakeServices services;
    testenv::AlsaFileDevice device(
        testenv::constantBuffers16(std::vector<std::int16_t>(40, 1000), 17640));
    TestForm form;
    form.SetEncoderLibraryPath(testenv::appDir() + "recorder_no_such_lame.so");
    form.Edit1->setText("nolame");
    form.CheckBox2->setChecked(true);
    form.RadioGroup2->SetItemIndex(0);
    // Stop is pressed while the first box is open: the run ends before its first cycle.
    services.dialogs->onBox = [&](const platform::MessageBoxRequest&) { form.SpeedButton2Click(); };
    form.start();
    ASSERT_EQ(services.dialogs->shown.size(), 2u);
    EXPECT_EQ(services.dialogs->shown[0].text, "Can't init LAME codec !");
    EXPECT_EQ(services.dialogs->shown[1].text, "Can't open output ");
    EXPECT_EQ(services.dialogs->shown[1].caption, "Error");
    EXPECT_EQ(services.dialogs->shown[1].icon, platform::Icon::None);
    EXPECT_EQ(form.Engine().Counters().cycles, 0u);
    EXPECT_EQ(form.cycles, 0);
    EXPECT_FALSE(testenv::fileExists(form.encoded + "/nolame.MP3"));
    // MP3 forces 16-bit samples, visibly.
    EXPECT_EQ(form.RadioGroup2->ItemIndex(), 1);
}

// Records a 1 kHz tone through the real encoder library and decodes the file.
TEST(RecorderForm, Mp3RecordingsDecodeToTheRecordedSound) {
    if (testenv::run("command -v ffmpeg > /dev/null") != 0) {
        GTEST_SKIP() << "ffmpeg is needed to decode the recordings";
    }
    struct Case {
        QString rate;
        bool mono;
        bool vbr;
        QString bitrate;
    };
    for (const Case& c : {Case{"44100", false, false, "128"}, Case{"22050", true, false, "64"},
                          Case{"48000", false, true, "192"}, Case{"32000", true, true, "160"}}) {
        std::string label = c.rate.toStdString() + (c.mono ? " mono" : " stereo") +
                            (c.vbr ? " vbr " : " cbr ") + c.bitrate.toStdString();
        SCOPED_TRACE(label);
        testenv::FakeServices services;
        const std::uint32_t rate = c.rate.toUInt();
        const int channels = c.mono ? 1 : 2;
        std::vector<std::uint8_t> raw;
        testenv::appendSine16(raw, rate * 4, channels, 1000.0, rate, 10000.0);
        testenv::AlsaFileDevice device(raw);

        TestForm form;
        std::string name =
            "tone" + std::to_string(rate) + (c.mono ? "m" : "s") + (c.vbr ? "v" : "c");
        form.Edit1->setText(QString::fromStdString(name));
        selectText(form.ComboBox1, c.rate);
        form.CheckBox2->setChecked(true); // selects stereo
        form.RadioGroup1->SetItemIndex(c.mono ? 0 : 1);
        form.CheckBox3->setChecked(c.vbr);
        if (c.vbr) {
            selectText(form.ComboBox4, "96");
            selectText(form.ComboBox3, c.bitrate);
        } else {
            selectText(form.ComboBox2, c.bitrate);
        }
        form.stopAfterCycles = 20; // two seconds
        const std::string before = tags::LocalTimestamp();
        form.start();
        ASSERT_TRUE(services.dialogs->shown.empty()) << services.dialogs->shown[0].text;

        std::string mp3 = form.encoded + "/" + name + ".MP3";
        expectRecordingDate(mp3, before, tags::LocalTimestamp());
        std::string decoded = testenv::root() + name + ".wav";
        ASSERT_EQ(testenv::run("ffmpeg -v error -y -i '" + mp3 + "' '" + decoded + "'"), 0);
        WavFile wav = readWav(decoded);
        ASSERT_TRUE(wav.ok);
        EXPECT_EQ(wav.header.channels, channels);
        EXPECT_EQ(wav.header.sampleRate, rate);
        const std::size_t frames = wav.data.size() / (2 * channels);
        // The LAME tag carries the encoder's delay and padding: exactly two seconds
        // come back, and a variable-rate file states its true length.
        EXPECT_EQ(frames, 2 * rate);
        double probed = 0;
        if (FILE* pipe =
                ::popen(("ffprobe -v error -show_entries format=duration -of csv=p=0 '" + mp3 + "'")
                            .c_str(),
                        "r")) {
            EXPECT_EQ(std::fscanf(pipe, "%lf", &probed), 1);
            ::pclose(pipe);
        }
        EXPECT_NEAR(probed, 2.0, 0.1);

        // The tone: 1 kHz from its rising zero crossings, amplitude from its RMS,
        // over the middle of the recording.
        const auto* s = reinterpret_cast<const std::uint8_t*>(wav.data.data());
        std::size_t from = rate / 4, to = rate * 7 / 4;
        int rising = 0;
        double energy = 0;
        for (std::size_t f = from; f < to; ++f) {
            int a = testenv::sample16(s + 2 * channels * (f - 1));
            int b = testenv::sample16(s + 2 * channels * f);
            rising += (a < 0 && b >= 0);
            energy += double(b) * b;
        }
        double frequency = rising / (double(to - from) / rate);
        EXPECT_NEAR(frequency, 1000.0, 10.0);
        EXPECT_NEAR(std::sqrt(energy / double(to - from)), 10000.0 / std::sqrt(2.0), 700.0);
    }
}

// The real-time device double: a recording at real pace has no overruns and the
// counters agree with the file.
TEST(RecorderForm, PacedRecordingHasNoOverruns) {
    testenv::FakeServices services;
    auto previous =
        platform::installWaveInFactory([] { return std::make_unique<testenv::PacedWaveIn>(); });
    TestForm form;
    form.Edit1->setText("paced");
    selectText(form.ComboBox1, "8000");
    form.stopAfterCycles = 6;
    form.start();
    platform::installWaveInFactory(previous);
    EXPECT_EQ(form.Label13->text(), "0");
    WavFile wav = readWav(form.decoded + "/paced.WAV");
    ASSERT_TRUE(wav.ok);
    EXPECT_EQ(wav.header.dataSize, 6u * 3200);
}

// A device that never returns a buffer: the wait sleeps between looks instead of
// spinning, keeps the window responsive, and Stop ends the recording.
TEST(RecorderForm, StopEndsARecordingFromADeviceThatDeliversNothing) {
    testenv::FakeServices services;
    auto state = std::make_shared<testenv::ManualWaveInState>();
    auto previous = platform::installWaveInFactory(
        [state] { return std::make_unique<testenv::ManualWaveIn>(state); });
    TestForm form;
    form.Edit1->setText("stalled");
    QTimer::singleShot(300, &form, [&] { form.SpeedButton2->click(); });
    form.start();
    platform::installWaveInFactory(previous);
    EXPECT_FALSE(form.Recording());
    EXPECT_EQ(form.cycles, 0);
    EXPECT_GT(form.waits, 10);
    EXPECT_LT(form.waits, 300); // a few milliseconds per wait, not a busy loop
    EXPECT_EQ(state->preparedAtClose, 0);
    std::string file = testenv::readFile(form.decoded + "/stalled.WAV");
    ASSERT_EQ(file.size(), 44u);
    EXPECT_EQ(le32(file, 40), 0u);
    EXPECT_EQ(form.Label2->text(), "Stopped");
}

// The WAV file cannot be created although the name test passed: the error box,
// the capture closed, the window idle.
TEST(RecorderForm, AWavFileThatCannotBeCreatedAtStartEndsTheRun) {
    testenv::FakeServices services;
    auto state = std::make_shared<testenv::ManualWaveInState>();
    auto previous = platform::installWaveInFactory(
        [state] { return std::make_unique<testenv::ManualWaveIn>(state); });
    TestForm form;
    form.Edit1->setText("vanished");
    // Between the name test and the creation a directory takes the name.
    form.onStatus = [&](const std::string& text) {
        if (text == "Initialization Ok") {
            testenv::makeDir("decoded/vanished.WAV");
        }
    };
    form.start();
    platform::installWaveInFactory(previous);
    ASSERT_EQ(services.dialogs->shown.size(), 1u);
    EXPECT_EQ(services.dialogs->shown[0].text, "Can't create output file !");
    EXPECT_EQ(form.cycles, 0);
    EXPECT_FALSE(state->open);
    EXPECT_EQ(state->preparedAtClose, 0);
    EXPECT_TRUE(form.SpeedButton1->isEnabled());
    EXPECT_FALSE(form.Recording());
}

TEST(RecorderForm, KeyboardStartsAndStopsWithSpaceOnlyOnTheButtons) {
    testenv::FakeServices services;
    auto state = std::make_shared<testenv::ManualWaveInState>();
    auto previous = platform::installWaveInFactory(
        [state] { return std::make_unique<testenv::ManualWaveIn>(state); });
    TestForm form;
    form.show();
    form.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&form));

    // Tab reaches both buttons, and enters each choice group at its checked
    // button only (Space there then changes nothing), whichever is checked; the
    // arrow keys still move the choice.
    std::set<QWidget*> stops = testenv::tabStops(form.Edit1);
    EXPECT_TRUE(stops.count(form.SpeedButton1));
    EXPECT_TRUE(stops.count(form.SpeedButton2));
    for (TRadioGroup* group : {form.RadioGroup1, form.RadioGroup2}) {
        SCOPED_TRACE(group->title().toStdString());
        for (int checked : {1, 0}) {
            group->Item(checked)->click();
            stops = testenv::tabStops(form.Edit1);
            EXPECT_TRUE(stops.count(group->Item(checked)));
            EXPECT_FALSE(stops.count(group->Item(1 - checked)));
        }
        group->Item(0)->setFocus();
        QTest::keyClick(group->Item(0), Qt::Key_Right);
        EXPECT_TRUE(group->Item(1)->isChecked());
    }

    // Enter in the name field is no Start.
    form.Edit1->setText("keys");
    form.Edit1->setFocus();
    QTest::keyClick(form.Edit1, Qt::Key_Return);
    EXPECT_TRUE(services.dialogs->shown.empty());
    EXPECT_EQ(form.Label2->text(), "...");

    // Space on Start records; during it Escape and Enter change nothing, Space on
    // Stop (which took the focus from Start) ends it.
    bool escapeKeptIt = false;
    bool stopHadFocus = false;
    QTimer::singleShot(200, &form, [&] {
        QTest::keyClick(&form, Qt::Key_Escape);
        QTest::keyClick(form.Edit1, Qt::Key_Return);
        escapeKeptIt = form.Recording() && form.isVisible();
        stopHadFocus = QApplication::focusWidget() == form.SpeedButton2;
        QTest::keyClick(form.SpeedButton2, Qt::Key_Space);
    });
    QTimer safety;
    safety.setSingleShot(true);
    QObject::connect(&safety, &QTimer::timeout, [&] {
        ADD_FAILURE() << "recording did not end";
        form.SpeedButton2Click();
    });
    safety.start(20000);
    form.SpeedButton1->setFocus();
    QTest::keyClick(form.SpeedButton1, Qt::Key_Space);
    platform::installWaveInFactory(previous);

    EXPECT_TRUE(escapeKeptIt);
    EXPECT_TRUE(stopHadFocus);
    EXPECT_FALSE(form.Recording());
    EXPECT_TRUE(testenv::fileExists(form.decoded + "/keys.WAV"));
    EXPECT_EQ(QApplication::focusWidget(), form.SpeedButton1);
    EXPECT_TRUE(form.isVisible());
}

// A recording keeps the computer awake while it runs; one longer than a minute is
// announced at its end (when the Notify setting says so), the click opening its
// folder.
TEST(RecorderForm, ALongRecordingIsAnnouncedAndEveryOneKeepsTheComputerAwake) {
    struct Row {
        std::uint32_t lengthMs;
        bool notify;
        bool announced;
    } rows[] = {{61000, true, true}, {60000, true, false}, {3600000, false, false}};
    testenv::AlsaFileDevice device(std::vector<std::uint8_t>(2204 * 40, 0x80));
    for (const Row& row : rows) {
        SCOPED_TRACE(row.lengthMs);
        testenv::FakeServices services;
        TestForm form;
        form.SetNotifySource([&] { return row.notify; });
        form.Edit1->setText("long");
        form.stopAfterCycles = 4;
        size_t heldWhileRecording = 0;
        form.onCycle = [&](int cycle) {
            heldWhileRecording = services.sleepInhibitor->held();
            services.clock->now += cycle == 2 ? row.lengthMs : 0;
        };
        form.start();
        EXPECT_EQ(heldWhileRecording, 1u);
        ASSERT_EQ(services.sleepInhibitor->requests.size(), 1u);
        EXPECT_TRUE(services.sleepInhibitor->requests[0].released);
        ASSERT_EQ(services.notifier->shown.size(), row.announced ? 1u : 0u);
        if (row.announced) {
            EXPECT_EQ(services.notifier->shown[0].actionFolder, form.decoded);
            EXPECT_NE(services.notifier->shown[0].body.find("long.WAV"), std::string::npos);
        }
    }
}
