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
#include <sys/stat.h>

#include "TestEnv.h"
#include "platform/Services.h"

namespace {

// A box belongs to its window: it opens centred over it, and over the window the
// user works in while its own is hidden.
TEST(DesktopDialogs, ABoxOpensOverTheWindowItBelongsTo) {
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    QWidget owner;
    owner.setGeometry(screen.right() - 420, screen.bottom() - 320, 400, 300);
    QWidget hidden;
    hidden.setGeometry(screen.left() + 10, screen.top() + 10, 300, 200);
    owner.show();

    auto dialogs = platform::makeDesktopDialogs();
    for (QWidget* boxOwner : {&owner, &hidden}) {
        SCOPED_TRACE(boxOwner == &owner ? "visible owner" : "hidden owner");
        owner.activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&owner));
        QWidget* parent = nullptr;
        QPoint boxCentre;
        QTimer::singleShot(50, [&] {
            if (QWidget* box = QApplication::activeModalWidget()) {
                parent = box->parentWidget();
                boxCentre = box->frameGeometry().center();
            }
            dialogs->dismissOpenBoxes();
        });
        QTimer safety;
        safety.setSingleShot(true);
        QObject::connect(&safety, &QTimer::timeout, [&] { dialogs->dismissOpenBoxes(); });
        safety.start(10000);
        platform::MessageBoxRequest request{"Delete uncomplete files ?", "Stopping",
                                            platform::Yes | platform::No, platform::Icon::Question};
        request.owner = boxOwner;
        dialogs->messageBox(request);
        EXPECT_EQ(parent, &owner);
        EXPECT_LE((boxCentre - owner.frameGeometry().center()).manhattanLength(), 40);
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
