#pragma once

#include <QWidget>

#include "settings/Settings.h"

class QButtonGroup;
class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QToolButton;

// The options dialog. Its object holds the process's settings record from start-up
// to the end; creating it loads the settings, closing it (OK or the title bar)
// saves them. Every control writes its setting the moment it changes, and there
// is no Cancel.
class TOptionsForm : public QWidget {
    Q_OBJECT
public:
    explicit TOptionsForm(QWidget* parent = nullptr);
    ~TOptionsForm() override;

    // The options object whose record is current: the one created last.
    static TOptionsForm* Current();

    // The settings record; readers take its fields when they need them.
    settings::SettingsRecord Settings;

    void LoadSettings();
    void SetDefaultSettings();
    void ValidateSettings();
    void ShowSettings();
    void SaveSettings();

    // Controls, named as the design names them.
    QLabel* Image1 = nullptr;
    QGroupBox* GroupBox1 = nullptr;
    QLineEdit* Edit1 = nullptr;
    QToolButton* SpeedButton1 = nullptr;
    QGroupBox* GroupBox2 = nullptr;
    QLineEdit* Edit3 = nullptr;
    QToolButton* SpeedButton2 = nullptr;
    QGroupBox* GroupBox3 = nullptr;
    QLineEdit* Edit2 = nullptr;
    QToolButton* SpeedButton4 = nullptr;
    QGroupBox* RadioGroup1 = nullptr;
    QButtonGroup* RadioGroup1Buttons = nullptr;
    QGroupBox* RadioGroup2 = nullptr;
    QButtonGroup* RadioGroup2Buttons = nullptr;
    QGroupBox* GroupBox4 = nullptr;
    QComboBox* ComboBox1 = nullptr;
    QCheckBox* CheckBox1 = nullptr;
    QCheckBox* CheckBox2 = nullptr;
    QCheckBox* CheckBox3 = nullptr;
    QPushButton* BitBtn1 = nullptr;

    void Edit1Change();
    void Edit2Change();
    void Edit3Change();
    void SpeedButton1Click();
    void SpeedButton2Click();
    void SpeedButton4Click();
    void RadioGroup1Click();
    void RadioGroup2Click();
    void ComboBox1Change();
    void CheckBox1Click();
    void CheckBox2Click();
    void CheckBox3Click();
    void BitBtn1Click();
    void FormClose();

protected:
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void BrowseInto(QLineEdit* edit);
    bool showing_ = false; // ShowSettings is filling the controls
};
