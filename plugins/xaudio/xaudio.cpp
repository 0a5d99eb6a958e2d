// The C entry points of xaudio.so. Each one catches everything: no C++ exception
// may reach the caller.
#include <new>

#include "Player.h"
#include "xaudio.h"

using xaudio::Command;
using xaudio::Player;

namespace {

Player* asPlayer(void* player) {
    return static_cast<Player*>(player);
}

int32_t send(void* player, Command command) {
    if (!player) {
        return XA_ERROR_NO_PLAYER;
    }
    if (command.code < 0 || command.code > 0xFF) {
        return XA_ERROR_INVALID_PARAMETERS;
    }
    try {
        return asPlayer(player)->send(std::move(command));
    } catch (const std::bad_alloc&) {
        return XA_ERROR_OUT_OF_MEMORY;
    } catch (...) {
        return XA_FAILURE;
    }
}

std::string textOf(const char* text) {
    return text ? std::string(text) : std::string();
}

} // namespace

extern "C" {

TW_EXPORT int32_t player_new(void** player, MessageWindow** window) {
    if (!player) {
        return XA_ERROR_INVALID_PARAMETERS;
    }
    *player = nullptr;
    Player* created = nullptr;
    int32_t result = Player::create(window ? *window : nullptr, &created);
    if (result == XA_SUCCESS) {
        *player = created;
    }
    return result;
}

TW_EXPORT int32_t player_delete(void* player) {
    delete asPlayer(player);
    return XA_SUCCESS;
}

TW_EXPORT int32_t player_set_priority(void* player, int32_t priority) {
    if (!player) {
        return XA_ERROR_NO_PLAYER;
    }
    if (priority < XA_PRIORITY_LOWEST || priority > XA_PRIORITY_HIGHEST) {
        return XA_ERROR_INVALID_PARAMETERS;
    }
    asPlayer(player)->setPriority(priority);
    return XA_SUCCESS;
}

TW_EXPORT int32_t player_get_priority(void* player) {
    if (!player) {
        return XA_ERROR_NO_PLAYER;
    }
    return asPlayer(player)->priority();
}

TW_EXPORT const char* xaudio_error_string(int32_t code) {
    switch (code) {
    case XA_SUCCESS:
        return "success";
    case XA_FAILURE:
        return "unspecified failure";
    case XA_ERROR_OUT_OF_MEMORY:
        return "out of memory";
    case XA_ERROR_INVALID_PARAMETERS:
        return "invalid parameters";
    case XA_ERROR_NOT_IMPLEMENTED:
        return "command not implemented";
    case XA_ERROR_NO_PLAYER:
        return "no player";
    case XA_ERROR_THREAD_CREATE:
        return "cannot start the player thread";
    case XA_ERROR_NO_INPUT:
        return "no input open";
    case XA_ERROR_NO_OUTPUT:
        return "no output open";
    case XA_ERROR_INPUT_NOT_FOUND:
        return "input file not found";
    case XA_ERROR_INPUT_ACCESS:
        return "input file not readable (permission denied)";
    case XA_ERROR_INPUT_NOT_A_FILE:
        return "input is not a regular file";
    case XA_ERROR_INPUT_READ:
        return "input read error";
    case XA_ERROR_NOT_MPEG_AUDIO:
        return "no MPEG audio stream found in the input";
    case XA_ERROR_DECODE:
        return "MPEG audio decoding error";
    case XA_ERROR_SEEK:
        return "input seek failed";
    case XA_ERROR_OUTPUT_OPEN:
        return "cannot create the output file";
    case XA_ERROR_OUTPUT_WRITE:
        return "output file write error";
    case XA_ERROR_OUTPUT_CLOSE:
        return "output file could not be completed";
    case XA_ERROR_DECODER_INIT:
        return "cannot initialise the MPEG audio decoder";
    default:
        return "unknown error";
    }
}

TW_EXPORT uint32_t xaudio_get_version(int32_t selector) {
    switch (selector) {
    case XA_VERSION_ID_LIBRARY:
    case XA_VERSION_ID_SYNC_API:
    case XA_VERSION_ID_ASYNC_API:
        return (XA_VERSION_MAJOR << 16) | (XA_VERSION_MINOR << 8) | XA_VERSION_PATCH;
    default:
        return 0;
    }
}

TW_EXPORT int32_t control_message_send_N(void* player, int32_t code) {
    Command c;
    c.code = code;
    return send(player, std::move(c));
}

TW_EXPORT int32_t control_message_send_P(void* player, int32_t code, const void* pointer) {
    Command c;
    c.code = code;
    c.pointer = pointer;
    return send(player, std::move(c));
}

TW_EXPORT int32_t control_message_send_S(void* player, int32_t code, const char* text) {
    try {
        Command c;
        c.code = code;
        c.text1 = textOf(text);
        return send(player, std::move(c));
    } catch (...) {
        return XA_ERROR_OUT_OF_MEMORY;
    }
}

TW_EXPORT int32_t control_message_send_SS(void* player, int32_t code, const char* text1,
                                          const char* text2) {
    try {
        Command c;
        c.code = code;
        c.text1 = textOf(text1);
        c.text2 = textOf(text2);
        return send(player, std::move(c));
    } catch (...) {
        return XA_ERROR_OUT_OF_MEMORY;
    }
}

TW_EXPORT int32_t control_message_send_SI(void* player, int32_t code, const char* text,
                                          int32_t value) {
    try {
        Command c;
        c.code = code;
        c.text1 = textOf(text);
        c.value1 = value;
        return send(player, std::move(c));
    } catch (...) {
        return XA_ERROR_OUT_OF_MEMORY;
    }
}

TW_EXPORT int32_t control_message_send_IPI(void* player, int32_t code, int32_t value1,
                                           const void* pointer, int32_t value2) {
    Command c;
    c.code = code;
    c.value1 = value1;
    c.pointer = pointer;
    c.value2 = value2;
    return send(player, std::move(c));
}

TW_EXPORT int32_t control_message_send_I(void* player, int32_t code, int32_t value) {
    Command c;
    c.code = code;
    c.value1 = value;
    return send(player, std::move(c));
}

TW_EXPORT int32_t control_message_send_II(void* player, int32_t code, int32_t value1,
                                          int32_t value2) {
    Command c;
    c.code = code;
    c.value1 = value1;
    c.value2 = value2;
    return send(player, std::move(c));
}

TW_EXPORT int32_t control_message_send_III(void* player, int32_t code, int32_t value1,
                                           int32_t value2, int32_t value3) {
    Command c;
    c.code = code;
    c.value1 = value1;
    c.value2 = value2;
    c.value3 = value3;
    return send(player, std::move(c));
}

TW_EXPORT int32_t control_message_send_IIII(void* player, int32_t code, int32_t value1,
                                            int32_t value2, int32_t value3, int32_t value4) {
    Command c;
    c.code = code;
    c.value1 = value1;
    c.value2 = value2;
    c.value3 = value3;
    c.value4 = value4;
    return send(player, std::move(c));
}

TW_EXPORT int32_t control_win32_params_to_message(void* player, XA_Message* message,
                                                  uint32_t number, uintptr_t wparam,
                                                  intptr_t lparam) {
    if (!player || !message) {
        return XA_ERROR_INVALID_PARAMETERS;
    }
    try {
        return asPlayer(player)->translate(message, number, wparam, lparam);
    } catch (...) {
        return XA_FAILURE;
    }
}

} // extern "C"
