#pragma once

// The widgets a keyboard user reaches with Tab in a shown, active window.

#include <QApplication>
#include <QTest>
#include <QWidget>
#include <set>

namespace testenv {

// Presses Tab from `start` on, at most `presses` times, and returns every widget
// that held the focus on the way.
inline std::set<QWidget*> tabStops(QWidget* start, int presses = 40) {
    std::set<QWidget*> reached;
    start->setFocus();
    for (int i = 0; i < presses; ++i) {
        QWidget* focused = QApplication::focusWidget();
        if (!focused) {
            break;
        }
        QTest::keyClick(focused, Qt::Key_Tab);
        reached.insert(QApplication::focusWidget());
    }
    return reached;
}

} // namespace testenv
