#include "Player.h"

#include <cerrno>
#include <new>
#include <sys/resource.h>
#include <system_error>
#include <unistd.h>

namespace xaudio {
namespace {

// Samples are decoded and written in blocks of this size (about seven frames of
// stereo audio), so a control message waits at most one block.
constexpr size_t kBlockBytes = 32 * 1024;
// Positions are reported at this interval while playing.
constexpr auto kPositionInterval = std::chrono::milliseconds(50);

std::atomic<uintptr_t> g_nextIdentifier{1};

// Nice value offset from the process's own for each player priority.
int niceOffset(int32_t priority) {
    static const int offsets[] = {10, 5, 0, -5, -10};
    if (priority < XA_PRIORITY_LOWEST) {
        priority = XA_PRIORITY_LOWEST;
    }
    if (priority > XA_PRIORITY_HIGHEST) {
        priority = XA_PRIORITY_HIGHEST;
    }
    return offsets[priority];
}

} // namespace

Player::Player(MessageWindow* window, uintptr_t identifier)
    : notifier_(window, identifier), buffer_(kBlockBytes) {
    errno = 0;
    int nice = getpriority(PRIO_PROCESS, 0);
    baseNice_ = (nice == -1 && errno != 0) ? 0 : nice;
}

int32_t Player::create(MessageWindow* window, Player** out) {
    *out = nullptr;
    Player* player = nullptr;
    try {
        player = new Player(window, g_nextIdentifier.fetch_add(1));
    } catch (const std::bad_alloc&) {
        return XA_ERROR_OUT_OF_MEMORY;
    }
    try {
        player->thread_ = std::thread(&Player::run, player);
    } catch (const std::system_error&) {
        delete player;
        return XA_ERROR_THREAD_CREATE;
    }
    *out = player;
    return XA_SUCCESS;
}

Player::~Player() {
    if (thread_.joinable()) {
        {
            std::lock_guard lock(mutex_);
            quit_ = true;
        }
        wake_.notify_one();
        thread_.join();
    }
}

int32_t Player::send(Command command) {
    std::unique_lock lock(mutex_);
    if (quit_ || !thread_.joinable()) {
        return XA_ERROR_NO_PLAYER;
    }
    const uint64_t ticket = ++submitted_;
    commands_.push_back(std::move(command));
    wake_.notify_one();
    done_.wait(lock, [&] { return completed_ >= ticket; });
    return XA_SUCCESS;
}

void Player::setPriority(int32_t priority) {
    priority_.store(priority);
    applyPriority();
}

void Player::applyPriority() {
    pid_t tid = threadId_.load();
    if (tid != 0) {
        // Raising the priority may be refused without the right to; the request is
        // kept all the same and the thread runs on at its priority.
        setpriority(PRIO_PROCESS, static_cast<id_t>(tid), baseNice_ + niceOffset(priority_.load()));
    }
}

void Player::run() {
    threadId_.store(gettid());
    if (priority_.load() != XA_PRIORITY_NORMAL) {
        applyPriority();
    }
    notifier_.post(Notification(XA_NOTIFY_READY));

    std::unique_lock lock(mutex_);
    for (;;) {
        while (!commands_.empty()) {
            Command command = std::move(commands_.front());
            commands_.pop_front();
            lock.unlock();
            execute(command);
            lock.lock();
            ++completed_;
            done_.notify_all();
        }
        if (quit_) {
            break;
        }
        if (state_ == XA_PLAYER_STATE_PLAYING) {
            lock.unlock();
            decodeChunk();
            lock.lock();
            continue;
        }
        wake_.wait(lock, [&] { return quit_ || !commands_.empty(); });
    }
    lock.unlock();

    output_.close();
    input_.close();
    notifier_.post(Notification(XA_NOTIFY_EXITED));
}

void Player::execute(const Command& command) {
    switch (command.code) {
    case XA_CONTROL_SYNCHRONIZE:
        ack(command.code);
        break;
    case XA_CONTROL_PING:
        notifier_.post(
            Notification(XA_NOTIFY_PONG).value(0, static_cast<uint32_t>(command.value1)));
        break;
    case XA_CONTROL_PLAY:
        play();
        break;
    case XA_CONTROL_PAUSE:
        pause();
        break;
    case XA_CONTROL_STOP:
        stop();
        break;
    case XA_CONTROL_INPUT_SEEK:
        inputSeek(command.value1, command.value2);
        break;
    case XA_CONTROL_INPUT_OPEN:
        inputOpen(command.text1);
        break;
    case XA_CONTROL_INPUT_CLOSE:
        inputClose();
        ack(command.code);
        break;
    case XA_CONTROL_OUTPUT_OPEN:
        outputOpen(command.text1);
        break;
    case XA_CONTROL_OUTPUT_CLOSE:
        outputClose(command.code);
        break;
    case XA_CONTROL_OUTPUT_RESET:
    case XA_CONTROL_OUTPUT_DRAIN:
        // The file output holds nothing back: every block is in the file once
        // decoded, so there is nothing to drop or to wait for.
        ack(command.code);
        break;
    case XA_CONTROL_GET_INPUT_NAME:
        notifier_.post(Notification(XA_NOTIFY_INPUT_NAME).text(0, input_.name()));
        break;
    case XA_CONTROL_GET_OUTPUT_NAME:
        notifier_.post(Notification(XA_NOTIFY_OUTPUT_NAME).text(0, output_.name()));
        break;
    case XA_CONTROL_SET_INPUT_POSITION_RANGE:
        if (command.value1 <= 0) {
            nack(command.code, XA_ERROR_INVALID_PARAMETERS);
            break;
        }
        positionRange_ = static_cast<uint32_t>(command.value1);
        ack(command.code);
        [[fallthrough]];
    case XA_CONTROL_GET_INPUT_POSITION_RANGE:
        notifier_.post(Notification(XA_NOTIFY_INPUT_POSITION_RANGE).value(0, positionRange_));
        break;
    case XA_CONTROL_SET_INPUT_TIMECODE_GRANULARITY:
        if (command.value1 <= 0) {
            nack(command.code, XA_ERROR_INVALID_PARAMETERS);
            break;
        }
        timecodeGranularityMs_ = static_cast<uint32_t>(command.value1);
        ack(command.code);
        [[fallthrough]];
    case XA_CONTROL_GET_INPUT_TIMECODE_GRANULARITY:
        notifier_.post(
            Notification(XA_NOTIFY_INPUT_TIMECODE_GRANULARITY).value(0, timecodeGranularityMs_));
        break;
    default:
        nack(command.code, XA_ERROR_NOT_IMPLEMENTED);
        break;
    }
}

void Player::play() {
    if (!input_.isOpen()) {
        nack(XA_CONTROL_PLAY, XA_ERROR_NO_INPUT);
        return;
    }
    if (state_ == XA_PLAYER_STATE_EOS) {
        // Nothing is left to play: say so again.
        notifier_.post(Notification(XA_NOTIFY_PLAYER_STATE).byte(0, state_));
        ack(XA_CONTROL_PLAY);
        return;
    }
    if (!output_.isOpen()) {
        nack(XA_CONTROL_PLAY, XA_ERROR_NO_OUTPUT);
        return;
    }
    if (state_ != XA_PLAYER_STATE_PLAYING) {
        nextPosition_ = std::chrono::steady_clock::now();
        setState(XA_PLAYER_STATE_PLAYING);
    }
    ack(XA_CONTROL_PLAY);
}

void Player::pause() {
    if (state_ == XA_PLAYER_STATE_PLAYING) {
        setState(XA_PLAYER_STATE_PAUSED);
    }
    ack(XA_CONTROL_PAUSE);
}

void Player::stop() {
    // Stopping rewinds the input, so the file output is finished here: playing
    // again into the same file would repeat the stream after what is written.
    setState(XA_PLAYER_STATE_STOPPED);
    if (input_.isOpen()) {
        if (input_.rewind() == XA_SUCCESS) {
            lastTimecodeMs_ = UINT32_MAX;
            postPosition();
        } else {
            reportedRate_ = 0;
            reportedChannels_ = 0;
            notifier_.post(Notification(XA_NOTIFY_INPUT_STATE).byte(0, XA_INPUT_STATE_CLOSED));
        }
    }
    outputClose(XA_CONTROL_STOP);
}

void Player::inputOpen(const std::string& name) {
    inputClose();
    int32_t result = input_.open(name);
    if (result != XA_SUCCESS) {
        notifier_.post(Notification(XA_NOTIFY_ERROR)
                           .byte(0, XA_SOURCE_INPUT)
                           .word(2, static_cast<uint16_t>(result))
                           .text(1, name));
        nack(XA_CONTROL_INPUT_OPEN, result);
        return;
    }
    notifier_.post(Notification(XA_NOTIFY_INPUT_STATE).byte(0, XA_INPUT_STATE_OPEN));
    notifier_.post(Notification(XA_NOTIFY_INPUT_NAME).text(0, input_.name()));
    notifier_.post(Notification(XA_NOTIFY_STREAM_MIME_TYPE).text(0, "audio/mpeg"));
    postStreamParameters();
    notifier_.post(Notification(XA_NOTIFY_STREAM_DURATION).value(0, input_.durationMs()));
    lastTimecodeMs_ = UINT32_MAX;
    postPosition();
    ack(XA_CONTROL_INPUT_OPEN);
}

void Player::inputClose() {
    if (!input_.isOpen()) {
        return;
    }
    setState(XA_PLAYER_STATE_STOPPED);
    input_.close();
    reportedRate_ = 0;
    reportedChannels_ = 0;
    notifier_.post(Notification(XA_NOTIFY_INPUT_STATE).byte(0, XA_INPUT_STATE_CLOSED));
}

void Player::inputSeek(int32_t offset, int32_t range) {
    if (!input_.isOpen()) {
        nack(XA_CONTROL_INPUT_SEEK, XA_ERROR_NO_INPUT);
        return;
    }
    if (offset < 0 || range <= 0) {
        nack(XA_CONTROL_INPUT_SEEK, XA_ERROR_INVALID_PARAMETERS);
        return;
    }
    int32_t result = input_.seek(static_cast<uint32_t>(offset), static_cast<uint32_t>(range));
    if (result != XA_SUCCESS) {
        nack(XA_CONTROL_INPUT_SEEK, result);
        return;
    }
    if (state_ == XA_PLAYER_STATE_EOS) {
        setState(XA_PLAYER_STATE_STOPPED);
    }
    postPosition();
    ack(XA_CONTROL_INPUT_SEEK);
}

void Player::outputOpen(const std::string& name) {
    if (output_.isOpen()) {
        outputClose(XA_CONTROL_OUTPUT_OPEN);
    }
    if (name.empty()) {
        nack(XA_CONTROL_OUTPUT_OPEN, XA_ERROR_INVALID_PARAMETERS);
        return;
    }
    int32_t result = output_.open(name);
    if (result != XA_SUCCESS) {
        notifier_.post(Notification(XA_NOTIFY_ERROR)
                           .byte(0, XA_SOURCE_OUTPUT)
                           .word(2, static_cast<uint16_t>(result))
                           .text(1, name));
        nack(XA_CONTROL_OUTPUT_OPEN, result);
        return;
    }
    notifier_.post(Notification(XA_NOTIFY_OUTPUT_STATE).byte(0, XA_OUTPUT_STATE_OPEN));
    notifier_.post(Notification(XA_NOTIFY_OUTPUT_NAME).text(0, output_.name()));
    ack(XA_CONTROL_OUTPUT_OPEN);
}

// Closing a closed output is no failure. While playing, the player stops first, so
// no block is written after the file is closed.
void Player::outputClose(int32_t command) {
    if (!output_.isOpen()) {
        if (command != XA_CONTROL_OUTPUT_OPEN) {
            ack(command);
        }
        return;
    }
    if (state_ == XA_PLAYER_STATE_PLAYING || state_ == XA_PLAYER_STATE_PAUSED) {
        setState(XA_PLAYER_STATE_STOPPED);
    }
    int32_t result = output_.close();
    notifier_.post(Notification(XA_NOTIFY_OUTPUT_STATE).byte(0, XA_OUTPUT_STATE_CLOSED));
    if (result != XA_SUCCESS) {
        nack(command, result);
    } else if (command != XA_CONTROL_OUTPUT_OPEN) {
        ack(command);
    }
}

void Player::decodeChunk() {
    size_t done = 0;
    int32_t error = XA_SUCCESS;
    std::string detail;
    MpegInput::Status status = input_.read(buffer_.data(), buffer_.size(), done, error, detail);
    if (done > 0) {
        int32_t result = output_.write(buffer_.data(), done);
        if (result != XA_SUCCESS) {
            fail(XA_CONTROL_PLAY, result, output_.name());
            return;
        }
    }
    switch (status) {
    case MpegInput::Status::Data:
        break;
    case MpegInput::Status::NewFormat:
        postStreamParameters();
        break;
    case MpegInput::Status::End:
        endOfStream();
        return;
    case MpegInput::Status::Error:
        fail(XA_CONTROL_PLAY, error, detail);
        return;
    }
    if (std::chrono::steady_clock::now() >= nextPosition_) {
        postPosition();
    }
}

// The end is reported only once every sample is written and the file closed, so
// whoever receives it may rewrite the file at once.
void Player::endOfStream() {
    notifier_.post(
        Notification(XA_NOTIFY_INPUT_POSITION).value(0, positionRange_).value(1, positionRange_));
    int32_t result = output_.close();
    notifier_.post(Notification(XA_NOTIFY_OUTPUT_STATE).byte(0, XA_OUTPUT_STATE_CLOSED));
    if (result != XA_SUCCESS) {
        fail(XA_CONTROL_PLAY, result, "");
        return;
    }
    setState(XA_PLAYER_STATE_EOS);
}

// A play that cannot go on: what is written stays, the player stops, and the Play
// command is reported refused.
void Player::fail(int32_t command, int32_t code, const std::string& detail) {
    notifier_.post(Notification(XA_NOTIFY_ERROR)
                       .byte(0, XA_SOURCE_PLAYER)
                       .word(2, static_cast<uint16_t>(code))
                       .text(1, detail.empty() ? xaudio_error_string(code) : detail));
    nack(command, code);
    setState(XA_PLAYER_STATE_STOPPED);
}

void Player::setState(uint8_t state) {
    if (state_ == state) {
        return;
    }
    state_ = state;
    notifier_.post(Notification(XA_NOTIFY_PLAYER_STATE).byte(0, state));
}

void Player::ack(int32_t command) {
    notifier_.post(Notification(XA_NOTIFY_ACK).byte(0, static_cast<uint8_t>(command)));
}

void Player::nack(int32_t command, int32_t code) {
    notifier_.post(Notification(XA_NOTIFY_NACK)
                       .byte(0, static_cast<uint8_t>(command))
                       .word(2, static_cast<uint16_t>(code)));
}

void Player::postPosition() {
    nextPosition_ = std::chrono::steady_clock::now() + kPositionInterval;
    notifier_.post(Notification(XA_NOTIFY_INPUT_POSITION)
                       .value(0, input_.position(positionRange_))
                       .value(1, positionRange_));
    uint32_t time = input_.timeMs();
    uint32_t step = time / timecodeGranularityMs_;
    if (lastTimecodeMs_ == UINT32_MAX || step != lastTimecodeMs_ / timecodeGranularityMs_) {
        lastTimecodeMs_ = time;
        notifier_.post(Notification(XA_NOTIFY_INPUT_TIMECODE)
                           .byte(0, static_cast<uint8_t>(time / 3600000))
                           .byte(1, static_cast<uint8_t>(time / 60000 % 60))
                           .byte(2, static_cast<uint8_t>(time / 1000 % 60))
                           .byte(3, static_cast<uint8_t>(time / 10 % 100)));
    }
}

void Player::postStreamParameters() {
    if (input_.rate() == reportedRate_ && input_.channels() == reportedChannels_) {
        return;
    }
    reportedRate_ = input_.rate();
    reportedChannels_ = input_.channels();
    notifier_.post(Notification(XA_NOTIFY_STREAM_PARAMETERS)
                       .value(0, static_cast<uint32_t>(input_.rate()))
                       .word(4, static_cast<uint16_t>(input_.bitrate()))
                       .byte(6, static_cast<uint8_t>(input_.channels())));
}

} // namespace xaudio
