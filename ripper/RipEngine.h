#pragma once

// The track ripping engine: copies the selected tracks of the track list to WAV
// files, or through the MP3 encoder library to MP3 files, reading 26 frames at a
// time with three attempts per block. It runs on the user-interface thread and
// lets pending events run every fifth block, so the window's buttons (stop, close)
// work during a rip; it reaches the window only through RipView.

#include <cstdint>
#include <string>
#include <vector>

#include "platform/RuntimeLibrary.h"
#include "platform/Services.h"
#include "ripper/CdDrives.h"
#include "tags/Tags.h"

namespace ripper {

// Frames read per library call: 61152 bytes, about 0.35 s of audio.
inline constexpr int kFramesPerRead = 26;
// Every block whose count is a multiple of this lets events run and updates the labels.
inline constexpr int kCheckEvery = 5;
inline constexpr int kReadAttempts = 3;

// What the engine reads from and writes to the ripper window.
class RipView {
public:
    virtual ~RipView() = default;

    virtual void appendLog(const std::string& line) = 0;
    virtual void setProgress(int percent) = 0;
    // The three time labels are repainted at once, since events run only every
    // fifth block.
    virtual void setSpeedText(const std::string& text) = 0;
    virtual void setElapsedText(const std::string& text) = 0;
    virtual void setEstimateText(const std::string& text) = 0;
    virtual void setTrackText(const std::string& text) = 0;
    // Enables and disables the controls for a run (true) or for idle (false).
    virtual void setRippingState(bool ripping) = 0;
    virtual void processPendingEvents() = 0;

    virtual int rowCount() = 0;
    virtual bool isRowSelected(int row) = 0;
    virtual int driveIndex() = 0;
    virtual std::string prefix() = 0;
    virtual bool compressOnFly() = 0;
    virtual bool stopOnErrors() = 0;
    // The RipperOut setting, read afresh for every track.
    virtual std::string ripperOut() = 0;
    // Whether the end of a run is announced by a desktop notification (the
    // Notify setting), read when the run ends.
    virtual bool notifyWhenDone() = 0;
};

// What one run of RipSelectedTracks did.
struct RipSummary {
    int ripped = 0;           // tracks that ended "Ripping done" without an error line
    int failed = 0;           // tracks with an error line (lost blocks included)
    bool stopped = false;     // a track ended "Ripping canceled" by a stop request
    std::string firstFailure; // "Track #3: Unable to create output file!"
    std::string folder;       // the output folder of the last track started
};

// The notification at the end of a run: "3 tracks ripped", with ", 1 failed" and
// the first failure as its text when some failed; a click opens the folder.
platform::Notification RipNotification(const RipSummary& run);

// The three time labels of a check: the average speed in KiB/s, the elapsed time
// and the estimate of the time left (remaining audio at the average speed), with
// the "00:" and "00" patterns, for example "Average speed: 344 Kb/sec",
// " Elapsed time: 01:15", " Estimated time: 00:42". Below 1 KiB/s the time left is
// unknown and the estimate says "--:--" instead of dividing by zero.
struct TimeLabels {
    std::string speed;
    std::string elapsed;
    std::string estimate;
};
TimeLabels MakeTimeLabels(int64_t bytesRead, int64_t elapsedSeconds, int64_t framesRemaining);

// The tags of a ripped track: album, album artist, title and artist from the disc's
// CD-TEXT where it has them, and always track n/N (n = rowIndex + 1, N = the tracks
// in the table of contents). CD-TEXT is asked for the track's own number.
tags::TagSet DiscTrackTags(CdLibrary& library, HCDROM handle, int firstTrack, int lastTrack,
                           int rowIndex);

class RipEngine {
public:
    RipEngine(CdDrives& drives, RipView& view);
    ~RipEngine();
    RipEngine(const RipEngine&) = delete;
    RipEngine& operator=(const RipEngine&) = delete;

    // The whole run over the selected rows, in list order, until the rows end or a
    // stop is requested. The computer is kept awake meanwhile, and the end is
    // announced by a notification when the view says so.
    void RipSelectedTracks();
    // What the last run did (also while it runs).
    const RipSummary& LastRun() const { return lastRun_; }
    // One track; N = rowIndex + 1 names it in texts and file names.
    void RipTrack(int driveIndex, int rowIndex);

    // Loads the encoder library from EncoderLibraryPath unless it is loaded; a
    // library missing one of its four entry points counts as not loaded. A loaded
    // library stays loaded for later tracks.
    void LoadEncoder();

    // The encoder side of an MP3 rip. OpenMp3Output returns false (and calls no
    // encoder entry point afterwards) when the output could not be opened, with the
    // reason in `why`. EncodeBlock feeds audio in chunks of the size the encoder
    // asked for and returns false when the encoder refused it or its bytes were not
    // all written; an odd trailing byte is dropped.
    bool OpenMp3Output(const std::string& fileName, std::string& why);
    bool EncodeBlock(const uint8_t* data, uint32_t byteCount);
    void CloseMp3Output();

    bool RipStopRequested = false;
    bool Ripping = false;

    // Where the encoder library is loaded from: lame.so in the program directory.
    std::string EncoderLibraryPath;

private:
    // Appends an error line and keeps the track's first one.
    void logFailure(const std::string& line);

    CdDrives& drives_;
    RipView& view_;
    RipSummary lastRun_;
    std::string trackFailure_;
    bool trackDone_ = false;

    platform::RuntimeLibrary encoder_;
    uint32_t stream_ = 0;
    uint32_t samplesPerChunk_ = 0;
    uint32_t outputBufferSize_ = 0;
    std::vector<uint8_t> outputBuffer_;
    int mp3File_ = -1;
    bool mp3Open_ = false;
};

} // namespace ripper
