#include "settings/LogoForm.h"

#include <QCloseEvent>
#include <QDialog>
#include <QFrame>
#include <QLabel>
#include <QLinearGradient>
#include <QMetaObject>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QPolygon>
#include <QPushButton>
#include <QRadialGradient>
#include <QShowEvent>
#include <QToolButton>
#include <exception>

#include "platform/Help.h"
#include "platform/Services.h"
#include "settings/OptionsForm.h"
#include "settings/ShellAssociation.h"

namespace {

const QColor kDeepBlue(0, 0, 96);
const QColor kSkyBlue(0, 128, 192);

QPixmap banner() {
    QPixmap pixmap(409, 49);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient g(0, 0, 409, 0);
    g.setColorAt(0, kDeepBlue);
    g.setColorAt(1, kSkyBlue);
    p.fillRect(pixmap.rect(), g);
    // A faint waveform behind the title.
    p.setPen(QPen(QColor(255, 255, 255, 60), 1));
    QPainterPath wave;
    wave.moveTo(0, 24);
    for (int x = 0; x < 409; x += 3) {
        int amplitude = 4 + (x * 7) % 17;
        wave.lineTo(x, 24 + ((x / 3) % 2 ? amplitude : -amplitude));
    }
    p.drawPath(wave);
    QFont title("MS Sans Serif", 18);
    title.setStyleHint(QFont::SansSerif);
    title.setBold(true);
    p.setFont(title);
    p.setPen(Qt::white);
    p.drawText(QRect(12, 0, 300, 49), Qt::AlignVCenter | Qt::AlignLeft, "MP3 Tunewright");
    QFont version = title;
    version.setPointSize(10);
    version.setBold(false);
    p.setFont(version);
    p.drawText(QRect(300, 0, 100, 49), Qt::AlignVCenter | Qt::AlignRight, "v3.32");
    return pixmap;
}

// A file list with the context menu open on an MP3 file and the program's
// command highlighted: what the text below the picture describes.
QPixmap illustration() {
    QPixmap pixmap(250, 256);
    pixmap.fill(QColor(236, 236, 236));
    QPainter p(&pixmap);
    QFont font("MS Sans Serif", 8);
    font.setStyleHint(QFont::SansSerif);
    p.setFont(font);

    QRect window(6, 6, 238, 244);
    p.fillRect(window, Qt::white);
    p.setPen(QColor(128, 128, 128));
    p.drawRect(window.adjusted(0, 0, -1, -1));
    p.fillRect(QRect(7, 7, 236, 16), kDeepBlue);
    p.setPen(Qt::white);
    p.drawText(QRect(12, 7, 220, 16), Qt::AlignVCenter, "Music");

    const char* files[] = {"concert.mp3", "interview.wav", "song.mp3", "take 2.wav", "theme.mp3"};
    for (int i = 0; i < 5; ++i) {
        QRect row(10, 28 + i * 20, 120, 18);
        bool selected = i == 2;
        if (selected) {
            p.fillRect(row, QColor(0, 120, 215));
        }
        // A small note as the file's symbol.
        p.setPen(Qt::NoPen);
        p.setBrush(selected ? Qt::white : kSkyBlue);
        p.drawEllipse(QRect(row.left() + 3, row.top() + 10, 6, 5));
        p.fillRect(QRect(row.left() + 8, row.top() + 3, 1, 10), selected ? Qt::white : kSkyBlue);
        p.setPen(selected ? Qt::white : Qt::black);
        p.drawText(row.adjusted(16, 0, 0, 0), Qt::AlignVCenter, files[i]);
    }

    QRect menu(80, 86, 150, 118);
    p.setPen(QColor(100, 100, 100));
    p.setBrush(QColor(245, 245, 245));
    p.drawRect(menu);
    const char* items[] = {"Open", "Open With", "", "Decode to WAVE", "Compress to MP3",
                           "",     "Properties"};
    int y = menu.top() + 4;
    for (const char* item : items) {
        if (!*item) {
            p.setPen(QColor(190, 190, 190));
            p.drawLine(menu.left() + 4, y + 3, menu.right() - 4, y + 3);
            y += 7;
            continue;
        }
        QRect row(menu.left() + 2, y, menu.width() - 3, 18);
        bool highlighted = QString(item) == "Decode to WAVE";
        if (highlighted) {
            p.fillRect(row, QColor(0, 120, 215));
        }
        p.setPen(highlighted ? Qt::white : Qt::black);
        p.drawText(row.adjusted(18, 0, 0, 0), Qt::AlignVCenter, item);
        y += 18;
    }

    // The mouse pointer on the highlighted command.
    QPolygon arrow;
    arrow << QPoint(0, 0) << QPoint(0, 16) << QPoint(4, 12) << QPoint(7, 19) << QPoint(9, 18)
          << QPoint(6, 11) << QPoint(11, 11);
    arrow.translate(200, 137);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::black);
    p.setBrush(Qt::white);
    p.drawPolygon(arrow);
    return pixmap;
}

enum class Glyph { Disc, Record, Remove, Options, Help };

QPixmap glyph(Glyph kind) {
    QPixmap pixmap(16, 16);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    switch (kind) {
    case Glyph::Disc: {
        QRadialGradient g(8, 8, 8);
        g.setColorAt(0, QColor(255, 255, 255));
        g.setColorAt(0.5, QColor(180, 200, 230));
        g.setColorAt(1, QColor(120, 140, 200));
        p.setPen(QColor(80, 80, 120));
        p.setBrush(g);
        p.drawEllipse(QRectF(0.5, 0.5, 15, 15));
        p.setBrush(QColor(240, 240, 240));
        p.drawEllipse(QRectF(5.5, 5.5, 5, 5));
        break;
    }
    case Glyph::Record:
        p.setPen(QColor(120, 0, 0));
        p.setBrush(QColor(220, 0, 0));
        p.drawEllipse(QRectF(2.5, 2.5, 11, 11));
        break;
    case Glyph::Remove:
        p.setPen(QPen(QColor(200, 0, 0), 3, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(3, 3, 13, 13);
        p.drawLine(13, 3, 3, 13);
        break;
    case Glyph::Options:
        p.setPen(QPen(QColor(60, 60, 60), 2));
        for (int i = 0; i < 3; ++i) {
            int y = 3 + i * 5;
            p.drawLine(1, y, 15, y);
        }
        p.setPen(QColor(40, 40, 40));
        p.setBrush(kSkyBlue);
        p.drawRect(QRectF(3.5, 1.5, 3, 4));
        p.drawRect(QRectF(9.5, 6.5, 3, 4));
        p.drawRect(QRectF(5.5, 11.5, 3, 4));
        break;
    case Glyph::Help: {
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(0, 90, 200));
        p.drawEllipse(QRectF(0.5, 0.5, 15, 15));
        QFont f("MS Sans Serif", 9);
        f.setStyleHint(QFont::SansSerif);
        f.setBold(true);
        p.setFont(f);
        p.setPen(Qt::white);
        p.drawText(QRect(0, 0, 16, 16), Qt::AlignCenter, "?");
        break;
    }
    }
    return pixmap;
}

QPixmap programIcon() {
    QPixmap pixmap(32, 32);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient g(0, 0, 32, 32);
    g.setColorAt(0, kSkyBlue);
    g.setColorAt(1, kDeepBlue);
    p.setPen(Qt::NoPen);
    p.setBrush(g);
    p.drawRoundedRect(QRectF(1, 1, 30, 30), 6, 6);
    p.setBrush(Qt::white);
    p.drawEllipse(QRectF(7, 19, 8, 6));
    p.drawEllipse(QRectF(18, 16, 8, 6));
    p.fillRect(QRectF(13.5, 7, 1.5, 15), Qt::white);
    p.fillRect(QRectF(24.5, 4, 1.5, 15), Qt::white);
    p.fillRect(QRectF(13.5, 5, 12.5, 3), Qt::white);
    return pixmap;
}

void bringUp(QWidget* window) {
    if (window->isMinimized()) {
        window->showNormal();
    } else {
        window->show();
    }
    window->raise();
    window->activateWindow();
}

} // namespace

TLogoForm::TLogoForm(const WindowFactory& makeRipperForm, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::MSWindowsFixedSizeDialogHint | Qt::CustomizeWindowHint |
                          Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint) {
    setWindowTitle("MP3 Tunewright v3.32");
    setWindowIcon(QIcon(programIcon()));
    QFont designFont("MS Sans Serif", 8);
    designFont.setStyleHint(QFont::SansSerif);
    setFont(designFont);
    setFixedSize(407, 444);
    move(224, 69);

    Image1 = new QLabel(this);
    Image1->setGeometry(2, 1, 409, 49);
    Image1->setPixmap(banner());

    Bevel1 = new QFrame(this);
    Bevel1->setFrameStyle(QFrame::Box | QFrame::Sunken);
    Bevel1->setGeometry(0, 56, 265, 361);

    Image2 = new QLabel(this);
    Image2->setGeometry(8, 64, 250, 256);
    Image2->setPixmap(illustration());

    Label2 = new QLabel(this);
    Label2->setGeometry(8, 320, 249, 89);
    Label2->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    Label2->setWordWrap(true);
    Label2->setText("This example shows how to use Tunewright integrated to Windows shell. Just "
                    "select appropriate MP3 or WAV file(s) from Window's Explorer, right click on "
                    "it and select \"Decode to WAVE\" or \"Compress to MP3\" from popup menu. The "
                    "conversion will start.");

    Bevel2 = new QFrame(this);
    Bevel2->setFrameStyle(QFrame::Box | QFrame::Sunken);
    Bevel2->setGeometry(272, 56, 129, 361);

    // A label without a buddy shows an ampersand as it is.
    StaticText1 = new QLabel("Tools & Options", this);
    StaticText1->setGeometry(280, 64, 113, 17);
    StaticText1->setAlignment(Qt::AlignCenter);
    StaticText1->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    QFont bold = designFont;
    bold.setBold(true);
    StaticText1->setFont(bold);

    auto speedButton = [this](const char* text, Glyph kind, int top) {
        auto* button = new QToolButton(this);
        button->setText(text);
        button->setIcon(QIcon(glyph(kind)));
        button->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
        button->setAutoRaise(false);
        // Reached with Tab and pressed with Space like the buttons below them.
        button->setFocusPolicy(Qt::StrongFocus);
        button->setGeometry(280, top, 113, 25);
        return button;
    };
    auto bitButton = [this](const char* text, Glyph kind, int top) {
        auto* button = new QPushButton(QIcon(glyph(kind)), text, this);
        button->setGeometry(280, top, 113, 25);
        return button;
    };
    SpeedButton1 = speedButton("CD Ripper", Glyph::Disc, 136);
    SpeedButton2 = speedButton("Recorder", Glyph::Record, 168);
    BitBtn2 = bitButton("Deassociate", Glyph::Remove, 200);
    BitBtn2->setToolTip("Deassociate program from MP3");
    BitBtn3 = bitButton("Options", Glyph::Options, 232);
    BitBtn3->setToolTip("Options");
    BitBtn4 = bitButton(" Start help", Glyph::Help, 264);

    connect(SpeedButton1, &QToolButton::clicked, this, &TLogoForm::SpeedButton1Click);
    connect(SpeedButton2, &QToolButton::clicked, this, &TLogoForm::SpeedButton2Click);
    connect(BitBtn2, &QPushButton::clicked, this, &TLogoForm::BitBtn2Click);
    connect(BitBtn3, &QPushButton::clicked, this, &TLogoForm::BitBtn3Click);
    connect(BitBtn4, &QPushButton::clicked, this, &TLogoForm::BitBtn4Click);

    // FormCreate: the options object first (it loads the settings), then the
    // ripper, which looks for the CD drives only when it is first opened.
    optionsForm_ = std::make_unique<TOptionsForm>();
    if (makeRipperForm) {
        ripperForm_ = makeRipperForm();
    }
}

TLogoForm::~TLogoForm() {
    ripperForm_.reset();
    optionsForm_.reset();
}

void TLogoForm::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    // Restoring a minimised window is a spontaneous show; only a real show
    // checks the association. The check runs once the window is up, so its
    // message appears over the launcher rather than before it.
    if (!event->spontaneous()) {
        QMetaObject::invokeMethod(
            this,
            [this] {
                if (isVisible()) {
                    FormShow();
                }
            },
            Qt::QueuedConnection);
    }
}

void TLogoForm::closeEvent(QCloseEvent* event) {
    event->accept();
    emit Closed();
}

void TLogoForm::FormShow() {
    // A write that fails halfway is reported the way the application reports an
    // escaped error; the next show finds the association incomplete and retries.
    try {
        settings::ShellAssociationDialogue(this);
    } catch (const std::exception& e) {
        platform::messageBox(this, e.what(), platform::applicationTitle(), platform::Ok,
                             platform::Icon::Error);
    }
}

void TLogoForm::SpeedButton1Click() {
    if (!ripperForm_) {
        return;
    }
    // Discovery (and its box when there is no drive) happens before the window
    // first paints, so the window opens with its drive list and track list.
    if (!ripperOpened_) {
        ripperOpened_ = true;
        if (ripperFirstOpen_) {
            ripperFirstOpen_();
        }
    }
    bringUp(ripperForm_.get());
}

void TLogoForm::SpeedButton2Click() {
    if (recorderForm_) {
        recorderForm_->exec();
    }
}

void TLogoForm::BitBtn2Click() {
    settings::ShellRemovalDialogue(this);
}

void TLogoForm::BitBtn3Click() {
    if (TOptionsForm* options = TOptionsForm::Current()) {
        bringUp(options);
    }
}

void TLogoForm::BitBtn4Click() {
    platform::openHelp(this);
}
