#pragma once

// The ripper's access to the CD drives: discovery, the drive handles, the table of
// contents, the track list rows and a track's block extent, all through the CD
// library. Runs on the user-interface thread; the library calls block until the
// drive answers.

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "akrip32.h"
#include "ripper/CdLibrary.h"

class QWidget;

namespace ripper {

// One frame (CD sector) of audio: 1/75 s of 44100 Hz, stereo, 16-bit.
inline constexpr uint32_t kFrameBytes = 2352;
// One second of CD audio.
inline constexpr uint32_t kBytesPerSecond = 176400;
inline constexpr int kMaxHandles = 100;

// The text for a library error code, by its absolute value.
std::string CdErrorText(int32_t code);

// At least two digits with a leading zero ("00" pattern); "00:" adds a colon.
std::string Pattern00(int64_t value);

// What a track list row carries: its size in whole mebibytes and its length in
// seconds.
struct TrackRowInfo {
    int16_t size = 0;
    int32_t length = 0;
};

// One row of the track list: "Track 3", "4:05", "41Mb".
struct TrackRow {
    std::string caption;
    std::string lengthText;
    std::string sizeText;
    TrackRowInfo info;
};

// The outcome of listing a drive's tracks: the rows, or the log lines that say why
// there are none.
struct TrackListing {
    std::vector<TrackRow> rows;
    std::vector<std::string> log;
};

enum class ExtentResult {
    Ok,
    TocUnreadable, // the library's error code says why
    NoSuchTrack,   // the table read afresh has no track at that row (disc changed)
};

class CdDrives {
public:
    explicit CdDrives(CdLibrary& library);

    CdLibrary& library() { return library_; }

    // Finds the drives, opens one handle each and returns their names in order.
    // With no drive it shows the "Attention" box, which belongs to `owner`, and
    // returns none.
    std::vector<std::string> DiscoverDrives(QWidget* owner = nullptr);

    // Reads the table of contents of the drive at `driveIndex` in minute/second/frame
    // mode and builds one row per track. A read failure gives the two log lines
    // and no rows; an index outside 0..99 gives neither.
    TrackListing ListTracks(int driveIndex);

    // Reads the table of contents afresh in block mode and gives the first block and
    // the frame count of the track in `rowIndex`.
    ExtentResult ReadTrackExtent(int driveIndex, int rowIndex, uint32_t& firstBlock,
                                 int64_t& frameCount);

    std::array<HCDROM, kMaxHandles> handles{};
    int driveCount = 0;
    HCDROM currentHandle = 0;
    TocRecord currentToc{};

private:
    bool readToc(int driveIndex, bool msf);

    CdLibrary& library_;
};

} // namespace ripper
