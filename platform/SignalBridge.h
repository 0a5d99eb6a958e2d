#pragma once

// SIGTERM, SIGINT and SIGHUP (logging off, kill, a closed terminal) are the
// desktop's "closed from outside". A signal handler may do almost nothing, so the
// handler only writes the signal's number into a pipe; a socket notifier on the
// pipe's other end hands it to the event loop, where it arrives like any other
// event: also inside modal boxes and inside loops that process pending events.

#include <QObject>
#include <functional>
#include <string>

class QSocketNotifier;

namespace platform {

class SignalBridge : public QObject {
    Q_OBJECT
public:
    // Installs the handlers. The first signal calls `onSignal` with its number, on
    // the thread that created the bridge, from its event loop; it is made once:
    // every later signal is part of the same close request (a logout sends SIGTERM
    // and SIGHUP at once). Only a second SIGINT (Ctrl+C pressed again) ends the
    // process at once with SIGINT's default action.
    // When the pipe or a handler cannot be set up, the signals keep their
    // default actions and `error` tells why.
    // A signal that came while no bridge was there is this bridge's first.
    explicit SignalBridge(std::function<void(int)> onSignal, QObject* parent = nullptr);
    // The handlers stay installed for the rest of the process: SIGTERM, SIGHUP and
    // a first SIGINT no longer end it (a later bridge receives the last of them),
    // a second SIGINT still does. Programs it starts get the default actions. One
    // bridge at a time.
    ~SignalBridge() override;

    SignalBridge(const SignalBridge&) = delete;
    SignalBridge& operator=(const SignalBridge&) = delete;

    bool installed() const { return installed_; }
    const std::string& error() const { return error_; }

    // The signals the bridge takes over.
    static constexpr int kSignalCount = 3;
    static const int kSignals[kSignalCount];

private:
    void takeSignals();

    std::function<void(int)> onSignal_;
    QSocketNotifier* notifier_ = nullptr;
    int readFd_ = -1;
    bool installed_ = false;
    bool running_ = false; // onSignal_ is on the stack
    bool delivered_ = false;
    std::string error_;
};

} // namespace platform
