#include <gtest/gtest.h>

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QToolButton>

#include "FakeServices.h"
#include "TestEnv.h"
#include "platform/Paths.h"
#include "platform/Registry.h"
#include "settings/OptionsForm.h"

using platform::Registry;
using platform::RegistryRoot;

namespace {
// Each test starts from an empty registry, also when all run in one process.
class OptionsForm : public ::testing::Test {
protected:
    void SetUp() override { testenv::useFreshRegistry(); }
};
}  // namespace

TEST_F(OptionsForm, FreshStartShowsTheDefaults) {
    testenv::FakeServices services;
    TOptionsForm form;
    EXPECT_EQ(TOptionsForm::Current(), &form);
    EXPECT_EQ(form.windowTitle(), "Options");
    EXPECT_EQ(form.size(), QSize(487, 377));
    EXPECT_EQ(form.Edit1->text().toStdString(), platform::musicDir() + "/Decoded WAVs");
    EXPECT_EQ(form.Edit3->text().toStdString(), platform::musicDir() + "/Compressed MP3");
    EXPECT_EQ(form.Edit2->text().toStdString(), platform::musicDir() + "/Ripped Files");
    EXPECT_EQ(form.RadioGroup1Buttons->checkedButton()->text(), "Overwrite existing files");
    EXPECT_EQ(form.RadioGroup2Buttons->checkedButton()->text(), "Right bottom");
    EXPECT_EQ(form.ComboBox1->currentText(), "Above normal");
    EXPECT_TRUE(form.CheckBox2->isChecked());
    EXPECT_FALSE(form.CheckBox1->isChecked());
    EXPECT_FALSE(form.CheckBox3->isChecked());
    EXPECT_EQ(form.RadioGroup2->title(), "Main window position");
    EXPECT_EQ(form.Edit1->toolTip(), "Directory to place WAVs");
    EXPECT_EQ(form.ComboBox1->toolTip(), "CPU resources take off");
    EXPECT_EQ(form.ComboBox1->count(), 4);
    EXPECT_EQ(form.CheckBox1->text(), "Don't display errors");
    EXPECT_EQ(form.CheckBox3->text(), "Open decoded directory at end");
    form.grab().save(QString::fromStdString(testenv::appDir() + "options-dialog.png"));
}

TEST_F(OptionsForm, EveryControlWritesItsFieldAtOnce) {
    testenv::FakeServices services;
    TOptionsForm form;
    form.show();
    form.Edit1->clear();
    QTest::keyClicks(form.Edit1, "/abcde");
    EXPECT_EQ(form.Settings.DecodedDir, "/abcde");
    form.Edit3->setText("/enc");
    EXPECT_EQ(form.Settings.EncodedDir, "/enc");
    form.Edit2->setText("/rip");
    EXPECT_EQ(form.Settings.RipperOut, "/rip");
    form.RadioGroup1Buttons->button(2)->click();
    EXPECT_EQ(form.Settings.Overwrite, 2);
    form.RadioGroup2Buttons->button(0)->click();
    EXPECT_EQ(form.Settings.MWPosition, 0);
    form.ComboBox1->setCurrentIndex(0);
    EXPECT_EQ(form.Settings.Priority, 0);
    form.CheckBox1->click();
    EXPECT_EQ(form.Settings.NoErrors, 1);
    form.CheckBox2->click();
    EXPECT_EQ(form.Settings.PlaySound, 0);
    form.CheckBox3->click();
    EXPECT_EQ(form.Settings.OpenDir, 1);
    EXPECT_FALSE(Registry(RegistryRoot::CurrentUser).keyExists(settings::kSettingsKey))
        << "nothing is saved before the dialog closes";
}

TEST_F(OptionsForm, KeystrokesStoreSuccessivelyLongerTexts) {
    testenv::FakeServices services;
    TOptionsForm form;
    form.Edit1->clear();
    std::vector<std::string> seen;
    for (char c : std::string("/music")) {
        QTest::keyClick(form.Edit1, c);
        seen.push_back(form.Settings.DecodedDir);
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"/", "/m", "/mu", "/mus", "/musi", "/music"}));
}

TEST_F(OptionsForm, ClosingByTitleBarSaves) {
    testenv::FakeServices services;
    TOptionsForm form;
    form.show();
    form.CheckBox2->click();
    form.CheckBox2->click();
    form.close();
    EXPECT_FALSE(form.isVisible());
    Registry reg(RegistryRoot::CurrentUser);
    EXPECT_EQ(reg.readInteger(settings::kSettingsKey, "PlaySound"), 1);
    EXPECT_EQ(reg.readString(settings::kSettingsKey, "Signature"), "MP3 Tunewright");
}

TEST_F(OptionsForm, OkSavesAllTenValuesAndReopeningShowsTheRecord) {
    testenv::FakeServices services;
    TOptionsForm form;
    form.show();
    form.Edit3->setText("/changed");
    form.BitBtn1->click();
    EXPECT_FALSE(form.isVisible());
    Registry reg(RegistryRoot::CurrentUser);
    EXPECT_EQ(reg.readString(settings::kSettingsKey, "EncodedDir"), "/changed");
    EXPECT_EQ(reg.readInteger(settings::kSettingsKey, "NoErrors"), 0);
    form.show();
    EXPECT_EQ(form.Edit3->text(), "/changed");
    // A second options object loads what the first saved and becomes current.
    TOptionsForm second;
    EXPECT_EQ(TOptionsForm::Current(), &second);
    EXPECT_EQ(second.Settings.EncodedDir, "/changed");
}

TEST_F(OptionsForm, EnterInAnyControlPressesOk) {
    testenv::FakeServices services;
    TOptionsForm form;
    form.show();
    form.Edit2->setFocus();
    form.Edit2->setText("/typed");
    QTest::keyClick(form.Edit2, Qt::Key_Return);
    EXPECT_FALSE(form.isVisible());
    EXPECT_EQ(Registry(RegistryRoot::CurrentUser).readString(settings::kSettingsKey, "RipperOut"),
              "/typed");
}

TEST_F(OptionsForm, EscapeClosesAndSavesLikeTheCloseButton) {
    testenv::FakeServices services;
    TOptionsForm form;
    form.show();
    form.CheckBox3->setFocus();
    QTest::keyClick(form.CheckBox3, Qt::Key_Space);
    EXPECT_EQ(form.Settings.OpenDir, 1);
    QTest::keyClick(form.CheckBox3, Qt::Key_Escape);
    EXPECT_FALSE(form.isVisible());
    EXPECT_EQ(Registry(RegistryRoot::CurrentUser).readInteger(settings::kSettingsKey, "OpenDir"),
              1);
}

TEST_F(OptionsForm, BrowseFillsTheEditOrLeavesItOnCancel) {
    testenv::FakeServices services;
    TOptionsForm form;
    std::string before = form.Settings.RipperOut;
    services.dialogs->folders.push_back("");
    form.SpeedButton4->click();
    EXPECT_EQ(form.Settings.RipperOut, before);
    services.dialogs->folders.push_back("/picked/folder");
    form.SpeedButton1->click();
    EXPECT_EQ(form.Edit1->text(), "/picked/folder");
    EXPECT_EQ(form.Settings.DecodedDir, "/picked/folder");
}

TEST_F(OptionsForm, FailedSaveShowsTheErrorBox) {
    testenv::FakeServices services;
    std::string blocker = testenv::root() + "notadir";
    testenv::writeFile(blocker, "x");
    setenv("TUNEWRIGHT_REGISTRY_DIR", (blocker + "/reg").c_str(), 1);
    TOptionsForm form;
    form.show();
    form.close();
    ASSERT_EQ(services.dialogs->shown.size(), 1u);
    EXPECT_EQ(services.dialogs->shown[0].icon, platform::Icon::Error);
    EXPECT_NE(services.dialogs->shown[0].text.find("MP3 Tunewright"), std::string::npos);
    EXPECT_EQ(form.Settings.PlaySound, 1) << "the record in memory is unaffected";
}
