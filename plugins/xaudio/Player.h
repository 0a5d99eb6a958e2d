#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

#include "MpegInput.h"
#include "Notifier.h"
#include "PcmFileOutput.h"

namespace xaudio {

// One control message as the player's thread receives it.
struct Command {
    int32_t code = 0;
    std::string text1;
    std::string text2;
    int32_t value1 = 0;
    int32_t value2 = 0;
    int32_t value3 = 0;
    int32_t value4 = 0;
    const void* pointer = nullptr;
};

// A player: a thread that carries out control messages one at a time and, while
// playing, decodes the input into the output chunk by chunk, checking for the next
// control message between chunks. Everything it has to say goes out as
// notifications through its Notifier.
class Player {
public:
    // Creates the player and starts its thread; XA_SUCCESS or an XA_ERROR_* code.
    static int32_t create(MessageWindow* window, Player** out);
    // Stops the thread (the input and output are closed) and frees everything.
    ~Player();
    Player(const Player&) = delete;
    Player& operator=(const Player&) = delete;

    // Called by the controlling thread; returns once the player's thread has carried
    // the command out.
    int32_t send(Command command);

    int32_t translate(XA_Message* out, uint32_t number, uintptr_t wparam, intptr_t lparam) {
        return notifier_.translate(out, number, wparam, lparam);
    }

    void setPriority(int32_t priority);
    int32_t priority() const { return priority_.load(); }

private:
    Player(MessageWindow* window, uintptr_t identifier);

    void run();
    void applyPriority();
    void execute(const Command& command);

    void play();
    void pause();
    void stop();
    void inputOpen(const std::string& name);
    void inputClose();
    void inputSeek(int32_t offset, int32_t range);
    void outputOpen(const std::string& name);
    void outputClose(int32_t command);

    void decodeChunk();
    void endOfStream();
    void fail(int32_t command, int32_t code, const std::string& detail);

    void setState(uint8_t state);
    void ack(int32_t command);
    void nack(int32_t command, int32_t code);
    void postPosition();
    void postStreamParameters();

    Notifier notifier_;

    // Shared with the controlling thread.
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable done_;
    std::deque<Command> commands_;
    uint64_t submitted_ = 0;
    uint64_t completed_ = 0;
    bool quit_ = false;
    std::atomic<int32_t> priority_{XA_PRIORITY_NORMAL};
    std::atomic<pid_t> threadId_{0};
    int baseNice_ = 0;

    // The player's thread only.
    uint8_t state_ = XA_PLAYER_STATE_STOPPED;
    MpegInput input_;
    PcmFileOutput output_;
    uint32_t positionRange_ = XA_DEFAULT_POSITION_RANGE;
    uint32_t timecodeGranularityMs_ = 1000;
    uint32_t lastTimecodeMs_ = 0;
    std::chrono::steady_clock::time_point nextPosition_{};
    long reportedRate_ = 0;
    int reportedChannels_ = 0;
    std::vector<unsigned char> buffer_;

    std::thread thread_;
};

} // namespace xaudio
