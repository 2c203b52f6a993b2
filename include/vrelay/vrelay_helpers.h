// SPDX-License-Identifier: MIT
/**
 * @file
 * vrelay_helpers.h - small static inline C helpers for applications of
 * libvrelay_shared: the name of a result code, the numbers inside a word mark
 * name, and the reference server's format and mark payloads. Nothing here is
 * exported by the library; every function compiles into the application.
 */
#ifndef VRELAY_HELPERS_H
#define VRELAY_HELPERS_H

#include <stddef.h>
#include <stdint.h>
#include <string.h>
#include <vrelay/vrelay.h>

#ifdef __cplusplus
extern "C" {
#endif

/** The name of a result code ("VR_SUCCESS", "VR_BUSY", ...), or
 * "VR_UNKNOWN_RESULT" for a value the header does not define. */
static inline const char* vr_result_name(vr_result result) {
    switch (result) {
        case VR_SUCCESS:
            return "VR_SUCCESS";
        case VR_ERROR:
            return "VR_ERROR";
        case VR_BAD_HANDLE:
            return "VR_BAD_HANDLE";
        case VR_SEND_FAILED:
            return "VR_SEND_FAILED";
        case VR_CONNECT_FAILED:
            return "VR_CONNECT_FAILED";
        case VR_CANCELLED:
            return "VR_CANCELLED";
        case VR_BUSY:
            return "VR_BUSY";
        case VR_BAD_KEY:
            return "VR_BAD_KEY";
        case VR_NO_CURRENT_VOICE:
            return "VR_NO_CURRENT_VOICE";
        default:
            return "VR_UNKNOWN_RESULT";
    }
}

/** The four numbers of a word mark name kvtk_C_B_N_L: where the word starts in
 * the submitted text (characters, bytes) and its length (characters, bytes). */
typedef struct vr_word_mark {
    int32_t char_offset; /**< C: offset in characters (code points) */
    int32_t byte_offset; /**< B: offset in bytes of the UTF-8 text */
    int32_t char_length; /**< N: length in characters */
    int32_t byte_length; /**< L: length in bytes */
} vr_word_mark;

/** Reads one decimal field of a mark name: digits only, at most INT32_MAX.
 * Returns the position after the digits, or NULL when there are none or the
 * value is too large. */
static inline const char* vr_helpers_read_field(const char* p, int32_t* value) {
    int64_t n = 0;
    const char* start = p;
    while (*p >= '0' && *p <= '9') {
        n = n * 10 + (*p - '0');
        if (n > INT32_MAX)
            return NULL;
        ++p;
    }
    if (p == start)
        return NULL;
    *value = (int32_t)n;
    return p;
}

/** 1 when name is a word mark (exactly "kvtk_" and four '_'-separated decimal
 * numbers); fills *mark then. 0 otherwise, with *mark unchanged. */
static inline int vr_parse_word_mark(const char* name, vr_word_mark* mark) {
    int32_t fields[4];
    const char* p = name;
    int i;
    if (name == NULL || mark == NULL || strncmp(p, "kvtk_", 5) != 0)
        return 0;
    p += 5;
    for (i = 0; i < 4; ++i) {
        if (i > 0 && *p++ != '_')
            return 0;
        p = vr_helpers_read_field(p, &fields[i]);
        if (p == NULL)
            return 0;
    }
    if (*p != '\0')
        return 0;
    mark->char_offset = fields[0];
    mark->byte_offset = fields[1];
    mark->char_length = fields[2];
    mark->byte_length = fields[3];
    return 1;
}

/** 1 when name is the mark that ends every request ("kvox_final"). */
static inline int vr_is_final_mark(const char* name) {
    return name != NULL && strcmp(name, "kvox_final") == 0;
}

/** Reads a big-endian unsigned integer of `size` bytes. */
static inline uint32_t vr_helpers_read_be(const unsigned char* p, int size) {
    uint32_t value = 0;
    int i;
    for (i = 0; i < size; ++i)
        value = (value << 8) | p[i];
    return value;
}

/** The audio format a PACKET_DATA_9 payload announces. */
typedef struct vr_audio_format {
    uint32_t sample_rate;     /**< samples per second */
    uint16_t bits_per_sample; /**< 16 */
    uint16_t channels;        /**< 1 */
} vr_audio_format;

/** Decodes a PACKET_DATA_9 payload (data and length as the callback got them).
 * 1 on success; 0 when the payload is shorter than 8 bytes. */
static inline int vr_decode_audio_format(const void* data, int32_t length,
                                         vr_audio_format* format) {
    const unsigned char* p = (const unsigned char*)data;
    if (data == NULL || format == NULL || length < 8)
        return 0;
    format->sample_rate = vr_helpers_read_be(p, 4);
    format->bits_per_sample = (uint16_t)vr_helpers_read_be(p + 4, 2);
    format->channels = (uint16_t)vr_helpers_read_be(p + 6, 2);
    return 1;
}

/** A mark the server reached, from a PACKET_DATA_8 payload. */
typedef struct vr_mark_event {
    int32_t sample_offset; /**< from the first sample of the request's audio */
    const char* name;      /**< points into the payload: valid during the callback only */
} vr_mark_event;

/** Decodes a PACKET_DATA_8 payload. 1 on success; 0 when the payload is
 * shorter than its offset or its name has no terminating NUL inside it. */
static inline int vr_decode_mark(const void* data, int32_t length, vr_mark_event* mark) {
    const unsigned char* p = (const unsigned char*)data;
    if (data == NULL || mark == NULL || length < 5 ||
        memchr(p + 4, '\0', (size_t)length - 4) == NULL)
        return 0;
    mark->sample_offset = (int32_t)vr_helpers_read_be(p, 4);
    mark->name = (const char*)(p + 4);
    return 1;
}

#ifdef __cplusplus
}
#endif

#endif /* VRELAY_HELPERS_H */
