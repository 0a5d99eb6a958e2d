// The decode side of the file codec: MP3 file -> Xaudio player -> WAV file. The
// player writes the samples from offset 44 on its own thread; the codec follows its
// notifications and writes the WAV header once the file is finished.

#include <QCoreApplication>
#include <QThread>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "codec/MP3Codec.h"
#include "codec/WavFormat.h"
#include "platform/Paths.h"
#include "tags/Tags.h"

namespace codec {
namespace {

// Longest a step waits for the player's next notification. Long enough that the
// user-interface thread sleeps while the decoder works, short enough that other
// events (timer ticks, a click on Stop) are not noticeably delayed.
constexpr int kStepWaitMs = 10;

// Player states as the player reports them.
constexpr int kStateStopped = 0;
constexpr int kStatePlaying = 1;
constexpr int kStateEndOfStream = 3;

// True when the first `size` bytes of the file are all zero (the header area the
// player reserves, never written over).
bool HoldsOnlyZeros(int fd, std::size_t size) {
    std::uint8_t bytes[kWavHeaderSize] = {};
    if (size > sizeof bytes || ::pread(fd, bytes, size, 0) != static_cast<ssize_t>(size)) {
        return false;
    }
    for (std::size_t i = 0; i < size; ++i) {
        if (bytes[i] != 0) {
            return false;
        }
    }
    return true;
}

// True when the decoded file holds at least one byte of samples after the header
// area the player reserves.
bool HoldsSamples(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
           st.st_size > static_cast<off_t>(kWavHeaderSize);
}

// The player's refusal of a command as the codec reports it: a WAV that could not
// be created, written or closed is a write failure, as on the encode side; every
// other refusal (an input that is missing, not a regular file, not MPEG audio, a
// decode error) is a general decode error.
int RefusalResult(std::int16_t code) {
    switch (code) {
    case XA_ERROR_OUTPUT_OPEN:
    case XA_ERROR_OUTPUT_WRITE:
    case XA_ERROR_OUTPUT_CLOSE:
        return kCodecWriteFail;
    default:
        return kCodecGeneralDecodeError;
    }
}

} // namespace

// ---- The player link ------------------------------------------------------------

TMP3Codec::PlayerLink::PlayerLink(TMP3Codec* codec) : codec(codec) {
    if (QCoreApplication::instance()) {
        Get();
    }
}

TMP3Codec::PlayerLink::~PlayerLink() {
    if (player) {
        player->OnNotifyPlayerState = nullptr;
        player->OnNotifyInputPosition = nullptr;
        player->OnNotifyStreamParameters = nullptr;
        player->OnNotifyNack = nullptr;
        if (owned) {
            delete player.data();
        }
    }
}

TXaudioPlayer* TMP3Codec::PlayerLink::Get() {
    if (!player) {
        // On the application's thread the application, not the codec, destroys the
        // player. A codec on a worker thread owns its player, made in that thread
        // (an object cannot have a parent in another thread), whose notifications
        // that thread's own event loop delivers.
        QCoreApplication* application = QCoreApplication::instance();
        owned = !application || QThread::currentThread() != application->thread();
        auto* created = new TXaudioPlayer(owned ? nullptr : application);
        TMP3Codec* c = codec;
        created->OnNotifyPlayerState = [c](TXaudioPlayer* sender, int state) {
            c->XaudioPlayerNotifyPlayerState(sender, state);
        };
        created->OnNotifyInputPosition = [c](TXaudioPlayer* sender, std::uint32_t offset,
                                             std::uint32_t range) {
            c->XaudioPlayerNotifyInputPosition(sender, offset, range);
        };
        created->OnNotifyStreamParameters = [c](TXaudioPlayer* sender, std::uint32_t frequency,
                                                std::int16_t bitrate, std::uint8_t channels) {
            c->XaudioPlayerNotifyStreamParameters(sender, frequency, bitrate, channels);
        };
        created->OnNotifyNack = [c](TXaudioPlayer* sender, std::uint8_t command,
                                    std::int16_t code) {
            c->XaudioPlayerNotifyNack(sender, command, code);
        };
        player = created;
    }
    return player;
}

// ---- Operations -----------------------------------------------------------------

int TMP3Codec::InitDecoder(const std::string& /*directory*/) {
    player_.Get()->Init();
    return kCodecOk;
}

int TMP3Codec::OpenDecode(const std::string& source, const std::string& target, TargetMode mode) {
    decodePrivate_ = mode == TargetMode::Private;
    if (!decodePrivate_ && !platform::removeExistingFile(target)) {
        targetName_.clear();
        return kCodecUnableToOverwrite;
    }
    // Nothing is at the target's name now, so a file found there at the close is
    // the one this decode's player created.
    struct stat st {};
    targetFree_ = decodePrivate_ || ::lstat(target.c_str(), &st) != 0;
    TXaudioPlayer* player = player_.Get();
    player->InputOpen(source);
    player->OutputOpen(target);
    playerState_ = kStateStopped;
    targetName_ = target;
    sourceName_ = source;
    refused_ = false;
    refusal_ = 0;
    playSent_ = false;
    progress_ = 0;
    done_ = false;
    endedEmpty_ = false;
    return kCodecOk;
}

int TMP3Codec::DecodeStep(std::uint16_t& progress) {
    if (refused_) {
        return RefusalResult(refusal_);
    }
    if (done_) {
        // A stream that ended without a single sample (an empty file, an ID3 tag
        // and nothing after it, bytes that only looked like MPEG audio) is no
        // decode.
        return endedEmpty_ ? kCodecGeneralDecodeError : kCodecDone;
    }
    TXaudioPlayer* player = player_.Get();
    if (playerState_ != kStatePlaying && playerState_ != kStateEndOfStream) {
        player->Play();
        playSent_ = true;
    }
    progress = progress_;
    // The decode moves on only through notifications: rather than return at once to
    // a caller that would call again at once, wait (bounded) for the next one.
    player->WaitForNotification(kStepWaitMs);
    return kCodecOk;
}

int TMP3Codec::CloseDecode() {
    TXaudioPlayer* player = player_.Get();
    // After a Play the player may be writing even when no state has been reported
    // yet, so its output is closed then too before the header goes in.
    if (playerState_ != kStateStopped || playSent_) {
        player->OutputClose();
        player->InputClose();
    }
    player->OutputReset();
    playSent_ = false;
    // Everything the player said about this decode has been posted by now (each
    // command is carried out before it returns); take it in before deciding on the
    // header, so a close that comes before those events were processed still sees
    // the stream's parameters and any refusal.
    player->ProcessPostedNotifications();
    if (targetName_.empty()) {
        return kCodecOk;
    }
    // Opened without O_CREAT or following a link: a target that has disappeared
    // stays gone, and only the file the player wrote is finished; without blocking,
    // should anything else have taken its name.
    // A private target is reached through its /proc/self/fd link, which is followed.
    int fd = ::open(targetName_.c_str(),
                    O_RDWR | O_CLOEXEC | O_NONBLOCK | (decodePrivate_ ? 0 : O_NOFOLLOW));
    if (fd < 0) {
        return kCodecOk;
    }
    struct stat st {};
    const bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    const bool holdsAudio = regular && st.st_size > static_cast<off_t>(kWavHeaderSize);
    AudioFormat format;
    format.sampleRate = frequency_;
    format.channels = streamChannels_;
    format.bitsPerSample = 16;
    if (holdsAudio) {
        // Also after a refusal (a write that found the disk full): the samples
        // written so far stay readable under a header that describes them.
        if (frequency_ != 0 && streamChannels_ != 0) {
            FinishWavFile(fd, format);
        }
    } else if (regular && (refused_ || done_) && targetFree_ &&
               HoldsOnlyZeros(fd, static_cast<std::size_t>(st.st_size))) {
        // An input the decoder refused (not MPEG audio, empty) or that ended without
        // a single sample leaves only the player's blank header area: a file this
        // decode created and that holds no audio goes. A decode stopped before its
        // first sample keeps an empty WAV, as a stopped decode keeps its part.
        if (decodePrivate_) {
            (void)!::ftruncate(fd, 0);
        } else {
            ::unlink(targetName_.c_str());
        }
    } else if (regular && !refused_) {
        FinishWavFile(fd, format);
    }
    ::close(fd);
    // The source's tags go after the data of a finished decode. The file then ends
    // in tag chunks: a second close must not take them for samples in a header
    // computed from the file's size.
    if (holdsAudio && !refused_) {
        tags::CarryTags(sourceName_, targetName_,
                        decodePrivate_ ? tags::TargetFile::PrivateWav : tags::TargetFile::ByName);
    }
    targetName_.clear();
    return kCodecOk;
}

// ---- Handlers -------------------------------------------------------------------

void TMP3Codec::XaudioPlayerNotifyPlayerState(TXaudioPlayer* Sender, int State) {
    playerState_ = State;
    if (State == kStateEndOfStream) {
        done_ = true;
        // The player closed the file before it reported the end.
        endedEmpty_ = !targetName_.empty() && !HoldsSamples(targetName_);
        Sender->OutputClose();
        Sender->InputClose();
    }
}

void TMP3Codec::XaudioPlayerNotifyInputPosition(TXaudioPlayer* /*Sender*/, std::uint32_t Offset,
                                                std::uint32_t Range) {
    progress_ = Range != 0 ? static_cast<std::uint16_t>(Offset * 100u / Range) : 0;
}

void TMP3Codec::XaudioPlayerNotifyStreamParameters(TXaudioPlayer* /*Sender*/,
                                                   std::uint32_t Frequency,
                                                   std::int16_t /*Bitrate*/,
                                                   std::uint8_t NbChannels) {
    frequency_ = Frequency;
    streamChannels_ = NbChannels;
}

void TMP3Codec::XaudioPlayerNotifyNack(TXaudioPlayer* /*Sender*/, std::uint8_t /*Command*/,
                                       std::int16_t Code) {
    // The first refusal says what went wrong; later ones follow from it.
    if (!refused_) {
        refusal_ = Code;
    }
    refused_ = true;
}

} // namespace codec
