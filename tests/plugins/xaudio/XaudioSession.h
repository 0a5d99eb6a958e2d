#pragma once

// Drives xaudio.so through its C entry points from a test: a message window that
// queues what the player posts, and a session that translates the queue into
// notifications the way the program's hidden window does.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/RuntimeLibrary.h"
#include "xaudio.h"

namespace decodetest {

// The library's entry points, loaded once from the program directory.
struct XaudioApi {
    XaudioApi();
    platform::RuntimeLibrary library;
    TPlayerNew player_new = nullptr;
    TPlayerDelete player_delete = nullptr;
    TPlayerSetPriority player_set_priority = nullptr;
    TPlayerGetPriority player_get_priority = nullptr;
    TXaudioErrorString xaudio_error_string = nullptr;
    TXaudioGetVersion xaudio_get_version = nullptr;
    TControlMessageSend_N send_N = nullptr;
    TControlMessageSend_S send_S = nullptr;
    TControlMessageSend_I send_I = nullptr;
    TControlMessageSend_II send_II = nullptr;
    TControlWin32ParamsToMessage params_to_message = nullptr;
};
XaudioApi& xaudio();

struct Posted {
    uint32_t number;
    uintptr_t wparam;
    intptr_t lparam;
};

// A window whose post function queues the message for the test thread.
class QueueWindow : public MessageWindow {
public:
    QueueWindow();
    bool next(Posted& out, std::chrono::milliseconds timeout);
    std::vector<Posted> drain();

private:
    static void postThunk(MessageWindow* window, uint32_t message, uintptr_t wparam,
                          intptr_t lparam);
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<Posted> queue_;
};

// One translated notification, with its texts copied.
struct Note {
    XA_Message message{};
    std::string texts[3];
    uint32_t code() const { return message.code; }
    uint8_t b(unsigned i) const { return xa_message_byte(&message, i); }
    uint16_t w(unsigned i) const { return xa_message_word(&message, i); }
    uint32_t d(unsigned i) const { return xa_message_value(&message, i); }
};

class XaudioSession {
public:
    XaudioSession();
    ~XaudioSession();

    void* player = nullptr;
    QueueWindow window;
    std::vector<Note> notes;

    void send(int32_t code);
    void send(int32_t code, const std::string& text);

    // Translates posted messages until `until` holds for one of them or the time is
    // up; returns whether it held.
    bool pump(const std::function<bool(const Note&)>& until, int timeoutMs = 20000);
    // Pumps until the player state is 3 or a Nack arrives; true for state 3.
    bool playToEnd(int timeoutMs = 20000);
    // Translates whatever is queued now.
    void pumpPending();

    std::vector<Note> notesOf(uint32_t code) const;
    // Player states in the order reported.
    std::vector<int> states() const;
};

} // namespace decodetest
