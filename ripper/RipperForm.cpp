#include "ripper/RipperForm.h"

#include <algorithm>

#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QFile>
#include <QFrame>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QTextCursor>
#include <QTreeWidget>

#include "platform/Help.h"
#include "platform/Paths.h"
#include "platform/Services.h"
#include "ripper/RxSwitch.h"

class TTrackItem : public QTreeWidgetItem {
public:
    TTrackItem(QTreeWidget* list, const ripper::TrackRow& row) : Info(row.info) {
        setText(0, QString::fromStdString(row.caption));
        setText(1, QString::fromStdString(row.lengthText));
        setText(2, QString::fromStdString(row.sizeText));
        list->addTopLevelItem(this);
    }
    ripper::TrackRowInfo Info;
};

const ripper::TrackRowInfo* TrackRowInfoOf(const QTreeWidgetItem* item) {
    auto* track = dynamic_cast<const TTrackItem*>(item);
    return track ? &track->Info : nullptr;
}

namespace {

QPixmap discPicture(int size) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    QRectF r(0.5, 0.5, size - 1, size - 1);
    QRadialGradient shine(r.center(), size / 2.0, r.topLeft() + QPointF(size / 3.0, size / 3.0));
    shine.setColorAt(0, QColor(250, 250, 255));
    shine.setColorAt(0.6, QColor(190, 200, 230));
    shine.setColorAt(1, QColor(150, 160, 200));
    p.setPen(QPen(QColor(90, 90, 120), 1));
    p.setBrush(shine);
    p.drawEllipse(r);
    qreal hole = size / 5.0;
    p.setBrush(Qt::white);
    p.drawEllipse(r.center(), hole, hole);
    return pixmap;
}

QPixmap glyph(int kind) {
    QPixmap pixmap(16, 16);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    switch (kind) {
    case 0: // rip: a disc with a red arrow
        p.drawPixmap(0, 0, discPicture(14));
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(200, 0, 0));
        p.drawPolygon(QPolygonF({QPointF(9, 9), QPointF(16, 9), QPointF(12.5, 15)}));
        break;
    case 1: // stop: a dark red square
        p.setPen(QPen(QColor(90, 0, 0), 1));
        p.setBrush(QColor(190, 20, 20));
        p.drawRect(QRectF(3.5, 3.5, 9, 9));
        break;
    case 2: // quit: an open door
        p.setPen(QPen(QColor(60, 60, 60), 1));
        p.setBrush(QColor(160, 110, 60));
        p.drawRect(QRectF(3.5, 1.5, 9, 13));
        p.setBrush(QColor(250, 220, 120));
        p.drawEllipse(QPointF(10, 8.5), 1, 1);
        break;
    default: { // help: a question mark in a blue circle
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(30, 80, 180));
        p.drawEllipse(QRectF(0.5, 0.5, 15, 15));
        QFont f = p.font();
        f.setBold(true);
        f.setPixelSize(12);
        p.setFont(f);
        p.setPen(Qt::white);
        p.drawText(QRectF(0, 0, 16, 16), Qt::AlignCenter, "?");
        break;
    }
    }
    return pixmap;
}

QPixmap logoPicture() {
    QPixmap pixmap(116, 50);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient band(0, 0, 0, 50);
    band.setColorAt(0, QColor(20, 40, 110));
    band.setColorAt(1, QColor(5, 10, 40));
    p.fillRect(pixmap.rect(), band);
    p.drawPixmap(4, 9, discPicture(32));
    QFont f = p.font();
    f.setBold(true);
    f.setPixelSize(13);
    p.setFont(f);
    p.setPen(QColor(255, 200, 40));
    p.drawText(QRectF(40, 6, 74, 18), Qt::AlignLeft | Qt::AlignVCenter, "MP3");
    f.setPixelSize(11);
    p.setFont(f);
    p.setPen(Qt::white);
    p.drawText(QRectF(40, 24, 76, 18), Qt::AlignLeft | Qt::AlignVCenter, "Tunewright");
    return pixmap;
}

QLabel* label(QWidget* parent, const QString& text, int left, int top, int width = -1) {
    auto* l = new QLabel(text, parent);
    if (width < 0) {
        l->adjustSize();
        l->move(left, top);
    } else {
        l->setGeometry(left, top, width, 13);
    }
    return l;
}

} // namespace

TRipperForm::TRipperForm(QWidget* parent, ripper::CdLibrary& library)
    : QWidget(parent, Qt::Window), Drives(library), Engine(Drives, *this) {
    RipperOutSource = [] { return platform::joinPath(platform::musicDir(), "Ripped Files"); };
    createControls();
}

TRipperForm::~TRipperForm() = default;

void TRipperForm::createControls() {
    setObjectName("TRipperForm");
    setWindowTitle("CD Ripper");
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                   Qt::MSWindowsFixedSizeDialogHint);
    QFont f = font();
    f.setFamilies({"MS Sans Serif", "Sans Serif"});
    f.setPointSize(8);
    setFont(f);
    setFixedSize(536, 411);
    move(193, 100);

    Bevel1 = new QFrame(this);
    Bevel1->setFrameStyle(QFrame::Box | QFrame::Sunken);
    Bevel1->setGeometry(8, 240, 377, 88);
    Bevel2 = new QFrame(this);
    Bevel2->setFrameStyle(QFrame::Box | QFrame::Sunken);
    Bevel2->setGeometry(400, 160, 129, 60);
    Bevel3 = new QFrame(this);
    Bevel3->setFrameStyle(QFrame::HLine | QFrame::Sunken);
    Bevel3->setGeometry(8, 376, 521, 2);

    Label10 = label(this, "Ripping source", 32, 13);
    QFont bold = Label10->font();
    bold.setBold(true);
    Label10->setFont(bold);
    Label10->adjustSize();

    ComboBox1 = new QComboBox(this);
    ComboBox1->setEditable(false);
    ComboBox1->setGeometry(128, 8, 257, 21);
    connect(ComboBox1, &QComboBox::activated, this, [this] { ComboBox1Change(); });

    ListView1 = new QTreeWidget(this);
    ListView1->setGeometry(8, 40, 377, 193);
    ListView1->setColumnCount(3);
    ListView1->setHeaderLabels({"Tracks", "Length", "Size"});
    ListView1->setRootIsDecorated(false);
    ListView1->setItemsExpandable(false);
    ListView1->setSelectionMode(QAbstractItemView::ExtendedSelection);
    ListView1->setSelectionBehavior(QAbstractItemView::SelectRows);
    ListView1->setEditTriggers(QAbstractItemView::NoEditTriggers);
    ListView1->setIconSize(QSize(16, 16));
    ListView1->header()->setSectionsClickable(false);
    ListView1->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    ListView1->header()->setStretchLastSection(false);
    // The selection stays visible when the list loses focus.
    QPalette listPalette = ListView1->palette();
    listPalette.setColor(QPalette::Inactive, QPalette::Highlight,
                         listPalette.color(QPalette::Active, QPalette::Highlight));
    listPalette.setColor(QPalette::Inactive, QPalette::HighlightedText,
                         listPalette.color(QPalette::Active, QPalette::HighlightedText));
    ListView1->setPalette(listPalette);
    connect(ListView1, &QTreeWidget::itemSelectionChanged, this, [this] { ListView1SelectItem(); });

    Image1 = new QLabel(this);
    Image1->setGeometry(408, 16, 116, 50);
    Image1->setPixmap(logoPicture());

    GroupBox1 = new QGroupBox("Summary", this);
    GroupBox1->setGeometry(400, 80, 129, 73);
    Label6 = label(GroupBox1, "Total tracks:", 8, 18, 113);
    Label7 = label(GroupBox1, "Total length:", 8, 34, 113);
    Label8 = label(GroupBox1, "Total size:", 8, 50, 113);

    RxSwitch1 = new TRxSwitch(this);
    RxSwitch1->setGeometry(408, 168, 30, 18);
    RxLabel1 = label(this, "Compress on fly", 441, 170);
    RxLabel1->setBuddy(RxSwitch1);
    connect(RxSwitch1, &TRxSwitch::On, this, [this] { RxSwitch1On(); });
    connect(RxSwitch1, &TRxSwitch::Off, this, [this] { RxSwitch1Off(); });

    RxSwitch2 = new TRxSwitch(this);
    RxSwitch2->setGeometry(408, 196, 30, 18);
    RxLabel2 = label(this, "Stop on errors", 441, 198);
    RxLabel2->setBuddy(RxSwitch2);
    // The frame holds the longer caption whole, as far as the window allows.
    const int captionsEnd = std::max(RxLabel1->geometry().right(), RxLabel2->geometry().right());
    Bevel2->setGeometry(400, 160, std::clamp(captionsEnd + 5 - 400, 129, 536 - 3 - 400), 60);

    Label1 = label(this, "Progress ", 24, 248, 353);
    Label1->setAlignment(Qt::AlignHCenter | Qt::AlignVCenter);
    ProgressBar1 = new QProgressBar(this);
    ProgressBar1->setGeometry(16, 272, 361, 16);
    ProgressBar1->setRange(0, 100);
    ProgressBar1->setValue(0);
    ProgressBar1->setTextVisible(false);
    Label2 = label(this, "", 24, 296, 129);
    Label3 = label(this, "", 160, 296, 129);
    Label9 = label(this, "", 296, 296, 81);

    SpeedButton1 = new QPushButton(QIcon(glyph(0)), " Rip tracks !", this);
    SpeedButton1->setGeometry(408, 248, 105, 26);
    connect(SpeedButton1, &QPushButton::clicked, this, [this] { SpeedButton1Click(); });
    SpeedButton2 = new QPushButton(QIcon(glyph(1)), "Stop ripping", this);
    SpeedButton2->setGeometry(408, 280, 105, 26);
    SpeedButton2->setEnabled(false);
    connect(SpeedButton2, &QPushButton::clicked, this, [this] { SpeedButton2Click(); });

    Label4 = label(this, "File Name +track#", 400, 320);
    Edit1 = new QLineEdit("Track", this);
    Edit1->setGeometry(400, 336, 121, 21);
    // The suffix reads as the end of the caption, in the same font: at 488, or
    // just after the caption where this desktop's font draws it wider. It is as
    // wide as the wider of its two texts.
    Label5 = label(this, ".wav", 488, 320);
    const QFontMetrics suffixMetrics = Label5->fontMetrics();
    const int suffixWidth =
        std::max(suffixMetrics.horizontalAdvance(".wav"), suffixMetrics.horizontalAdvance(".mp3")) +
        2;
    // A caption too wide for both to fit before the window's edge starts further left.
    const int captionLeft = std::min(400, 536 - 2 - suffixWidth - 3 - Label4->width());
    Label4->move(captionLeft, 320);
    Label5->setGeometry(std::max(488, Label4->geometry().right() + 4), 320, suffixWidth,
                        Label5->height());

    Memo1 = new QPlainTextEdit(this);
    Memo1->setGeometry(8, 336, 377, 33);
    Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Memo1->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    // The log starts with one empty line; messages follow below it.
    Memo1->setPlainText(QString());

    SpeedButton4 = new QPushButton(QIcon(glyph(2)), "Quit", this);
    SpeedButton4->setGeometry(312, 384, 89, 22);
    connect(SpeedButton4, &QPushButton::clicked, this, [this] { SpeedButton4Click(); });
    SpeedButton3 = new QPushButton(QIcon(glyph(3)), "Help", this);
    SpeedButton3->setGeometry(424, 384, 97, 22);
    connect(SpeedButton3, &QPushButton::clicked, this, [this] { SpeedButton3Click(); });
}

void TRipperForm::DiscoverDrives() {
    std::vector<std::string> names = Drives.DiscoverDrives(this);
    if (names.empty()) {
        return;
    }
    for (const std::string& name : names) {
        ComboBox1->addItem(QString::fromLocal8Bit(name.c_str()));
    }
    ComboBox1->setCurrentIndex(0);
    ListTracks();
}

void TRipperForm::ListTracks() {
    // Rows go first, so a failed read leaves an empty list, not the last disc's; a
    // selection that goes with them leaves the summary at zero.
    const bool hadSelection = !ListView1->selectedItems().isEmpty();
    ListView1->clear();
    ripper::TrackListing listing = Drives.ListTracks(ComboBox1->currentIndex());
    for (const std::string& line : listing.log) {
        appendLog(line);
    }
    QIcon icon(discPicture(16));
    for (const ripper::TrackRow& row : listing.rows) {
        auto* item = new TTrackItem(ListView1, row);
        item->setIcon(0, icon);
    }
    if (hadSelection) {
        ListView1SelectItem();
    }
}

void TRipperForm::ComboBox1Change() {
    ListTracks();
}

void TRipperForm::ListView1SelectItem() {
    int count = 0;
    int64_t size = 0;
    int64_t length = 0;
    for (int i = 0; i < ListView1->topLevelItemCount(); ++i) {
        QTreeWidgetItem* item = ListView1->topLevelItem(i);
        if (!item->isSelected()) {
            continue;
        }
        ++count;
        if (const ripper::TrackRowInfo* info = TrackRowInfoOf(item)) {
            size += info->size;
            length += info->length;
        }
    }
    Label6->setText("Total tracks: " + QString::number(count));
    Label7->setText(QString::fromStdString("Total length: " + ripper::Pattern00(length / 60) + ":" +
                                           ripper::Pattern00(length % 60)));
    Label8->setText("Total size: " + QString::number(size) + " Mb");
}

void TRipperForm::SpeedButton1Click() {
    Engine.RipSelectedTracks();
}

void TRipperForm::SpeedButton2Click() {
    Engine.RipStopRequested = true;
}

void TRipperForm::RxSwitch1On() {
    Label5->setText(".mp3");
}

void TRipperForm::RxSwitch1Off() {
    Label5->setText(".wav");
}

void TRipperForm::SpeedButton4Click() {
    close();
}

void TRipperForm::SpeedButton3Click() {
    platform::openHelp(this);
}

void TRipperForm::FormCloseQuery(bool& canClose) {
    canClose = true;
    if (!Engine.Ripping) {
        return;
    }
    platform::Button answer = platform::messageBox(
        this, "Abort ripping ?", "Ripper", platform::Yes | platform::No, platform::Icon::Question);
    if (answer == platform::Yes) {
        // The run ends at its next check, while the window is already hidden.
        Engine.RipStopRequested = true;
    } else {
        canClose = false;
    }
}

void TRipperForm::CloseFromOutside() {
    if (Engine.Ripping) {
        Engine.RipStopRequested = true;
    }
    hide();
}

void TRipperForm::closeEvent(QCloseEvent* event) {
    bool canClose = true;
    FormCloseQuery(canClose);
    if (canClose) {
        event->accept();
    } else {
        event->ignore();
    }
}

QStringList TRipperForm::LogLines() const {
    QStringList lines = Memo1->toPlainText().split('\n');
    lines.removeAll(QString());
    return lines;
}

void TRipperForm::appendLog(const std::string& line) {
    QTextCursor cursor(Memo1->document());
    cursor.movePosition(QTextCursor::End);
    cursor.insertBlock();
    cursor.insertText(QString::fromLocal8Bit(line.c_str()));
    Memo1->ensureCursorVisible();
    Memo1->verticalScrollBar()->setValue(Memo1->verticalScrollBar()->maximum());
}

void TRipperForm::setProgress(int percent) {
    ProgressBar1->setValue(percent);
}

void TRipperForm::setSpeedText(const std::string& text) {
    Label1->setText(QString::fromStdString(text));
    Label1->repaint();
}

void TRipperForm::setElapsedText(const std::string& text) {
    Label2->setText(QString::fromStdString(text));
    Label2->repaint();
}

void TRipperForm::setEstimateText(const std::string& text) {
    Label3->setText(QString::fromStdString(text));
    Label3->repaint();
}

void TRipperForm::setTrackText(const std::string& text) {
    Label9->setText(QString::fromStdString(text));
}

void TRipperForm::setRippingState(bool ripping) {
    // A control that is disabled while it has the focus hands the focus on to the
    // next one, which for these is the prefix edit with its whole text selected:
    // a key pressed then would replace the prefix. So the focus goes to "Stop
    // ripping" for the run and back where it was after it.
    QWidget* focus = focusWidget();
    if (ripping) {
        SpeedButton2->setEnabled(true);
        focusBeforeRip_ = focus;
        if (focus == ListView1 || focus == SpeedButton1 || focus == ComboBox1) {
            SpeedButton2->setFocus(Qt::OtherFocusReason);
        }
        ListView1->setEnabled(false);
        SpeedButton1->setEnabled(false);
        // The rip reads the drive it started with; another drive can be chosen after it.
        ComboBox1->setEnabled(false);
        return;
    }
    ListView1->setEnabled(true);
    SpeedButton1->setEnabled(true);
    ComboBox1->setEnabled(true);
    if (focus == SpeedButton2 || focus == nullptr) {
        QWidget* back = focusBeforeRip_ ? focusBeforeRip_.data() : SpeedButton1;
        if (back->isEnabled()) {
            back->setFocus(Qt::OtherFocusReason);
        }
    }
    focusBeforeRip_ = nullptr;
    SpeedButton2->setEnabled(false);
}

void TRipperForm::processPendingEvents() {
    QCoreApplication::processEvents();
}

int TRipperForm::rowCount() {
    return ListView1->topLevelItemCount();
}

bool TRipperForm::isRowSelected(int row) {
    QTreeWidgetItem* item = ListView1->topLevelItem(row);
    return item && item->isSelected();
}

int TRipperForm::driveIndex() {
    return ComboBox1->currentIndex();
}

std::string TRipperForm::prefix() {
    return QFile::encodeName(Edit1->text()).toStdString();
}

bool TRipperForm::compressOnFly() {
    return RxSwitch1->isChecked();
}

bool TRipperForm::stopOnErrors() {
    return RxSwitch2->isChecked();
}

std::string TRipperForm::ripperOut() {
    return RipperOutSource ? RipperOutSource() : std::string();
}

bool TRipperForm::notifyWhenDone() {
    return NotifySource ? NotifySource() : true;
}
