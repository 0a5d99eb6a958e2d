/* The decoder library xaudio.so: an MPEG audio player that decodes on a thread of
 * its own and reports by messages posted to a message window.
 *
 * Use:
 *   1. player_new() with the address of a MessageWindow pointer; the player reads
 *      the pointer once and from then on posts every notification to that window.
 *   2. control_message_send_*() with one of the XA_CONTROL_* codes. Each call is
 *      carried out by the player's thread before it returns (so, for example, after
 *      XA_CONTROL_OUTPUT_CLOSE returns the output file is written and closed); what
 *      happened is reported afterwards by notifications. The result is 0 when the
 *      command was handed to the player, a negative XA_ERROR_* code when it could not
 *      be (no player, unknown code); refusals of the player itself arrive as
 *      XA_NOTIFY_NACK notifications.
 *   3. On the window's thread, each posted message is given to
 *      control_win32_params_to_message(), which turns it back into an XA_Message.
 *   4. player_delete() stops the thread and frees everything, including the
 *      notifications that were posted but never translated.
 *
 * Every entry point may be called from one controlling thread (the window's
 * thread); only the MessageWindow post function is called from the player's thread.
 * No C++ exception leaves the library. */
#ifndef TUNEWRIGHT_XAUDIO_H
#define TUNEWRIGHT_XAUDIO_H

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "message_window.h"
#include "plugin_export.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Version ------------------------------------------------------------------ */

/* xaudio_get_version(selector) returns major << 16 | minor << 8 | patch for the
 * selectors below and 0 for any other. */
#define XA_VERSION_MAJOR 3
#define XA_VERSION_MINOR 8
#define XA_VERSION_PATCH 0

#define XA_VERSION_ID_LIBRARY 0
#define XA_VERSION_ID_SYNC_API 1
#define XA_VERSION_ID_ASYNC_API 2

/* ---- Window messages ------------------------------------------------------------ */

/* Notifications are posted with message number XA_WINDOW_MESSAGE_BASE + the
 * notification code, wparam = an identifier of the posting player and lparam = a
 * sequence number. Messages below XA_WINDOW_MESSAGE_BASE are never the library's. */
#define XA_WINDOW_MESSAGE_BASE 0x9000u
#define XA_WINDOW_MESSAGE_LAST (XA_WINDOW_MESSAGE_BASE + 0xFFu)

/* ---- Control codes (control_message_send_*) ------------------------------------ */

#define XA_CONTROL_SYNCHRONIZE 2                     /* N: answered by an Ack once reached */
#define XA_CONTROL_PING 3                            /* I: tag, answered by a Pong */
#define XA_CONTROL_PLAY 4                            /* N */
#define XA_CONTROL_PAUSE 5                           /* N */
#define XA_CONTROL_STOP 6                            /* N: stops, rewinds, closes the output */
#define XA_CONTROL_INPUT_SEEK 7                      /* II: offset, range */
#define XA_CONTROL_INPUT_OPEN 8                      /* S: file name */
#define XA_CONTROL_INPUT_CLOSE 9                     /* N */
#define XA_CONTROL_INPUT_SEND_MESSAGE 10             /* IPI */
#define XA_CONTROL_INPUT_ADD_FILTER 11               /* SI */
#define XA_CONTROL_INPUT_REMOVE_FILTER 12            /* SI */
#define XA_CONTROL_INPUT_FILTER_LIST 13              /* N */
#define XA_CONTROL_INPUT_MODULE_REGISTER 14          /* S */
#define XA_CONTROL_INPUT_MODULE_QUERY 15             /* I */
#define XA_CONTROL_INPUT_MODULES_LIST 16             /* N */
#define XA_CONTROL_OUTPUT_OPEN 17                    /* S: file name of the PCM file output */
#define XA_CONTROL_OUTPUT_CLOSE 18                   /* N */
#define XA_CONTROL_OUTPUT_SEND_MESSAGE 19            /* IPI */
#define XA_CONTROL_OUTPUT_MUTE 20                    /* N */
#define XA_CONTROL_OUTPUT_UNMUTE 21                  /* N */
#define XA_CONTROL_OUTPUT_RESET 22                   /* N */
#define XA_CONTROL_OUTPUT_DRAIN 23                   /* N */
#define XA_CONTROL_OUTPUT_ADD_FILTER 24              /* SI */
#define XA_CONTROL_OUTPUT_REMOVE_FILTER 25           /* SI */
#define XA_CONTROL_OUTPUT_FILTER_LIST 26             /* N */
#define XA_CONTROL_OUTPUT_MODULE_REGISTER 27         /* S */
#define XA_CONTROL_OUTPUT_MODULE_QUERY 28            /* I */
#define XA_CONTROL_OUTPUT_MODULES_LIST 29            /* N */
#define XA_CONTROL_CODEC_SEND_MESSAGE 30             /* IPI */
#define XA_CONTROL_CODEC_MODULE_REGISTER 31          /* S */
#define XA_CONTROL_CODEC_MODULE_QUERY 32             /* I */
#define XA_CONTROL_CODEC_MODULES_LIST 33             /* N */
#define XA_CONTROL_SET_PLAYER_MODE 34                /* I */
#define XA_CONTROL_GET_PLAYER_MODE 35                /* N */
#define XA_CONTROL_SET_PLAYER_ENVIRONMENT_INTEGER 36 /* SI */
#define XA_CONTROL_GET_PLAYER_ENVIRONMENT_INTEGER 37 /* S */
#define XA_CONTROL_SET_PLAYER_ENVIRONMENT_STRING 38  /* SS */
#define XA_CONTROL_GET_PLAYER_ENVIRONMENT_STRING 39  /* S */
#define XA_CONTROL_UNSET_PLAYER_ENVIRONMENT 40       /* S */
#define XA_CONTROL_SET_INPUT_NAME 41                 /* S */
#define XA_CONTROL_GET_INPUT_NAME 42                 /* N */
#define XA_CONTROL_SET_INPUT_MODULE 43               /* I */
#define XA_CONTROL_GET_INPUT_MODULE 44               /* N */
#define XA_CONTROL_SET_INPUT_POSITION_RANGE 45       /* I */
#define XA_CONTROL_GET_INPUT_POSITION_RANGE 46       /* N */
#define XA_CONTROL_SET_INPUT_TIMECODE_GRANULARITY 47 /* I: milliseconds */
#define XA_CONTROL_GET_INPUT_TIMECODE_GRANULARITY 48 /* N */
#define XA_CONTROL_SET_OUTPUT_NAME 49                /* S */
#define XA_CONTROL_GET_OUTPUT_NAME 50                /* N */
#define XA_CONTROL_SET_OUTPUT_MODULE 51              /* I */
#define XA_CONTROL_GET_OUTPUT_MODULE 52              /* N */
#define XA_CONTROL_SET_OUTPUT_VOLUME 57              /* III */
#define XA_CONTROL_GET_OUTPUT_VOLUME 58              /* N */
#define XA_CONTROL_SET_OUTPUT_CHANNELS 59            /* I */
#define XA_CONTROL_GET_OUTPUT_CHANNELS 60            /* N */
#define XA_CONTROL_SET_OUTPUT_PORTS 61               /* I */
#define XA_CONTROL_GET_OUTPUT_PORTS 62               /* N */
#define XA_CONTROL_SET_CODEC_QUALITY 63              /* I */
#define XA_CONTROL_GET_CODEC_QUALITY 64              /* N */
#define XA_CONTROL_SET_CODEC_EQUALIZER 65            /* P */
#define XA_CONTROL_GET_CODEC_EQUALIZER 66            /* N */
#define XA_CONTROL_SET_NOTIFICATION_MASK 69          /* I */
#define XA_CONTROL_GET_NOTIFICATION_MASK 70          /* N */
#define XA_CONTROL_SET_DEBUG_LEVEL 71                /* I */
#define XA_CONTROL_GET_DEBUG_LEVEL 72                /* N */

/* ---- Notification codes (XA_Message.code) ---------------------------------------
 * The data area of each is described as: bN = byte N, wN = 16-bit word at byte N,
 * dN = 32-bit value N (bytes 4N..4N+3), text(dN) / pointer(dN) = the pointer stored
 * for value N (see XA_Message). */

#define XA_NOTIFY_READY 73                      /* the player thread runs */
#define XA_NOTIFY_ACK 74                        /* b0 command carried out */
#define XA_NOTIFY_NACK 75                       /* b0 command refused, w2 XA_ERROR_* code */
#define XA_NOTIFY_PONG 76                       /* d0 tag */
#define XA_NOTIFY_EXITED 77                     /* the player thread ends */
#define XA_NOTIFY_PLAYER_STATE 78               /* b0 XA_PLAYER_STATE_* */
#define XA_NOTIFY_PLAYER_MODE 79                /* d0 */
#define XA_NOTIFY_PLAYER_ENVIRONMENT_INTEGER 80 /* text(d0), d1 */
#define XA_NOTIFY_PLAYER_ENVIRONMENT_STRING 81  /* text(d0), text(d1) */
#define XA_NOTIFY_INPUT_STATE 82                /* b0 XA_INPUT_STATE_* */
#define XA_NOTIFY_INPUT_NAME 83                 /* text(d0) */
#define XA_NOTIFY_INPUT_CAPS 84                 /* d0 */
#define XA_NOTIFY_INPUT_POSITION 85             /* d0 offset, d1 range */
#define XA_NOTIFY_INPUT_POSITION_RANGE 86       /* d0 range */
#define XA_NOTIFY_INPUT_TIMECODE 87             /* b0 h, b1 min, b2 s, b3 hundredths */
#define XA_NOTIFY_INPUT_TIMECODE_GRANULARITY 88 /* d0 milliseconds */
#define XA_NOTIFY_INPUT_MODULE 89               /* w0 */
#define XA_NOTIFY_INPUT_MODULE_INFO 90          /* b0, b1, text(d1), text(d2) */
#define XA_NOTIFY_INPUT_DEVICE_INFO 91          /* b0, b1, b2, text(d1), text(d2) */
#define XA_NOTIFY_INPUT_FILTER_INFO 92          /* text(d0), low byte of d1 */
#define XA_NOTIFY_OUTPUT_STATE 93               /* b0 XA_OUTPUT_STATE_* */
#define XA_NOTIFY_OUTPUT_NAME 94                /* text(d0) */
#define XA_NOTIFY_OUTPUT_CAPS 95                /* d0 */
#define XA_NOTIFY_OUTPUT_VOLUME 100             /* b0 master, b1 pcm, b2 balance */
#define XA_NOTIFY_OUTPUT_BALANCE 101            /* b2 */
#define XA_NOTIFY_OUTPUT_PCM_LEVEL 102          /* b1 */
#define XA_NOTIFY_OUTPUT_MASTER_LEVEL 103       /* b0 */
#define XA_NOTIFY_OUTPUT_CHANNELS 104           /* b0 */
#define XA_NOTIFY_OUTPUT_PORTS 105              /* b0 */
#define XA_NOTIFY_OUTPUT_MODULE 106             /* w0 */
#define XA_NOTIFY_OUTPUT_MODULE_INFO 107        /* b0, b1, text(d1), text(d2) */
#define XA_NOTIFY_OUTPUT_DEVICE_INFO 108        /* b0, b1, b2, text(d1), text(d2) */
#define XA_NOTIFY_OUTPUT_FILTER_INFO 109        /* text(d0), low byte of d1 */
#define XA_NOTIFY_STREAM_MIME_TYPE 110          /* text(d0) */
#define XA_NOTIFY_STREAM_DURATION 111           /* d0 milliseconds */
#define XA_NOTIFY_STREAM_PARAMETERS 112         /* d0 Hz, w4 kbit/s, b6 channels */
#define XA_NOTIFY_STREAM_PROPERTIES 113         /* d0 count, pointer(d1) XA_Property array */
#define XA_NOTIFY_CODEC_QUALITY 114             /* b0 */
#define XA_NOTIFY_CODEC_EQUALIZER 115           /* pointer(d0) XA_EqualizerInfo */
#define XA_NOTIFY_CODEC_MODULE 116              /* w0 */
#define XA_NOTIFY_CODEC_MODULE_INFO 117         /* b0, b1, text(d1), text(d2) */
#define XA_NOTIFY_CODEC_DEVICE_INFO 118         /* b0, b1, b2, text(d1), text(d2) */
#define XA_NOTIFY_NOTIFICATION_MASK 119         /* d0 */
#define XA_NOTIFY_DEBUG_LEVEL 120               /* b0 */
#define XA_NOTIFY_PROGRESS 121                  /* b0 source, b1 code, w2 value, text(d1) */
#define XA_NOTIFY_DEBUG 122                     /* b0 source, b1 level, text(d1) */
#define XA_NOTIFY_ERROR 123                     /* b0 source, w2 XA_ERROR_* code, text(d1) */

/* ---- States ------------------------------------------------------------------------ */

#define XA_PLAYER_STATE_STOPPED 0
#define XA_PLAYER_STATE_PLAYING 1
#define XA_PLAYER_STATE_PAUSED 2
#define XA_PLAYER_STATE_EOS 3 /* the whole stream is decoded, written and the output closed */

#define XA_INPUT_STATE_CLOSED 0
#define XA_INPUT_STATE_OPEN 1

#define XA_OUTPUT_STATE_CLOSED 0
#define XA_OUTPUT_STATE_OPEN 1

/* Sources named in XA_NOTIFY_ERROR / DEBUG / PROGRESS. */
#define XA_SOURCE_PLAYER 0
#define XA_SOURCE_INPUT 1
#define XA_SOURCE_CODEC 2
#define XA_SOURCE_OUTPUT 3

/* Thread priorities for player_set_priority. The player starts at NORMAL. Raising
 * the priority above NORMAL needs the right to do so; without it the request is
 * remembered but the thread keeps its priority. */
#define XA_PRIORITY_LOWEST 0
#define XA_PRIORITY_LOW 1
#define XA_PRIORITY_NORMAL 2
#define XA_PRIORITY_HIGH 3
#define XA_PRIORITY_HIGHEST 4

/* Position range of XA_NOTIFY_INPUT_POSITION until XA_CONTROL_SET_INPUT_POSITION_RANGE. */
#define XA_DEFAULT_POSITION_RANGE 1000

/* ---- Error codes -------------------------------------------------------------------
 * Results of the entry points and the code carried by Nack and Error notifications.
 * xaudio_error_string() has a text for each. */

#define XA_SUCCESS 0
#define XA_FAILURE (-1)
#define XA_ERROR_OUT_OF_MEMORY (-2)
#define XA_ERROR_INVALID_PARAMETERS (-3)
#define XA_ERROR_NOT_IMPLEMENTED (-4)
#define XA_ERROR_NO_PLAYER (-5)
#define XA_ERROR_THREAD_CREATE (-6)
#define XA_ERROR_NO_INPUT (-7)
#define XA_ERROR_NO_OUTPUT (-8)
#define XA_ERROR_INPUT_NOT_FOUND (-9)
#define XA_ERROR_INPUT_ACCESS (-10)
#define XA_ERROR_INPUT_NOT_A_FILE (-11)
#define XA_ERROR_INPUT_READ (-12)
#define XA_ERROR_NOT_MPEG_AUDIO (-13)
#define XA_ERROR_DECODE (-14)
#define XA_ERROR_SEEK (-15)
#define XA_ERROR_OUTPUT_OPEN (-16)
#define XA_ERROR_OUTPUT_WRITE (-17)
#define XA_ERROR_OUTPUT_CLOSE (-18)
#define XA_ERROR_DECODER_INIT (-19)
#define XA_ERROR_LAST XA_ERROR_DECODER_INIT

/* ---- Records -------------------------------------------------------------------------- */

/* A translated notification: a 32-bit code followed by a data area.
 *
 * Numbers are stored little-endian in the first 12 bytes of the data area, where
 * the notification list above places them. A value that is a text or an address
 * does not fit 32 bits on a 64-bit system, so the pointer itself is kept in pointer
 * slot N (data bytes 16 + 8N, native byte order) and the 32-bit value N is 0.
 * Texts belong to the player and stay valid until the next message is translated
 * with the same player or the player is deleted. Read the fields with the
 * xa_message_* helpers below. */
#define XA_MESSAGE_DATA_SIZE 40
#define XA_MESSAGE_POINTER_SLOT(n) (16u + 8u * (unsigned)(n))

typedef struct XA_Message {
    uint32_t code;
    uint8_t data[XA_MESSAGE_DATA_SIZE];
} XA_Message;

#ifdef __cplusplus
static_assert(sizeof(XA_Message) == 44, "XA_Message layout");
static_assert(offsetof(XA_Message, data) == 4, "XA_Message layout");
#else
_Static_assert(sizeof(XA_Message) == 44, "XA_Message layout");
_Static_assert(offsetof(XA_Message, data) == 4, "XA_Message layout");
#endif

static inline uint8_t xa_message_byte(const XA_Message* m, unsigned offset) {
    return m->data[offset];
}
static inline uint16_t xa_message_word(const XA_Message* m, unsigned offset) {
    return (uint16_t)(m->data[offset] | (m->data[offset + 1] << 8));
}
/* The 32-bit value N (bytes 4N..4N+3). */
static inline uint32_t xa_message_value(const XA_Message* m, unsigned n) {
    const uint8_t* p = m->data + 4 * n;
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}
static inline const void* xa_message_pointer(const XA_Message* m, unsigned n) {
    const void* pointer;
    memcpy(&pointer, m->data + XA_MESSAGE_POINTER_SLOT(n), sizeof pointer);
    return pointer;
}
/* The text of value N, or "" when none is stored. */
static inline const char* xa_message_text(const XA_Message* m, unsigned n) {
    const char* text = (const char*)xa_message_pointer(m, n);
    return text ? text : "";
}

/* Equalizer bands, passed through by address. */
typedef struct XA_EqualizerInfo {
    int8_t left[32];
    int8_t right[32];
} XA_EqualizerInfo;

/* One stream property, passed through by address. */
typedef struct XA_Property {
    const char* name;
    int32_t type;
    const void* value;
} XA_Property;

/* ---- Entry points ------------------------------------------------------------------ */

/* Creates a player and its thread. *window (may be NULL: no notifications) receives
 * every notification. On success stores the player in *player and returns 0; else
 * returns a negative XA_ERROR_* code and leaves *player NULL. */
TW_EXPORT int32_t player_new(void** player, MessageWindow** window);
/* Stops the player's thread, closes its input and output and frees it, together with
 * every notification posted but not yet translated. NULL is ignored. */
TW_EXPORT int32_t player_delete(void* player);
TW_EXPORT int32_t player_set_priority(void* player, int32_t priority);
/* The priority last set (XA_PRIORITY_NORMAL at first), or a negative error code. */
TW_EXPORT int32_t player_get_priority(void* player);
/* A static text for any code; codes the library does not know get a generic text. */
TW_EXPORT const char* xaudio_error_string(int32_t code);
TW_EXPORT uint32_t xaudio_get_version(int32_t selector);

TW_EXPORT int32_t control_message_send_N(void* player, int32_t code);
TW_EXPORT int32_t control_message_send_P(void* player, int32_t code, const void* pointer);
TW_EXPORT int32_t control_message_send_S(void* player, int32_t code, const char* text);
TW_EXPORT int32_t control_message_send_SS(void* player, int32_t code, const char* text1,
                                          const char* text2);
TW_EXPORT int32_t control_message_send_SI(void* player, int32_t code, const char* text,
                                          int32_t value);
TW_EXPORT int32_t control_message_send_IPI(void* player, int32_t code, int32_t value1,
                                           const void* pointer, int32_t value2);
TW_EXPORT int32_t control_message_send_I(void* player, int32_t code, int32_t value);
TW_EXPORT int32_t control_message_send_II(void* player, int32_t code, int32_t value1,
                                          int32_t value2);
TW_EXPORT int32_t control_message_send_III(void* player, int32_t code, int32_t value1,
                                           int32_t value2, int32_t value3);
TW_EXPORT int32_t control_message_send_IIII(void* player, int32_t code, int32_t value1,
                                            int32_t value2, int32_t value3, int32_t value4);

/* Turns a message posted to the window back into a notification. Returns 0 and fills
 * *message when the message is a notification of this player that has not been
 * translated before; returns non-zero (and leaves *message alone) for any other
 * message, including notifications of a player since deleted. */
TW_EXPORT int32_t control_win32_params_to_message(void* player, XA_Message* message,
                                                  uint32_t number, uintptr_t wparam,
                                                  intptr_t lparam);

/* ---- Function-pointer types of the entry points -------------------------------------- */

typedef int32_t (*TPlayerNew)(void**, MessageWindow**);
typedef int32_t (*TPlayerDelete)(void*);
typedef int32_t (*TPlayerSetPriority)(void*, int32_t);
typedef int32_t (*TPlayerGetPriority)(void*);
typedef const char* (*TXaudioErrorString)(int32_t);
typedef uint32_t (*TXaudioGetVersion)(int32_t);
typedef int32_t (*TControlMessageSend_N)(void*, int32_t);
typedef int32_t (*TControlMessageSend_P)(void*, int32_t, const void*);
typedef int32_t (*TControlMessageSend_S)(void*, int32_t, const char*);
typedef int32_t (*TControlMessageSend_SS)(void*, int32_t, const char*, const char*);
typedef int32_t (*TControlMessageSend_SI)(void*, int32_t, const char*, int32_t);
typedef int32_t (*TControlMessageSend_IPI)(void*, int32_t, int32_t, const void*, int32_t);
typedef int32_t (*TControlMessageSend_I)(void*, int32_t, int32_t);
typedef int32_t (*TControlMessageSend_II)(void*, int32_t, int32_t, int32_t);
typedef int32_t (*TControlMessageSend_III)(void*, int32_t, int32_t, int32_t, int32_t);
typedef int32_t (*TControlMessageSend_IIII)(void*, int32_t, int32_t, int32_t, int32_t, int32_t);
typedef int32_t (*TControlWin32ParamsToMessage)(void*, XA_Message*, uint32_t, uintptr_t, intptr_t);

#ifdef __cplusplus
}
#endif

#endif
