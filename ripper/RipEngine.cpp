#include "ripper/RipEngine.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

#include "codec/EncoderLibrary.h"
#include "codec/WavFormat.h"
#include "lame_encoder.h"
#include "platform/FileIO.h"
#include "platform/Paths.h"
#include "platform/Services.h"

namespace ripper {

namespace {

constexpr uint32_t kReadBytes = kFramesPerRead * kFrameBytes; // 61152

// Closes a file descriptor when the track ends, whichever way it ends.
class FileGuard {
public:
    FileGuard() = default;
    explicit FileGuard(int fd) : fd_(fd) {}
    ~FileGuard() { close(); }
    FileGuard(const FileGuard&) = delete;
    FileGuard& operator=(const FileGuard&) = delete;
    int get() const { return fd_; }
    void reset(int fd) {
        close();
        fd_ = fd;
    }
    void close() {
        if (fd_ >= 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }

private:
    int fd_ = -1;
};

bool pathExists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

// The write test: a probe file with a fresh name, so no existing file (a user's
// temp.tmp) is ever replaced or deleted by it.
bool canCreateFileIn(const std::string& dir) {
    std::string probe = platform::joinPath(dir, "temp.XXXXXX");
    int fd = ::mkostemp(probe.data(), O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    ::close(fd);
    ::unlink(probe.c_str());
    return true;
}

} // namespace

TimeLabels MakeTimeLabels(int64_t bytesRead, int64_t elapsedSeconds, int64_t framesRemaining) {
    TimeLabels labels;
    int64_t speed = (bytesRead / 1024) / elapsedSeconds;
    labels.speed = "Average speed: " + std::to_string(speed) + " Kb/sec";
    labels.elapsed =
        " Elapsed time: " + Pattern00(elapsedSeconds / 60) + ":" + Pattern00(elapsedSeconds % 60);
    if (speed == 0) {
        labels.estimate = " Estimated time: --:--";
    } else {
        int64_t left = ((framesRemaining * kFrameBytes) / 1024) / speed;
        labels.estimate = " Estimated time: " + Pattern00(left / 60) + ":" + Pattern00(left % 60);
    }
    return labels;
}

tags::TagSet DiscTrackTags(CdLibrary& library, HCDROM handle, int firstTrack, int lastTrack,
                           int rowIndex) {
    tags::TagSet tags;
    auto text = [&library, handle](int track, int32_t field) {
        if (track < 0 || track > 99) {
            return std::string();
        }
        char buffer[1024] = {};
        if (library.GetCDText(handle, static_cast<uint8_t>(track), field, buffer, sizeof buffer) !=
            1) {
            return std::string();
        }
        buffer[sizeof buffer - 1] = '\0';
        return std::string(buffer);
    };
    const int track = firstTrack + rowIndex;
    tags.album = text(0, AKRIP_CDTEXT_TITLE);
    tags.albumArtist = text(0, AKRIP_CDTEXT_PERFORMER);
    tags.title = text(track, AKRIP_CDTEXT_TITLE);
    tags.artist = text(track, AKRIP_CDTEXT_PERFORMER);
    // A track without a performer of its own is the album artist's.
    if (tags.artist.empty()) {
        tags.artist = tags.albumArtist;
    }
    tags.track = static_cast<unsigned>(rowIndex + 1);
    if (lastTrack >= firstTrack) {
        tags.trackTotal = static_cast<unsigned>(lastTrack - firstTrack + 1);
    }
    return tags;
}

RipEngine::RipEngine(CdDrives& drives, RipView& view)
    : EncoderLibraryPath(platform::programDir() + BE_LIBRARY_NAME), drives_(drives), view_(view) {}

RipEngine::~RipEngine() {
    CloseMp3Output();
}

void RipEngine::RipSelectedTracks() {
    if (Ripping) {
        return;
    }
    RipStopRequested = false;
    Ripping = true;
    lastRun_ = {};
    int selected = 0;
    for (int i = 0; i < view_.rowCount(); ++i) {
        selected += view_.isRowSelected(i) ? 1 : 0;
    }
    // The computer stays awake while the drive reads, however long the run takes.
    platform::Inhibitor awake = platform::services().sleepInhibitor->inhibit(
        "Ripping " + std::to_string(selected) + (selected == 1 ? " track" : " tracks"));
    view_.setRippingState(true);
    for (int i = 0; i < view_.rowCount() && !RipStopRequested; ++i) {
        if (view_.isRowSelected(i)) {
            trackFailure_.clear();
            trackDone_ = false;
            RipTrack(view_.driveIndex(), i);
            if (!trackFailure_.empty()) {
                if (lastRun_.failed++ == 0) {
                    lastRun_.firstFailure =
                        "Track #" + std::to_string(i + 1) + ": " + trackFailure_;
                }
            } else if (trackDone_) {
                ++lastRun_.ripped;
            } else {
                lastRun_.stopped = true;
            }
            view_.setProgress(0);
        }
    }
    Ripping = false;
    awake.release();
    view_.setRippingState(false);
    if ((lastRun_.ripped > 0 || lastRun_.failed > 0 || lastRun_.stopped) &&
        view_.notifyWhenDone()) {
        platform::services().notifier->notify(RipNotification(lastRun_));
    }
}

platform::Notification RipNotification(const RipSummary& run) {
    platform::Notification notification;
    notification.summary =
        std::to_string(run.ripped) + (run.ripped == 1 ? " track ripped" : " tracks ripped");
    if (run.failed > 0) {
        notification.summary += ", " + std::to_string(run.failed) + " failed";
    }
    if (run.stopped) {
        notification.summary += ", then stopped";
    }
    notification.body = run.failed > 0 ? run.firstFailure : "Saved in " + run.folder;
    notification.actionFolder = run.folder;
    return notification;
}

void RipEngine::RipTrack(int driveIndex, int rowIndex) {
    const std::string n = std::to_string(rowIndex + 1);

    // Output directory: created with every missing folder above it when nothing
    // of that name exists (a fresh account has no music folder yet).
    std::string dir = view_.ripperOut();
    while (dir.size() > 1 && dir.back() == '/') {
        dir.pop_back();
    }
    lastRun_.folder = dir;
    if (!pathExists(dir) && (dir.empty() || !platform::forceDirectories(dir))) {
        logFailure("Unable to create output directory!");
        RipStopRequested = true;
        return;
    }
    if (!canCreateFileIn(dir)) {
        logFailure("Unable to create file in output directory!");
        RipStopRequested = true;
        return;
    }
    const std::string prefix = view_.prefix();
    if (prefix.find_first_of("!*?\\") != std::string::npos) {
        logFailure("Invalid output file name!");
        RipStopRequested = true;
        return;
    }

    const bool compress = view_.compressOnFly();
    const bool stopOnErrors = view_.stopOnErrors();
    view_.appendLog(std::string("Starting to ") + (compress ? "MP3" : "WAV") + " rip track #" + n);
    view_.setTrackText("Track #" + n);

    CdLibrary& library = drives_.library();
    uint32_t block = 0;
    int64_t total = 0;
    switch (drives_.ReadTrackExtent(driveIndex, rowIndex, block, total)) {
    case ExtentResult::Ok:
        break;
    case ExtentResult::TocUnreadable:
        logFailure(CdErrorText(library.GetAspiLibError()));
        if (stopOnErrors) {
            RipStopRequested = true;
        }
        return;
    case ExtentResult::NoSuchTrack:
        logFailure("Track #" + n + " is not on the disc!");
        if (stopOnErrors) {
            RipStopRequested = true;
        }
        return;
    }
    // The rip keeps the drive it started with, whatever the listing does meanwhile.
    const HCDROM handle = drives_.currentHandle;
    const int firstTrack = drives_.currentToc.firstTrack;
    const int lastTrack = drives_.currentToc.lastTrack;
    int64_t remaining = total;

    std::vector<uint8_t> buffer;
    try {
        buffer.assign(AKRIP_TRACKBUF_HEADER + kReadBytes, 0);
    } catch (const std::bad_alloc&) {
        // The track ends without reading; the next selected track is tried.
        logFailure("Not enough memory to rip track #" + n + "!");
        return;
    }
    auto* trackBuffer = reinterpret_cast<TrackBuffer*>(buffer.data());
    uint8_t* data = AKRIP_TRACKBUF_DATA(trackBuffer);
    akrip_put_le32(trackBuffer->maxLen, kReadBytes);
    uint32_t frames = kFramesPerRead;
    int64_t blockCounter = 0;
    int64_t bytesRead = 0;

    const std::string fileName =
        platform::withTrailingSlash(dir) + prefix + "#" + n + (compress ? ".mp3" : ".wav");
    FileGuard wav;
    if (compress) {
        LoadEncoder();
        std::string why;
        if (!OpenMp3Output(fileName, why)) {
            // Every later track would fail the same way: the run ends here.
            logFailure(why);
            RipStopRequested = true;
            return;
        }
    } else {
        int fd = -1;
        if (!platform::isReadOnlyFile(fileName)) {
            fd = ::open(fileName.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        }
        if (fd < 0) {
            logFailure("Unable to create output file!");
            RipStopRequested = true;
            return;
        }
        wav.reset(fd);
        codec::WriteWavHeader(fd, codec::kCdAudioFormat, 0);
    }
    bool writeFailed = false;

    platform::Clock& clock = *platform::services().clock;
    const uint32_t startTime = clock.milliseconds();

    while (remaining > 0) {
        if (blockCounter % kCheckEvery == 0) {
            view_.processPendingEvents();
            if (RipStopRequested) {
                if (compress) {
                    CloseMp3Output();
                } else {
                    // A stopped WAV keeps the audio read so far, and its header
                    // says so: with data size 0 no reader would see any of it.
                    codec::FinishWavFile(wav.get(), codec::kCdAudioFormat);
                }
                wav.close();
                view_.appendLog("Ripping canceled");
                return;
            }
            view_.setProgress(static_cast<int>((total - remaining) * 100 / total));
            int64_t elapsed = static_cast<uint32_t>(clock.milliseconds() - startTime) / 1000;
            if (elapsed != 0) {
                TimeLabels labels = MakeTimeLabels(bytesRead, elapsed, remaining);
                view_.setSpeedText(labels.speed);
                view_.setElapsedText(labels.elapsed);
                view_.setEstimateText(labels.estimate);
            }
        }
        ++blockCounter;
        if (remaining < frames) {
            frames = static_cast<uint32_t>(remaining);
        }
        bool ok = false;
        for (int attempt = 0; attempt < kReadAttempts && !ok; ++attempt) {
            akrip_put_le32(trackBuffer->startFrame, block);
            akrip_put_le32(trackBuffer->numFrames, frames);
            akrip_put_le32(trackBuffer->len, 0);
            akrip_put_le32(trackBuffer->startOffset, 0);
            ok = library.ReadCDAudioLBA(handle, trackBuffer) == 1;
        }
        if (ok) {
            // Only bytes inside the data area are taken, whatever the header says.
            int64_t offset = static_cast<int32_t>(akrip_get_le32(trackBuffer->startOffset));
            int64_t length = akrip_get_le32(trackBuffer->len);
            if (offset < 0 || offset > kReadBytes) {
                length = 0;
                offset = 0;
            }
            length = std::min<int64_t>(length, kReadBytes - offset);
            const uint8_t* delivered = data + offset;
            if (compress) {
                EncodeBlock(delivered, static_cast<uint32_t>(length));
            } else if (!writeFailed) {
                if (!platform::writeAll(wav.get(), delivered, static_cast<size_t>(length))) {
                    // A full disk must not end in a header that claims audio the
                    // file does not hold: the run stops at the next check.
                    writeFailed = true;
                    logFailure("Unable to write output file!");
                    RipStopRequested = true;
                }
            }
            bytesRead += length;
        } else {
            logFailure(CdErrorText(library.GetAspiLibError()));
            if (stopOnErrors) {
                RipStopRequested = true;
            }
        }
        block += frames;
        remaining -= frames;
    }

    if (compress) {
        CloseMp3Output();
    } else {
        codec::FinishWavFile(wav.get(), codec::kCdAudioFormat);
        wav.close();
    }
    tags::TagFile(fileName, DiscTrackTags(library, handle, firstTrack, lastTrack, rowIndex));
    trackDone_ = true;
    view_.appendLog("Ripping done");
}

void RipEngine::logFailure(const std::string& line) {
    if (trackFailure_.empty()) {
        trackFailure_ = line;
    }
    view_.appendLog(line);
}

void RipEngine::LoadEncoder() {
    if (encoder_.isLoaded()) {
        return;
    }
    encoder_ = platform::RuntimeLibrary(
        EncoderLibraryPath,
        {BE_INIT_STREAM_NAME, BE_ENCODE_CHUNK_NAME, BE_DEINIT_STREAM_NAME, BE_CLOSE_STREAM_NAME},
        {BE_GET_LAME_TAG_FRAME_NAME});
}

bool RipEngine::OpenMp3Output(const std::string& fileName, std::string& why) {
    CloseMp3Output();
    if (pathExists(fileName) &&
        (platform::isReadOnlyFile(fileName) || ::unlink(fileName.c_str()) != 0)) {
        why = "Unable to overwrite output file!";
        return false;
    }
    if (!encoder_.isLoaded()) {
        why = "Unable to load MP3 encoder " + EncoderLibraryPath + "!";
        return false;
    }
    // Read access lets the close check the first frame before it rewrites it.
    int fd = ::open(fileName.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        why = "Unable to create output file!";
        return false;
    }
    const auto tagFrame = encoder_.entry<BeGetLameTagFrameFn>(BE_GET_LAME_TAG_FRAME_NAME);

    BeConfig config;
    BeConfigInit(&config);
    config.sampleRate = 44100;
    config.reSampleRate = 0;
    config.mode = BE_MP3_MODE_STEREO;
    config.bitrate = 128;
    config.vbrQuality = 9;
    config.abrBps = 0;
    config.vbrMethod = BE_VBR_METHOD_OLD;
    // The Xing/Info (LAME) tag lets players find the encoder's delay and padding;
    // asked for only when the library hands out the finished frame.
    config.writeVbrHeader = tagFrame ? 1 : 0;
    uint8_t record[BE_CONFIG_SIZE];
    BeConfigWrite(&config, record);

    stream_ = 0;
    samplesPerChunk_ = 0;
    outputBufferSize_ = 0;
    auto init = encoder_.entry<BeInitStreamFn>(BE_INIT_STREAM_NAME);
    uint32_t result = init(record, &samplesPerChunk_, &outputBufferSize_, &stream_);
    if (result == BE_ERR_SUCCESSFUL && samplesPerChunk_ > 0 && outputBufferSize_ > 0) {
        try {
            outputBuffer_.assign(outputBufferSize_, 0);
        } catch (const std::bad_alloc&) {
            result = BE_ERR_NO_MORE_HANDLES;
        }
    } else if (result == BE_ERR_SUCCESSFUL) {
        // A stream that cannot be fed (no chunk or no output room) is no stream.
        result = BE_ERR_INVALID_FORMAT_PARAMETERS;
    }
    if (result != BE_ERR_SUCCESSFUL) {
        if (stream_ != 0) {
            encoder_.entry<BeCloseStreamFn>(BE_CLOSE_STREAM_NAME)(stream_);
        }
        ::close(fd);
        outputBuffer_.clear();
        why = "Unable to init MP3 stream!";
        return false;
    }
    mp3File_ = fd;
    mp3Open_ = true;
    return true;
}

bool RipEngine::EncodeBlock(const uint8_t* data, uint32_t byteCount) {
    if (!mp3Open_ || !encoder_.isLoaded()) {
        return false;
    }
    auto encode = encoder_.entry<BeEncodeChunkFn>(BE_ENCODE_CHUNK_NAME);
    // The encoder takes 16-bit samples; audio at an odd address is copied first.
    std::vector<int16_t> aligned;
    if (reinterpret_cast<uintptr_t>(data) % alignof(int16_t) != 0) {
        aligned.resize(byteCount / 2);
        std::memcpy(aligned.data(), data, aligned.size() * 2);
        data = reinterpret_cast<const uint8_t*>(aligned.data());
    }
    uint32_t offset = 0;
    while (byteCount > 0) {
        uint32_t samples = std::min(samplesPerChunk_, byteCount / 2);
        if (samples == 0) {
            break; // an odd trailing byte: not a sample, dropped
        }
        byteCount -= 2 * samples;
        uint32_t produced = 0;
        uint32_t result = encode(stream_, samples, reinterpret_cast<const int16_t*>(data + offset),
                                 outputBuffer_.data(), &produced);
        offset += 2 * samples;
        if (result != BE_ERR_SUCCESSFUL) {
            return false;
        }
        produced = std::min<uint32_t>(produced, static_cast<uint32_t>(outputBuffer_.size()));
        if (!platform::writeAll(mp3File_, outputBuffer_.data(), produced)) {
            return false;
        }
    }
    return true;
}

void RipEngine::CloseMp3Output() {
    if (!mp3Open_) {
        return;
    }
    uint32_t produced = 0;
    encoder_.entry<BeDeinitStreamFn>(BE_DEINIT_STREAM_NAME)(stream_, outputBuffer_.data(),
                                                            &produced);
    produced = std::min<uint32_t>(produced, static_cast<uint32_t>(outputBuffer_.size()));
    platform::writeAll(mp3File_, outputBuffer_.data(), produced);
    // The audio is complete: the tag frame goes over the placeholder it began with.
    // Anything that goes in front of the file (tags) comes after this step.
    codec::WriteLameTagFrame(encoder_.entry<BeGetLameTagFrameFn>(BE_GET_LAME_TAG_FRAME_NAME),
                             stream_, mp3File_);
    encoder_.entry<BeCloseStreamFn>(BE_CLOSE_STREAM_NAME)(stream_);
    ::close(mp3File_);
    mp3File_ = -1;
    stream_ = 0;
    outputBuffer_.clear();
    outputBuffer_.shrink_to_fit();
    mp3Open_ = false;
}

} // namespace ripper
