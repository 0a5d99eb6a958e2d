#include "platform/SignalBridge.h"

#include <QSocketNotifier>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

namespace platform {

const int SignalBridge::kSignals[SignalBridge::kSignalCount] = {SIGTERM, SIGINT, SIGHUP};

namespace {

// Shared with the handler, which may run on any thread: only lock-free atomics.
std::atomic<int> g_writeFd{-1};
std::atomic<int> g_interrupts{0};
// Handlers between reading g_writeFd and writing to it: the pipe is closed only
// when none is.
std::atomic<int> g_writing{0};
// The last signal that came while no bridge was there, for the next bridge.
std::atomic<int> g_pending{0};
struct sigaction g_previous[SignalBridge::kSignalCount];

static_assert(std::atomic<int>::is_always_lock_free, "the signal handler needs lock-free atomics");

extern "C" void onTerminationSignal(int number) {
    const int savedErrno = errno;
    // Ctrl+C pressed again ends the process at once: the default action, delivered
    // as the handler returns (the signal is blocked while it runs). SIGTERM and
    // SIGHUP never skip the clean close: the session manager sends them as a pair
    // (and a closing terminal SIGHUP twice) and kills for good after its own
    // timeout, so every one of them is the same close request.
    if (number == SIGINT && g_interrupts.fetch_add(1) >= 1) {
        std::signal(number, SIG_DFL);
        std::raise(number);
        errno = savedErrno;
        return;
    }
    const unsigned char byte = static_cast<unsigned char>(number);
    g_writing.fetch_add(1);
    const int fd = g_writeFd.load();
    if (fd >= 0) {
        // The pipe is non-blocking: a full pipe already holds a wake-up.
        [[maybe_unused]] ssize_t written = ::write(fd, &byte, 1);
    } else {
        g_pending.store(number);
    }
    g_writing.fetch_sub(1);
    errno = savedErrno;
}

} // namespace

SignalBridge::SignalBridge(std::function<void(int)> onSignal, QObject* parent)
    : QObject(parent), onSignal_(std::move(onSignal)) {
    int fds[2] = {-1, -1};
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        error_ = std::string("cannot create the signal pipe: ") + std::strerror(errno);
        return;
    }
    readFd_ = fds[0];
    // A signal that came between two bridges is the first of this one: its close
    // request is made once the event loop runs, and a Ctrl+C counts. It is taken
    // after the pipe is published, so none is lost in between.
    if (g_pending.load() == 0) {
        g_interrupts.store(0);
    }
    g_writeFd.store(fds[1]);
    if (const int pending = g_pending.exchange(0); pending != 0) {
        const unsigned char byte = static_cast<unsigned char>(pending);
        [[maybe_unused]] ssize_t written = ::write(fds[1], &byte, 1);
    }

    notifier_ = new QSocketNotifier(readFd_, QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, [this] { takeSignals(); });

    struct sigaction action {};
    action.sa_handler = onTerminationSignal;
    // The three signals block each other while one is being counted; an
    // interrupted system call is restarted, so no read or write elsewhere in the
    // program sees EINTR because of them.
    sigemptyset(&action.sa_mask);
    for (int number : kSignals) {
        sigaddset(&action.sa_mask, number);
    }
    action.sa_flags = SA_RESTART;
    for (int i = 0; i < kSignalCount; ++i) {
        if (::sigaction(kSignals[i], &action, &g_previous[i]) != 0) {
            error_ = std::string("cannot take over a signal: ") + std::strerror(errno);
            for (int j = 0; j < i; ++j) {
                ::sigaction(kSignals[j], &g_previous[j], nullptr);
            }
            return;
        }
    }
    installed_ = true;
}

SignalBridge::~SignalBridge() {
    // The handlers stay: after the windows are gone the process still has work
    // (the lock, names handed over meanwhile), and a logout's SIGHUPs keep coming
    // after its SIGTERM. A handler, not SIG_IGN, because a program started from
    // here gets the default actions back on exec, never an ignored signal.
    const int writeFd = g_writeFd.exchange(-1);
    while (g_writing.load() != 0) {
        ::sched_yield(); // a handler on another thread is writing to the old pipe
    }
    delete notifier_;
    if (writeFd >= 0) {
        ::close(writeFd);
    }
    if (readFd_ >= 0) {
        ::close(readFd_);
    }
}

void SignalBridge::takeSignals() {
    unsigned char bytes[16];
    int number = 0;
    for (;;) {
        ssize_t got = ::read(readFd_, bytes, sizeof bytes);
        if (got > 0) {
            number = bytes[got - 1];
            continue;
        }
        if (got < 0 && errno == EINTR) {
            continue;
        }
        break;
    }
    // The close request it starts may run nested event loops (a recording that
    // finishes its file, a box being dismissed), where the notifier can fire
    // again: the request is made once.
    if (number == 0 || running_ || delivered_) {
        return;
    }
    delivered_ = true;
    struct Running {
        bool& flag;
        ~Running() { flag = false; }
    } running{running_};
    running_ = true;
    if (onSignal_) {
        onSignal_(number);
    }
}

} // namespace platform
