#include "app/ConversionForm.h"

#include <algorithm>

#include <QCloseEvent>
#include <QFile>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLinearGradient>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QScreen>
#include <QShowEvent>
#include <QTimer>
#include <QToolButton>
#include <QWindow>
#include <functional>

#include "app/Startup.h"
#include "codec/MP3Codec.h"
#include "platform/Cpu.h"
#include "platform/FocusFrame.h"
#include "platform/InstanceFiles.h"
#include "platform/Paths.h"
#include "platform/Services.h"
#include "settings/OptionsForm.h"
#include "settings/Settings.h"

bool TForm1::CloseRequested = false;
bool TForm1::ClosedFromOutside = false;

namespace app {

uint32_t StatusColourValue(uint8_t level, int16_t shift) {
    return static_cast<uint32_t>(level) << (static_cast<uint16_t>(shift) & 31u);
}

QColor StatusColour(uint32_t value) {
    return QColor(static_cast<int>(value & 0xFF), static_cast<int>((value >> 8) & 0xFF),
                  static_cast<int>((value >> 16) & 0xFF));
}

QPoint PlacementFor(int position, int right, int bottom, int width, int height, QPoint current) {
    switch (position) {
    case 0:
        return {(right - width) / 2, (bottom - height - 10) / 2};
    case 1:
        return {2, 2};
    case 2:
        return {2, bottom - height - 35};
    case 3:
        return {right - width - 2, 2};
    case 4:
        return {right - width - 2, bottom - height - 35};
    default:
        return current;
    }
}

std::string CountLineText(size_t count) {
    return std::to_string(count) + " file(s) to decode";
}

QString SourceLineText(const QString& path, const QFontMetrics& metrics, int width) {
    if (metrics.horizontalAdvance(path) <= width) {
        return path;
    }
    const qsizetype slash = path.lastIndexOf('/');
    const QString name = path.mid(slash + 1);
    const QString folder = path.left(slash + 1);
    const int nameWidth = metrics.horizontalAdvance(name);
    if (slash < 0 || nameWidth >= width) {
        return metrics.elidedText(name, Qt::ElideMiddle, width);
    }
    // What is left of the line after the name holds as much of the folder as fits,
    // its end first; at least the ellipsis shows that a folder is there.
    QString shown = metrics.elidedText(folder, Qt::ElideLeft, width - nameWidth);
    if (shown.isEmpty()) {
        shown = QString(QChar(0x2026));
    }
    return shown + name;
}

} // namespace app

namespace {

// A picture or text that reports presses and clicks (a release over it after a
// press), as the design's images and labels do. One that acts as a button is
// also reached with Tab and pressed with Space or Enter, and shows its focus.
class ClickLabel : public QLabel {
public:
    using QLabel::QLabel;
    std::function<void()> onPress;
    std::function<void()> onClick;

    void actAsButton() { setFocusPolicy(Qt::TabFocus); }

protected:
    void keyPressEvent(QKeyEvent* event) override {
        const int key = event->key();
        if (onClick && (key == Qt::Key_Space || key == Qt::Key_Return || key == Qt::Key_Enter)) {
            event->accept();
            onClick();
            return;
        }
        QLabel::keyPressEvent(event);
    }
    void paintEvent(QPaintEvent* event) override {
        QLabel::paintEvent(event);
        if (hasFocus()) {
            QPainter p(this);
            p.setPen(QPen(QColor(0xff, 0xe0, 0x60), 1, Qt::DotLine));
            p.drawRoundedRect(QRectF(rect()).adjusted(1.5, 1.5, -1.5, -1.5), 3, 3);
        }
    }

    void mousePressEvent(QMouseEvent* event) override {
        pressed_ = event->button() == Qt::LeftButton;
        if (onPress) {
            onPress();
        }
        event->accept();
    }
    void mouseReleaseEvent(QMouseEvent* event) override {
        bool click = pressed_ && event->button() == Qt::LeftButton &&
                     rect().contains(event->position().toPoint());
        pressed_ = false;
        if (click && onClick) {
            onClick();
        }
        event->accept();
    }

private:
    bool pressed_ = false;
};

QFont designFont(bool bold) {
    QFont font("MS Sans Serif");
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(11);
    font.setBold(bold);
    return font;
}

// The background: the title at the top left, a dark band behind the progress bar and
// a black panel behind the text lines.
QPixmap backgroundPicture() {
    QPixmap pixmap(345, 120);
    QPainter p(&pixmap);
    QLinearGradient sky(0, 0, 0, 120);
    sky.setColorAt(0, QColor(0x2a, 0x3c, 0x58));
    sky.setColorAt(1, QColor(0x0e, 0x16, 0x24));
    p.fillRect(pixmap.rect(), sky);
    p.setPen(QColor(0x6c, 0x84, 0xa8));
    p.drawRect(0, 0, 344, 119);

    QFont title = designFont(true);
    title.setPixelSize(13);
    title.setItalic(true);
    p.setFont(title);
    p.setPen(QColor(0x10, 0x18, 0x28));
    p.drawText(QRect(11, 4, 280, 18), Qt::AlignLeft | Qt::AlignVCenter, "MP3 Tunewright");
    p.setPen(QColor(0xe8, 0xee, 0xf8));
    p.drawText(QRect(10, 3, 280, 18), Qt::AlignLeft | Qt::AlignVCenter, "MP3 Tunewright");

    // Band behind the progress bar.
    p.fillRect(QRect(9, 23, 259, 24), QColor(0x14, 0x14, 0x18));
    p.setPen(QColor(0x44, 0x50, 0x64));
    p.drawRect(QRect(9, 23, 258, 23));

    // Panel behind the text lines.
    p.fillRect(QRect(10, 46, 262, 50), Qt::black);
    p.setPen(QColor(0x44, 0x50, 0x64));
    p.drawRect(QRect(10, 46, 261, 49));
    return pixmap;
}

// The full progress bar; the label showing it is as wide as the progress.
QPixmap barPicture() {
    QPixmap pixmap(255, 20);
    QPainter p(&pixmap);
    QLinearGradient g(0, 0, 255, 0);
    g.setColorAt(0.0, QColor(0x00, 0x60, 0x10));
    g.setColorAt(0.6, QColor(0x20, 0xd0, 0x30));
    g.setColorAt(1.0, QColor(0xe0, 0xf0, 0x20));
    p.fillRect(pixmap.rect(), g);
    QLinearGradient shine(0, 0, 0, 20);
    shine.setColorAt(0.0, QColor(255, 255, 255, 90));
    shine.setColorAt(0.5, QColor(255, 255, 255, 0));
    shine.setColorAt(1.0, QColor(0, 0, 0, 70));
    p.fillRect(pixmap.rect(), shine);
    p.setPen(QColor(0, 0, 0, 70));
    for (int x = 15; x < 255; x += 16) {
        p.drawLine(x, 0, x, 19);
    }
    return pixmap;
}

// A picture button reading `text`.
QPixmap buttonPicture(const char* text) {
    QPixmap pixmap(55, 20);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient g(0, 0, 0, 20);
    g.setColorAt(0, QColor(0x5a, 0x72, 0x96));
    g.setColorAt(1, QColor(0x22, 0x30, 0x48));
    QPainterPath path;
    path.addRoundedRect(QRectF(0.5, 0.5, 54, 19), 4, 4);
    p.fillPath(path, g);
    p.setPen(QColor(0x9c, 0xb4, 0xd8));
    p.drawPath(path);
    p.setFont(designFont(true));
    p.setPen(Qt::white);
    p.drawText(QRect(0, 0, 55, 20), Qt::AlignCenter, text);
    return pixmap;
}

// The two glyphs of the title buttons.
QIcon glyph(bool exit) {
    QPixmap pixmap(16, 15);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setPen(QPen(QColor(0xe0, 0xe6, 0xf0), 2));
    if (exit) {
        p.drawLine(4, 3, 11, 10);
        p.drawLine(11, 3, 4, 10);
    } else {
        p.drawLine(4, 10, 11, 10);
    }
    return QIcon(pixmap);
}

QLabel* textLabel(QWidget* parent, const QRect& geometry, const QColor& colour, bool bold,
                  const QString& text) {
    auto* label = new QLabel(text, parent);
    label->setGeometry(geometry);
    label->setFont(designFont(bold));
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, colour);
    label->setPalette(palette);
    label->setAttribute(Qt::WA_TranslucentBackground);
    return label;
}

} // namespace

TForm1::TForm1(const std::string& firstName, const std::string& programDir)
    : TForm1(std::vector<std::string>{firstName}, programDir, nullptr) {}

TForm1::TForm1(const std::vector<std::string>& names, const std::string& programDir,
               platform::InstanceLock* lock)
    : QWidget(nullptr, Qt::Window | Qt::FramelessWindowHint | Qt::WindowSystemMenuHint |
                           Qt::WindowMinimizeButtonHint),
      Engine(*this) {
    // The window as designed: borderless, 345 x 120, at its design position.
    setWindowTitle("MP3 Tunewright");
    setFixedSize(345, 120);
    move(218, 241);

    Image1 = new QLabel(this);
    Image1->setGeometry(0, 0, 345, 120);
    Image1->setPixmap(backgroundPicture());

    auto* dragStrip = new ClickLabel(this);
    dragStrip->setGeometry(0, 0, 297, 25);
    dragStrip->onPress = [this] { Label5MouseDown(); };
    Label5 = dragStrip;

    auto titleButton = [this](int left, const char* hint, bool exit) {
        auto* button = new QToolButton(this);
        button->setGeometry(left, 6, 16, 15);
        button->setAutoRaise(true);
        button->setToolTip(hint);
        button->setIcon(glyph(exit));
        button->setIconSize(QSize(16, 15));
        button->setFocusPolicy(Qt::TabFocus);
        // The glyphs are small and flat: a keyboard user sees the focus by a frame.
        platform::drawFocusFrameWhenFocused(button);
        return button;
    };
    SpeedButton4 = titleButton(304, "Minimize", false);
    SpeedButton5 = titleButton(322, "Exit", true);
    connect(SpeedButton4, &QToolButton::clicked, this, &TForm1::SpeedButton4Click);
    connect(SpeedButton5, &QToolButton::clicked, this, &TForm1::SpeedButton5Click);

    Image2 = new QLabel(this);
    Image2->setGeometry(11, 25, 0, 20);
    Image2->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    Image2->setPixmap(barPicture());

    Label3 =
        textLabel(this, QRect(16, 48, 249, 13), QColor(0, 255, 0), false, QString(63, QChar('-')));
    Label3->setAlignment(Qt::AlignHCenter | Qt::AlignVCenter);
    Label1 = textLabel(this, QRect(16, 64, 185, 13), QColor(0, 128, 0), true, "...");
    Label2 = textLabel(this, QRect(16, 80, 137, 13), QColor(0, 128, 0), true, ".........");
    Label4 = textLabel(this, QRect(152, 80, 105, 13), QColor(255, 0, 0), true, "");

    auto* options = new ClickLabel(this);
    options->setGeometry(280, 48, 55, 20);
    options->setPixmap(buttonPicture("Options"));
    options->setCursor(Qt::PointingHandCursor);
    options->onClick = [this] { Image3Click(); };
    options->setAccessibleName("Options");
    options->actAsButton();
    Image3 = options;

    auto* lastFile = new ClickLabel(this);
    lastFile->setGeometry(280, 72, 55, 20);
    lastFile->setPixmap(buttonPicture("Last file"));
    lastFile->setCursor(Qt::PointingHandCursor);
    lastFile->onClick = [this] { Image4Click(); };
    lastFile->setAccessibleName("Last file");
    lastFile->actAsButton();
    Image4 = lastFile;

    Timer1 = new QTimer(this);
    Timer1->setInterval(700);
    Timer1->setTimerType(Qt::PreciseTimer);
    connect(Timer1, &QTimer::timeout, this, &TForm1::Timer1Timer);
    Timer2 = new QTimer(this);
    Timer2->setInterval(100);
    Timer2->setTimerType(Qt::PreciseTimer);
    connect(Timer2, &QTimer::timeout, this, &TForm1::Timer2Timer);

    AppDir.clear();
    FadeLevel = 0;
    Label4->setText("");

    AppDir = platform::withTrailingSlash(programDir.empty() ? platform::programDir() : programDir);

    // A missing encoder library shows up as a failure of each encode; an exception
    // of the decoder component leaves the constructor.
    codec_ = std::make_unique<codec::TMP3Codec>();
    codec_->LoadEncoder(AppDir);
    codec_->InitDecoder(AppDir);

    // The jobs run on workers of their own, as many at once as the ParallelJobs
    // setting says (one: the jobs run one at a time, one per tick, in queue order).
    Engine.Start(names, AppDir, lock,
                 platform::parallelJobCount(settings::LoadParallelJobs()));

    Timer1->start();
    Timer2->start();
    FormCreate();
}

TForm1::~TForm1() {
    FormDestroy();
}

void TForm1::FormCreate() {
    // The window's own options object, which loads the settings; the launcher's,
    // created later, takes over as the current one.
    options_ = std::make_unique<TOptionsForm>();
    Engine.StopRequested = false;
}

void TForm1::FormDestroy() {
    Timer1->stop();
    // Every job still running ends at its next loop test and finishes its file;
    // the engine keeps its record for a next converter only when names are left.
    Engine.Finish();
    codec_.reset();
}

settings::SettingsRecord& TForm1::CurrentSettings() {
    TOptionsForm* current = TOptionsForm::Current();
    return current ? current->Settings : options_->Settings;
}

void TForm1::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    // Restoring from minimised is a spontaneous show; only real shows place the window.
    if (!event->spontaneous()) {
        FormShow();
    }
}

void TForm1::FormShow() {
    QScreen* desktop = screen() ? screen() : QGuiApplication::primaryScreen();
    if (!desktop) {
        return;
    }
    const QRect area = desktop->geometry();
    const QPoint local =
        app::PlacementFor(CurrentSettings().MWPosition, area.width(), area.height(), width(),
                          height(), pos() - area.topLeft());
    move(local + area.topLeft());
}

void TForm1::closeEvent(QCloseEvent* event) {
    FormCloseQuery();
    event->accept();
    EndApplication();
}

void TForm1::FormCloseQuery() {
    CloseRequested = true;
    // Every running job ends at its next loop test.
    Engine.Close();
}

void TForm1::EndApplication() {
    ended_ = true;
    // Closing the main window ends the program; a request made before the message
    // loop runs is kept by start-up, which then skips the loop.
    app::RequestQuit();
}

void TForm1::showCount(size_t count) {
    Label2->setText(QString::fromStdString(app::CountLineText(count)));
}

void TForm1::showSource(const std::string& path) {
    const QString source = QFile::decodeName(path.c_str());
    Label3->setText(app::SourceLineText(source, Label3->fontMetrics(), Label3->width()));
    Label3->setToolTip(source);
}

void TForm1::showKind(bool decode) {
    Label1->setText(decode ? "Decompressing" : "Compressing");
}

void TForm1::showProgress(int width) {
    Image2->resize(width, 20);
}

platform::Button TForm1::showBox(const std::string& text, const std::string& caption,
                                 unsigned buttons, platform::Icon icon) {
    // Over the window, wherever it sits on the screen.
    return platform::messageBox(this, text, caption, buttons, icon);
}

void TForm1::restartTicks() {
    if (Timer1->isActive()) {
        Timer1->start();
    }
}

void TForm1::ShowStatus(const std::string& word, int16_t shift) {
    StatusShift = shift;
    Label4->setText(QString::fromStdString(word));
    emit StatusShown(Label4->text());
    // The label grows with a word wider than its designed 105 pixels, as the
    // status words are drawn whole.
    int width = Label4->fontMetrics().horizontalAdvance(Label4->text()) + 2;
    Label4->resize(std::max(105, width), Label4->height());
    FadeLevel = 255;
}

void TForm1::Timer2Timer() {
    if (FadeLevel <= 7) {
        return;
    }
    FadeLevel = static_cast<uint8_t>(FadeLevel - 8);
    QPalette palette = Label4->palette();
    palette.setColor(QPalette::WindowText,
                     app::StatusColour(app::StatusColourValue(FadeLevel, StatusShift)));
    Label4->setPalette(palette);
    Label4->repaint();
}

void TForm1::Timer1Timer() {
    // Qt holds back a timer's next tick while its handler runs; restarting it here
    // lets the ticks keep coming while a box opened by this tick is open.
    if (Timer1->isActive()) {
        Timer1->start();
    }
    if (CloseRequested) {
        // The window is closing: the application ends without further work.
        Timer1->stop();
        return;
    }
    if (Engine.QueueTick() == app::BatchEngine::Tick::Complete) {
        CompletionActions();
        Shutdown();
    }
}

void TForm1::Shutdown() {
    setWindowTitle("MP3 Tunewright - terminating");
    Timer1->stop();
    Timer2->stop();
    // Every job ends at its next loop test; the user is asked about the file of
    // the entry in its codec phase.
    Engine.Exit();
    close();
    // close() sends no close event to a window whose platform window is gone.
    FormCloseQuery();
    EndApplication();
}

void TForm1::CloseFromOutside() {
    ClosedFromOutside = true;
    close();
    // close() sends no close event to a window whose platform window is gone.
    FormCloseQuery();
    EndApplication();
}

void TForm1::Label5MouseDown() {
    // The drag strip moves the window as a title bar would.
    if (QWindow* window = windowHandle()) {
        window->startSystemMove();
    }
}

void TForm1::SpeedButton4Click() {
    showMinimized();
}

void TForm1::SpeedButton5Click() {
    Shutdown();
}

void TForm1::Image3Click() {
    if (TOptionsForm* options = TOptionsForm::Current()) {
        options->show();
        options->raise();
        options->activateWindow();
    }
}

void TForm1::Image4Click() {
    Engine.LastFile();
}
