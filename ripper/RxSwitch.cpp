#include "ripper/RxSwitch.h"

#include <QPainter>
#include <QPainterPath>

TRxSwitch::TRxSwitch(QWidget* parent) : QAbstractButton(parent) {
    setCheckable(true);
    setChecked(false);
    setFocusPolicy(Qt::StrongFocus);
    connect(this, &QAbstractButton::toggled, this, [this](bool on) {
        if (on) {
            emit On();
        } else {
            emit Off();
        }
    });
}

QSize TRxSwitch::sizeHint() const {
    return {34, 18};
}

void TRxSwitch::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    QRectF track = QRectF(rect()).adjusted(1, 3, -1, -3);
    const bool on = isChecked();
    const bool enabled = isEnabled();
    QColor trackColor = on ? QColor(0, 128, 0) : QColor(160, 160, 160);
    if (!enabled) {
        trackColor = trackColor.lighter(150);
    }
    p.setPen(QPen(trackColor.darker(140), 1));
    p.setBrush(trackColor);
    p.drawRoundedRect(track, track.height() / 2, track.height() / 2);

    qreal knob = height() - 2;
    QRectF knobRect(on ? width() - knob - 1 : 1, 1, knob, knob);
    p.setPen(QPen(QColor(90, 90, 90), 1));
    p.setBrush(QColor(240, 240, 240));
    p.drawEllipse(knobRect);
    if (hasFocus()) {
        p.setPen(QPen(palette().highlight().color(), 1, Qt::DotLine));
        p.setBrush(Qt::NoBrush);
        p.drawRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5));
    }
}
