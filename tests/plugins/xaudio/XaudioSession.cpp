#include "XaudioSession.h"

#include <gtest/gtest.h>

#include "TestEnv.h"

namespace decodetest {

XaudioApi::XaudioApi()
    : library(testenv::appDir() + "xaudio.so",
              {"player_new", "player_delete", "player_set_priority", "player_get_priority",
               "xaudio_error_string", "xaudio_get_version", "control_message_send_N",
               "control_message_send_P", "control_message_send_S", "control_message_send_SS",
               "control_message_send_SI", "control_message_send_IPI", "control_message_send_I",
               "control_message_send_II", "control_message_send_III", "control_message_send_IIII",
               "control_win32_params_to_message"}) {
    player_new = library.entry<TPlayerNew>("player_new");
    player_delete = library.entry<TPlayerDelete>("player_delete");
    player_set_priority = library.entry<TPlayerSetPriority>("player_set_priority");
    player_get_priority = library.entry<TPlayerGetPriority>("player_get_priority");
    xaudio_error_string = library.entry<TXaudioErrorString>("xaudio_error_string");
    xaudio_get_version = library.entry<TXaudioGetVersion>("xaudio_get_version");
    send_N = library.entry<TControlMessageSend_N>("control_message_send_N");
    send_S = library.entry<TControlMessageSend_S>("control_message_send_S");
    send_I = library.entry<TControlMessageSend_I>("control_message_send_I");
    send_II = library.entry<TControlMessageSend_II>("control_message_send_II");
    params_to_message =
        library.entry<TControlWin32ParamsToMessage>("control_win32_params_to_message");
}

XaudioApi& xaudio() {
    static XaudioApi api;
    return api;
}

QueueWindow::QueueWindow() {
    post = &QueueWindow::postThunk;
}

void QueueWindow::postThunk(MessageWindow* window, uint32_t message, uintptr_t wparam,
                            intptr_t lparam) {
    auto* self = static_cast<QueueWindow*>(window);
    {
        std::lock_guard lock(self->mutex_);
        self->queue_.push_back({message, wparam, lparam});
    }
    self->ready_.notify_one();
}

bool QueueWindow::next(Posted& out, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    if (!ready_.wait_for(lock, timeout, [&] { return !queue_.empty(); })) {
        return false;
    }
    out = queue_.front();
    queue_.pop_front();
    return true;
}

std::vector<Posted> QueueWindow::drain() {
    std::lock_guard lock(mutex_);
    std::vector<Posted> all(queue_.begin(), queue_.end());
    queue_.clear();
    return all;
}

XaudioSession::XaudioSession() {
    if (!xaudio().library.isLoaded()) {
        ADD_FAILURE() << "xaudio.so not loaded: " << xaudio().library.error();
        return;
    }
    MessageWindow* handle = &window;
    EXPECT_EQ(xaudio().player_new(&player, &handle), XA_SUCCESS);
}

XaudioSession::~XaudioSession() {
    if (player) {
        xaudio().player_delete(player);
    }
}

void XaudioSession::send(int32_t code) {
    EXPECT_EQ(xaudio().send_N(player, code), XA_SUCCESS);
}

void XaudioSession::send(int32_t code, const std::string& text) {
    EXPECT_EQ(xaudio().send_S(player, code, text.c_str()), XA_SUCCESS);
}

bool XaudioSession::pump(const std::function<bool(const Note&)>& until, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        Posted posted{};
        if (left.count() <= 0 || !window.next(posted, left)) {
            return false;
        }
        Note note;
        if (xaudio().params_to_message(player, &note.message, posted.number, posted.wparam,
                                       posted.lparam) != 0) {
            continue;
        }
        for (unsigned i = 0; i < 3; ++i) {
            if (xa_message_pointer(&note.message, i)) {
                note.texts[i] = xa_message_text(&note.message, i);
            }
        }
        notes.push_back(note);
        if (until(notes.back())) {
            return true;
        }
    }
}

bool XaudioSession::playToEnd(int timeoutMs) {
    bool ended = false;
    bool finished = pump(
        [&](const Note& n) {
            if (n.code() == XA_NOTIFY_PLAYER_STATE && n.b(0) == XA_PLAYER_STATE_EOS) {
                ended = true;
            }
            return ended || n.code() == XA_NOTIFY_NACK;
        },
        timeoutMs);
    return finished && ended;
}

void XaudioSession::pumpPending() {
    pump([](const Note&) { return false; }, 50);
}

std::vector<Note> XaudioSession::notesOf(uint32_t code) const {
    std::vector<Note> found;
    for (const Note& n : notes) {
        if (n.code() == code) {
            found.push_back(n);
        }
    }
    return found;
}

std::vector<int> XaudioSession::states() const {
    std::vector<int> found;
    for (const Note& n : notesOf(XA_NOTIFY_PLAYER_STATE)) {
        found.push_back(n.b(0));
    }
    return found;
}

} // namespace decodetest
