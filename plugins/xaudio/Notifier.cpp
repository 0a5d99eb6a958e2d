#include "Notifier.h"

#include <cstring>

namespace xaudio {

Notification::Notification(uint32_t code) {
    message_.code = code;
}

Notification& Notification::byte(unsigned offset, uint8_t value) {
    message_.data[offset] = value;
    return *this;
}

Notification& Notification::word(unsigned offset, uint16_t value) {
    message_.data[offset] = static_cast<uint8_t>(value & 0xFF);
    message_.data[offset + 1] = static_cast<uint8_t>(value >> 8);
    return *this;
}

Notification& Notification::value(unsigned index, uint32_t value) {
    for (unsigned i = 0; i < 4; ++i) {
        message_.data[4 * index + i] = static_cast<uint8_t>(value >> (8 * i));
    }
    return *this;
}

Notification& Notification::text(unsigned index, std::string text) {
    texts_[index] = std::move(text);
    return *this;
}

Notification& Notification::pointer(unsigned index, const void* pointer) {
    std::memcpy(message_.data + XA_MESSAGE_POINTER_SLOT(index), &pointer, sizeof pointer);
    return *this;
}

Notifier::Notifier(MessageWindow* window, uintptr_t identifier)
    : window_(window), identifier_(identifier) {}

void Notifier::post(Notification notification) {
    if (!window_ || !window_->post) {
        return;
    }
    // Posting under the lock keeps the window's queue in the order of pending_.
    std::lock_guard lock(mutex_);
    const intptr_t sequence = nextSequence_++;
    const uint32_t number = XA_WINDOW_MESSAGE_BASE + notification.code();
    pending_.push_back({sequence, std::move(notification)});
    window_->post(window_, number, identifier_, sequence);
}

int32_t Notifier::translate(XA_Message* out, uint32_t number, uintptr_t wparam, intptr_t lparam) {
    if (number < XA_WINDOW_MESSAGE_BASE || number > XA_WINDOW_MESSAGE_LAST ||
        wparam != identifier_) {
        return 1;
    }
    std::lock_guard lock(mutex_);
    // Messages are delivered in the order they were posted; anything older than the
    // one asked for was lost on the way and is let go.
    while (!pending_.empty() && pending_.front().sequence < lparam) {
        pending_.pop_front();
    }
    if (pending_.empty() || pending_.front().sequence != lparam ||
        XA_WINDOW_MESSAGE_BASE + pending_.front().notification.code() != number) {
        return 1;
    }
    Notification& n = pending_.front().notification;
    *out = n.message_;
    for (unsigned i = 0; i < n.texts_.size(); ++i) {
        if (n.texts_[i]) {
            current_[i] = std::move(*n.texts_[i]);
            const char* text = current_[i].c_str();
            std::memcpy(out->data + XA_MESSAGE_POINTER_SLOT(i), &text, sizeof text);
        } else {
            current_[i].clear();
        }
    }
    pending_.pop_front();
    return 0;
}

size_t Notifier::pendingCount() {
    std::lock_guard lock(mutex_);
    return pending_.size();
}

} // namespace xaudio
