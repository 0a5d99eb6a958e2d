// The CD audio library over libcdio: drives and disc images, tables of contents and
// raw audio reads behind the seven entry points of akrip32.h.

#include "akrip32.h"

#include <cdio/cdio.h>
#include <cdio/cdtext.h>
#include <cdio/logging.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kMaxHandles = 100;
// Minute/second/frame addresses count from the start of the 2-second lead-in.
constexpr long kLeadInFrames = 150;
// The largest absolute address a minute/second/frame entry can hold (255:59:74).
constexpr long kMaxMsfFrames = 255L * 4500 + 59 * 75 + 74;

enum class Kind : uint8_t { Device = 0, Image = 1 };

struct Drive {
    Kind kind;
    std::string source; // device node or image path
};

// One drive's table of contents in block numbers, as the library checked it.
struct DiscLayout {
    int firstTrack = 0;
    int lastTrack = 0;
    std::vector<lsn_t> starts; // one per track, then the lead-out
    std::vector<bool> data;    // data track flags, one per track
};

struct Handle {
    Drive drive;
    bool msf = false;
    CdIo_t* cdio = nullptr;
    lsn_t leadOut = -1; // valid while cdio is open

    ~Handle() { close(); }
    void close() {
        if (cdio) {
            cdio_destroy(cdio);
            cdio = nullptr;
        }
        leadOut = -1;
    }
};

std::mutex g_mutex;
std::vector<Drive> g_drives; // the drives found by the last GetCDList, in list order
std::vector<std::unique_ptr<Handle>> g_handles; // handle value = index + 1
thread_local int32_t t_error = ALERR_NOERROR;

int32_t fail(int32_t code) {
    t_error = code;
    return 0;
}

int32_t succeed() {
    t_error = ALERR_NOERROR;
    return 1;
}

// libcdio writes its warnings to stderr; the library reports through error codes.
void quietLog(cdio_log_level_t level, const char message[]) {
    if (level >= CDIO_LOG_ASSERT) {
        cdio_default_log_handler(level, message);
    }
}

void silenceLibcdio() {
    static std::once_flag once;
    std::call_once(once, [] { cdio_log_set_handler(quietLog); });
}

bool hasSuffix(const std::string& name, const char* suffix) {
    size_t n = std::strlen(suffix);
    if (name.size() < n) {
        return false;
    }
    for (size_t i = 0; i < n; ++i) {
        char c = name[name.size() - n + i];
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
        if (c != suffix[i]) {
            return false;
        }
    }
    return true;
}

std::string absoluteName(const std::string& path) {
    if (path.empty() || path.front() == '/') {
        return path;
    }
    char cwd[PATH_MAX];
    if (!getcwd(cwd, sizeof cwd)) {
        return path;
    }
    return std::string(cwd) + "/" + path;
}

CdIo_t* openDrive(const Drive& drive) {
    const std::string& s = drive.source;
    if (drive.kind == Kind::Device) {
        return cdio_open(s.c_str(), DRIVER_DEVICE);
    }
    if (hasSuffix(s, ".cue")) {
        return cdio_open_cue(s.c_str());
    }
    if (hasSuffix(s, ".toc")) {
        return cdio_open_cdrdao(s.c_str());
    }
    if (hasSuffix(s, ".nrg")) {
        return cdio_open_nrg(s.c_str());
    }
    if (hasSuffix(s, ".bin")) {
        return cdio_open_bincue(s.c_str());
    }
    return cdio_open(s.c_str(), DRIVER_UNKNOWN);
}

// Reads the disc's layout and checks it: tracks in order, none starting past the
// lead-out (an image whose data ends before a track its cue sheet names), every
// address expressible as minutes/seconds/frames.
bool readLayout(CdIo_t* cdio, DiscLayout& layout) {
    track_t first = cdio_get_first_track_num(cdio);
    track_t last = cdio_get_last_track_num(cdio);
    if (first == CDIO_INVALID_TRACK || last == CDIO_INVALID_TRACK || first < 1 || last < first ||
        last - first + 1 >= AKRIP_TOC_ENTRIES) {
        return false;
    }
    layout.firstTrack = first;
    layout.lastTrack = last;
    layout.starts.clear();
    layout.data.clear();
    for (int t = first; t <= last + 1; ++t) {
        track_t number =
            t > last ? static_cast<track_t>(CDIO_CDROM_LEADOUT_TRACK) : static_cast<track_t>(t);
        lsn_t lsn = cdio_get_track_lsn(cdio, number);
        if (lsn == CDIO_INVALID_LSN || lsn < 0 || lsn + kLeadInFrames > kMaxMsfFrames) {
            return false;
        }
        if (!layout.starts.empty() && lsn < layout.starts.back()) {
            return false;
        }
        layout.starts.push_back(lsn);
        if (t <= last) {
            layout.data.push_back(cdio_get_track_format(cdio, number) != TRACK_FORMAT_AUDIO);
        }
    }
    return true;
}

// Opens the handle's drive afresh, so a changed disc or rewritten image is seen.
bool reopen(Handle& handle, DiscLayout& layout) {
    handle.close();
    CdIo_t* cdio = openDrive(handle.drive);
    if (!cdio) {
        return false;
    }
    if (!readLayout(cdio, layout)) {
        cdio_destroy(cdio);
        return false;
    }
    handle.cdio = cdio;
    handle.leadOut = layout.starts.back();
    return true;
}

Handle* findHandle(HCDROM value) {
    if (value == 0 || value > g_handles.size()) {
        return nullptr;
    }
    return g_handles[value - 1].get();
}

std::string trimmed(const char* text) {
    std::string s(text);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\0')) {
        s.pop_back();
    }
    size_t start = s.find_first_not_of(' ');
    return start == std::string::npos ? std::string() : s.substr(start);
}

std::string describe(const Handle& handle) {
    const std::string& source = handle.drive.source;
    if (handle.drive.kind == Kind::Image) {
        size_t slash = source.rfind('/');
        return slash == std::string::npos ? source : source.substr(slash + 1);
    }
    std::string name;
    CdIo_t* cdio = handle.cdio ? handle.cdio : cdio_open(source.c_str(), DRIVER_DEVICE);
    if (cdio) {
        cdio_hwinfo_t info{};
        if (cdio_get_hwinfo(cdio, &info)) {
            std::string vendor = trimmed(info.psz_vendor);
            std::string model = trimmed(info.psz_model);
            name = vendor.empty() ? model : (model.empty() ? vendor : vendor + " " + model);
        }
        if (cdio != handle.cdio) {
            cdio_destroy(cdio);
        }
    }
    return name.empty() ? source : name + " (" + source + ")";
}

std::vector<Drive> findDrives() {
    std::vector<Drive> drives;
    std::vector<std::string> seen;
    if (char** devices = cdio_get_devices(DRIVER_DEVICE)) {
        for (char** d = devices; *d; ++d) {
            // A device the user cannot open is no drive for the user.
            int fd = ::open(*d, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
            if (fd < 0) {
                continue;
            }
            ::close(fd);
            char real[PATH_MAX];
            std::string key = realpath(*d, real) ? std::string(real) : std::string(*d);
            if (std::find(seen.begin(), seen.end(), key) != seen.end()) {
                continue;
            }
            seen.push_back(key);
            drives.push_back({Kind::Device, *d});
        }
        cdio_free_device_list(devices);
    }
    if (const char* images = std::getenv("TUNEWRIGHT_CD_IMAGES")) {
        std::string list = images;
        size_t pos = 0;
        while (pos <= list.size()) {
            size_t colon = list.find(':', pos);
            if (colon == std::string::npos) {
                colon = list.size();
            }
            std::string name = list.substr(pos, colon - pos);
            pos = colon + 1;
            struct stat st {};
            if (!name.empty() && ::stat(name.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
                drives.push_back({Kind::Image, absoluteName(name)});
            }
        }
    }
    if (drives.size() > AKRIP_MAX_DRIVES) {
        drives.resize(AKRIP_MAX_DRIVES);
    }
    return drives;
}

void writeAddress(uint8_t* addr, lsn_t lsn, bool msf) {
    if (msf) {
        long absolute = lsn + kLeadInFrames;
        addr[0] = 0;
        addr[1] = static_cast<uint8_t>(absolute / 4500);
        addr[2] = static_cast<uint8_t>((absolute / 75) % 60);
        addr[3] = static_cast<uint8_t>(absolute % 75);
    } else {
        akrip_put_be32(addr, static_cast<uint32_t>(lsn));
    }
}

// libcdio reads the text of a cue sheet as Latin-1 and hands it out as UTF-8, so a
// sheet written in UTF-8 (as most are now) comes out encoded twice ("CafÃ©"). Text
// whose characters all fit in one byte and whose bytes then form valid multi-byte
// UTF-8 is taken back to those bytes.
std::string repairedUtf8(const char* text) {
    std::string once;
    const auto* p = reinterpret_cast<const unsigned char*>(text);
    bool multiByte = false;
    for (size_t i = 0; p[i] != 0;) {
        if (p[i] < 0x80) {
            once.push_back(static_cast<char>(p[i]));
            ++i;
        } else if ((p[i] == 0xC2 || p[i] == 0xC3) && (p[i + 1] & 0xC0) == 0x80) {
            once.push_back(static_cast<char>(((p[i] & 0x03) << 6) | (p[i + 1] & 0x3F)));
            multiByte = true;
            i += 2;
        } else {
            return text; // a character above U+00FF: not text encoded twice
        }
    }
    if (!multiByte) {
        return text;
    }
    const auto* q = reinterpret_cast<const unsigned char*>(once.data());
    const size_t n = once.size();
    bool sequence = false;
    for (size_t i = 0; i < n;) {
        size_t follow = 0;
        if (q[i] < 0x80) {
            ++i;
            continue;
        } else if (q[i] >= 0xC2 && q[i] <= 0xDF) {
            follow = 1;
        } else if (q[i] >= 0xE0 && q[i] <= 0xEF) {
            follow = 2;
        } else if (q[i] >= 0xF0 && q[i] <= 0xF4) {
            follow = 3;
        } else {
            return text;
        }
        for (size_t k = 1; k <= follow; ++k) {
            if (i + k >= n || (q[i + k] & 0xC0) != 0x80) {
                return text;
            }
        }
        sequence = true;
        i += follow + 1;
    }
    return sequence ? once : std::string(text);
}

// Copies as much of `text` as fits in `room` bytes without splitting a character;
// returns the bytes copied.
size_t fitUtf8(const std::string& text, size_t room, char* out) {
    size_t n = std::min(text.size(), room);
    if (n < text.size()) {
        while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) {
            --n;
        }
    }
    std::memcpy(out, text.data(), n);
    return n;
}

} // namespace

extern "C" {

TW_EXPORT int32_t GetCDList(DriveList* list) {
    try {
        silenceLibcdio();
        if (!list) {
            return fail(ALERR_INVALIDPARM);
        }
        std::lock_guard lock(g_mutex);
        g_drives = findDrives();
        uint8_t devices = 0;
        uint8_t images = 0;
        for (size_t i = 0; i < g_drives.size(); ++i) {
            DriveEntry& entry = list->drive[i];
            std::memset(&entry, 0, sizeof entry);
            bool image = g_drives[i].kind == Kind::Image;
            entry.ha = image ? 1 : 0;
            entry.tgt = image ? images++ : devices++;
            entry.lun = 0;
            entry.info[0] = static_cast<uint8_t>(g_drives[i].kind);
            entry.info[1] = static_cast<uint8_t>(i);
        }
        list->num = static_cast<uint8_t>(g_drives.size());
        if (g_drives.empty()) {
            t_error = ALERR_NOWNASPI;
            return 0;
        }
        t_error = ALERR_NOERROR;
        return list->num;
    } catch (...) {
        return fail(ALERR_ASPI);
    }
}

TW_EXPORT HCDROM GetCDHandle(GETCDHAND* request) {
    try {
        silenceLibcdio();
        if (!request) {
            return static_cast<HCDROM>(fail(ALERR_INVALIDPARM));
        }
        if (request->size != AKRIP_GETCDHAND_SIZE || request->ver != AKRIP_GETCDHAND_VERSION) {
            return static_cast<HCDROM>(fail(ALERR_INVALIDVERSION));
        }
        std::lock_guard lock(g_mutex);
        const Drive* drive = nullptr;
        uint8_t devices = 0;
        uint8_t images = 0;
        for (const Drive& d : g_drives) {
            bool image = d.kind == Kind::Image;
            uint8_t tgt = image ? images++ : devices++;
            if (request->ha == (image ? 1 : 0) && request->tgt == tgt && request->lun == 0) {
                drive = &d;
                break;
            }
        }
        if (!drive) {
            return static_cast<HCDROM>(fail(ALERR_BADHATGTLUN));
        }
        for (size_t i = 0; i < g_handles.size(); ++i) {
            const Drive& held = g_handles[i]->drive;
            if (held.kind == drive->kind && held.source == drive->source) {
                succeed();
                return static_cast<HCDROM>(i + 1);
            }
        }
        if (g_handles.size() >= kMaxHandles) {
            return static_cast<HCDROM>(fail(ALERR_NOMOREHAND));
        }
        auto handle = std::make_unique<Handle>();
        handle->drive = *drive;
        g_handles.push_back(std::move(handle));
        succeed();
        return static_cast<HCDROM>(g_handles.size());
    } catch (...) {
        return static_cast<HCDROM>(fail(ALERR_ASPI));
    }
}

TW_EXPORT int32_t GetCDId(HCDROM value, char* buffer, int32_t bufferSize) {
    try {
        std::lock_guard lock(g_mutex);
        Handle* handle = findHandle(value);
        if (!handle) {
            return fail(ALERR_INVALIDHANDLE);
        }
        if (!buffer || bufferSize <= 0) {
            return fail(ALERR_BADCDID);
        }
        std::string text = describe(*handle);
        size_t n = std::min(text.size(), static_cast<size_t>(bufferSize - 1));
        std::memcpy(buffer, text.data(), n);
        buffer[n] = '\0';
        return succeed();
    } catch (...) {
        return fail(ALERR_ASPI);
    }
}

TW_EXPORT int32_t ModifyCDParms(HCDROM value, int32_t parameter, uint32_t setting) {
    try {
        std::lock_guard lock(g_mutex);
        Handle* handle = findHandle(value);
        if (!handle) {
            return fail(ALERR_INVALIDHANDLE);
        }
        if (parameter != CDP_MSF) {
            return fail(ALERR_NOTIMPL);
        }
        handle->msf = setting != 0;
        return succeed();
    } catch (...) {
        return fail(ALERR_ASPI);
    }
}

TW_EXPORT int32_t ReadTOC(HCDROM value, TocRecord* toc) {
    try {
        silenceLibcdio();
        std::lock_guard lock(g_mutex);
        Handle* handle = findHandle(value);
        if (!handle) {
            return fail(ALERR_INVALIDHANDLE);
        }
        if (!toc) {
            return fail(ALERR_INVALIDPARM);
        }
        DiscLayout layout;
        if (!reopen(*handle, layout)) {
            return fail(ALERR_ASPI);
        }
        TocRecord result;
        std::memset(&result, 0, sizeof result);
        size_t entries = layout.starts.size();
        uint32_t length = static_cast<uint32_t>(2 + 8 * entries);
        result.tocLen[0] = static_cast<uint8_t>(length);
        result.tocLen[1] = static_cast<uint8_t>(length >> 8);
        result.firstTrack = static_cast<uint8_t>(layout.firstTrack);
        result.lastTrack = static_cast<uint8_t>(layout.lastTrack);
        for (size_t k = 0; k < entries; ++k) {
            TocEntry& entry = result.tracks[k];
            bool leadOut = k + 1 == entries;
            entry.adrCtrl = (!leadOut && layout.data[k]) ? 0x14 : 0x10;
            entry.trackNumber =
                leadOut ? AKRIP_LEADOUT_TRACK : static_cast<uint8_t>(layout.firstTrack + k);
            writeAddress(entry.addr, layout.starts[k], handle->msf);
        }
        std::memcpy(toc, &result, sizeof result);
        return succeed();
    } catch (...) {
        return fail(ALERR_ASPI);
    }
}

TW_EXPORT int32_t ReadCDAudioLBA(HCDROM value, TrackBuffer* buffer) {
    try {
        silenceLibcdio();
        std::lock_guard lock(g_mutex);
        Handle* handle = findHandle(value);
        if (!handle) {
            return fail(ALERR_INVALIDHANDLE);
        }
        if (!buffer) {
            return fail(ALERR_INVALIDPARM);
        }
        auto refuse = [buffer](int32_t code) {
            akrip_put_le32(buffer->status, static_cast<uint32_t>(code));
            return fail(code);
        };
        akrip_put_le32(buffer->len, 0);
        akrip_put_le32(buffer->startOffset, 0);
        uint32_t start = akrip_get_le32(buffer->startFrame);
        uint32_t frames = akrip_get_le32(buffer->numFrames);
        uint64_t capacity = akrip_get_le32(buffer->maxLen);
        uint64_t bytes = static_cast<uint64_t>(frames) * AKRIP_FRAME_BYTES;
        if (bytes > capacity) {
            return refuse(ALERR_BUFTOOSMALL);
        }
        if (!handle->cdio) {
            DiscLayout layout;
            if (!reopen(*handle, layout)) {
                return refuse(ALERR_ASPI);
            }
        }
        // Block numbers are unsigned here; anything past the lead-out is refused.
        if (static_cast<uint64_t>(start) + frames > static_cast<uint64_t>(handle->leadOut)) {
            return refuse(ALERR_ASPI);
        }
        if (frames > 0 &&
            cdio_read_audio_sectors(handle->cdio, AKRIP_TRACKBUF_DATA(buffer),
                                    static_cast<lsn_t>(start), frames) != DRIVER_OP_SUCCESS) {
            return refuse(ALERR_ASPI);
        }
        akrip_put_le32(buffer->len, static_cast<uint32_t>(bytes));
        akrip_put_le32(buffer->status, 0);
        return succeed();
    } catch (...) {
        return fail(ALERR_ASPI);
    }
}

TW_EXPORT int32_t GetCDText(HCDROM value, uint8_t track, int32_t field, char* buffer,
                            int32_t bufferSize) {
    try {
        silenceLibcdio();
        std::lock_guard lock(g_mutex);
        Handle* handle = findHandle(value);
        if (!handle) {
            return fail(ALERR_INVALIDHANDLE);
        }
        cdtext_field_t key = CDTEXT_FIELD_INVALID;
        switch (field) {
        case AKRIP_CDTEXT_TITLE:
            key = CDTEXT_FIELD_TITLE;
            break;
        case AKRIP_CDTEXT_PERFORMER:
            key = CDTEXT_FIELD_PERFORMER;
            break;
        case AKRIP_CDTEXT_SONGWRITER:
            key = CDTEXT_FIELD_SONGWRITER;
            break;
        case AKRIP_CDTEXT_COMPOSER:
            key = CDTEXT_FIELD_COMPOSER;
            break;
        case AKRIP_CDTEXT_ARRANGER:
            key = CDTEXT_FIELD_ARRANGER;
            break;
        case AKRIP_CDTEXT_MESSAGE:
            key = CDTEXT_FIELD_MESSAGE;
            break;
        case AKRIP_CDTEXT_GENRE:
            key = CDTEXT_FIELD_GENRE;
            break;
        default:
            break;
        }
        if (!buffer || bufferSize < 1 || key == CDTEXT_FIELD_INVALID || track > 99) {
            return fail(ALERR_INVALIDPARM);
        }
        if (!handle->cdio) {
            DiscLayout layout;
            if (!reopen(*handle, layout)) {
                return fail(ALERR_ASPI);
            }
        }
        std::string text;
        if (cdtext_t* cdtext = cdio_get_cdtext(handle->cdio)) {
            if (const char* value = cdtext_get_const(cdtext, key, track)) {
                text = repairedUtf8(value);
            }
        }
        buffer[fitUtf8(text, static_cast<size_t>(bufferSize) - 1, buffer)] = '\0';
        return succeed();
    } catch (...) {
        return fail(ALERR_ASPI);
    }
}

TW_EXPORT int32_t GetAspiLibError(void) {
    return t_error;
}

} // extern "C"
