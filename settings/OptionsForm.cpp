#include "settings/OptionsForm.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFile>
#include <QFrame>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QLinearGradient>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>
#include <QToolButton>

#include "platform/RadioFocus.h"
#include "platform/Services.h"

namespace {

TOptionsForm* g_current = nullptr;

QString display(const std::string& bytes) {
    return QFile::decodeName(bytes.c_str());
}
std::string bytes(const QString& text) {
    return QFile::encodeName(text).toStdString();
}

QPixmap sidePicture() {
    QPixmap pixmap(65, 300);
    QPainter p(&pixmap);
    QLinearGradient g(0, 0, 0, 300);
    g.setColorAt(0, QColor(0, 0, 96));
    g.setColorAt(1, QColor(0, 128, 192));
    p.fillRect(pixmap.rect(), g);
    p.setPen(QColor(255, 255, 255, 160));
    p.rotate(-90);
    QFont f = p.font();
    f.setBold(true);
    f.setPointSize(16);
    p.setFont(f);
    p.drawText(QRect(-300, 0, 300, 65), Qt::AlignCenter, "Options");
    return pixmap;
}

} // namespace

TOptionsForm* TOptionsForm::Current() {
    return g_current;
}

TOptionsForm::TOptionsForm(QWidget* parent)
    : QWidget(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                          Qt::WindowCloseButtonHint | Qt::CustomizeWindowHint) {
    setWindowTitle("Options");
    setFixedSize(487, 377);
    move(221, 95);

    Image1 = new QLabel(this);
    Image1->setGeometry(8, 8, 65, 300);
    Image1->setPixmap(sidePicture());

    auto directoryGroup = [this](const char* title, int top, QLineEdit*& edit,
                                 QToolButton*& button) {
        auto* group = new QGroupBox(title, this);
        group->setGeometry(80, top, 400, 50);
        edit = new QLineEdit(group);
        edit->setGeometry(10, 20, 346, 22);
        button = new QToolButton(group);
        button->setGeometry(362, 19, 28, 24);
        button->setIcon(style()->standardIcon(QStyle::SP_DirOpenIcon));
        return group;
    };
    GroupBox1 = directoryGroup("Decoded WAVs directory", 4, Edit1, SpeedButton1);
    Edit1->setToolTip("Directory to place WAVs");
    GroupBox2 = directoryGroup("Compressed MP3s directory", 56, Edit3, SpeedButton2);
    GroupBox3 = directoryGroup("CD Ripper output", 108, Edit2, SpeedButton4);

    RadioGroup1 = new QGroupBox(this);
    RadioGroup1->setGeometry(80, 162, 196, 78);
    RadioGroup1Buttons = new QButtonGroup(this);
    const char* overwriteItems[] = {"Overwrite existing files", "Rename to unique name",
                                    "Skip existing files"};
    for (int i = 0; i < 3; ++i) {
        auto* b = new QRadioButton(overwriteItems[i], RadioGroup1);
        b->setGeometry(10, 8 + i * 22, 180, 20);
        RadioGroup1Buttons->addButton(b, i);
    }
    const QList<QAbstractButton*> group1 = RadioGroup1Buttons->buttons();
    platform::TabToCheckedButton({group1.begin(), group1.end()});

    RadioGroup2 = new QGroupBox("Main window position", this);
    RadioGroup2->setGeometry(284, 162, 196, 128);
    RadioGroup2Buttons = new QButtonGroup(this);
    const char* positionItems[] = {"Desktop center", "Left top", "Left bottom", "Right top",
                                   "Right bottom"};
    for (int i = 0; i < 5; ++i) {
        auto* b = new QRadioButton(positionItems[i], RadioGroup2);
        b->setGeometry(10, 20 + i * 21, 180, 20);
        RadioGroup2Buttons->addButton(b, i);
    }
    const QList<QAbstractButton*> group2 = RadioGroup2Buttons->buttons();
    platform::TabToCheckedButton({group2.begin(), group2.end()});

    GroupBox4 = new QGroupBox("Work priority", this);
    GroupBox4->setGeometry(80, 244, 196, 50);
    ComboBox1 = new QComboBox(GroupBox4);
    ComboBox1->setGeometry(10, 20, 176, 22);
    ComboBox1->addItems({"Low", "Normal", "Above normal", "High"});
    ComboBox1->setMaxVisibleItems(4);
    ComboBox1->setToolTip("CPU resources take off");

    CheckBox3 = new QCheckBox("Open decoded directory at end", this);
    CheckBox3->setGeometry(270, 296, 215, 18);
    CheckBox2 = new QCheckBox("Play sound when done", this);
    CheckBox2->setGeometry(270, 316, 215, 18);
    CheckBox1 = new QCheckBox("Don't display errors", this);
    CheckBox1->setGeometry(80, 316, 186, 18);

    auto* rule = new QFrame(this);
    rule->setFrameShape(QFrame::HLine);
    rule->setFrameShadow(QFrame::Sunken);
    rule->setGeometry(8, 336, 471, 2);

    BitBtn1 = new QPushButton("OK", this);
    BitBtn1->setGeometry(206, 344, 75, 25);
    BitBtn1->setDefault(true);

    connect(Edit1, &QLineEdit::textChanged, this, &TOptionsForm::Edit1Change);
    connect(Edit2, &QLineEdit::textChanged, this, &TOptionsForm::Edit2Change);
    connect(Edit3, &QLineEdit::textChanged, this, &TOptionsForm::Edit3Change);
    connect(SpeedButton1, &QToolButton::clicked, this, &TOptionsForm::SpeedButton1Click);
    connect(SpeedButton2, &QToolButton::clicked, this, &TOptionsForm::SpeedButton2Click);
    connect(SpeedButton4, &QToolButton::clicked, this, &TOptionsForm::SpeedButton4Click);
    connect(RadioGroup1Buttons, &QButtonGroup::idClicked, this, &TOptionsForm::RadioGroup1Click);
    connect(RadioGroup2Buttons, &QButtonGroup::idClicked, this, &TOptionsForm::RadioGroup2Click);
    connect(ComboBox1, &QComboBox::currentIndexChanged, this, &TOptionsForm::ComboBox1Change);
    connect(CheckBox1, &QCheckBox::clicked, this, &TOptionsForm::CheckBox1Click);
    connect(CheckBox2, &QCheckBox::clicked, this, &TOptionsForm::CheckBox2Click);
    connect(CheckBox3, &QCheckBox::clicked, this, &TOptionsForm::CheckBox3Click);
    connect(BitBtn1, &QPushButton::clicked, this, &TOptionsForm::BitBtn1Click);

    // FormCreate: the record is loaded once, when the object is made.
    LoadSettings();
    g_current = this;
}

TOptionsForm::~TOptionsForm() {
    if (g_current == this) {
        g_current = nullptr;
    }
}

void TOptionsForm::LoadSettings() {
    settings::LoadSettingsRecord(Settings);
    ShowSettings();
}

void TOptionsForm::SetDefaultSettings() {
    settings::SetDefaultSettings(Settings);
}

void TOptionsForm::ValidateSettings() {
    settings::ValidateSettings(Settings);
}

void TOptionsForm::ShowSettings() {
    // The change handlers copy each control back into the record; while the
    // controls are filled from the record that copy is the same value anyway.
    showing_ = true;
    Edit1->setText(display(Settings.DecodedDir));
    Edit3->setText(display(Settings.EncodedDir));
    Edit2->setText(display(Settings.RipperOut));
    if (auto* b = RadioGroup1Buttons->button(Settings.Overwrite)) {
        b->setChecked(true);
    }
    if (auto* b = RadioGroup2Buttons->button(Settings.MWPosition)) {
        b->setChecked(true);
    }
    ComboBox1->setCurrentIndex(Settings.Priority);
    CheckBox1->setChecked(Settings.NoErrors != 0);
    CheckBox2->setChecked(Settings.PlaySound != 0);
    CheckBox3->setChecked(Settings.OpenDir != 0);
    showing_ = false;
}

void TOptionsForm::SaveSettings() {
    std::string failed;
    if (!settings::SaveSettingsRecord(Settings, &failed)) {
        platform::messageBox(this,
                             failed.empty()
                                 ? std::string("Failed to create key ") + settings::kSettingsKey
                                 : "Failed to set data for '" + failed + "'",
                             platform::applicationTitle(), platform::Ok, platform::Icon::Error);
    }
}

void TOptionsForm::Edit1Change() {
    if (!showing_) {
        Settings.DecodedDir = bytes(Edit1->text());
    }
}

void TOptionsForm::Edit2Change() {
    if (!showing_) {
        Settings.RipperOut = bytes(Edit2->text());
    }
}

void TOptionsForm::Edit3Change() {
    if (!showing_) {
        Settings.EncodedDir = bytes(Edit3->text());
    }
}

void TOptionsForm::BrowseInto(QLineEdit* edit) {
    std::string folder = platform::services().dialogs->browseFolder("", "");
    if (!folder.empty()) {
        edit->setText(display(folder));
    }
}

void TOptionsForm::SpeedButton1Click() {
    BrowseInto(Edit1);
}
void TOptionsForm::SpeedButton2Click() {
    BrowseInto(Edit3);
}
void TOptionsForm::SpeedButton4Click() {
    BrowseInto(Edit2);
}

void TOptionsForm::RadioGroup1Click() {
    Settings.Overwrite = static_cast<int16_t>(RadioGroup1Buttons->checkedId());
}

void TOptionsForm::RadioGroup2Click() {
    Settings.MWPosition = static_cast<int16_t>(RadioGroup2Buttons->checkedId());
}

void TOptionsForm::ComboBox1Change() {
    if (!showing_ && ComboBox1->currentIndex() >= 0) {
        Settings.Priority = static_cast<int16_t>(ComboBox1->currentIndex());
    }
}

void TOptionsForm::CheckBox1Click() {
    Settings.NoErrors = CheckBox1->isChecked() ? 1 : 0;
}
void TOptionsForm::CheckBox2Click() {
    Settings.PlaySound = CheckBox2->isChecked() ? 1 : 0;
}
void TOptionsForm::CheckBox3Click() {
    Settings.OpenDir = CheckBox3->isChecked() ? 1 : 0;
}

void TOptionsForm::BitBtn1Click() {
    close();
}

void TOptionsForm::FormClose() {
    SaveSettings();
}

void TOptionsForm::keyPressEvent(QKeyEvent* event) {
    // OK is the default button: Enter in any control of the dialog presses it.
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        BitBtn1->click();
        return;
    }
    // Escape closes the dialog as its title bar's close button does (which saves:
    // there is no Cancel).
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
        close();
        return;
    }
    QWidget::keyPressEvent(event);
}

void TOptionsForm::closeEvent(QCloseEvent* event) {
    FormClose();
    event->accept();
}
