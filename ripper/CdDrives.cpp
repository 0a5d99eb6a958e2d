#include "ripper/CdDrives.h"

#include <cstring>

#include "platform/Services.h"

namespace ripper {

namespace {

const char* const kErrorTexts[] = {
    "Everything OK",
    "Unable to load WNASPI32.DLL or use SCSI passthrough",
    "ASPI is improperly installed",
    "ASPI manager (WNASPI32.DLL) cannot be correctly loaded",
    "An error was returned by the ASPI manager",
    "Internal: unused implementation",
    "Internal: Too small buffer",
    "Internal: The CD-ROM handle is invalid.",
    "Internal: No free handles",
    "Internal: Bad CDID params",
    "Internal: Bad ha:tgt:lun values ",
    "Unable to obtain an exclusive lock on a CD handle",
    "Internal: Handle duplication",
    "Internal: Invalid value for the GETCDHAND param",
    "Internal:Invalid version or size specified in GETCDHAND ",
    "Internal: An automatic jitter adjust failed",
};

constexpr int kErrorTextCount = sizeof kErrorTexts / sizeof kErrorTexts[0];

const char* const kNoDriveText =
    "Cannot exclusively aquire CD drives for ripper. Maybe you don't have one or you don't "
    "have enough privilegies. Please contact administrator.";

} // namespace

std::string CdErrorText(int32_t code) {
    int64_t index = code < 0 ? -static_cast<int64_t>(code) : code;
    if (index < kErrorTextCount) {
        return kErrorTexts[index];
    }
    return "Unknown CD library error " + std::to_string(code);
}

std::string Pattern00(int64_t value) {
    if (value < 0) {
        return "-" + Pattern00(-value);
    }
    std::string digits = std::to_string(value);
    return digits.size() < 2 ? "0" + digits : digits;
}

CdDrives::CdDrives(CdLibrary& library) : library_(library) {}

std::vector<std::string> CdDrives::DiscoverDrives(QWidget* owner) {
    DriveList list;
    std::memset(&list, 0, sizeof list);
    library_.GetCDList(&list);

    // The record has room for 8 entries; a larger count cannot be trusted further.
    int count = list.num > AKRIP_MAX_DRIVES ? AKRIP_MAX_DRIVES : list.num;
    std::vector<std::string> names;
    if (count == 0) {
        platform::messageBox(owner, kNoDriveText, "Attention", platform::Ok, platform::Icon::None);
        driveCount = 0;
        return names;
    }
    for (int i = 0; i < count; ++i) {
        char text[100];
        std::memset(text, 0, sizeof text);
        GETCDHAND request;
        std::memset(&request, 0, sizeof request);
        request.size = AKRIP_GETCDHAND_SIZE;
        request.ver = AKRIP_GETCDHAND_VERSION;
        request.ha = list.drive[i].ha;
        request.tgt = list.drive[i].tgt;
        request.lun = list.drive[i].lun;
        request.readType = 0;
        handles[i] = library_.GetCDHandle(&request);
        library_.GetCDId(handles[i], text, sizeof text);
        text[sizeof text - 1] = '\0';
        names.emplace_back(text);
    }
    driveCount = count;
    return names;
}

bool CdDrives::readToc(int driveIndex, bool msf) {
    currentHandle = handles[driveIndex];
    std::memset(&currentToc, 0, sizeof currentToc);
    library_.ModifyCDParms(currentHandle, CDP_MSF, msf ? 1 : 0);
    return library_.ReadTOC(currentHandle, &currentToc) == 1;
}

TrackListing CdDrives::ListTracks(int driveIndex) {
    TrackListing listing;
    if (driveIndex < 0 || driveIndex >= kMaxHandles) {
        return listing;
    }
    if (!readToc(driveIndex, true)) {
        listing.log.emplace_back("Error reading TOC - check if CD in drive!");
        listing.log.push_back(CdErrorText(library_.GetAspiLibError()));
        return listing;
    }
    int first = currentToc.firstTrack;
    int last = currentToc.lastTrack;
    // Row k reads entry k + 1, so 99 rows are all the record can describe.
    if (last - first + 1 > AKRIP_TOC_ENTRIES - 1) {
        last = first + AKRIP_TOC_ENTRIES - 2;
    }
    int64_t runningTotal = 0;
    for (int t = first; t <= last; ++t) {
        int k = t - first;
        const TocEntry& next = currentToc.tracks[k + 1];
        // The frames byte is ignored: lengths are whole seconds of the start times.
        int64_t position = next.addr[1] * 60 + next.addr[2];
        int64_t length = position - runningTotal;
        runningTotal = position;
        int64_t minutes = length / 60;
        int64_t seconds = length % 60;
        int64_t size = ((minutes * 60 + seconds) * kBytesPerSecond) >> 20;

        TrackRow row;
        row.caption = "Track " + std::to_string(t);
        row.info.size = static_cast<int16_t>(size);
        row.info.length = static_cast<int32_t>(length);
        row.lengthText = std::to_string(minutes) + ":" + Pattern00(seconds);
        row.sizeText = std::to_string(size) + "Mb";
        listing.rows.push_back(row);
    }
    return listing;
}

ExtentResult CdDrives::ReadTrackExtent(int driveIndex, int rowIndex, uint32_t& firstBlock,
                                       int64_t& frameCount) {
    if (driveIndex < 0 || driveIndex >= kMaxHandles) {
        return ExtentResult::NoSuchTrack;
    }
    if (!readToc(driveIndex, false)) {
        return ExtentResult::TocUnreadable;
    }
    // The list may be older than the disc now in the drive: a row without a track
    // (or its lead-out entry) in the fresh table must not be read from zeroed entries.
    int tracks = currentToc.lastTrack - currentToc.firstTrack + 1;
    if (rowIndex < 0 || rowIndex >= tracks || rowIndex + 1 >= AKRIP_TOC_ENTRIES) {
        return ExtentResult::NoSuchTrack;
    }
    uint32_t start = akrip_get_be32(currentToc.tracks[rowIndex].addr);
    uint32_t end = akrip_get_be32(currentToc.tracks[rowIndex + 1].addr);
    if (end < start) {
        return ExtentResult::NoSuchTrack;
    }
    firstBlock = start;
    frameCount = static_cast<int64_t>(end) - start;
    return ExtentResult::Ok;
}

} // namespace ripper
