#pragma once

#include <QAbstractButton>

// An on/off switch drawn as a small slide toggle, one picture per state. A click
// flips it; On() or Off() follows each change.
class TRxSwitch : public QAbstractButton {
    Q_OBJECT
public:
    explicit TRxSwitch(QWidget* parent = nullptr);

    bool StateOn() const { return isChecked(); }
    QSize sizeHint() const override;

signals:
    void On();
    void Off();

protected:
    void paintEvent(QPaintEvent* event) override;
};
