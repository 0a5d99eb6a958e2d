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

TEST(SignalBridge, OnlyCtrlCPressedAgainEndsTheProcessAtOnce) {
    int calls = 0;
    platform::SignalBridge bridge([&](int) { ++calls; });
    ASSERT_TRUE(bridge.installed()) << bridge.error();

    // In a child the handlers and the pipe are the parent's copies. The logout pair
    // (TERM then HUP) and a closing terminal's two HUPs are one close request: the
    // child goes on to its clean end. Only a repeated SIGINT ends it at once.
    struct Row {
        std::vector<int> sent;
        int killedBy; // 0: the child ends by itself
    };
    const Row rows[] = {
        {{SIGTERM}, 0},
        {{SIGTERM, SIGHUP}, 0},
        {{SIGHUP, SIGHUP}, 0},
        {{SIGTERM, SIGTERM, SIGINT}, 0},
        {{SIGINT, SIGINT}, SIGINT},
        {{SIGHUP, SIGINT, SIGTERM, SIGINT}, SIGINT},
    };
    for (const Row& row : rows) {
        const pid_t child = ::fork();
        if (child == 0) {
            for (int number : row.sent) {
                ::raise(number);
            }
            ::_exit(7);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        if (row.killedBy == 0) {
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 7) << row.sent.size();
        } else {
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == row.killedBy) << status;
        }
    }
}
