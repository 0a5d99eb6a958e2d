#include "platform/FocusFrame.h"

#include <QAbstractButton>
#include <QCoreApplication>
#include <QEvent>
#include <QPainter>
#include <QPen>

namespace platform {
namespace {

// The colour of the other focus marks of the program's pictures and labels.
const QColor kFrameColour(0xff, 0xe0, 0x60);

// Lets the button paint, then draws the frame over it. An event filter sees the
// paint event before the button does, so it hands the event on itself first.
class FocusFramePainter : public QObject {
public:
    explicit FocusFramePainter(QAbstractButton* button) : QObject(button), button_(button) {
        setObjectName(kName);
    }

    static constexpr const char* kName = "platform-focus-frame";

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched != button_ || event->type() != QEvent::Paint || handingOn_) {
            return false;
        }
        handingOn_ = true;
        QCoreApplication::sendEvent(button_, event);
        handingOn_ = false;
        if (button_->hasFocus()) {
            QPainter painter(button_);
            painter.setRenderHint(QPainter::Antialiasing);
            painter.setPen(QPen(kFrameColour, 1));
            painter.setBrush(Qt::NoBrush);
            painter.drawRoundedRect(QRectF(button_->rect()).adjusted(0.5, 0.5, -0.5, -0.5), 2, 2);
        }
        return true;
    }

private:
    QAbstractButton* button_;
    bool handingOn_ = false; // the button is painting the event handed on
};

} // namespace

void drawFocusFrameWhenFocused(QAbstractButton* button) {
    if (!button ||
        button->findChild<QObject*>(FocusFramePainter::kName, Qt::FindDirectChildrenOnly)) {
        return;
    }
    button->installEventFilter(new FocusFramePainter(button));
}

} // namespace platform
