/* The source reader library "ffreader.so": FFmpeg's libraries behind five C entry
 * points, so that only a process that converts a source other than the program's own
 * WAVs maps them. It demuxes and decodes the first audio stream of one open file and
 * gives interleaved stereo float frames (+-1.0 full scale) at the rate the caller
 * chooses; libswresample resamples and mixes more channels down to two.
 *
 * Contract common to every entry point:
 * - one reader is used by one thread at a time; readers share nothing, so several may
 *   run at once on different threads;
 * - the descriptor stays the caller's: the reader reads it with pread only (its file
 *   position never moves), never closes it and never opens any other file (no URL, no
 *   file named inside the source: playlists, concat lists, image sequences and
 *   manifests are not read at all);
 * - memory is bounded whatever the file states: every buffer has a fixed bound, and a
 *   single allocation above 64 MiB fails (a picture above 16 MiB in an MP4 is never
 *   read);
 * - a null pointer or a record of the wrong size gives FFR_ERR_ARGUMENT; no C++
 *   exception leaves the library; nothing is written to stdout or stderr.
 */
#ifndef TUNEWRIGHT_FFREADER_H
#define TUNEWRIGHT_FFREADER_H

#include <stddef.h>
#include <stdint.h>

#include "plugin_export.h"

#ifdef __cplusplus
extern "C" {
#endif

#define FFR_LIBRARY_NAME "ffreader.so"

/* ---- Results ------------------------------------------------------------------- */
#define FFR_OK 0
/* A null pointer, a record of the wrong size, a descriptor that is not a regular file. */
#define FFR_ERR_ARGUMENT 1
/* No format it reads, no audio stream or no decoder for it, or a stream that ends or
 * fails before its first sample. */
#define FFR_ERR_NOT_AUDIO 2
/* A rate below FFR_MIN_RATE or above FFR_MAX_RATE Hz, no channel or more than
 * FFR_MAX_CHANNELS. */
#define FFR_ERR_IMPLAUSIBLE 3
/* An allocation failed. */
#define FFR_ERR_MEMORY 4
/* ffr_start twice, or ffr_read before ffr_start. */
#define FFR_ERR_STATE 5

#define FFR_MIN_RATE 1000u
#define FFR_MAX_RATE 1000000u
#define FFR_MAX_CHANNELS 8u

/* ---- Reader states (FfrStatus.state) --------------------------------------------- */
#define FFR_STATE_READING 0 /* more frames may come */
#define FFR_STATE_ENDED 1   /* every frame has been given */
#define FFR_STATE_FAILED 2  /* the stream broke off; every frame before has been given */

/* Why a reader failed (FfrStatus.failure). */
#define FFR_FAIL_NONE 0
/* The file could not be read (an I/O error). */
#define FFR_FAIL_READ 1
/* More damaged packets than the bound: over 1 in 20 of those read (after the first
 * 32), or 64 in a row. */
#define FFR_FAIL_DAMAGE 2
/* The stream ended well short of the length its container stated (over 2% and over
 * half a second), or an Ogg stream ended without its last page. */
#define FFR_FAIL_SHORT 3
/* The decoder ran out of memory, or the resampler failed. */
#define FFR_FAIL_DECODER 4

typedef struct FfrReader FfrReader; /* opaque */

/* Filled by ffr_open. 24 bytes; the caller sets `size` before the call. */
typedef struct FfrStreamInfo {
    uint32_t size;           /* sizeof(FfrStreamInfo) */
    uint32_t sourceRate;     /* Hz, FFR_MIN_RATE to FFR_MAX_RATE */
    uint32_t sourceChannels; /* 1 to FFR_MAX_CHANNELS */
    uint32_t reserved;       /* 0 */
    int64_t statedFrames;    /* frames at the source rate the container states; -1 unknown */
} FfrStreamInfo;

/* Filled by ffr_status. 32 bytes; the caller sets `size` before the call. */
typedef struct FfrStatus {
    uint32_t size;        /* sizeof(FfrStatus) */
    uint32_t progress;    /* percent of the stream read, 0 to 100 */
    uint64_t framesGiven; /* output frames given so far */
    uint64_t damaged;     /* damaged packets and frames dropped so far */
    int32_t state;        /* FFR_STATE_* */
    int32_t failure;      /* FFR_FAIL_*, FFR_FAIL_NONE unless FFR_STATE_FAILED */
} FfrStatus;

#ifdef __cplusplus
#define FFR_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#else
#define FFR_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif
FFR_STATIC_ASSERT(sizeof(FfrStreamInfo) == 24, "FfrStreamInfo size");
FFR_STATIC_ASSERT(offsetof(FfrStreamInfo, sourceRate) == 4, "sourceRate");
FFR_STATIC_ASSERT(offsetof(FfrStreamInfo, sourceChannels) == 8, "sourceChannels");
FFR_STATIC_ASSERT(offsetof(FfrStreamInfo, statedFrames) == 16, "statedFrames");
FFR_STATIC_ASSERT(sizeof(FfrStatus) == 32, "FfrStatus size");
FFR_STATIC_ASSERT(offsetof(FfrStatus, progress) == 4, "progress");
FFR_STATIC_ASSERT(offsetof(FfrStatus, framesGiven) == 8, "framesGiven");
FFR_STATIC_ASSERT(offsetof(FfrStatus, damaged) == 16, "damaged");
FFR_STATIC_ASSERT(offsetof(FfrStatus, state) == 24, "state");
FFR_STATIC_ASSERT(offsetof(FfrStatus, failure) == 28, "failure");

/* Opens the first audio stream of the regular file open at `fd` (read access). `hint`
 * is the file's name or NULL; only its extension is used, as a hint to the format
 * probe. On FFR_OK *reader is a new reader and *info is filled; on anything else
 * *reader is NULL. */
TW_EXPORT int32_t ffr_open(int32_t fd, const char* hint, FfrReader** reader, FfrStreamInfo* info);
typedef int32_t (*FfrOpenFn)(int32_t, const char*, FfrReader**, FfrStreamInfo*);

/* Sets the rate of the frames ffr_read gives (FFR_MIN_RATE to FFR_MAX_RATE Hz) and
 * decodes up to the first sample. FFR_OK, FFR_ERR_ARGUMENT (rate out of range),
 * FFR_ERR_NOT_AUDIO (no sample before the end or a failure), FFR_ERR_MEMORY,
 * FFR_ERR_STATE. */
TW_EXPORT int32_t ffr_start(FfrReader* reader, uint32_t outputRate);
typedef int32_t (*FfrStartFn)(FfrReader*, uint32_t);

/* Fills `out` with up to `frames` interleaved stereo float frames and sets *given.
 * Fewer than asked only when the stream ended or failed meanwhile; 0 once it has. A
 * damaged packet or frame (any error the decoder gives for it but running out of
 * memory) is dropped and reading goes on, until the damage bound.
 * FFR_OK (look at ffr_status for the end and failures), FFR_ERR_ARGUMENT,
 * FFR_ERR_STATE. */
TW_EXPORT int32_t ffr_read(FfrReader* reader, float* out, uint32_t frames, uint32_t* given);
typedef int32_t (*FfrReadFn)(FfrReader*, float*, uint32_t, uint32_t*);

/* Fills *status. FFR_OK or FFR_ERR_ARGUMENT. */
TW_EXPORT int32_t ffr_status(const FfrReader* reader, FfrStatus* status);
typedef int32_t (*FfrStatusFn)(const FfrReader*, FfrStatus*);

/* Frees the reader and everything it holds; NULL is ignored. */
TW_EXPORT void ffr_close(FfrReader* reader);
typedef void (*FfrCloseFn)(FfrReader*);

#ifdef __cplusplus
}
#endif

#endif
