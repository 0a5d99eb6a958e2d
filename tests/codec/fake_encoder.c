/* A stand-in for lame.so that shows what the file codec hands to the encoder.
 * Controlled by environment variables read at beInitStream:
 *   FAKE_LAME_SAMPLES      samples per chunk reported (default 2304)
 *   FAKE_LAME_INIT_RESULT  result of beInitStream (default 0)
 *   FAKE_LAME_FAIL_AT      1-based beEncodeChunk call that returns 6 (default none)
 *   FAKE_LAME_BYTES        MP3 bytes "produced" per call (default 16, letter 'M')
 *   FAKE_LAME_RECORD       file to which every value received is appended (int16 LE)
 *   FAKE_LAME_LOG          file to which each call appends a line ("encode <count>")
 * Built without beCloseStream (FAKE_OMIT_CLOSE) it is a library missing one entry
 * point. */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "lame_encoder.h"

static uint32_t g_samples = 2304;
static uint32_t g_calls = 0;
static long g_failAt = -1;
static uint32_t g_bytes = 16;

static long envNumber(const char* name, long fallback) {
    const char* v = getenv(name);
    return v && *v ? strtol(v, NULL, 10) : fallback;
}

static void logLine(const char* what, uint32_t count) {
    const char* path = getenv("FAKE_LAME_LOG");
    if (path && *path) {
        FILE* f = fopen(path, "a");
        if (f) {
            fprintf(f, "%s %u\n", what, count);
            fclose(f);
        }
    }
}

TW_EXPORT uint32_t beInitStream(const uint8_t* config, uint32_t* samplesPerChunk,
                                uint32_t* outputBufferSize, uint32_t* stream) {
    if (!config || !samplesPerChunk || !outputBufferSize || !stream) {
        return BE_ERR_INVALID_FORMAT_PARAMETERS;
    }
    const char* dump = getenv("FAKE_LAME_CONFIG");
    if (dump && *dump) {
        FILE* f = fopen(dump, "wb");
        if (f) {
            fwrite(config, 1, BE_CONFIG_SIZE, f);
            fclose(f);
        }
    }
    long result = envNumber("FAKE_LAME_INIT_RESULT", 0);
    if (result != 0) {
        return (uint32_t)result;
    }
    g_samples = (uint32_t)envNumber("FAKE_LAME_SAMPLES", 2304);
    g_failAt = envNumber("FAKE_LAME_FAIL_AT", -1);
    g_bytes = (uint32_t)envNumber("FAKE_LAME_BYTES", 16);
    g_calls = 0;
    *samplesPerChunk = g_samples;
    *outputBufferSize = g_samples * 2 + 7200;
    *stream = 1;
    logLine("init", g_samples);
    return 0;
}

TW_EXPORT uint32_t beEncodeChunk(uint32_t stream, uint32_t count, const int16_t* samples,
                                 uint8_t* output, uint32_t* outputBytes) {
    if (stream != 1 || !samples || !output || !outputBytes || count > g_samples) {
        return BE_ERR_INVALID_FORMAT_PARAMETERS;
    }
    ++g_calls;
    logLine("encode", count);
    if ((long)g_calls == g_failAt) {
        *outputBytes = 0;
        return 6;
    }
    const char* path = getenv("FAKE_LAME_RECORD");
    if (path && *path) {
        FILE* f = fopen(path, "ab");
        if (f) {
            for (uint32_t i = 0; i < count; ++i) {
                uint8_t b[2] = {(uint8_t)samples[i], (uint8_t)((uint16_t)samples[i] >> 8)};
                fwrite(b, 1, 2, f);
            }
            fclose(f);
        }
    }
    memset(output, 'M', g_bytes);
    *outputBytes = g_bytes;
    return 0;
}

TW_EXPORT uint32_t beDeinitStream(uint32_t stream, uint8_t* output, uint32_t* outputBytes) {
    if (stream != 1 || !output || !outputBytes) {
        return BE_ERR_INVALID_HANDLE;
    }
    logLine("deinit", 0);
    memcpy(output, "END", 3);
    *outputBytes = 3;
    return 0;
}

#ifndef FAKE_OMIT_CLOSE
TW_EXPORT uint32_t beCloseStream(uint32_t stream) {
    logLine("close", stream);
    return stream == 1 ? 0 : BE_ERR_INVALID_HANDLE;
}
#endif
