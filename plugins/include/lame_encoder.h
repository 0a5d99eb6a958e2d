/* The MP3 encoder library "lame.so": four C entry points over libmp3lame and the
 * 331-byte configuration record given to beInitStream, and two further, optional
 * ones (beGetLameTagFrame, beEncodeChunkFloat) that an older library lacks. Shared by the library
 * and its three users (file codec, CD ripper, recorder MP3 output), which load it at run time from
 * the program directory and resolve the entry points by name.
 *
 * Contract common to every entry point:
 * - results are 32-bit, 0 (BE_ERR_SUCCESSFUL) meaning success;
 * - any thread may call; several streams may be open at once and are independent;
 *   calls on one stream are serialised by the library;
 * - a bad handle, a null pointer or an out-of-range value gives a non-zero result,
 *   never a crash; no C++ exception leaves the library;
 * - the caller owns every buffer it passes.
 */
#ifndef TUNEWRIGHT_LAME_ENCODER_H
#define TUNEWRIGHT_LAME_ENCODER_H

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "plugin_export.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Result codes ------------------------------------------------------------ */
#define BE_ERR_SUCCESSFUL 0u
/* The record's kind, version or size is not 256, 1, 331. */
#define BE_ERR_INVALID_FORMAT 1u
/* A null pointer, a field value out of range, more values than samples per chunk,
 * or a stream that has already been flushed. */
#define BE_ERR_INVALID_FORMAT_PARAMETERS 2u
/* The handle table is full (BE_MAX_STREAMS streams open) or memory ran out. */
#define BE_ERR_NO_MORE_HANDLES 3u
/* The stream handle is not one of an open stream. */
#define BE_ERR_INVALID_HANDLE 4u
/* libmp3lame found the output buffer too small. */
#define BE_ERR_BUFFER_TOO_SMALL 5u
/* libmp3lame refused the settings or failed while encoding. */
#define BE_ERR_ENCODER_FAILURE 6u

#define BE_MAX_STREAMS 64

/* ---- Configuration record (331 bytes, packed, little-endian) ---------------- */
#define BE_CONFIG_LAME 256u /* record kind */
#define BE_CONFIG_VERSION 1u
#define BE_CONFIG_SIZE 331u

#define BE_OFFSET_KIND 0
#define BE_OFFSET_VERSION 4
#define BE_OFFSET_SIZE 8
#define BE_OFFSET_SAMPLE_RATE 12   /* input rate, Hz */
#define BE_OFFSET_RESAMPLE_RATE 16 /* output rate, Hz; 0 = encoder's choice */
#define BE_OFFSET_MODE 20          /* signed, BE_MP3_MODE_* */
#define BE_OFFSET_BITRATE 24       /* kbit/s: constant rate; lowest with variable rate */
#define BE_OFFSET_MAX_BITRATE 28   /* kbit/s: highest with variable rate; 0 = default */
#define BE_OFFSET_PRESET 32        /* signed, BE_PRESET_* */
/* BE_MPEG1 / BE_MPEG2: accepted; libmp3lame derives the version from the output rate. */
#define BE_OFFSET_MPEG_VERSION 36
#define BE_OFFSET_PSY_MODEL 40 /* accepted, libmp3lame has one model */
#define BE_OFFSET_EMPHASIS 44  /* 0 none, 1 50/15 us, 3 CCITT J.17 */
#define BE_OFFSET_PRIVATE 48   /* frame-header private bit */
#define BE_OFFSET_CRC 52       /* frame CRC protection */
#define BE_OFFSET_COPYRIGHT 56 /* frame-header copyright bit */
#define BE_OFFSET_ORIGINAL 60  /* frame-header original bit */
/* Non-zero: libmp3lame begins the stream with a placeholder for the Xing/Info
 * (LAME) tag frame, which the caller must overwrite with the frame that
 * beGetLameTagFrame hands out once the stream is flushed; a placeholder left in
 * place carries no frame count, delay nor padding. Set it only when the library
 * offers beGetLameTagFrame. */
#define BE_OFFSET_WRITE_VBR_HEADER 64
#define BE_OFFSET_ENABLE_VBR 68
#define BE_OFFSET_VBR_QUALITY 72 /* signed, 0 (best) to 9 */
#define BE_OFFSET_ABR_BPS 76     /* average bitrate in bit/s; 0 = none */
#define BE_OFFSET_VBR_METHOD 80  /* signed, BE_VBR_METHOD_* */
#define BE_OFFSET_RESERVED 84    /* 247 bytes, zero */
#define BE_RESERVED_SIZE 247

/* Channel mode. Mono means one input channel; every other mode two. */
#define BE_MP3_MODE_STEREO 0
#define BE_MP3_MODE_JSTEREO 1
#define BE_MP3_MODE_DUALCHANNEL 2
#define BE_MP3_MODE_MONO 3

#define BE_MPEG2 0u
#define BE_MPEG1 1u

/* Variable-rate method, used when variable rate is enabled. */
#define BE_VBR_METHOD_NONE (-1)
#define BE_VBR_METHOD_DEFAULT 0
#define BE_VBR_METHOD_OLD 1
#define BE_VBR_METHOD_NEW 2
#define BE_VBR_METHOD_MTRH 3
#define BE_VBR_METHOD_ABR 4

/* Presets. The quality presets (0 to 5) set libmp3lame's quality (0 keeps its default
 * 3) or a voice setting; 6 and above are libmp3lame presets that carry their own mode
 * and rate settings, so the mode and variable-rate fields are then not applied. */
#define BE_PRESET_NONE (-1)
#define BE_PRESET_NORMAL_QUALITY 0
#define BE_PRESET_LOW_QUALITY 1
#define BE_PRESET_HIGH_QUALITY 2
#define BE_PRESET_VOICE_QUALITY 3
#define BE_PRESET_R3MIX 4
#define BE_PRESET_VERYHIGH_QUALITY 5
#define BE_PRESET_STANDARD 6
#define BE_PRESET_FAST_STANDARD 7
#define BE_PRESET_EXTREME 8
#define BE_PRESET_FAST_EXTREME 9
#define BE_PRESET_INSANE 10
#define BE_PRESET_ABR 11 /* average bitrate from BE_OFFSET_ABR_BPS */
#define BE_PRESET_CBR 12 /* constant bitrate from BE_OFFSET_BITRATE */
#define BE_PRESET_MEDIUM 13
#define BE_PRESET_FAST_MEDIUM 14
#define BE_PRESET_PHONE 1000
#define BE_PRESET_SW 2000
#define BE_PRESET_AM 3000
#define BE_PRESET_FM 4000
#define BE_PRESET_VOICE 5000
#define BE_PRESET_RADIO 6000
#define BE_PRESET_TAPE 7000
#define BE_PRESET_HIFI 8000
#define BE_PRESET_CD 9000
#define BE_PRESET_STUDIO 10000

/* The record's fields as a packed struct. It documents the layout (the assertions
 * below tie it to the offsets); the record itself is always written and read byte by
 * byte with BeConfigWrite / the library's reader, never by casting. */
typedef struct __attribute__((packed)) BeConfig {
    uint32_t kind;    /* BE_CONFIG_LAME */
    uint32_t version; /* BE_CONFIG_VERSION */
    uint32_t size;    /* BE_CONFIG_SIZE */
    uint32_t sampleRate;
    uint32_t reSampleRate;
    int32_t mode;
    uint32_t bitrate;
    uint32_t maxBitrate;
    int32_t preset;
    uint32_t mpegVersion;
    uint32_t psyModel;
    uint32_t emphasis;
    uint32_t privateBit;
    uint32_t crc;
    uint32_t copyright;
    uint32_t original;
    uint32_t writeVbrHeader;
    uint32_t enableVbr;
    int32_t vbrQuality;
    uint32_t abrBps;
    int32_t vbrMethod;
    uint8_t reserved[BE_RESERVED_SIZE];
} BeConfig;

#ifdef __cplusplus
#define BE_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#else
#define BE_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif
BE_STATIC_ASSERT(sizeof(BeConfig) == BE_CONFIG_SIZE, "record size");
BE_STATIC_ASSERT(offsetof(BeConfig, kind) == BE_OFFSET_KIND, "kind");
BE_STATIC_ASSERT(offsetof(BeConfig, version) == BE_OFFSET_VERSION, "version");
BE_STATIC_ASSERT(offsetof(BeConfig, size) == BE_OFFSET_SIZE, "size");
BE_STATIC_ASSERT(offsetof(BeConfig, sampleRate) == BE_OFFSET_SAMPLE_RATE, "sampleRate");
BE_STATIC_ASSERT(offsetof(BeConfig, reSampleRate) == BE_OFFSET_RESAMPLE_RATE, "reSampleRate");
BE_STATIC_ASSERT(offsetof(BeConfig, mode) == BE_OFFSET_MODE, "mode");
BE_STATIC_ASSERT(offsetof(BeConfig, bitrate) == BE_OFFSET_BITRATE, "bitrate");
BE_STATIC_ASSERT(offsetof(BeConfig, maxBitrate) == BE_OFFSET_MAX_BITRATE, "maxBitrate");
BE_STATIC_ASSERT(offsetof(BeConfig, preset) == BE_OFFSET_PRESET, "preset");
BE_STATIC_ASSERT(offsetof(BeConfig, mpegVersion) == BE_OFFSET_MPEG_VERSION, "mpegVersion");
BE_STATIC_ASSERT(offsetof(BeConfig, psyModel) == BE_OFFSET_PSY_MODEL, "psyModel");
BE_STATIC_ASSERT(offsetof(BeConfig, emphasis) == BE_OFFSET_EMPHASIS, "emphasis");
BE_STATIC_ASSERT(offsetof(BeConfig, privateBit) == BE_OFFSET_PRIVATE, "privateBit");
BE_STATIC_ASSERT(offsetof(BeConfig, crc) == BE_OFFSET_CRC, "crc");
BE_STATIC_ASSERT(offsetof(BeConfig, copyright) == BE_OFFSET_COPYRIGHT, "copyright");
BE_STATIC_ASSERT(offsetof(BeConfig, original) == BE_OFFSET_ORIGINAL, "original");
BE_STATIC_ASSERT(offsetof(BeConfig, writeVbrHeader) == BE_OFFSET_WRITE_VBR_HEADER, "vbrHdr");
BE_STATIC_ASSERT(offsetof(BeConfig, enableVbr) == BE_OFFSET_ENABLE_VBR, "enableVbr");
BE_STATIC_ASSERT(offsetof(BeConfig, vbrQuality) == BE_OFFSET_VBR_QUALITY, "vbrQuality");
BE_STATIC_ASSERT(offsetof(BeConfig, abrBps) == BE_OFFSET_ABR_BPS, "abrBps");
BE_STATIC_ASSERT(offsetof(BeConfig, vbrMethod) == BE_OFFSET_VBR_METHOD, "vbrMethod");
BE_STATIC_ASSERT(offsetof(BeConfig, reserved) == BE_OFFSET_RESERVED, "reserved");

/* Clears a record and sets kind 256, version 1, size 331; every other field 0. */
static inline void BeConfigInit(BeConfig* config) {
    memset(config, 0, sizeof *config);
    config->kind = BE_CONFIG_LAME;
    config->version = BE_CONFIG_VERSION;
    config->size = BE_CONFIG_SIZE;
}

static inline void BeConfigPut32(uint8_t* out, size_t offset, uint32_t value) {
    out[offset] = (uint8_t)value;
    out[offset + 1] = (uint8_t)(value >> 8);
    out[offset + 2] = (uint8_t)(value >> 16);
    out[offset + 3] = (uint8_t)(value >> 24);
}

/* Writes the record field by field, little-endian, into a buffer of BE_CONFIG_SIZE
 * bytes; the reserved bytes are written as zero. */
static inline void BeConfigWrite(const BeConfig* config, uint8_t out[BE_CONFIG_SIZE]) {
    memset(out, 0, BE_CONFIG_SIZE);
    BeConfigPut32(out, BE_OFFSET_KIND, config->kind);
    BeConfigPut32(out, BE_OFFSET_VERSION, config->version);
    BeConfigPut32(out, BE_OFFSET_SIZE, config->size);
    BeConfigPut32(out, BE_OFFSET_SAMPLE_RATE, config->sampleRate);
    BeConfigPut32(out, BE_OFFSET_RESAMPLE_RATE, config->reSampleRate);
    BeConfigPut32(out, BE_OFFSET_MODE, (uint32_t)config->mode);
    BeConfigPut32(out, BE_OFFSET_BITRATE, config->bitrate);
    BeConfigPut32(out, BE_OFFSET_MAX_BITRATE, config->maxBitrate);
    BeConfigPut32(out, BE_OFFSET_PRESET, (uint32_t)config->preset);
    BeConfigPut32(out, BE_OFFSET_MPEG_VERSION, config->mpegVersion);
    BeConfigPut32(out, BE_OFFSET_PSY_MODEL, config->psyModel);
    BeConfigPut32(out, BE_OFFSET_EMPHASIS, config->emphasis);
    BeConfigPut32(out, BE_OFFSET_PRIVATE, config->privateBit);
    BeConfigPut32(out, BE_OFFSET_CRC, config->crc);
    BeConfigPut32(out, BE_OFFSET_COPYRIGHT, config->copyright);
    BeConfigPut32(out, BE_OFFSET_ORIGINAL, config->original);
    BeConfigPut32(out, BE_OFFSET_WRITE_VBR_HEADER, config->writeVbrHeader);
    BeConfigPut32(out, BE_OFFSET_ENABLE_VBR, config->enableVbr);
    BeConfigPut32(out, BE_OFFSET_VBR_QUALITY, (uint32_t)config->vbrQuality);
    BeConfigPut32(out, BE_OFFSET_ABR_BPS, config->abrBps);
    BeConfigPut32(out, BE_OFFSET_VBR_METHOD, (uint32_t)config->vbrMethod);
}

/* ---- Entry points ------------------------------------------------------------ */

/* Opens a stream. `config` points to BE_CONFIG_SIZE bytes of the record above.
 * On success *samplesPerChunk receives the most 16-bit values (all channels counted)
 * one beEncodeChunk call takes: libmp3lame's frame size times the input channels
 * (1152 x 2 = 2304 at 44100 Hz stereo, 576 per channel at MPEG-2 rates);
 * *outputBufferSize the bytes the caller must allocate for the output buffer of
 * beEncodeChunk and beDeinitStream (at least 1.25 x samples per chunk + 7200);
 * *stream a non-zero handle. On failure the three outputs are 0 where writable. */
TW_EXPORT uint32_t beInitStream(const uint8_t* config, uint32_t* samplesPerChunk,
                                uint32_t* outputBufferSize, uint32_t* stream);

/* Encodes `count` interleaved 16-bit values (left first; count <= samples per chunk)
 * into `output` (outputBufferSize bytes) and stores the MP3 bytes produced, possibly
 * 0, in *outputBytes. count 0 is allowed and produces nothing. With two input
 * channels an odd count leaves its last value for the next call. */
TW_EXPORT uint32_t beEncodeChunk(uint32_t stream, uint32_t count, const int16_t* samples,
                                 uint8_t* output, uint32_t* outputBytes);

/* Flushes the stream: stores the last MP3 bytes in `output` (outputBufferSize bytes)
 * and their count in *outputBytes. Afterwards the stream encodes nothing more. */
TW_EXPORT uint32_t beDeinitStream(uint32_t stream, uint8_t* output, uint32_t* outputBytes);

/* Closes the stream and frees everything it holds; the handle becomes invalid. */
TW_EXPORT uint32_t beCloseStream(uint32_t stream);

/* Optional: an older library lacks it, and callers resolve it as optional.
 * Copies the Xing/Info (LAME) tag frame of a flushed stream (after beDeinitStream,
 * before beCloseStream) into `buffer` and stores its size in *frameBytes. The frame
 * replaces exactly that many bytes at the start of the stream's audio: the
 * placeholder the stream began with (its first *frameBytes bytes of output).
 * - a stream opened without the record's write variable-rate header field, or one
 *   that produced no frame: success, *frameBytes 0, nothing to rewrite;
 * - `buffer` null or `bufferSize` too small: BE_ERR_BUFFER_TOO_SMALL with the size
 *   needed in *frameBytes;
 * - a stream not yet flushed: BE_ERR_INVALID_FORMAT_PARAMETERS, *frameBytes 0. */
TW_EXPORT uint32_t beGetLameTagFrame(uint32_t stream, uint8_t* buffer, uint32_t bufferSize,
                                     uint32_t* frameBytes);

/* Optional: an older library lacks it, and callers resolve it as optional.
 * Encodes `count` interleaved IEEE single-precision values (left first; count <=
 * samples per chunk, all channels counted) into `output` (outputBufferSize bytes) and
 * stores the MP3 bytes produced, possibly 0, in *outputBytes. Full scale is +-1.0:
 * 1.0 is the level of 32767 in beEncodeChunk. Values beyond full scale are clamped
 * to it (the encoder itself would not clip), a NaN counts as 0. The samples reach
 * the encoder at full resolution, with no rounding to 16 bits. With two input
 * channels `count` must be even, and a call may not follow a beEncodeChunk call
 * that left an odd value waiting: BE_ERR_INVALID_FORMAT_PARAMETERS. count 0 is
 * allowed and produces nothing. Any thread; calls on one stream are serialised. */
TW_EXPORT uint32_t beEncodeChunkFloat(uint32_t stream, uint32_t count, const float* samples,
                                      uint8_t* output, uint32_t* outputBytes);

typedef uint32_t (*BeInitStreamFn)(const uint8_t* config, uint32_t* samplesPerChunk,
                                   uint32_t* outputBufferSize, uint32_t* stream);
typedef uint32_t (*BeEncodeChunkFn)(uint32_t stream, uint32_t count, const int16_t* samples,
                                    uint8_t* output, uint32_t* outputBytes);
typedef uint32_t (*BeDeinitStreamFn)(uint32_t stream, uint8_t* output, uint32_t* outputBytes);
typedef uint32_t (*BeCloseStreamFn)(uint32_t stream);
typedef uint32_t (*BeGetLameTagFrameFn)(uint32_t stream, uint8_t* buffer, uint32_t bufferSize,
                                        uint32_t* frameBytes);
typedef uint32_t (*BeEncodeChunkFloatFn)(uint32_t stream, uint32_t count, const float* samples,
                                         uint8_t* output, uint32_t* outputBytes);

#define BE_LIBRARY_NAME "lame.so"
#define BE_INIT_STREAM_NAME "beInitStream"
#define BE_ENCODE_CHUNK_NAME "beEncodeChunk"
#define BE_DEINIT_STREAM_NAME "beDeinitStream"
#define BE_CLOSE_STREAM_NAME "beCloseStream"
#define BE_GET_LAME_TAG_FRAME_NAME "beGetLameTagFrame"
#define BE_ENCODE_CHUNK_FLOAT_NAME "beEncodeChunkFloat"

#ifdef __cplusplus
}
#endif

#endif
