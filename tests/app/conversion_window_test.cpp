// The conversion window: placement, the fading status word, the queue and its
// hand-off files, the timers' ticks during jobs and boxes, Exit, close and Last file.

#include <QApplication>
#include <QComboBox>
#include <QGuiApplication>
#include <QImage>
#include <QLabel>
#include <QScreen>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <QWindow>
#include <set>

#include "app/batch/Naming.h"
#include "app/Startup.h"
#include "app/Windows.h"
#include "app_test_support.h"
#include "codec/MP3Codec.h"
#include "platform/InstanceFiles.h"
#include "ripper/RipperForm.h"
#include "settings/LogoForm.h"
#include "settings/OptionsForm.h"

using apptest::ConversionTest;

namespace {

std::string runtimeDir() {
    std::string error;
    return platform::runtimeDir(&error);
}

// The pixels of a label as drawn inside its window.
QImage drawnLabel(TForm1& form, QLabel* label) {
    return form.grab(label->geometry()).toImage().convertToFormat(QImage::Format_RGB32);
}

bool containsColour(const QImage& image, QColor colour) {
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            if (image.pixelColor(x, y) == colour) {
                return true;
            }
        }
    }
    return false;
}

QColor statusPalette(TForm1& form) {
    return form.Label4->palette().color(QPalette::WindowText);
}

std::string artifactDir() {
    std::string dir = testenv::appDir() + "../test-artifacts/";
    testenv::run("mkdir -p " + apptest::quoted(dir));
    return dir;
}

} // namespace

TEST(Placement, FollowsPositionSettingOnTheDesktopRectangle) {
    const QPoint design(218, 241);
    struct Row {
        int position, right, bottom;
        QPoint expected;
    };
    const Row rows[] = {
        {0, 1024, 768, {339, 319}}, {4, 1024, 768, {677, 613}}, {2, 1024, 768, {2, 613}},
        {1, 1024, 768, {2, 2}},     {3, 1024, 768, {677, 2}},   {0, 800, 600, {227, 235}},
        {4, 800, 600, {453, 445}},  {5, 1024, 768, design},     {-1, 800, 600, design},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(app::PlacementFor(r.position, r.right, r.bottom, 345, 120, design), r.expected)
            << "position " << r.position << " on " << r.right << "x" << r.bottom;
    }
}

TEST_F(ConversionTest, WindowIsBorderlessAndPlacedWhenShown) {
    TForm1& f = makeForm(dir + "none.wav");
    EXPECT_EQ(f.size(), QSize(345, 120));
    EXPECT_TRUE(f.windowFlags() & Qt::FramelessWindowHint);
    EXPECT_EQ(f.Image3->geometry(), QRect(280, 48, 55, 20));
    EXPECT_EQ(f.Image4->geometry(), QRect(280, 72, 55, 20));
    EXPECT_EQ(f.SpeedButton4->toolTip(), "Minimize");
    EXPECT_EQ(f.SpeedButton5->toolTip(), "Exit");
    EXPECT_EQ(f.Label3->text(), QString(63, '-'));

    const QRect desktop = f.screen()->geometry();
    f.CurrentSettings().MWPosition = 4;
    f.show();
    EXPECT_EQ(f.pos(),
              desktop.topLeft() + QPoint(desktop.width() - 345 - 2, desktop.height() - 120 - 35));
    f.hide();
    f.CurrentSettings().MWPosition = 0;
    f.show();
    EXPECT_EQ(f.pos(), desktop.topLeft() +
                           QPoint((desktop.width() - 345) / 2, (desktop.height() - 120 - 10) / 2));
    f.hide();
}

TEST(StatusColour, ShiftPlacesTheLevelIntoRedGreenOrBlue) {
    struct Row {
        int16_t shift;
        uint8_t level;
        uint32_t value;
        QColor drawn;
    };
    const Row rows[] = {
        {0, 247, 0xF7, QColor(0xF7, 0, 0)},
        {0, 7, 0x07, QColor(0x07, 0, 0)},
        {10, 247, 0x3DC00, QColor(0, 0xDC, 0x03)},
        {10, 7, 0x1C00, QColor(0, 0x1C, 0)},
        {10, 191, 0x2FC00, QColor(0, 0xFC, 0x02)},
        {11, 247, 0x7B800, QColor(0, 0xB8, 0x07)},
        {11, 7, 0x3800, QColor(0, 0x38, 0)},
        // The byte above blue is not drawn.
        {21, 247, 0x1EE00000, QColor(0, 0, 0xE0)},
        {21, 7, 0xE00000, QColor(0, 0, 0xE0)},
        // Only the low five bits of the shift count.
        {42, 247, 0x3DC00, QColor(0, 0xDC, 0x03)},
    };
    for (const Row& r : rows) {
        const uint32_t value = app::StatusColourValue(r.level, r.shift);
        EXPECT_EQ(value, r.value) << "shift " << r.shift << " level " << int(r.level);
        EXPECT_EQ(app::StatusColour(value), r.drawn) << "shift " << r.shift;
    }
}

TEST_F(ConversionTest, StatusWordFadesTickByTickAndIsDrawnInItsColour) {
    TForm1& f = makeForm(dir + "none.wav");
    f.ShowStatus("Working", 10);
    EXPECT_EQ(f.FadeLevel, 255);
    EXPECT_EQ(f.Label4->text(), "Working");

    f.Timer2Timer();
    EXPECT_EQ(f.FadeLevel, 247);
    EXPECT_EQ(statusPalette(f), QColor(0, 0xDC, 0x03));
    EXPECT_TRUE(containsColour(drawnLabel(f, f.Label4), QColor(0, 0xDC, 0x03)));

    for (int i = 0; i < 30; ++i) {
        f.Timer2Timer();
    }
    EXPECT_EQ(f.FadeLevel, 7);
    EXPECT_EQ(statusPalette(f), QColor(0, 0x1C, 0));
    f.Timer2Timer();
    EXPECT_EQ(f.FadeLevel, 7);
    EXPECT_TRUE(containsColour(drawnLabel(f, f.Label4), QColor(0, 0x1C, 0)));

    // A new word starts bright again.
    f.ShowStatus("Failed", 0);
    f.Timer2Timer();
    EXPECT_EQ(statusPalette(f), QColor(0xF7, 0, 0));

    // The longest word is drawn whole, whatever this desktop's font makes of it.
    f.ShowStatus("Error encountered", 11);
    EXPECT_GE(f.Label4->width(), f.Label4->fontMetrics().horizontalAdvance("Error encountered"));
    EXPECT_GE(f.Label4->width(), 105);
}

TEST_F(ConversionTest, StatusWordReachesItsLastColourAfterThreeSeconds) {
    TForm1& f = makeForm(dir + "none.wav", false);
    f.Timer1->stop();
    f.ShowStatus("Done", 10);
    EXPECT_FALSE(apptest::waitUntil([&] { return f.FadeLevel == 7; }, 2900));
    ASSERT_TRUE(apptest::waitUntil([&] { return f.FadeLevel == 7; }, 1500));
    EXPECT_TRUE(containsColour(drawnLabel(f, f.Label4), QColor(0, 0x1C, 0)));
}

TEST_F(ConversionTest, QueueKeepsOneEntryPerNameAndTellsCaseApart) {
    TForm1& f = makeForm("/music/a.mp3 b.mp3");
    EXPECT_EQ(countLine(), "1 file(s) to decode");
    f.QueueFile("/music/a.mp3 b.mp3");
    f.QueueFile("/music/Song.wav");
    f.QueueFile("/music/song.wav");
    f.Label2->setText("unchanged");
    f.QueueFile("/music/Song.wav");
    EXPECT_EQ(countLine(), "unchanged");
    EXPECT_EQ(f.Engine.FileQueue(), (std::deque<std::string>{"/music/a.mp3 b.mp3", "/music/Song.wav",
                                                    "/music/song.wav"}));
    f.QueueFile("/music/x.mp3");
    EXPECT_EQ(countLine(), "4 file(s) to decode");

    f.Image4Click();
    EXPECT_TRUE(f.Engine.FileQueue().empty());
    EXPECT_EQ(countLine(), "0 file(s) to decode");
}

TEST_F(ConversionTest, SourceLineKeepsTheFileNameWholeAndShortensTheFolder) {
    TForm1& f = makeForm(dir + "x.wav");
    const QFontMetrics metrics = f.Label3->fontMetrics();
    const int width = f.Label3->width();
    const QString ellipsis(QChar(0x2026));

    EXPECT_EQ(app::SourceLineText("/music/a.mp3", metrics, width), "/music/a.mp3");

    const QString deep = "/home/someone/Music/Collected Albums/Second Shelf/Live Recordings/"
                         "Night at the Hall.mp3";
    const QString shown = app::SourceLineText(deep, metrics, width);
    EXPECT_TRUE(shown.startsWith(ellipsis)) << shown.toStdString();
    EXPECT_TRUE(shown.endsWith("/Night at the Hall.mp3")) << shown.toStdString();
    EXPECT_LE(metrics.horizontalAdvance(shown), width);

    // Only a name wider than the line loses its middle; its extension stays.
    const QString wide = "/m/" + QString(80, 'n') + ".mp3";
    const QString named = app::SourceLineText(wide, metrics, width);
    EXPECT_TRUE(named.contains(ellipsis));
    EXPECT_TRUE(named.endsWith(".mp3"));
    EXPECT_LE(metrics.horizontalAdvance(named), width);
}

TEST(JobKind, DecodesMp3InAnyCaseAndEncodesEverythingElse) {
    for (const char* name : {"/m/x.MP3", "/m/x.Mp3", "/m/x.mp3", "x.mP3", "/m/a b.wav x.mp3"}) {
        EXPECT_TRUE(app::IsDecodeEntry(name)) << name;
    }
    for (const char* name :
         {"/m/x.wav", "/m/x.ogg", "/m/x", "/a.b/track", "/m/x.mp3.wav", "/m/x.mp3/", "/m/x.mp"}) {
        EXPECT_FALSE(app::IsDecodeEntry(name)) << name;
    }
}

TEST_F(ConversionTest, HandOffFilesAreMergedIntoTheQueueAndDeleted) {
    TForm1& f = makeForm(dir + "gone.wav");
    f.CurrentSettings().NoErrors = 1;
    const std::string rt = runtimeDir();
    ASSERT_FALSE(rt.empty());
    std::string error;
    const std::string first =
        platform::writeHandOffFile(rt, {dir + "one.wav", dir + "two.mp3"}, &error);
    ASSERT_FALSE(first.empty()) << error;
    // A writer without names still leaves a file: count word 1 and nothing after it.
    const std::string empty = platform::writeHandOffFile(rt, {}, &error);
    const std::string again = platform::writeHandOffFile(rt, {dir + "one.wav"}, &error);

    tick(); // the encode of gone.wav fails, then the scan
    EXPECT_EQ(f.Engine.FileQueue(), (std::deque<std::string>{dir + "one.wav", dir + "two.mp3"}));
    EXPECT_EQ(countLine(), "2 file(s) to decode");
    EXPECT_FALSE(testenv::fileExists(first));
    EXPECT_FALSE(testenv::fileExists(empty));
    EXPECT_FALSE(testenv::fileExists(again));
    EXPECT_TRUE(platform::listHandOffFiles(rt).empty());
}

TEST_F(ConversionTest, KindOfJobFollowsTheEntrysExtension) {
    // Missing sources: each entry fails alone and the batch goes on.
    TForm1& f = makeForm(dir + "x.ogg");
    f.QueueFile(dir + "x");
    f.QueueFile(dir + "x.Mp3");
    f.QueueFile(dir + "y.wav");
    tick();
    EXPECT_EQ(f.Engine.LastKind, TForm1::KindEncode);
    tick();
    EXPECT_EQ(f.Engine.LastKind, TForm1::KindEncode);
    tick();
    EXPECT_EQ(f.Engine.LastKind, TForm1::KindDecode);
    EXPECT_FALSE(f.ApplicationEnded());
    EXPECT_EQ(f.Engine.FileQueue(), std::deque<std::string>{dir + "y.wav"});
    tick();
    EXPECT_EQ(f.Engine.LastKind, TForm1::KindEncode);
    EXPECT_TRUE(f.Engine.FileQueue().empty());
    ASSERT_EQ(fake.dialogs->shown.size(), 4u);
    EXPECT_EQ(fake.dialogs->shown[2].text, "Unable to find source file: " + dir + "x.Mp3");
}

TEST_F(ConversionTest, LastFileDuringTheSecondOfFiveJobsEndsTheBatchAfterIt) {
    std::vector<std::string> sources;
    for (int i = 1; i <= 5; ++i) {
        sources.push_back(dir + "song" + std::to_string(i) + ".wav");
        apptest::makeWav(sources.back(), 2.0);
    }
    TForm1& f = makeForm(sources[0], false);
    for (size_t i = 1; i < sources.size(); ++i) {
        f.QueueFile(sources[i]);
    }
    apptest::SlowEvents slow(2);

    QElapsedTimer clock;
    qint64 pressedAt = -1;
    QTimer watch;
    watch.setInterval(5);
    QObject::connect(&watch, &QTimer::timeout, [&] {
        if (pressedAt < 0 && f.Engine.Busy && f.Engine.SourceName == sources[1]) {
            f.Image4Click();
            pressedAt = clock.elapsed();
        }
    });
    watch.start();
    clock.start();
    ASSERT_TRUE(apptest::waitUntil([&] { return f.ApplicationEnded(); }, 20000));
    const qint64 endedAt = clock.elapsed();

    ASSERT_GE(pressedAt, 0);
    apptest::expectTone(encodedDir + "/song1.MP3", 2.0, 44100, 2);
    apptest::expectTone(encodedDir + "/song2.MP3", 2.0, 44100, 2);
    for (int i = 3; i <= 5; ++i) {
        EXPECT_FALSE(testenv::fileExists(encodedDir + "/song" + std::to_string(i) + ".MP3"));
    }
    // The job's own tick started at most a tick before the press; three idle ticks follow.
    EXPECT_GE(endedAt - pressedAt, 1300);
    EXPECT_LE(endedAt - pressedAt, 2300 + 700);
    EXPECT_EQ(fake.sound->files, std::vector<std::string>{f.AppDir + "alldone.wav"});
    EXPECT_EQ(status(), "Done");
}

TEST_F(ConversionTest, TicksDuringALongJobPickUpHandedOverNames) {
    const std::string longSource = dir + "long.wav";
    const std::string other = dir + "other.wav";
    // Long enough for ticks to come while its worker encodes it.
    apptest::makeWav(longSource, 180.0);
    apptest::makeWav(other, 0.5);
    TForm1& f = makeForm(longSource, false);
    apptest::SlowEvents slow(4);

    std::string handOff;
    std::string countWhileBusy;
    QTimer watch;
    watch.setInterval(5);
    QObject::connect(&watch, &QTimer::timeout, [&] {
        if (!f.Engine.Busy) {
            return;
        }
        std::string error;
        if (handOff.empty()) {
            handOff = platform::writeHandOffFile(runtimeDir(), {other}, &error);
        } else if (countWhileBusy.empty() && !f.Engine.FileQueue().empty()) {
            countWhileBusy = f.Label2->text().toStdString();
        }
    });
    watch.start();
    ASSERT_TRUE(apptest::waitUntil([&] { return f.ApplicationEnded(); }, 30000));

    EXPECT_EQ(countWhileBusy, "1 file(s) to decode");
    EXPECT_FALSE(testenv::fileExists(handOff));
    apptest::expectTone(encodedDir + "/long.MP3", 180.0, 44100, 2);
    apptest::expectTone(encodedDir + "/other.MP3", 0.5, 44100, 2);
}

// Records, when a box is answered, whether the next job already ran inside it.
class ObservingDialogs : public testenv::ScriptedDialogs {
public:
    std::function<void()> afterHold;
    platform::Button messageBox(const platform::MessageBoxRequest& request) override {
        platform::Button b = ScriptedDialogs::messageBox(request);
        if (afterHold) {
            afterHold();
        }
        return b;
    }
};

TEST_F(ConversionTest, TicksWhileABoxIsOpenStartTheNextJob) {
    auto dialogs = std::make_shared<ObservingDialogs>();
    platform::installServices({dialogs, nullptr, nullptr, nullptr});
    const std::string good = dir + "good.wav";
    apptest::makeWav(good, 0.5);
    TForm1& f = makeForm(dir + "missing.wav", false);
    f.QueueFile(good);
    dialogs->answer(platform::Ok, 1600);
    bool convertedInsideBox = false;
    dialogs->afterHold = [&] {
        convertedInsideBox = f.Engine.FileQueue().empty() && !f.Engine.Busy &&
                             testenv::fileExists(encodedDir + "/good.MP3") && f.Engine.SourceName == good;
    };
    ASSERT_TRUE(apptest::waitUntil([&] { return f.ApplicationEnded(); }, 15000));
    EXPECT_TRUE(convertedInsideBox);
    ASSERT_EQ(dialogs->shown.size(), 1u);
    EXPECT_EQ(dialogs->shown[0].text, "Unable to find source file: " + dir + "missing.wav");
    EXPECT_EQ(dialogs->shown[0].caption, "Error");
    apptest::expectTone(encodedDir + "/good.MP3", 0.5, 44100, 2);
    platform::installServices({fake.dialogs, nullptr, nullptr, nullptr});
}

TEST_F(ConversionTest, AConversionStartLooksForNoDriveAndQueuesEveryArgument) {
    // No CD drive and no disc image: the converting process must not look for
    // drives, so no box stands in front of its window.
    unsetenv("TUNEWRIGHT_CD_IMAGES");
    const std::vector<std::string> sources = {dir + "one.wav", dir + "two words.wav",
                                              dir + "-three.wav"};
    for (const std::string& source : sources) {
        apptest::makeWav(source, 0.3);
    }
    settings::SettingsRecord record;
    settings::SetDefaultSettings(record);
    record.EncodedDir = encodedDir;
    record.DecodedDir = decodedDir;
    record.PlaySound = 0;
    record.OpenDir = 0;
    std::string failed;
    ASSERT_TRUE(settings::SaveSettingsRecord(record, &failed)) << failed;

    app::Windows windows = app::CreateWindows(true, sources);
    auto* conversion = dynamic_cast<TForm1*>(windows.mainWindow);
    ASSERT_NE(conversion, nullptr);
    EXPECT_EQ(conversion->Engine.FileQueue(), std::deque<std::string>(sources.begin(), sources.end()));
    EXPECT_TRUE(fake.dialogs->shown.empty());
    conversion->show();
    EXPECT_TRUE(conversion->isVisible());
    ASSERT_TRUE(apptest::waitUntil([&] { return conversion->ApplicationEnded(); }, 20000));
    EXPECT_TRUE(fake.dialogs->shown.empty());
    apptest::expectTone(encodedDir + "/one.MP3", 0.3, 44100, 2);
    apptest::expectTone(encodedDir + "/two words.MP3", 0.3, 44100, 2);
    apptest::expectTone(encodedDir + "/-three.MP3", 0.3, 44100, 2);
    app::DestroyWindows(windows);
}

TEST_F(ConversionTest, TheLaunchersRipperLooksForDrivesWhenFirstOpened) {
    unsetenv("TUNEWRIGHT_CD_IMAGES");
    app::Windows windows = app::CreateWindows(false, {});
    auto* launcher = dynamic_cast<TLogoForm*>(windows.mainWindow);
    ASSERT_NE(launcher, nullptr);
    auto* ripper = dynamic_cast<TRipperForm*>(launcher->RipperForm());
    ASSERT_NE(ripper, nullptr);
    EXPECT_TRUE(fake.dialogs->shown.empty()) << "creating the windows looks for no drive";
    launcher->SpeedButton1Click();
    EXPECT_TRUE(ripper->isVisible());
    if (ripper->ComboBox1->count() > 0) {
        app::DestroyWindows(windows);
        GTEST_SKIP() << "this machine has a CD drive";
    }
    ASSERT_EQ(fake.dialogs->shown.size(), 1u);
    EXPECT_EQ(fake.dialogs->shown[0].caption, "Attention");
    ripper->close();
    launcher->SpeedButton1Click();
    EXPECT_EQ(fake.dialogs->shown.size(), 1u) << "drives are looked for once per process";
    app::DestroyWindows(windows);
}

TEST_F(ConversionTest, ExitDuringAJobAsksAndDeletesThePartialTargetOnOk) {
    const std::string source = dir + "long.wav";
    apptest::makeWav(source, 60.0);
    TForm1& f = makeForm(source);
    std::string targetSeen;
    off_t sizeSeen = 0;
    QTimer exitButton;
    exitButton.setInterval(1);
    QObject::connect(&exitButton, &QTimer::timeout, [&] {
        if (f.Engine.Busy && f.Image2->width() > 40 && targetSeen.empty()) {
            targetSeen = f.Engine.TargetName;
            sizeSeen = f.Image2->width();
            f.SpeedButton5->click();
        }
    });
    exitButton.start();
    fake.dialogs->answer(platform::Ok);
    tick();

    ASSERT_FALSE(targetSeen.empty());
    EXPECT_GT(sizeSeen, 0);
    ASSERT_EQ(fake.dialogs->shown.size(), 1u);
    EXPECT_EQ(fake.dialogs->shown[0].text, "Delete uncomplete files ?");
    EXPECT_EQ(fake.dialogs->shown[0].caption, "MP3 Tunewright");
    EXPECT_EQ(fake.dialogs->shown[0].buttons, unsigned(platform::Ok | platform::Cancel));
    EXPECT_EQ(fake.dialogs->shown[0].icon, platform::Icon::Question);
    EXPECT_FALSE(testenv::fileExists(targetSeen));
    EXPECT_TRUE(testenv::fileExists(source));
    EXPECT_TRUE(f.ApplicationEnded());
    EXPECT_FALSE(f.Engine.Busy);
    EXPECT_EQ(f.windowTitle(), "MP3 Tunewright - terminating");
    EXPECT_FALSE(f.Timer1->isActive());
    EXPECT_TRUE(fake.sound->files.empty());
}

TEST_F(ConversionTest, ExitDuringAJobWithCancelKeepsAPlayablePartialTarget) {
    const std::string source = dir + "long.wav";
    apptest::makeWav(source, 60.0);
    TForm1& f = makeForm(source);
    f.QueueFile(dir + "never.wav");
    QTimer exitButton;
    exitButton.setInterval(1);
    bool pressed = false;
    QObject::connect(&exitButton, &QTimer::timeout, [&] {
        if (!pressed && f.Engine.Busy && f.Image2->width() > 40) {
            pressed = true;
            f.SpeedButton5Click();
        }
    });
    exitButton.start();
    fake.dialogs->answer(platform::Cancel);
    tick();

    ASSERT_TRUE(pressed);
    EXPECT_TRUE(f.ApplicationEnded());
    EXPECT_EQ(status(), "Done");
    const apptest::Audio partial = apptest::analyse(encodedDir + "/long.MP3");
    EXPECT_EQ(partial.rate, 44100);
    EXPECT_GT(partial.seconds, 0.5);
    EXPECT_LT(partial.seconds, 50.0);
    // The tick whose job was stopped neither starts another job nor completes.
    tick();
    EXPECT_FALSE(testenv::fileExists(encodedDir + "/never.MP3"));
    EXPECT_TRUE(fake.sound->files.empty());
}

TEST_F(ConversionTest, CloseRequestDuringAJobStopsItWithoutQuestion) {
    const std::string source = dir + "long.wav";
    apptest::makeWav(source, 60.0);
    TForm1& f = makeForm(source);
    bool closed = false;
    QTimer closer;
    closer.setInterval(1);
    QObject::connect(&closer, &QTimer::timeout, [&] {
        if (!closed && f.Engine.Busy && f.Image2->width() > 40) {
            closed = true;
            f.close();
        }
    });
    closer.start();
    tick();

    ASSERT_TRUE(closed);
    EXPECT_TRUE(TForm1::CloseRequested);
    EXPECT_TRUE(f.ApplicationEnded());
    EXPECT_TRUE(fake.dialogs->shown.empty());
    EXPECT_EQ(status(), "Done");
    const apptest::Audio partial = apptest::analyse(encodedDir + "/long.MP3");
    EXPECT_GT(partial.seconds, 0.5);
    EXPECT_LT(partial.seconds, 50.0);
    EXPECT_TRUE(fake.sound->files.empty());
}

TEST_F(ConversionTest, MinimiseAndOptionsButtons) {
    TForm1& f = makeForm(dir + "none.wav");
    f.show();
    f.SpeedButton4Click();
    EXPECT_TRUE(f.windowState() & Qt::WindowMinimized);
    f.showNormal();

    // The Options picture shows the current options object without blocking.
    TOptionsForm launcherOptions;
    ASSERT_EQ(TOptionsForm::Current(), &launcherOptions);
    f.Image3Click();
    EXPECT_TRUE(launcherOptions.isVisible());
    EXPECT_FALSE(launcherOptions.isModal());
    launcherOptions.Settings.Overwrite = 2;
    EXPECT_EQ(f.CurrentSettings().Overwrite, 2);
    launcherOptions.hide();
    f.hide();
}

TEST_F(ConversionTest, ButtonsAreReachedWithTabAndPressedWithSpace) {
    TForm1& f = makeForm(dir + "none.wav");
    f.QueueFile(dir + "second.wav");
    TOptionsForm launcherOptions;
    f.show();
    f.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&f));

    std::set<QWidget*> reached;
    f.SpeedButton5->setFocus();
    for (int i = 0; i < 8; ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        reached.insert(QApplication::focusWidget());
    }
    for (QWidget* button :
         {static_cast<QWidget*>(f.SpeedButton4), static_cast<QWidget*>(f.SpeedButton5),
          static_cast<QWidget*>(f.Image3), static_cast<QWidget*>(f.Image4)}) {
        EXPECT_TRUE(reached.count(button)) << button->accessibleName().toStdString();
    }

    f.Image4->setFocus();
    QTest::keyClick(f.Image4, Qt::Key_Space); // "Last file"
    EXPECT_TRUE(f.Engine.FileQueue().empty());
    f.Image3->setFocus();
    QTest::keyClick(f.Image3, Qt::Key_Space); // "Options"
    EXPECT_TRUE(launcherOptions.isVisible());
    launcherOptions.hide();
    f.hide();
}

TEST_F(ConversionTest, ScreenshotsOfTheWindowMidJobAndOfTheOptionsDialog) {
    const std::string source = dir + "Screenshot Tone.wav";
    apptest::makeWav(source, 30.0);
    TForm1& f = makeForm(source);
    f.show();
    QImage midJob;
    QTimer watch;
    watch.setInterval(1);
    QObject::connect(&watch, &QTimer::timeout, [&] {
        if (midJob.isNull() && f.Engine.Busy && f.Image2->width() >= 120) {
            f.Timer2Timer();
            midJob = f.grab().toImage();
        }
    });
    watch.start();
    tick();
    ASSERT_FALSE(midJob.isNull());
    EXPECT_TRUE(
        midJob.save(QString::fromStdString(artifactDir() + "conversion-window-mid-job.png")));
    EXPECT_EQ(midJob.size(), QSize(345, 120));
    // The bar is drawn as far as the progress goes; the dark band shows beyond it.
    EXPECT_NE(midJob.pixelColor(16, 35), midJob.pixelColor(262, 35));

    f.Image3Click();
    TOptionsForm* options = TOptionsForm::Current();
    ASSERT_NE(options, nullptr);
    EXPECT_TRUE(options->isVisible());
    EXPECT_TRUE(options->grab().save(QString::fromStdString(artifactDir() + "options-dialog.png")));
    options->hide();
    f.hide();
}
