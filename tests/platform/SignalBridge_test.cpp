#include <QCoreApplication>
#include <QElapsedTimer>
#include <csignal>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "platform/SignalBridge.h"

namespace {

void processEventsFor(int ms) {
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
}

void (*currentHandler(int number))(int) {
    struct sigaction action {};
    ::sigaction(number, nullptr, &action);
    return action.sa_handler;
}

} // namespace

TEST(SignalBridge, EachSignalArrivesThroughTheEventLoopOnce) {
    for (int number : platform::SignalBridge::kSignals) {
        std::vector<int> calls;
        int nestedCalls = 0;
        {
            platform::SignalBridge bridge([&](int n) {
                calls.push_back(n);
                // The close request runs nested loops; the notifier firing in them
                // brings no second call.
                processEventsFor(20);
                nestedCalls = static_cast<int>(calls.size());
            });
            ASSERT_TRUE(bridge.installed()) << bridge.error();
            ASSERT_EQ(::raise(number), 0);
            // The handler only wrote into the pipe; nothing ran yet.
            EXPECT_TRUE(calls.empty());
            processEventsFor(50);
            ASSERT_EQ(calls.size(), 1u) << number;
            EXPECT_EQ(calls[0], number);
            EXPECT_EQ(nestedCalls, 1);
        }
        // The signal's earlier action is back.
        EXPECT_EQ(currentHandler(number), SIG_DFL) << number;
    }
}

TEST(SignalBridge, SecondSignalEndsTheProcessWithTheDefaultAction) {
    int calls = 0;
    platform::SignalBridge bridge([&](int) { ++calls; });
    ASSERT_TRUE(bridge.installed()) << bridge.error();

    // In a child the handlers and the pipe are the parent's copies: one signal is
    // taken and the child goes on; the second ends it as SIGINT's default does.
    const pid_t once = ::fork();
    if (once == 0) {
        ::raise(SIGTERM);
        ::_exit(7);
    }
    const pid_t twice = ::fork();
    if (twice == 0) {
        ::raise(SIGTERM);
        ::raise(SIGINT);
        ::_exit(7);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(once, &status, 0), once);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 7) << status;
    ASSERT_EQ(::waitpid(twice, &status, 0), twice);
    EXPECT_TRUE(WIFSIGNALED(status)) << status;
    EXPECT_EQ(WTERMSIG(status), SIGINT);
}
