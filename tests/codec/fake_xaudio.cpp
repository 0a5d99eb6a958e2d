// A stand-in for xaudio.so that records every call and posts whatever notification
// a test asks for, so the component's loading rules, its command table and its
// notification table can be checked one by one.
//
// Built several times:
//   FAKE_VERSION            the packed version xaudio_get_version reports
//   FAKE_OMIT_SEND_SI       without control_message_send_SI (and _IIII, later in order)
//   FAKE_PLAYER_NEW_FAILS   player_new returns an error
// Extra entry points for the tests: fake_log, fake_clear_log, fake_post,
// fake_post_window_message, fake_pending.

#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include "xaudio.h"

#ifndef FAKE_VERSION
#define FAKE_VERSION 0x030800
#endif

namespace {

struct FakePlayer {
    MessageWindow* window;
    int32_t priority = 2;
};

struct Pending {
    XA_Message message;
    std::string texts[3];
    bool hasText[3] = {false, false, false};
};

std::mutex g_mutex;
std::string g_log;
std::string g_logCopy;
FakePlayer* g_player = nullptr;
std::map<intptr_t, Pending> g_pending;
intptr_t g_nextSequence = 1;
std::string g_current[3];
std::string g_errorText;

void log(const std::string& line) {
    std::lock_guard lock(g_mutex);
    g_log += line + "\n";
}

std::string num(long long v) {
    return std::to_string(v);
}

std::string ptr(const void* p) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%p", p);
    return buf;
}

std::string str(const char* s) {
    return s ? std::string("'") + s + "'" : "null";
}

std::string who(void* player) {
    return player == g_player && player ? "" : " (foreign player)";
}

} // namespace

extern "C" {

TW_EXPORT int32_t player_new(void** player, MessageWindow** window) {
#ifdef FAKE_PLAYER_NEW_FAILS
    (void)window;
    *player = nullptr;
    log("player_new failed");
    return XA_ERROR_THREAD_CREATE;
#else
    auto* p = new FakePlayer{window ? *window : nullptr};
    *player = p;
    g_player = p;
    log("player_new");
    return XA_SUCCESS;
#endif
}

TW_EXPORT int32_t player_delete(void* player) {
    log("player_delete" + who(player));
    if (player == g_player) {
        g_player = nullptr;
    }
    delete static_cast<FakePlayer*>(player);
    std::lock_guard lock(g_mutex);
    g_pending.clear();
    return XA_SUCCESS;
}

TW_EXPORT int32_t player_set_priority(void* player, int32_t priority) {
    log("set_priority " + num(priority) + who(player));
    static_cast<FakePlayer*>(player)->priority = priority;
    return XA_SUCCESS;
}

TW_EXPORT int32_t player_get_priority(void* player) {
    log("get_priority" + who(player));
    return static_cast<FakePlayer*>(player)->priority;
}

TW_EXPORT const char* xaudio_error_string(int32_t code) {
    log("error_string " + num(code));
    g_errorText = "fake error " + num(code);
    return g_errorText.c_str();
}

TW_EXPORT uint32_t xaudio_get_version(int32_t selector) {
    log("get_version " + num(selector));
    return FAKE_VERSION;
}

TW_EXPORT int32_t control_message_send_N(void* player, int32_t code) {
    log("N " + num(code) + who(player));
    return XA_SUCCESS;
}

TW_EXPORT int32_t control_message_send_P(void* player, int32_t code, const void* pointer) {
    log("P " + num(code) + " " + ptr(pointer) + who(player));
    return XA_SUCCESS;
}

TW_EXPORT int32_t control_message_send_S(void* player, int32_t code, const char* text) {
    log("S " + num(code) + " " + str(text) + who(player));
    return XA_SUCCESS;
}

TW_EXPORT int32_t control_message_send_SS(void* player, int32_t code, const char* text1,
                                          const char* text2) {
    log("SS " + num(code) + " " + str(text1) + " " + str(text2) + who(player));
    return XA_SUCCESS;
}

#ifndef FAKE_OMIT_SEND_SI
TW_EXPORT int32_t control_message_send_SI(void* player, int32_t code, const char* text,
                                          int32_t value) {
    log("SI " + num(code) + " " + str(text) + " " + num(value) + who(player));
    return XA_SUCCESS;
}
#endif

TW_EXPORT int32_t control_message_send_IPI(void* player, int32_t code, int32_t value1,
                                           const void* pointer, int32_t value2) {
    log("IPI " + num(code) + " " + num(value1) + " " + ptr(pointer) + " " + num(value2) +
        who(player));
    return XA_SUCCESS;
}

TW_EXPORT int32_t control_message_send_I(void* player, int32_t code, int32_t value) {
    log("I " + num(code) + " " + num(value) + who(player));
    return XA_SUCCESS;
}

TW_EXPORT int32_t control_message_send_II(void* player, int32_t code, int32_t value1,
                                          int32_t value2) {
    log("II " + num(code) + " " + num(value1) + " " + num(value2) + who(player));
    return XA_SUCCESS;
}

TW_EXPORT int32_t control_message_send_III(void* player, int32_t code, int32_t value1,
                                           int32_t value2, int32_t value3) {
    log("III " + num(code) + " " + num(value1) + " " + num(value2) + " " + num(value3) +
        who(player));
    return XA_SUCCESS;
}

#ifndef FAKE_OMIT_SEND_SI
TW_EXPORT int32_t control_message_send_IIII(void* player, int32_t code, int32_t value1,
                                            int32_t value2, int32_t value3, int32_t value4) {
    log("IIII " + num(code) + " " + num(value1) + " " + num(value2) + " " + num(value3) + " " +
        num(value4) + who(player));
    return XA_SUCCESS;
}
#endif

TW_EXPORT int32_t control_win32_params_to_message(void* player, XA_Message* message,
                                                  uint32_t number, uintptr_t wparam,
                                                  intptr_t lparam) {
    std::lock_guard lock(g_mutex);
    if (!player || wparam != reinterpret_cast<uintptr_t>(player)) {
        return 1;
    }
    auto it = g_pending.find(lparam);
    if (it == g_pending.end() || XA_WINDOW_MESSAGE_BASE + it->second.message.code != number) {
        return 1;
    }
    *message = it->second.message;
    for (int i = 0; i < 3; ++i) {
        if (it->second.hasText[i]) {
            g_current[i] = it->second.texts[i];
            const char* text = g_current[i].c_str();
            std::memcpy(message->data + XA_MESSAGE_POINTER_SLOT(i), &text, sizeof text);
        }
    }
    g_pending.erase(it);
    return 0;
}

// ---- Test controls --------------------------------------------------------------

TW_EXPORT const char* fake_log() {
    std::lock_guard lock(g_mutex);
    g_logCopy = g_log;
    return g_logCopy.c_str();
}

TW_EXPORT void fake_clear_log() {
    std::lock_guard lock(g_mutex);
    g_log.clear();
}

// Posts notification `code` of the current player with the first 12 data bytes
// given and the texts (or addresses, passed as texts == NULL and pointers) given.
TW_EXPORT int fake_post(uint32_t code, const uint8_t* data12, const char* text0, const char* text1,
                        const char* text2, const void* pointer0, const void* pointer1) {
    MessageWindow* window = g_player ? g_player->window : nullptr;
    if (!window) {
        return -1;
    }
    Pending p{};
    p.message.code = code;
    std::memcpy(p.message.data, data12, 12);
    const char* texts[3] = {text0, text1, text2};
    for (int i = 0; i < 3; ++i) {
        if (texts[i]) {
            p.texts[i] = texts[i];
            p.hasText[i] = true;
        }
    }
    std::memcpy(p.message.data + XA_MESSAGE_POINTER_SLOT(0), &pointer0, sizeof pointer0);
    std::memcpy(p.message.data + XA_MESSAGE_POINTER_SLOT(1), &pointer1, sizeof pointer1);
    intptr_t sequence;
    {
        std::lock_guard lock(g_mutex);
        sequence = g_nextSequence++;
        g_pending[sequence] = p;
    }
    window->post(window, XA_WINDOW_MESSAGE_BASE + code, reinterpret_cast<uintptr_t>(g_player),
                 sequence);
    return 0;
}

// Posts any message to the current player's window.
TW_EXPORT int fake_post_window_message(uint32_t number, uintptr_t wparam, intptr_t lparam) {
    MessageWindow* window = g_player ? g_player->window : nullptr;
    if (!window) {
        return -1;
    }
    window->post(window, number, wparam, lparam);
    return 0;
}

TW_EXPORT void* fake_player() {
    return g_player;
}

} // extern "C"
