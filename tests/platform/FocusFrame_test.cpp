#include <gtest/gtest.h>

#include <QImage>
#include <QTest>
#include <QToolButton>
#include <QWidget>
#include <cstdlib>

#include "platform/FocusFrame.h"

// A flat 16x15 glyph button on a dark window, where the style's own focus mark
// does not show: its keyboard focus changes most of its edge clearly (by a third
// of the range in some channel), and losing the focus takes that away again.
TEST(FocusFrame, AFlatGlyphButtonShowsItsKeyboardFocusClearly) {
    QWidget window;
    window.setStyleSheet("background: #1a2638");
    QToolButton button(&window);
    button.setAutoRaise(true);
    button.setFocusPolicy(Qt::TabFocus);
    button.setText("x");
    button.setGeometry(10, 6, 16, 15);
    platform::drawFocusFrameWhenFocused(&button);
    platform::drawFocusFrameWhenFocused(&button); // a second call adds nothing
    window.show();
    window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    auto edgeChangedPercent = [](const QImage& a, const QImage& b) {
        int edge = 0, changed = 0;
        for (int y = 0; y < a.height(); ++y) {
            for (int x = 0; x < a.width();
                 x += (y == 0 || y == a.height() - 1) ? 1 : a.width() - 1) {
                const QColor p = a.pixelColor(x, y), q = b.pixelColor(x, y);
                ++edge;
                changed += std::abs(p.red() - q.red()) > 85 ||
                           std::abs(p.green() - q.green()) > 85 ||
                           std::abs(p.blue() - q.blue()) > 85;
            }
        }
        return changed * 100 / edge;
    };

    window.setFocus();
    const QImage unfocused = button.grab().toImage();
    button.setFocus(Qt::TabFocusReason);
    ASSERT_TRUE(button.hasFocus());
    const QImage focused = button.grab().toImage();
    window.setFocus();
    EXPECT_GE(edgeChangedPercent(unfocused, focused), 60);
    EXPECT_EQ(edgeChangedPercent(unfocused, button.grab().toImage()), 0);
}
