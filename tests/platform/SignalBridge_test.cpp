#include <QCoreApplication>
#include <QElapsedTimer>
#include <chrono>
#include <csignal>
#include <gtest/gtest.h>
#include <optional>
#include <sys/wait.h>
#include <thread>
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
        // A handler stays, neither the default action nor an ignored signal
        // (which programs started from here would inherit).
        EXPECT_NE(currentHandler(number), SIG_DFL) << number;
        EXPECT_NE(currentHandler(number), SIG_IGN) << number;
    }
    // A signal while no bridge is there is the next bridge's first.
    ASSERT_EQ(::raise(SIGHUP), 0);
    std::vector<int> calls;
    platform::SignalBridge next([&](int n) { calls.push_back(n); });
    processEventsFor(50);
    EXPECT_EQ(calls, std::vector<int>{SIGHUP});
}

TEST(SignalBridge, OnlyCtrlCPressedAgainEndsTheProcessAtOnce) {
    std::optional<platform::SignalBridge> bridge;
    bridge.emplace([](int) {});
    ASSERT_TRUE(bridge->installed()) << bridge->error();

    // In a child the handlers and the pipe are the parent's copies. The logout pair
    // (TERM then HUP) and a closing terminal's two HUPs are one close request: the
    // child goes on to its clean end, also after its bridge is gone (start-up still
    // has the lock and waiting names to see to). Only a repeated SIGINT ends it at
    // once. With `logout`, this process sends SIGTERM and then SIGHUP after SIGHUP
    // while the child destroys its bridge.
    struct Row {
        std::vector<int> sent;     // while the bridge is there
        std::vector<int> afterEnd; // after the bridge is gone
        bool logout;
        int killedBy; // 0: the child ends by itself
    };
    const Row rows[] = {
        {{SIGTERM}, {}, false, 0},
        {{SIGTERM, SIGHUP}, {}, false, 0},
        {{SIGHUP, SIGHUP}, {}, false, 0},
        {{SIGTERM, SIGTERM, SIGINT}, {}, false, 0},
        {{SIGINT, SIGINT}, {}, false, SIGINT},
        {{SIGHUP, SIGINT, SIGTERM, SIGINT}, {}, false, SIGINT},
        {{}, {SIGTERM, SIGHUP, SIGINT, SIGHUP}, false, 0},
        {{SIGINT}, {SIGINT}, false, SIGINT},
        {{}, {}, true, 0},
    };
    for (const Row& row : rows) {
        const pid_t child = ::fork();
        if (child == 0) {
            for (int number : row.sent) {
                ::raise(number);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
            bridge.reset();
            for (int number : row.afterEnd) {
                ::raise(number);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
            ::_exit(7);
        }
        if (row.logout) {
            ::kill(child, SIGTERM);
        }
        int status = 0;
        pid_t ended = 0;
        for (int i = 0; i < 20000 && (ended = ::waitpid(child, &status, WNOHANG)) == 0; ++i) {
            if (row.logout) {
                ::kill(child, SIGHUP);
            }
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
        if (ended == 0) {
            ::kill(child, SIGKILL);
            ::waitpid(child, &status, 0);
        }
        ASSERT_EQ(ended, child) << "the child did not end";
        if (row.killedBy == 0) {
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 7) << status;
        } else {
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == row.killedBy) << status;
        }
    }
}
