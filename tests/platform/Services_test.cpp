// The desktop services as the user meets them: where a message box opens, and
// whether the desktop's opener really opened a document.

#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QScreen>
#include <QTest>
#include <QTimer>
#include <QUrl>
#include <QWidget>
#include <cstdlib>
#include <functional>
#include <string>
#include <sys/stat.h>
#include <utility>
#include <vector>

#include "TestEnv.h"
#include "platform/Services.h"

namespace {

// Opens a box for `owner` and, `nested` times, one more inside it from a timer, as
// the conversion window does. Returns each box's parent and place, outermost first.
std::vector<std::pair<QWidget*, QRect>> openBoxes(platform::Dialogs& dialogs, QWidget* owner,
                                                  int nested) {
    std::vector<std::pair<QWidget*, QRect>> seen;
    QObject guard; // no box outlives the test
    QTimer::singleShot(10000, &guard, [&] { dialogs.dismissOpenBoxes(); });
    std::function<void(int)> open = [&](int level) {
        QTimer::singleShot(50, [&, level] {
            if (QWidget* box = QApplication::activeModalWidget()) {
                seen.emplace_back(box->parentWidget(), box->geometry());
            }
            level < nested ? open(level + 1) : dialogs.dismissOpenBoxes();
        });
        platform::MessageBoxRequest request{"Unable to find source file", "Error", platform::Ok,
                                            platform::Icon::None};
        request.owner = owner;
        dialogs.messageBox(request);
    };
    open(0);
    return seen;
}

// A box belongs to its window: its client area opens centred over the window's,
// whatever frames the desktop draws, also inside another box, and over the window
// the user works in while its own is hidden.
TEST(DesktopDialogs, ABoxOpensCentredOverTheWindowItBelongsTo) {
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    QWidget framed;
    framed.setGeometry(screen.right() - 420, screen.bottom() - 320, 400, 300);
    QWidget frameless(nullptr, Qt::Window | Qt::FramelessWindowHint);
    frameless.setGeometry(screen.left() + 40, screen.top() + 60, 345, 120);
    QWidget hidden;
    hidden.setGeometry(screen.left() + 10, screen.top() + 10, 300, 200);
    const struct {
        const char* name;
        QWidget* shown;
        QWidget* owner;
        int nested;
    } rows[] = {
        {"framed window", &framed, &framed, 0},
        {"hidden owner, over the active window", &framed, &hidden, 0},
        {"frameless window, boxes opened inside a box", &frameless, &frameless, 2},
    };
    auto dialogs = platform::makeDesktopDialogs();
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        framed.hide();
        frameless.hide();
        row.shown->show();
        row.shown->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(row.shown));
        const auto boxes = openBoxes(*dialogs, row.owner, row.nested);
        ASSERT_EQ(boxes.size(), static_cast<size_t>(row.nested + 1));
        for (const auto& [parent, geometry] : boxes) {
            EXPECT_EQ(parent, row.shown);
            EXPECT_LE((geometry.center() - row.shown->geometry().center()).manhattanLength(), 1)
                << geometry.x() << "," << geometry.y();
        }
    }
    // On X11 a box's frame is known only once the window manager has mapped it, so
    // a placement that guesses frames guesses wrong; the offscreen platform without
    // frame margins is that case. The same rows run in a process of their own there.
    if (!std::getenv("TW_NO_FRAME_MARGINS")) {
        const std::string config = testenv::makeDir("offscreen") + "/frameless.json";
        testenv::writeFile(config, R"({"windowFrameMargins": false, "screens": [{"name": "S",
            "x": 0, "y": 0, "width": 1024, "height": 768, "logicalDpi": 96, "dpr": 1}]})");
        const std::string test = "DesktopDialogs.ABoxOpensCentredOverTheWindowItBelongsTo";
        EXPECT_EQ(testenv::run("TW_NO_FRAME_MARGINS=1 QT_QPA_PLATFORM=offscreen:configfile=" +
                               config + " timeout 60 " + testenv::appDir() +
                               "platform_tests --gtest_filter=" + test + " >/dev/null"),
                  0);
    }
}

// The desktop's opener (xdg-open) answers at once whether a program took the
// document; one that stays in the foreground with the program counts as opened.
TEST(DesktopShell, BelievesTheOpenersAnswer) {
    const std::string bin = testenv::makeDir("opener-bin");
    const std::string seen = bin + "/seen";
    const std::string document = testenv::makeDir("opener docs") + "/help me.html";
    testenv::writeFile(document, "<html></html>");
    const std::string path = std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin";
    setenv("PATH", (bin + ":" + path).c_str(), 1);
    auto shell = platform::makeDesktopShell();
    struct Row {
        const char* script;
        bool opened;
    } rows[] = {
        {"exit 0", true}, {"echo 'no method available' >&2; exit 3", false}, {"sleep 5", true}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.script);
        testenv::writeFile(bin + "/xdg-open",
                           "#!/bin/sh\nprintf %s \"$1\" > '" + seen + "'\n" + row.script + "\n");
        ASSERT_EQ(chmod((bin + "/xdg-open").c_str(), 0755), 0);
        QElapsedTimer took;
        took.start();
        EXPECT_EQ(shell->open(document, platform::ShowMode::Normal), row.opened);
        EXPECT_LT(took.elapsed(), 5000);
        EXPECT_EQ(QUrl(QString::fromStdString(testenv::readFile(seen))).toLocalFile().toStdString(),
                  document);
    }
    setenv("PATH", path.c_str(), 1);
}

} // namespace
