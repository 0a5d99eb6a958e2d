#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>

#include "xaudio.h"

namespace xaudio {

// One notification being built: numbers go straight into the message's data area,
// texts are owned here until the message is translated on the window's thread.
class Notification {
public:
    explicit Notification(uint32_t code);

    Notification& byte(unsigned offset, uint8_t value);
    Notification& word(unsigned offset, uint16_t value);
    Notification& value(unsigned index, uint32_t value);
    Notification& text(unsigned index, std::string text);
    Notification& pointer(unsigned index, const void* pointer);

    uint32_t code() const { return message_.code; }

private:
    friend class Notifier;
    XA_Message message_{};
    std::array<std::optional<std::string>, 3> texts_;
};

// Carries notifications from the player's thread to the message window.
//
// Each notification is kept here and only a reference to it (this notifier's
// identifier and a sequence number) travels through the window's queue, so a
// message that outlives its player, or reaches another player, refers to nothing
// and is simply not recognised; whatever was never translated is freed with the
// notifier.
class Notifier {
public:
    Notifier(MessageWindow* window, uintptr_t identifier);
    Notifier(const Notifier&) = delete;
    Notifier& operator=(const Notifier&) = delete;

    // Any thread. Without a window the notification is dropped.
    void post(Notification notification);

    // The window's thread. 0 when the message was this notifier's and *out is
    // filled; its texts stay valid until the next successful call.
    int32_t translate(XA_Message* out, uint32_t number, uintptr_t wparam, intptr_t lparam);

    // Number of notifications posted and not yet translated.
    size_t pendingCount();

private:
    struct Pending {
        intptr_t sequence;
        Notification notification;
    };

    MessageWindow* const window_;
    const uintptr_t identifier_;
    std::mutex mutex_;
    std::deque<Pending> pending_;
    intptr_t nextSequence_ = 1;
    std::array<std::string, 3> current_;
};

} // namespace xaudio
