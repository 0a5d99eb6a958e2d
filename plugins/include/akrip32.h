/* The CD audio library "libakrip32.so": seven C entry points over libcdio that find
 * the CD drives, name them, read a disc's table of contents and read raw audio
 * frames, and an eighth that gives the disc's CD-TEXT. Real drives come from libcdio's device list;
 * disc images (CUE/BIN, cdrdao TOC, NRG) named in the colon-separated environment variable
 * TUNEWRIGHT_CD_IMAGES appear as further drives after them.
 *
 * Contract common to every entry point:
 * - every record is passed by address and is owned by the caller;
 * - multi-byte fields are little-endian, except the block numbers of a table of
 *   contents in block mode, which are big-endian; the records are byte arrays, so
 *   they are read and written with the helpers at the end of this header, never by
 *   casting a pointer onto a wider integer;
 * - a failing call records an error code that GetAspiLibError returns (the code of
 *   the calling thread's last call; 0 after a call that succeeded);
 * - any thread may call; calls are serialised inside the library; no C++ exception
 *   leaves the library.
 *
 * Addresses: block numbers start at 0 at the first track of a normal disc (its
 * "logical sector number"); minute/second/frame addresses are absolute and include the
 * 2-second lead-in, so that track starts at 00:02:00. A frame is one CD sector of
 * audio: 2352 bytes, 1/75 second of 44100 Hz, 2-channel, 16-bit audio.
 */
#ifndef TUNEWRIGHT_AKRIP32_H
#define TUNEWRIGHT_AKRIP32_H

#include <stddef.h>
#include <stdint.h>

#include "plugin_export.h"

#ifdef __cplusplus
extern "C" {
#endif

#ifdef __cplusplus
#define AKRIP_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#else
#define AKRIP_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

/* ---- Error codes (GetAspiLibError) ------------------------------------------ */
#define ALERR_NOERROR 0
#define ALERR_NOWNASPI 1 /* no access to any drive (device not readable) */
#define ALERR_NOGETASPI32SUPP 2
#define ALERR_NOSENDASPICMD 3
#define ALERR_ASPI                                                                                 \
    4                         /* the drive or image refused: no disc, read error,                  \
                                 a read outside the disc, an unreadable image */
#define ALERR_NOTIMPL 5       /* a ModifyCDParms parameter the library does not know */
#define ALERR_BUFTOOSMALL 6   /* a track buffer too small for the frames asked for */
#define ALERR_INVALIDHANDLE 7 /* not a handle GetCDHandle returned */
#define ALERR_NOMOREHAND 8    /* every handle in use */
#define ALERR_BADCDID 9       /* GetCDId without a buffer */
#define ALERR_BADHATGTLUN 10  /* no drive at that host adapter, target and unit */
#define ALERR_LOCK 11
#define ALERR_DUPHAND 12
#define ALERR_INVALIDPARM 13    /* a null record */
#define ALERR_INVALIDVERSION 14 /* a handle request whose size or version is wrong */
#define ALERR_JITTER 15

/* ---- Drive list ------------------------------------------------------------- */
#define AKRIP_MAX_DRIVES 8

/* One drive: its address, then the library's own 118 bytes about it (drive kind
 * and index; the program does not read them). */
typedef struct DriveEntry {
    uint8_t ha;  /* host adapter: 0 real drives, 1 disc images */
    uint8_t tgt; /* target: the drive's index within its kind */
    uint8_t lun; /* logical unit: always 0 */
    uint8_t info[118];
} DriveEntry;

/* GetCDList fills `num` and the first `num` entries (at most 8). */
typedef struct DriveList {
    uint8_t max; /* left as the caller set it */
    uint8_t num;
    DriveEntry drive[AKRIP_MAX_DRIVES];
} DriveList;

AKRIP_STATIC_ASSERT(sizeof(DriveEntry) == 121, "DriveEntry is 121 bytes");
AKRIP_STATIC_ASSERT(offsetof(DriveEntry, ha) == 0, "DriveEntry.ha");
AKRIP_STATIC_ASSERT(offsetof(DriveEntry, tgt) == 1, "DriveEntry.tgt");
AKRIP_STATIC_ASSERT(offsetof(DriveEntry, lun) == 2, "DriveEntry.lun");
AKRIP_STATIC_ASSERT(offsetof(DriveEntry, info) == 3, "DriveEntry.info");
AKRIP_STATIC_ASSERT(sizeof(DriveList) == 970, "DriveList is 970 bytes");
AKRIP_STATIC_ASSERT(offsetof(DriveList, num) == 1, "DriveList.num");
AKRIP_STATIC_ASSERT(offsetof(DriveList, drive) == 2, "DriveList.drive");

/* ---- Handle request --------------------------------------------------------- */
#define AKRIP_GETCDHAND_SIZE 12
#define AKRIP_GETCDHAND_VERSION 1

typedef struct GETCDHAND {
    uint8_t size; /* 12 */
    uint8_t ver;  /* 1 */
    uint8_t ha;   /* from the drive entry */
    uint8_t tgt;
    uint8_t lun;
    uint8_t readType;   /* 0: the library's own read method */
    uint8_t options[6]; /* not used by this library; 0 */
} GETCDHAND;

AKRIP_STATIC_ASSERT(sizeof(GETCDHAND) == 12, "GETCDHAND is 12 bytes");
AKRIP_STATIC_ASSERT(offsetof(GETCDHAND, ha) == 2, "GETCDHAND.ha");
AKRIP_STATIC_ASSERT(offsetof(GETCDHAND, readType) == 5, "GETCDHAND.readType");
AKRIP_STATIC_ASSERT(offsetof(GETCDHAND, options) == 6, "GETCDHAND.options");

/* A drive handle: opaque, 0 is never a valid handle. */
typedef uint32_t HCDROM;

/* ---- Table of contents ------------------------------------------------------ */
#define AKRIP_TOC_ENTRIES 100
#define AKRIP_LEADOUT_TRACK 0xAA

/* One entry. addr in minute/second/frame mode: 0, minutes, seconds, frames; in
 * block mode: the block number, big-endian. */
typedef struct TocEntry {
    uint8_t rsvd;
    uint8_t adrCtrl;     /* 0x10 audio track, 0x14 data track */
    uint8_t trackNumber; /* 0xAA for the lead-out */
    uint8_t rsvd2;
    uint8_t addr[4];
} TocEntry;

/* Entry k describes the k-th track from the first; the entry after the last
 * track's is the lead-out, the end of the disc. */
typedef struct TocRecord {
    uint8_t tocLen[2]; /* little-endian: bytes that follow this field */
    uint8_t firstTrack;
    uint8_t lastTrack;
    TocEntry tracks[AKRIP_TOC_ENTRIES];
} TocRecord;

AKRIP_STATIC_ASSERT(sizeof(TocEntry) == 8, "TocEntry is 8 bytes");
AKRIP_STATIC_ASSERT(offsetof(TocEntry, adrCtrl) == 1, "TocEntry.adrCtrl");
AKRIP_STATIC_ASSERT(offsetof(TocEntry, trackNumber) == 2, "TocEntry.trackNumber");
AKRIP_STATIC_ASSERT(offsetof(TocEntry, addr) == 4, "TocEntry.addr");
AKRIP_STATIC_ASSERT(sizeof(TocRecord) == 804, "TocRecord is 804 bytes");
AKRIP_STATIC_ASSERT(offsetof(TocRecord, firstTrack) == 2, "TocRecord.firstTrack");
AKRIP_STATIC_ASSERT(offsetof(TocRecord, lastTrack) == 3, "TocRecord.lastTrack");
AKRIP_STATIC_ASSERT(offsetof(TocRecord, tracks) == 4, "TocRecord.tracks");

/* ---- Track buffer ----------------------------------------------------------- */
#define AKRIP_FRAME_BYTES 2352
#define AKRIP_TRACKBUF_HEADER 24

/* The 24-byte header of a track buffer; the data area of `maxLen` bytes follows it
 * directly (AKRIP_TRACKBUF_DATA). All fields little-endian. */
typedef struct TrackBuffer {
    uint8_t startFrame[4];  /* first block to read */
    uint8_t numFrames[4];   /* frames to read */
    uint8_t maxLen[4];      /* capacity of the data area in bytes */
    uint8_t len[4];         /* bytes delivered by the last successful read */
    uint8_t status[4];      /* 0 after a successful read, else the error code */
    uint8_t startOffset[4]; /* signed: offset of the first delivered byte in the data */
} TrackBuffer;

AKRIP_STATIC_ASSERT(sizeof(TrackBuffer) == AKRIP_TRACKBUF_HEADER, "TrackBuffer header");
AKRIP_STATIC_ASSERT(offsetof(TrackBuffer, numFrames) == 4, "TrackBuffer.numFrames");
AKRIP_STATIC_ASSERT(offsetof(TrackBuffer, maxLen) == 8, "TrackBuffer.maxLen");
AKRIP_STATIC_ASSERT(offsetof(TrackBuffer, len) == 12, "TrackBuffer.len");
AKRIP_STATIC_ASSERT(offsetof(TrackBuffer, status) == 16, "TrackBuffer.status");
AKRIP_STATIC_ASSERT(offsetof(TrackBuffer, startOffset) == 20, "TrackBuffer.startOffset");

#define AKRIP_TRACKBUF_DATA(buffer) ((uint8_t*)(buffer) + AKRIP_TRACKBUF_HEADER)

/* ---- ModifyCDParms parameters ----------------------------------------------- */
/* Value 1: ReadTOC gives minute/second/frame addresses; 0: block numbers
 * (the default of a new handle). */
#define CDP_MSF 36

/* ---- Entry points ------------------------------------------------------------ */

/* Finds the drives: the readable devices of libcdio's device list, then every
 * existing file named in TUNEWRIGHT_CD_IMAGES, at most 8 in all. Fills list->num and
 * the entries and returns the count. With none found the count is 0 and the error
 * code ALERR_NOWNASPI. */
TW_EXPORT int32_t GetCDList(DriveList* list);

/* Returns the handle of the drive at the request's ha:tgt:lun, as found by the last
 * GetCDList. Asking again for the same drive gives the same handle. Handles stay
 * valid until the process ends. Returns 0 on failure (ALERR_INVALIDVERSION,
 * ALERR_BADHATGTLUN, ALERR_NOMOREHAND, ALERR_INVALIDPARM). */
TW_EXPORT HCDROM GetCDHandle(GETCDHAND* request);

/* Writes a NUL-terminated description of the drive into `buffer` (at most
 * `bufferSize` bytes, truncated to fit): vendor and model and the device of a real
 * drive, the file name of an image. Returns 1, or 0 on failure. */
TW_EXPORT int32_t GetCDId(HCDROM handle, char* buffer, int32_t bufferSize);

/* Sets a parameter of the handle; only CDP_MSF is known. Returns 1, or 0 on failure
 * (ALERR_INVALIDHANDLE, ALERR_NOTIMPL). */
TW_EXPORT int32_t ModifyCDParms(HCDROM handle, int32_t parameter, uint32_t value);

/* Reads the disc's table of contents afresh (a changed disc or image is seen) into
 * `toc`, with addresses in the handle's current mode. Returns 1 on success; otherwise
 * 0 with ALERR_ASPI when there is no readable disc or image (a missing BIN, a track
 * that starts beyond the end of its data) and `toc` unchanged. */
TW_EXPORT int32_t ReadTOC(HCDROM handle, TocRecord* toc);

/* Reads numFrames frames of raw audio starting at block startFrame into the data
 * area of the track buffer, sets len to the bytes delivered, startOffset to 0 and
 * status to 0, and returns 1. Reads never go past the lead-out: a read that would
 * fails with ALERR_ASPI, as does a drive error; a data area smaller than the frames
 * asked for fails with ALERR_BUFTOOSMALL. On failure status holds the code and len is
 * 0. */
TW_EXPORT int32_t ReadCDAudioLBA(HCDROM handle, TrackBuffer* buffer);

/* The error code of the calling thread's last call. */
TW_EXPORT int32_t GetAspiLibError(void);

/* ---- CD-TEXT ------------------------------------------------------------------ */
/* The fields GetCDText gives. */
#define AKRIP_CDTEXT_TITLE 0     /* album title (track 0) or track title */
#define AKRIP_CDTEXT_PERFORMER 1 /* album artist (track 0) or track artist */
#define AKRIP_CDTEXT_SONGWRITER 2
#define AKRIP_CDTEXT_COMPOSER 3
#define AKRIP_CDTEXT_ARRANGER 4
#define AKRIP_CDTEXT_MESSAGE 5
#define AKRIP_CDTEXT_GENRE 6

/* A further entry point beside the seven: writes one CD-TEXT field of the disc in
 * the handle's drive, for the whole disc (track 0) or for the track of that number,
 * into `buffer` as NUL-terminated UTF-8 text (at most `bufferSize` bytes, cut at a
 * character boundary to fit). Real drives and images alike (CUE TITLE/PERFORMER/
 * SONGWRITER lines, cdrdao CD_TEXT blocks); the first language block is used.
 * Returns 1; the text is empty when the disc has no CD-TEXT or not that field for
 * that track. Returns 0 on failure: ALERR_INVALIDHANDLE, ALERR_INVALIDPARM (no
 * buffer, a size below 1, an unknown field, a track above 99), ALERR_ASPI (no
 * readable disc). Reads the disc only when the handle has none open (a ReadTOC
 * opens it), so asking field after field costs one read. */
TW_EXPORT int32_t GetCDText(HCDROM handle, uint8_t track, int32_t field, char* buffer,
                            int32_t bufferSize);

/* ---- Field helpers ---------------------------------------------------------- */
static inline uint32_t akrip_get_le32(const uint8_t* p) {
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}
static inline void akrip_put_le32(uint8_t* p, uint32_t value) {
    p[0] = (uint8_t)value;
    p[1] = (uint8_t)(value >> 8);
    p[2] = (uint8_t)(value >> 16);
    p[3] = (uint8_t)(value >> 24);
}
static inline uint32_t akrip_get_be32(const uint8_t* p) {
    return ((uint32_t)p[0] << 24) | ((uint32_t)p[1] << 16) | ((uint32_t)p[2] << 8) | (uint32_t)p[3];
}
static inline void akrip_put_be32(uint8_t* p, uint32_t value) {
    p[0] = (uint8_t)(value >> 24);
    p[1] = (uint8_t)(value >> 16);
    p[2] = (uint8_t)(value >> 8);
    p[3] = (uint8_t)value;
}

#ifdef __cplusplus
}
#endif

#endif
