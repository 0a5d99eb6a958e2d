// Start-up's application object, tested in a process of its own because it must
// be the one application object of that process.
#include <QCoreApplication>
#include <QEvent>
#include <QTimer>
#include <gtest/gtest.h>
#include <stdexcept>

#include "FakeServices.h"
#include "TestEnv.h"
#include "app/Lifetime.h"
#include "app/Startup.h"

namespace {

class Throwing : public QObject {
public:
    bool event(QEvent* e) override {
        if (e->type() == QEvent::User) {
            throw std::runtime_error("handler failed");
        }
        return QObject::event(e);
    }
};

} // namespace

TEST(ApplicationObject, ExceptionFromAnEventHandlerIsShownAndTheLoopGoesOn) {
    testenv::FakeServices services;
    Throwing target;
    QCoreApplication::postEvent(&target, new QEvent(QEvent::User));
    bool later = false;
    QTimer::singleShot(0, [&] { later = true; });
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
    ASSERT_EQ(services.dialogs->shown.size(), 1u);
    EXPECT_EQ(services.dialogs->shown[0].text, "handler failed");
    EXPECT_EQ(services.dialogs->shown[0].icon, platform::Icon::Error);
    EXPECT_TRUE(later);
}

TEST(ApplicationObject, QuitRequestedBeforeTheLoopRunsIsKept) {
    EXPECT_FALSE(app::QuitRequested());
    app::RequestQuit();
    EXPECT_TRUE(app::QuitRequested());
    // The queued quit ends a loop that starts afterwards at once.
    QTimer guard;
    bool timedOut = false;
    QObject::connect(&guard, &QTimer::timeout, [&] {
        timedOut = true;
        QCoreApplication::exit(3);
    });
    guard.start(5000);
    EXPECT_EQ(app::RunMessageLoop(), 0);
    EXPECT_FALSE(timedOut);
}

TEST(ApplicationObject, GeneralErrorBoxCarriesTheApplicationTitle) {
    testenv::FakeServices services;
    platform::setApplicationTitle(app::kApplicationTitle);
    platform::showErrorBox("Failed to set data for 'Overwrite'");
    ASSERT_EQ(services.dialogs->shown.size(), 1u);
    EXPECT_EQ(services.dialogs->shown[0].caption, "MP3 Tunewright 3.32");
}

TEST(CommandLine, EveryArgumentIsOneWholeNameKeptAsBytes) {
    const char* argv[] = {"/opt/tw/mp3tunewright", "--", "-a.mp3", "b c.mp3", "\xff\xfe.wav", "--"};
    app::CommandLine line = app::SaveCommandLine(6, const_cast<char**>(argv));
    EXPECT_EQ(line.program, "/opt/tw/mp3tunewright");
    EXPECT_EQ(line.names,
              (std::vector<std::string>{"-a.mp3", "b c.mp3", "\xff\xfe.wav", "--"}));
    EXPECT_FALSE(app::SaveCommandLine(1, const_cast<char**>(argv)).hasFileNames());
    EXPECT_FALSE(app::SaveCommandLine(2, const_cast<char**>(argv)).hasFileNames());
}

int main(int argc, char** argv) {
    testenv::isolate();
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    app::TApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
