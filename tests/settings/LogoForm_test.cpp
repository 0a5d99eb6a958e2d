#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QFrame>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <QToolButton>
#include <cstdlib>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <unistd.h>

#include "FakeServices.h"
#include "TabStops.h"
#include "TestEnv.h"
#include "platform/Paths.h"
#include "settings/LogoForm.h"
#include "settings/OptionsForm.h"
#include "settings/ShellAssociation.h"

namespace {

const char* kAssociatedText = "Tunewright is now associated with MP3 and WAV files";

std::string envOrEmpty(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

// Runs the event loop until `done` holds or the time is up.
bool pumpUntil(const std::function<bool()>& done, int ms) {
    QElapsedTimer timer;
    timer.start();
    while (!done() && timer.elapsed() < ms) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(2);
    }
    return done();
}

void pumpFor(int ms) {
    pumpUntil([] { return false; }, ms);
}

// Every test starts on a machine without the association: its own registry
// and data folders, restored afterwards for the other suites.
class LogoForm : public ::testing::Test {
protected:
    void SetUp() override {
        savedRegistryDir = envOrEmpty("TUNEWRIGHT_REGISTRY_DIR");
        savedDataHome = envOrEmpty("XDG_DATA_HOME");
        static int counter = 0;
        std::string base = testenv::makeDir("logo-" + std::to_string(++counter));
        setenv("TUNEWRIGHT_REGISTRY_DIR", (base + "/registry").c_str(), 1);
        setenv("XDG_DATA_HOME", (base + "/data").c_str(), 1);
    }
    void TearDown() override {
        setenv("TUNEWRIGHT_REGISTRY_DIR", savedRegistryDir.c_str(), 1);
        setenv("XDG_DATA_HOME", savedDataHome.c_str(), 1);
    }

    // A launcher whose ripper is a plain window counted at each creation.
    std::unique_ptr<TLogoForm> makeLauncher() {
        return std::make_unique<TLogoForm>([this] {
            ++rippersMade;
            optionsAtRipperCreation = TOptionsForm::Current();
            auto ripper = std::make_unique<QWidget>();
            ripper->setWindowTitle("CD Ripper");
            return ripper;
        });
    }

    int boxesWithText(const std::string& text) const {
        int n = 0;
        for (const auto& box : services.dialogs->shown) {
            n += box.text == text ? 1 : 0;
        }
        return n;
    }

    testenv::FakeServices services;
    int rippersMade = 0;
    TOptionsForm* optionsAtRipperCreation = nullptr;
    std::string savedRegistryDir;
    std::string savedDataHome;
};

TEST_F(LogoForm, WindowAndControlsStandWhereDesigned) {
    auto launcher = makeLauncher();
    TLogoForm& f = *launcher;
    EXPECT_EQ(f.windowTitle(), "MP3 Tunewright v3.32");
    EXPECT_EQ(f.size(), QSize(407, 444));
    EXPECT_EQ(f.minimumSize(), f.maximumSize());
    EXPECT_FALSE(f.windowFlags() & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(f.windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_TRUE(f.windowFlags() & Qt::WindowCloseButtonHint);
    EXPECT_FALSE(f.windowIcon().isNull());
    EXPECT_EQ(f.font().pointSize(), 8);

    struct Row {
        QWidget* control;
        QRect geometry;
        QString text;
        QString toolTip;
    };
    const Row rows[] = {
        {f.Image1, {2, 1, 409, 49}, "", ""},
        {f.Bevel1, {0, 56, 265, 361}, "", ""},
        {f.Image2, {8, 64, 250, 256}, "", ""},
        {f.Label2, {8, 320, 249, 89}, f.Label2->text(), ""},
        {f.Bevel2, {272, 56, 129, 361}, "", ""},
        {f.StaticText1, {280, 64, 113, 17}, "Tools & Options", ""},
        {f.SpeedButton1, {280, 136, 113, 25}, "CD Ripper", ""},
        {f.SpeedButton2, {280, 168, 113, 25}, "Recorder", ""},
        {f.BitBtn2, {280, 200, 113, 25}, "Deassociate", "Deassociate program from MP3"},
        {f.BitBtn3, {280, 232, 113, 25}, "Options", "Options"},
        {f.BitBtn4, {280, 264, 113, 25}, " Start help", ""},
    };
    for (const Row& row : rows) {
        ASSERT_NE(row.control, nullptr);
        SCOPED_TRACE(row.control->metaObject()->className());
        EXPECT_EQ(row.control->geometry(), row.geometry);
        EXPECT_EQ(row.control->toolTip(), row.toolTip);
        if (auto* label = qobject_cast<QLabel*>(row.control)) {
            EXPECT_EQ(label->text(), row.text);
        } else if (auto* button = qobject_cast<QAbstractButton*>(row.control)) {
            EXPECT_EQ(button->text(), row.text);
            EXPECT_FALSE(button->icon().isNull());
        }
    }
    EXPECT_EQ(f.Image1->pixmap().size(), QSize(409, 49));
    EXPECT_EQ(f.Image2->pixmap().size(), QSize(250, 256));
    EXPECT_EQ(f.Label2->text(),
              "This example shows how to use Tunewright integrated to Windows shell. Just select "
              "appropriate MP3 or WAV file(s) from Window's Explorer, right click on it and "
              "select \"Decode to WAVE\" or \"Compress to MP3\" from popup menu. The conversion "
              "will start.");
    EXPECT_TRUE(f.Label2->wordWrap());
    EXPECT_TRUE(f.Label2->alignment() & Qt::AlignHCenter);
    EXPECT_TRUE(f.StaticText1->font().bold());
    EXPECT_EQ(f.StaticText1->frameShadow(), QFrame::Sunken);
    // No buddy: the ampersand is shown, not taken as a mnemonic marker.
    EXPECT_EQ(f.StaticText1->buddy(), nullptr);

    f.show();
    pumpUntil([&] { return !services.dialogs->shown.empty(); }, 2000);
    EXPECT_TRUE(f.grab().save(QString::fromStdString(testenv::appDir() + "launcher-window.png")));
}

TEST_F(LogoForm, CreationMakesTheOptionsObjectThenTheRipperBothHidden) {
    auto launcher = makeLauncher();
    ASSERT_NE(launcher->OptionsForm(), nullptr);
    EXPECT_EQ(TOptionsForm::Current(), launcher->OptionsForm());
    EXPECT_EQ(optionsAtRipperCreation, launcher->OptionsForm());
    EXPECT_EQ(rippersMade, 1);
    EXPECT_FALSE(launcher->OptionsForm()->isVisible());
    EXPECT_FALSE(launcher->RipperForm()->isVisible());
    // Creating the launcher checks nothing; only showing it does.
    EXPECT_TRUE(services.dialogs->shown.empty());
}

TEST_F(LogoForm, AssociationMessageAtFirstStartOnly) {
    {
        auto first = makeLauncher();
        first->show();
        EXPECT_TRUE(pumpUntil([&] { return !services.dialogs->shown.empty(); }, 3000));
        ASSERT_EQ(services.dialogs->shown.size(), 1u);
        EXPECT_EQ(services.dialogs->shown[0].text, kAssociatedText);
        EXPECT_EQ(services.dialogs->shown[0].caption, "OK");
    }
    EXPECT_TRUE(settings::IsShellAssociated());
    auto second = makeLauncher();
    second->show();
    pumpFor(300);
    EXPECT_EQ(services.dialogs->shown.size(), 1u);
}

TEST_F(LogoForm, RestoringFromMinimisedDoesNotCheckButAShowDoes) {
    auto launcher = makeLauncher();
    launcher->show();
    ASSERT_TRUE(pumpUntil([&] { return boxesWithText(kAssociatedText) == 1; }, 3000));
    ASSERT_TRUE(settings::DeassociateShell());

    launcher->showMinimized();
    pumpFor(100);
    launcher->showNormal();
    pumpFor(300);
    EXPECT_EQ(boxesWithText(kAssociatedText), 1);
    EXPECT_FALSE(settings::IsShellAssociated());

    launcher->hide();
    launcher->show();
    EXPECT_TRUE(pumpUntil([&] { return boxesWithText(kAssociatedText) == 2; }, 3000));
    EXPECT_TRUE(settings::IsShellAssociated());
}

TEST_F(LogoForm, CdRipperShowsTheOneRipperWindowWithoutBlocking) {
    auto launcher = makeLauncher();
    QWidget* ripper = launcher->RipperForm();
    // The drives are looked for once, at the first opening, before the window shows.
    int firstOpens = 0;
    bool visibleAtFirstOpen = true;
    launcher->SetRipperFirstOpen([&] {
        ++firstOpens;
        visibleAtFirstOpen = ripper->isVisible();
    });
    launcher->SpeedButton1->click();
    EXPECT_EQ(firstOpens, 1);
    EXPECT_FALSE(visibleAtFirstOpen);
    EXPECT_TRUE(ripper->isVisible());
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    ripper->close();
    EXPECT_FALSE(ripper->isVisible());
    launcher->SpeedButton1->click();
    launcher->SpeedButton1->click();
    EXPECT_TRUE(ripper->isVisible());
    EXPECT_EQ(launcher->RipperForm(), ripper);
    EXPECT_EQ(rippersMade, 1);
    EXPECT_EQ(firstOpens, 1);
}

TEST_F(LogoForm, RecorderIsShownModallyUntilItCloses) {
    auto launcher = makeLauncher();
    QDialog recorder;
    launcher->SetRecorderForm(&recorder);
    bool sawModal = false;
    bool closedByTest = false;
    QTimer::singleShot(50, &recorder, [&] {
        sawModal = recorder.isVisible() && QApplication::activeModalWidget() == &recorder;
        closedByTest = true;
        recorder.close();
    });
    // A safety net: the modal loop must never outlive the test.
    QTimer::singleShot(10000, &recorder, [&] { recorder.reject(); });

    launcher->SpeedButton2->click();

    EXPECT_TRUE(closedByTest); // the click returned only after the recorder closed
    EXPECT_TRUE(sawModal);
    EXPECT_FALSE(recorder.isVisible());
}

TEST_F(LogoForm, DeassociateRunsTheRemovalDialogue) {
    auto launcher = makeLauncher();
    settings::AssociateShell();
    services.dialogs->answer(platform::Ok);
    launcher->BitBtn2->click();
    ASSERT_EQ(services.dialogs->shown.size(), 2u);
    EXPECT_EQ(services.dialogs->shown[0].caption, "Sure ?");
    EXPECT_EQ(services.dialogs->shown[1].text, "Shell association removed successfully");
    EXPECT_FALSE(settings::IsShellAssociated());
}

TEST_F(LogoForm, OptionsShowsTheCurrentOptionsDialogWithoutBlocking) {
    auto launcher = makeLauncher();
    launcher->BitBtn3->click();
    EXPECT_TRUE(launcher->OptionsForm()->isVisible());
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    launcher->OptionsForm()->hide();

    TOptionsForm later;
    launcher->BitBtn3->click();
    EXPECT_TRUE(later.isVisible());
    EXPECT_FALSE(launcher->OptionsForm()->isVisible());
}

TEST_F(LogoForm, StartHelpOpensTheDocumentFromCurrentThenProgramFolder) {
    EXPECT_TRUE(testenv::fileExists(testenv::appDir() + "mp3tw.html"));
    auto launcher = makeLauncher();
    char previous[4096];
    ASSERT_NE(getcwd(previous, sizeof previous), nullptr);
    std::string here = testenv::makeDir("help-cwd");
    ASSERT_EQ(chdir(here.c_str()), 0);

    launcher->BitBtn4->click();
    testenv::writeFile(here + "/mp3tw.html", "<html></html>");
    launcher->BitBtn4->click();
    ASSERT_EQ(chdir(previous), 0);

    ASSERT_EQ(services.shell->calls.size(), 2u);
    EXPECT_EQ(services.shell->calls[0].path, platform::programDir() + "mp3tw.html");
    EXPECT_EQ(services.shell->calls[0].mode, platform::ShowMode::Normal);
    EXPECT_EQ(services.shell->calls[1].path, here + "/mp3tw.html");
    EXPECT_TRUE(services.dialogs->shown.empty());

    // With no program to open it, a box over the launcher says where it is.
    services.shell->opens = false;
    launcher->BitBtn4->click();
    ASSERT_EQ(services.dialogs->shown.size(), 1u);
    EXPECT_NE(services.dialogs->shown[0].text.find(platform::programDir() + "mp3tw.html"),
              std::string::npos);
    EXPECT_EQ(services.dialogs->shown[0].owner, launcher.get());
}

TEST_F(LogoForm, ClosingTellsStartUp) {
    auto launcher = makeLauncher();
    QSignalSpy closed(launcher.get(), &TLogoForm::Closed);
    launcher->show();
    pumpUntil([&] { return !services.dialogs->shown.empty(); }, 3000);
    launcher->close();
    EXPECT_EQ(closed.count(), 1);
    EXPECT_FALSE(launcher->isVisible());
}

} // namespace

TEST_F(LogoForm, EveryButtonIsReachedWithTabAndPressedWithSpace) {
    auto launcher = makeLauncher();
    QDialog recorder;
    launcher->SetRecorderForm(&recorder);
    launcher->show();
    launcher->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(launcher.get()));
    pumpFor(50); // the association box of the first show

    std::set<QWidget*> reached = testenv::tabStops(launcher->BitBtn4, 12);
    for (QAbstractButton* button : std::initializer_list<QAbstractButton*>{
             launcher->SpeedButton1, launcher->SpeedButton2, launcher->BitBtn2, launcher->BitBtn3,
             launcher->BitBtn4}) {
        EXPECT_TRUE(reached.count(button)) << button->text().toStdString();
    }

    launcher->SpeedButton1->setFocus();
    QTest::keyClick(launcher->SpeedButton1, Qt::Key_Space);
    EXPECT_TRUE(launcher->RipperForm()->isVisible());

    bool recorderShown = false;
    QTimer::singleShot(50, &recorder, [&] {
        recorderShown = recorder.isVisible();
        recorder.close();
    });
    QTimer::singleShot(10000, &recorder, [&] { recorder.reject(); });
    launcher->activateWindow();
    launcher->SpeedButton2->setFocus();
    QTest::keyClick(launcher->SpeedButton2, Qt::Key_Space);
    EXPECT_TRUE(recorderShown);
}
