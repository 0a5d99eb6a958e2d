// The ripper window offscreen, over disc images written by the tests.

#include <QApplication>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <cstdlib>
#include <gtest/gtest.h>
#include <memory>
#include <unistd.h>

#include "DiscImage.h"
#include "FakeServices.h"
#include "RipperTestSupport.h"
#include "TestEnv.h"
#include "platform/Paths.h"
#include "ripper/RipperForm.h"
#include "ripper/RxSwitch.h"

namespace {

using testdisc::TrackSpec;

class RipperFormTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir = testenv::makeDir(::testing::UnitTest::GetInstance()->current_test_info()->name());
    }
    void TearDown() override {
        form.reset();
        unsetenv("TUNEWRIGHT_CD_IMAGES");
    }

    void open(const std::string& images) {
        if (images.empty()) {
            unsetenv("TUNEWRIGHT_CD_IMAGES");
        } else {
            setenv("TUNEWRIGHT_CD_IMAGES", images.c_str(), 1);
        }
        form = std::make_unique<TRipperForm>(nullptr, cd);
        form->RipperOutSource = [this] { return dir + "/out"; };
        form->DiscoverDrives();
    }

    // Images follow any real drive of the machine; they are found by name.
    void choose(const QString& name) {
        int index = form->ComboBox1->findText(name);
        ASSERT_GE(index, 0) << name.toStdString();
        form->ComboBox1->setCurrentIndex(index);
        emit form->ComboBox1->activated(index);
    }

    void select(std::initializer_list<int> rows) {
        form->ListView1->clearSelection();
        for (int row : rows) {
            form->ListView1->topLevelItem(row)->setSelected(true);
        }
    }

    QStringList column(int c) {
        QStringList texts;
        for (int i = 0; i < form->ListView1->topLevelItemCount(); ++i) {
            texts << form->ListView1->topLevelItem(i)->text(c);
        }
        return texts;
    }

    // Runs `action` from the event loop at the ripping loop's next check after read n.
    void atRead(int n, std::function<void()> action) {
        cd.onRead = [n, action](int read) {
            if (read == n) {
                QTimer::singleShot(0, action);
            }
        };
    }

    testenv::FakeServices services;
    testdisc::ScriptedCdLibrary cd;
    std::unique_ptr<TRipperForm> form;
    std::string dir;
};

TEST_F(RipperFormTest, LayoutAndStartState) {
    auto image = testdisc::writeDiscImage(dir, "disc", {{75, 440}});
    open(image.cue);
    EXPECT_EQ(form->windowTitle(), "CD Ripper");
    EXPECT_EQ(form->size(), QSize(536, 411));
    EXPECT_EQ(form->minimumSize(), form->maximumSize()) << "fixed border";
    EXPECT_EQ(form->pos(), QPoint(193, 100));
    EXPECT_EQ(form->font().pointSize(), 8);

    EXPECT_EQ(form->Label10->text(), "Ripping source");
    EXPECT_TRUE(form->Label10->font().bold());
    EXPECT_EQ(form->ComboBox1->geometry(), QRect(128, 8, 257, 21));
    EXPECT_FALSE(form->ComboBox1->isEditable());
    EXPECT_EQ(form->ListView1->geometry(), QRect(8, 40, 377, 193));
    EXPECT_EQ(form->ListView1->headerItem()->text(0), "Tracks");
    EXPECT_EQ(form->ListView1->headerItem()->text(1), "Length");
    EXPECT_EQ(form->ListView1->headerItem()->text(2), "Size");
    EXPECT_EQ(form->ListView1->selectionMode(), QAbstractItemView::ExtendedSelection);
    EXPECT_EQ(form->ListView1->selectionBehavior(), QAbstractItemView::SelectRows);
    EXPECT_EQ(form->ListView1->editTriggers(), QAbstractItemView::NoEditTriggers);
    EXPECT_EQ(form->Image1->geometry(), QRect(408, 16, 116, 50));
    EXPECT_FALSE(form->Image1->pixmap().isNull());
    EXPECT_EQ(form->GroupBox1->title(), "Summary");
    EXPECT_EQ(form->GroupBox1->geometry(), QRect(400, 80, 129, 73));
    EXPECT_EQ(form->Label6->text(), "Total tracks:");
    EXPECT_EQ(form->Label7->text(), "Total length:");
    EXPECT_EQ(form->Label8->text(), "Total size:");
    EXPECT_EQ(form->RxSwitch1->pos(), QPoint(408, 168));
    EXPECT_EQ(form->RxLabel1->text(), "Compress on fly");
    EXPECT_EQ(form->RxSwitch2->pos(), QPoint(408, 196));
    EXPECT_EQ(form->RxLabel2->text(), "Stop on errors");
    EXPECT_FALSE(form->RxSwitch1->isChecked());
    EXPECT_FALSE(form->RxSwitch2->isChecked());
    EXPECT_EQ(form->Label1->text(), "Progress ");
    EXPECT_EQ(form->Label1->geometry().topLeft(), QPoint(24, 248));
    EXPECT_EQ(form->ProgressBar1->geometry(), QRect(16, 272, 361, 16));
    EXPECT_EQ(form->ProgressBar1->maximum(), 100);
    EXPECT_EQ(form->Label2->text(), "");
    EXPECT_EQ(form->Label3->geometry().topLeft(), QPoint(160, 296));
    EXPECT_EQ(form->Label9->geometry().topLeft(), QPoint(296, 296));
    EXPECT_EQ(form->SpeedButton1->text(), " Rip tracks !");
    EXPECT_EQ(form->SpeedButton1->geometry(), QRect(408, 248, 105, 26));
    EXPECT_EQ(form->SpeedButton2->text(), "Stop ripping");
    EXPECT_EQ(form->SpeedButton2->geometry(), QRect(408, 280, 105, 26));
    EXPECT_TRUE(form->SpeedButton1->isEnabled());
    EXPECT_FALSE(form->SpeedButton2->isEnabled());
    EXPECT_EQ(form->Label4->text(), "File Name +track#");
    EXPECT_EQ(form->Edit1->text(), "Track");
    EXPECT_EQ(form->Edit1->geometry(), QRect(400, 336, 121, 21));
    EXPECT_EQ(form->Label5->text(), ".wav");
    EXPECT_EQ(form->Label5->y(), 320);
    EXPECT_GE(form->Label5->x(), 488);
    EXPECT_EQ(form->Memo1->geometry(), QRect(8, 336, 377, 33));
    EXPECT_FALSE(form->Memo1->isReadOnly());
    EXPECT_EQ(form->SpeedButton4->text(), "Quit");
    EXPECT_EQ(form->SpeedButton4->geometry(), QRect(312, 384, 89, 22));
    EXPECT_EQ(form->SpeedButton3->text(), "Help");
    EXPECT_EQ(form->SpeedButton3->geometry(), QRect(424, 384, 97, 22));
    EXPECT_TRUE(services.dialogs->shown.empty());
}

TEST_F(RipperFormTest, ListsTheFirstDriveAndSumsTheSelection) {
    // 245 s (the first row counts the 2 s before track 1), 230 s and 271 s.
    auto image = testdisc::writeDiscImage(
        dir, "album",
        {{243 * 75, 0, false, true}, {230 * 75, 0, false, true}, {271 * 75, 0, false, true}});
    open(image.cue);
    choose("album.cue");
    EXPECT_EQ(column(0), (QStringList{"Track 1", "Track 2", "Track 3"}));
    EXPECT_EQ(column(1), (QStringList{"4:05", "3:50", "4:31"}));
    EXPECT_EQ(column(2), (QStringList{"41Mb", "38Mb", "45Mb"}));
    EXPECT_FALSE(form->ListView1->topLevelItem(2)->icon(0).isNull());
    ASSERT_NE(TrackRowInfoOf(form->ListView1->topLevelItem(2)), nullptr);
    EXPECT_EQ(TrackRowInfoOf(form->ListView1->topLevelItem(2))->length, 271);

    select({0, 1, 2});
    EXPECT_EQ(form->Label6->text(), "Total tracks: 3");
    EXPECT_EQ(form->Label7->text(), "Total length: 12:26");
    EXPECT_EQ(form->Label8->text(), "Total size: 124 Mb");
    form->grab().save(QString::fromStdString(testenv::appDir() + "ripper-window.png"));
    select({1});
    EXPECT_EQ(form->Label6->text(), "Total tracks: 1");
    EXPECT_EQ(form->Label7->text(), "Total length: 03:50");
    EXPECT_EQ(form->Label8->text(), "Total size: 38 Mb");

    // Listing again drops the rows with their selection.
    choose("album.cue");
    EXPECT_EQ(form->Label6->text(), "Total tracks: 0");
    EXPECT_EQ(form->Label8->text(), "Total size: 0 Mb");
}

TEST_F(RipperFormTest, AnotherDriveClearsTheListBeforeReading) {
    auto good = testdisc::writeDiscImage(dir, "good", {{75, 440}, {75, 660}});
    auto empty = testdisc::writeDiscImage(dir, "empty", {{75, 440}});
    std::remove(empty.bin.c_str());
    open(good.cue + ":" + empty.cue);
    choose("good.cue");
    ASSERT_EQ(form->ListView1->topLevelItemCount(), 2);
    choose("empty.cue");
    EXPECT_EQ(form->ListView1->topLevelItemCount(), 0);
    ASSERT_GE(form->LogLines().size(), 2);
    EXPECT_EQ(form->LogLines().mid(form->LogLines().size() - 2),
              (QStringList{"Error reading TOC - check if CD in drive!",
                           "An error was returned by the ASPI manager"}));
    EXPECT_TRUE(services.dialogs->shown.empty()) << "listing errors go to the log only";
    EXPECT_TRUE(form->Memo1->toPlainText().startsWith('\n')) << "below the log's empty first line";
}

TEST_F(RipperFormTest, NoDriveShowsTheAttentionBox) {
    open("");
    if (form->ComboBox1->count() > 0) {
        GTEST_SKIP() << "this machine has a CD drive";
    }
    ASSERT_EQ(services.dialogs->shown.size(), 1u);
    const platform::MessageBoxRequest& box = services.dialogs->shown[0];
    EXPECT_EQ(box.text, "Cannot exclusively aquire CD drives for ripper. Maybe you don't have one "
                        "or you don't have enough privilegies. Please contact administrator.");
    EXPECT_EQ(box.caption, "Attention");
    EXPECT_EQ(box.buttons, unsigned(platform::Ok));
    EXPECT_EQ(box.icon, platform::Icon::None);
    EXPECT_EQ(form->ListView1->topLevelItemCount(), 0);
    form->SpeedButton1->click();
    EXPECT_TRUE(form->LogLines().isEmpty()) << "no row, nothing to rip";
    EXPECT_TRUE(form->SpeedButton1->isEnabled());
}

// Every caption is drawn whole, in the window's font, inside its frame.
TEST_F(RipperFormTest, CaptionsAreNotClipped) {
    open("");
    auto textEnd = [](QLabel* label, const QString& text) {
        return label->x() + label->fontMetrics().horizontalAdvance(text);
    };
    for (QLabel* caption : {form->RxLabel1, form->RxLabel2}) {
        EXPECT_LE(textEnd(caption, caption->text()), form->Bevel2->geometry().right() - 2)
            << caption->text().toStdString();
        EXPECT_GE(caption->width(), caption->fontMetrics().horizontalAdvance(caption->text()));
        EXPECT_GT(caption->x(), form->RxSwitch1->geometry().right());
    }
    // The suffix follows its caption, at the same size, and has room for ".mp3".
    EXPECT_EQ(form->Label4->font(), form->Label5->font());
    EXPECT_GE(form->Label4->x(), 390);
    EXPECT_GE(form->Label4->width(),
              form->Label4->fontMetrics().horizontalAdvance(form->Label4->text()));
    EXPECT_GT(form->Label5->x(), textEnd(form->Label4, form->Label4->text()));
    form->RxSwitch1->click();
    EXPECT_EQ(form->Label5->text(), ".mp3");
    EXPECT_GE(form->Label5->width(), form->Label5->fontMetrics().horizontalAdvance(".mp3"));
    EXPECT_LE(form->Label5->geometry().right(), form->width() - 1);
    EXPECT_LE(form->Bevel2->geometry().right(), form->width() - 1);
}

TEST_F(RipperFormTest, CompressSwitchSetsTheSuffix) {
    open("");
    form->RxSwitch1->click();
    EXPECT_TRUE(form->RxSwitch1->isChecked());
    EXPECT_EQ(form->Label5->text(), ".mp3");
    form->RxSwitch2->click();
    EXPECT_EQ(form->Label5->text(), ".mp3");
    form->RxSwitch1->click();
    EXPECT_EQ(form->Label5->text(), ".wav");
}

TEST_F(RipperFormTest, ClosingWhileIdleOnlyHides) {
    auto image = testdisc::writeDiscImage(dir, "disc", {{75, 440}, {75, 660}});
    open(image.cue);
    choose("disc.cue");
    form->show();
    form->RxSwitch2->click();
    form->Edit1->setText("Song");
    select({1});
    size_t boxes = services.dialogs->shown.size();
    form->SpeedButton4->click();
    EXPECT_FALSE(form->isVisible());
    EXPECT_EQ(services.dialogs->shown.size(), boxes) << "no question while idle";
    form->show();
    EXPECT_EQ(form->ListView1->topLevelItemCount(), 2);
    EXPECT_TRUE(form->ListView1->topLevelItem(1)->isSelected());
    EXPECT_TRUE(form->RxSwitch2->isChecked());
    EXPECT_EQ(form->Edit1->text(), "Song");
}

TEST_F(RipperFormTest, RipsTheSelectedRowsReadingSettingsPerTrack) {
    auto image = testdisc::writeDiscImage(dir, "disc", {{600, 440}, {130, 660}, {27, 880}});
    std::string bin = testenv::readFile(image.bin);
    open(image.cue);
    choose("disc.cue");
    select({2, 0});
    std::vector<bool> states;
    cd.onRead = [&](int read) {
        services.clock->now += 250;
        if (read == 1) {
            states = {form->ListView1->isEnabled(),    form->SpeedButton1->isEnabled(),
                      form->SpeedButton2->isEnabled(), form->ComboBox1->isEnabled(),
                      form->Edit1->isEnabled(),        form->RxSwitch1->isEnabled()};
            // Changes during a run apply from the next track.
            form->Edit1->setText("Next");
            form->RipperOutSource = [this] { return dir + "/later"; };
        }
    };
    form->SpeedButton1->click();
    EXPECT_EQ(states, (std::vector<bool>{false, false, true, false, true, true}));
    EXPECT_EQ(form->LogLines(), (QStringList{"Starting to WAV rip track #1", "Ripping done",
                                             "Starting to WAV rip track #3", "Ripping done"}));
    // The audio follows the 44-byte header; the track's tags follow the audio.
    const std::string first = image.trackBytes(bin, 0);
    const std::string third = image.trackBytes(bin, 2);
    EXPECT_EQ(testenv::readFile(dir + "/out/Track#1.wav").substr(44, first.size()), first);
    EXPECT_EQ(testenv::readFile(dir + "/later/Next#3.wav").substr(44, third.size()), third);
    EXPECT_TRUE(form->Label1->text().startsWith("Average speed: "));
    EXPECT_TRUE(form->Label2->text().startsWith(" Elapsed time: 00:0"));
    EXPECT_TRUE(form->Label3->text().startsWith(" Estimated time: "));
    EXPECT_EQ(form->Label9->text(), "Track #3");
    EXPECT_EQ(form->ProgressBar1->value(), 0);
    EXPECT_TRUE(form->ListView1->isEnabled());
    EXPECT_TRUE(form->SpeedButton1->isEnabled());
    EXPECT_FALSE(form->SpeedButton2->isEnabled());
    EXPECT_TRUE(form->ComboBox1->isEnabled());
}

TEST_F(RipperFormTest, StopRippingDuringTheFirstOfThreeTracks) {
    auto image = testdisc::writeDiscImage(dir, "disc", {{600, 440}, {130, 660}, {27, 880}});
    open(image.cue);
    choose("disc.cue");
    select({0, 1, 2});
    atRead(7, [this] { form->SpeedButton2->click(); });
    form->SpeedButton1->click();
    EXPECT_EQ(form->LogLines(), (QStringList{"Starting to WAV rip track #1", "Ripping canceled"}));
    EXPECT_EQ(cd.reads.size(), 10u) << "stopped at the check before block 10";
    EXPECT_FALSE(testenv::fileExists(dir + "/out/Track#2.wav"));
    EXPECT_FALSE(testenv::fileExists(dir + "/out/Track#3.wav"));
    EXPECT_FALSE(form->SpeedButton2->isEnabled());
    EXPECT_TRUE(form->SpeedButton1->isEnabled());
}

TEST_F(RipperFormTest, CloseDuringARipAsks) {
    auto image = testdisc::writeDiscImage(dir, "disc", {{600, 440}});
    open(image.cue);
    choose("disc.cue");
    form->show();
    select({0});

    services.dialogs->answer(platform::No);
    atRead(3, [this] { form->close(); });
    form->SpeedButton1->click();
    ASSERT_EQ(services.dialogs->shown.size(), 1u);
    const platform::MessageBoxRequest& box = services.dialogs->shown[0];
    EXPECT_EQ(box.text, "Abort ripping ?");
    EXPECT_EQ(box.caption, "Ripper");
    EXPECT_EQ(box.buttons, unsigned(platform::Yes | platform::No));
    EXPECT_EQ(box.icon, platform::Icon::Question);
    EXPECT_TRUE(form->isVisible());
    EXPECT_EQ(form->LogLines().last(), "Ripping done");

    services.dialogs->answer(platform::Yes);
    cd.reads.clear();
    atRead(3, [this] { form->close(); });
    form->SpeedButton1->click();
    EXPECT_EQ(services.dialogs->shown.size(), 2u);
    EXPECT_FALSE(form->isVisible());
    EXPECT_EQ(form->LogLines().last(), "Ripping canceled");
}

TEST_F(RipperFormTest, KeyboardRipKeepsTheFocusAndThePrefix) {
    auto image = testdisc::writeDiscImage(dir, "disc", {{600, 440}});
    open(image.cue);
    choose("disc.cue");
    form->show();
    form->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));
    select({0});

    // Space on " Rip tracks !" rips; the focus waits on "Stop ripping" meanwhile,
    // not on the prefix, and comes back to the button after the rip.
    QWidget* focusDuringRip = nullptr;
    atRead(3, [&] { focusDuringRip = QApplication::focusWidget(); });
    form->SpeedButton1->setFocus();
    QTest::keyClick(form->SpeedButton1, Qt::Key_Space);
    ASSERT_EQ(form->LogLines().last(), "Ripping done");
    EXPECT_EQ(focusDuringRip, form->SpeedButton2);
    EXPECT_EQ(QApplication::focusWidget(), form->SpeedButton1);
    EXPECT_FALSE(form->Edit1->hasSelectedText());
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_X);
    EXPECT_EQ(form->Edit1->text(), "Track");

    // Space on "Stop ripping" ends a rip: the focus goes back to the list it
    // came from.
    form->ListView1->setFocus();
    cd.reads.clear();
    atRead(3, [this] { QTest::keyClick(form->SpeedButton2, Qt::Key_Space); });
    form->SpeedButton1->click();
    EXPECT_EQ(form->LogLines().last(), "Ripping canceled");
    EXPECT_EQ(QApplication::focusWidget(), form->ListView1);
}

TEST_F(RipperFormTest, HelpOpensTheDocument) {
    open("");
    form->SpeedButton3->click();
    ASSERT_EQ(services.shell->calls.size(), 1u);
    EXPECT_EQ(services.shell->calls[0].path, platform::programDir() + "mp3tw.html");
    EXPECT_EQ(services.shell->calls[0].mode, platform::ShowMode::Normal);

    // A help document in the current directory comes first.
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    testenv::writeFile(dir + "/mp3tw.html", "<html></html>");
    ASSERT_EQ(chdir(dir.c_str()), 0);
    form->SpeedButton3->click();
    ASSERT_EQ(chdir(cwd), 0);
    ASSERT_EQ(services.shell->calls.size(), 2u);
    EXPECT_EQ(services.shell->calls[1].path, dir + "/mp3tw.html");
}

} // namespace
