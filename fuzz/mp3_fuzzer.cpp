// MPEG audio decoding through the decoder library's C entry points: any bytes as
// an MP3 file, opened, played to a PCM file and closed, as the file codec does.
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>

#include "message_window.h"
#include "xaudio.h"

namespace {

struct Posted {
    uint32_t number;
    uintptr_t wparam;
    intptr_t lparam;
};

// A window whose post function queues the messages for the fuzzing thread.
struct QueueWindow : MessageWindow {
    std::mutex mutex;
    std::condition_variable ready;
    std::deque<Posted> queue;

    QueueWindow() { post = &QueueWindow::postThunk; }
    static void postThunk(MessageWindow* window, uint32_t message, uintptr_t wparam,
                          intptr_t lparam) {
        auto* self = static_cast<QueueWindow*>(window);
        {
            std::lock_guard lock(self->mutex);
            self->queue.push_back({message, wparam, lparam});
        }
        self->ready.notify_one();
    }
    bool next(Posted& out, std::chrono::milliseconds timeout) {
        std::unique_lock lock(mutex);
        if (!ready.wait_for(lock, timeout, [&] { return !queue.empty(); })) {
            return false;
        }
        out = queue.front();
        queue.pop_front();
        return true;
    }
};

QueueWindow g_window;
void* g_player = nullptr;
std::string g_input;
std::string g_output;

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char dir[] = "/tmp/tw-mp3-fuzz-XXXXXX";
    if (!mkdtemp(dir)) {
        std::abort();
    }
    g_input = std::string(dir) + "/in.mp3";
    g_output = std::string(dir) + "/out.pcm";
    MessageWindow* window = &g_window;
    if (player_new(&g_player, &window) != XA_SUCCESS) {
        std::abort();
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::FILE* f = std::fopen(g_input.c_str(), "wb");
    if (!f || std::fwrite(data, 1, size, f) != size || std::fclose(f) != 0) {
        std::abort();
    }
    control_message_send_S(g_player, XA_CONTROL_INPUT_OPEN, g_input.c_str());
    control_message_send_S(g_player, XA_CONTROL_OUTPUT_OPEN, g_output.c_str());
    control_message_send_N(g_player, XA_CONTROL_PLAY);

    // Until the play ends: the end of the stream, or the Play command refused
    // (an input the decoder does not take, or a decode error).
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    bool ended = false;
    while (!ended) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        Posted posted{};
        if (left.count() <= 0 || !g_window.next(posted, left)) {
            std::fprintf(stderr, "the player never ended its play\n");
            std::abort();
        }
        XA_Message message{};
        if (control_win32_params_to_message(g_player, &message, posted.number, posted.wparam,
                                            posted.lparam) != 0) {
            continue;
        }
        for (unsigned i = 0; i < 3; ++i) {
            if (const char* text = xa_message_text(&message, i)) {
                (void)std::strlen(text);
            }
        }
        ended = (message.code == XA_NOTIFY_PLAYER_STATE &&
                 xa_message_byte(&message, 0) == XA_PLAYER_STATE_EOS) ||
                (message.code == XA_NOTIFY_NACK && xa_message_byte(&message, 0) == XA_CONTROL_PLAY);
    }
    control_message_send_N(g_player, XA_CONTROL_STOP);
    control_message_send_N(g_player, XA_CONTROL_OUTPUT_CLOSE);
    control_message_send_N(g_player, XA_CONTROL_INPUT_CLOSE);
    return 0;
}
