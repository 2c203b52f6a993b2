// SPDX-License-Identifier: MIT
/**
 * @file
 * vrelay_resume.h - a render that survives its server dying, as static
 * inline C on the library's exported functions (nothing here is exported).
 *
 * vr_resume_render renders a marked-up text as vrRenderSpeechXML does. When
 * the server fails mid-text (the connection breaks or the server closes it;
 * not a cancel, not a refusal), it opens the connection again (the addresses
 * given, in order, in rounds, for a bounded time), selects the voice again,
 * and submits the rest of the text from the start of the last word whose
 * audio had begun to arrive (a word's mark may come well before its audio),
 * with the markup elements open there opened again in front.
 * The application's callback sees one request: word marks name their places
 * in the whole text, every mark and phoneme is on one clock from the start of
 * the whole render's audio, every word mark and every mark of the
 * application's comes once, and one "kvox_final" ends it.
 *
 * What it costs: a copy of the rest of the text per resume, a few hundred
 * bytes per mark rewritten, and the time to reach a server again. Without a
 * rewind function the interrupted word's audio comes twice (a live output
 * repeats it); with one that takes the audio back, every word's audio comes
 * once.
 */
#ifndef VRELAY_RESUME_H
#define VRELAY_RESUME_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <vrelay/vrelay.h>
#include <vrelay/vrelay_helpers.h>

#if defined(_WIN32)
#include <windows.h>
#else
#include <poll.h>
#endif

#ifdef __cplusplus
extern "C" {
#endif

/** A server to reconnect to. */
typedef struct vr_resume_address {
    const char* host; /**< name or address, as vrOpenConnection takes it */
    int32_t port;     /**< TCP port */
} vr_resume_address;

/** How vr_resume_render renders and resumes. Zero-initialise it and fill in
 * what you need; every pointer stays owned by the caller. */
typedef struct vr_resume_options {
    /** The application's packet callback (NULL: none), called as the
     * library calls it, on the calling thread. */
    vrCallBack callback;
    /** Passed to callback, rewind and notice. */
    void* user_data;
    /** The servers to reconnect to, tried in this order: the first is
     * normally the one the handle was opened on (behind a proxy, that reaches
     * a live server). None: a failure is not resumed. */
    const vr_resume_address* addresses;
    /** Number of addresses. */
    int32_t address_count;
    /** The voice to select again after a reconnect (vrSetVoice); NULL: the
     * server's default. An address where it cannot be selected counts as
     * not answering. */
    const char* voice;
    /** How long one resume tries to reach a server, in seconds (0: 10). An
     * address that does not answer may hold its try up to the library's
     * 10-second connect limit beyond it. */
    int32_t bound_seconds;
    /** Failures in a row without a new word that end the render (0: 3). */
    int32_t tries;
    /** Optional, for outputs that can take audio back: drop the audio (and
     * phonemes) from this sample of the whole render's clock on and return
     * nonzero; the clock then goes back there and the interrupted word is
     * heard once. Return 0 when it cannot: the interrupted word's audio then
     * comes again. */
    int (*rewind)(void* user_data, int32_t sample);
    /** Optional: told once per resume, in words for a user: "the speech
     * server failed (REASON); speaking on from "WORD" at HOST:PORT". */
    void (*notice)(void* user_data, const char* text);
} vr_resume_options;

/** The markup elements open at byte `at` of a marked-up text, as their start
 * tags were written, concatenated: what opens the same context in front of
 * the text from there on. Follows start, end and self-closing tags; skips
 * comments, CDATA sections, `<?...?>` and `<!...>`; a quoted attribute value
 * may hold '>'. Elements are matched by name (an end tag closes the innermost
 * element of its name; one with no open element of its name is ignored); at
 * most 32 are followed, and HTML's void elements (br, hr, img, meta, link,
 * input, wbr) are never open. Writes at most size - 1 bytes and a NUL to out
 * (NULL when size is 0); returns the full length, as snprintf does. */
static inline size_t vr_open_markup(const char* text, size_t at, char* out, size_t size);

/** Renders text (markup, as vrRenderSpeechXML takes it; NULL is the empty
 * text) on connection, resuming after server failures as the file's
 * description says; options may be NULL (no callback, no resume).
 *
 * Returns VR_SUCCESS when the whole text was spoken; otherwise what the last
 * failure returned (VR_ERROR, VR_SEND_FAILED, VR_CANCELLED, VR_BUSY,
 * VR_BAD_HANDLE, as vrRenderSpeechXML), with everything delivered until then
 * intact; VR_ERROR also when memory runs out. A refusal (a PACKET_DATA_10
 * message beginning "error: ", such as an unknown voice or a busy server)
 * ends the render as it would end vrRenderSpeechXML, as does a cancel.
 *
 * While it runs, the connection's callback and user data are the helper's
 * own (vrSetCallBack, vrSetUserData): run no other request on the connection
 * meanwhile. On return, whatever the result, they are options->callback and
 * options->user_data; a Pascal callback set before is untouched (it serves
 * again when options->callback is NULL). After a resume the connection stays
 * open to the server that spoke last (or unopened when none answered).
 *
 * The marks and phonemes that reach the callback are copies: word mark names
 * are rewritten (kvtk_C_B_N_L with C and B in the whole text) and sample
 * offsets moved onto the whole render's clock; audio and messages pass
 * unchanged. A word mark or a mark of the application's is held until the
 * audio that holds its first sample and reaches the callback just before it
 * (the rest with the final mark): the server sends a passage's marks ahead of
 * its audio, and those whose audio never came before a failure come once,
 * after the resume, at their samples on the resumed audio's clock (a render
 * that ends failed does not give them). The audio format (PACKET_DATA_9)
 * comes again only when a new server's differs. When the server fails after
 * the final mark, the text was all spoken: VR_SUCCESS. Thread: the caller's;
 * the callback runs on it. A vrCancelRequest from another thread while the
 * helper reconnects (between two requests) is not seen: return
 * non-VR_SUCCESS from the callback to stop the render instead. */
static inline vr_result vr_resume_render(vr_handle connection, const char* text,
                                         const vr_resume_options* options);

/* ---- Implementation ------------------------------------------------------ */

/** @cond internal */

/* The byte after the markup construct that starts at text[at] ('<'), or the
 * text's end when it is not closed. */
static inline size_t vr_resume_construct_end(const char* text, size_t at) {
    const char* p = text + at;
    const char* end = NULL;
    char quote = 0;
    int brackets = 0;
    if (strncmp(p, "<!--", 4) == 0) {
        end = strstr(p + 4, "-->");
        return end != NULL ? (size_t)(end - text) + 3 : at + strlen(p);
    }
    if (strncmp(p, "<![CDATA[", 9) == 0) {
        end = strstr(p + 9, "]]>");
        return end != NULL ? (size_t)(end - text) + 3 : at + strlen(p);
    }
    if (p[1] == '?') {
        end = strstr(p + 2, "?>");
        return end != NULL ? (size_t)(end - text) + 2 : at + strlen(p);
    }
    /* A tag or a declaration: '>' ends it outside quotes (and, in a
     * declaration, outside its [internal subset]). */
    for (++p; *p != '\0'; ++p) {
        if (quote != 0) {
            quote = *p == quote ? 0 : quote;
        } else if (*p == '"' || *p == '\'') {
            quote = *p;
        } else if (*p == '[' && text[at + 1] == '!') {
            ++brackets;
        } else if (*p == ']' && brackets > 0) {
            --brackets;
        } else if (*p == '>' && brackets == 0) {
            return (size_t)(p - text) + 1;
        }
    }
    return (size_t)(p - text);
}

/* The length of the element name at p. */
static inline size_t vr_resume_name_length(const char* p) {
    size_t n = 0;
    while (p[n] != '\0' && p[n] != ' ' && p[n] != '\t' && p[n] != '\r' && p[n] != '\n' &&
           p[n] != '/' && p[n] != '>')
        ++n;
    return n;
}

static inline int vr_resume_is_void(const char* name, size_t length) {
    static const char* const void_elements[] = {"br", "hr", "img", "meta", "link", "input", "wbr"};
    size_t i;
    for (i = 0; i < sizeof void_elements / sizeof void_elements[0]; ++i)
        if (strlen(void_elements[i]) == length && strncmp(name, void_elements[i], length) == 0)
            return 1;
    return 0;
}

/** @endcond */

static inline size_t vr_open_markup(const char* text, size_t at, char* out, size_t size) {
    size_t open[32][2]; /* each open element's start tag: offset, length */
    size_t depth = 0, i = 0, total = 0, k, after, name;
    while (text != NULL && i < at && text[i] != '\0') {
        if (text[i] != '<') {
            ++i;
            continue;
        }
        after = vr_resume_construct_end(text, i);
        if (after > at || text[after - 1] != '>' || text[i + 1] == '!' || text[i + 1] == '?') {
            i = after;
            continue;
        }
        if (text[i + 1] == '/') {
            name = vr_resume_name_length(text + i + 2);
            for (k = depth; k > 0; --k) {
                const char* tag = text + open[k - 1][0] + 1;
                if (vr_resume_name_length(tag) == name && strncmp(tag, text + i + 2, name) == 0) {
                    depth = k - 1;
                    break;
                }
            }
        } else {
            name = vr_resume_name_length(text + i + 1);
            if (name > 0 && text[after - 2] != '/' && !vr_resume_is_void(text + i + 1, name) &&
                depth < sizeof open / sizeof open[0]) {
                open[depth][0] = i;
                open[depth][1] = after - i;
                ++depth;
            }
        }
        i = after;
    }
    for (k = 0; k < depth; ++k) {
        if (total < size)
            memcpy(out + total, text + open[k][0],
                   open[k][1] < size - total ? open[k][1] : size - total);
        total += open[k][1];
    }
    if (size > 0)
        out[total < size ? total : size - 1] = '\0';
    return total;
}

/** @cond internal */

/* A list of mark names, each NUL-terminated, one after another. */
typedef struct vr_resume_names {
    char* names;
    size_t used;
    size_t capacity;
} vr_resume_names;

static inline int vr_resume_reserve(char** buffer, size_t* capacity, size_t needed) {
    char* grown;
    if (needed <= *capacity)
        return 1;
    grown = (char*)realloc(*buffer, needed * 2);
    if (grown == NULL)
        return 0;
    *buffer = grown;
    *capacity = needed * 2;
    return 1;
}

static inline int vr_resume_add_name(vr_resume_names* list, const char* name) {
    const size_t length = strlen(name) + 1;
    if (!vr_resume_reserve(&list->names, &list->capacity, list->used + length))
        return 0;
    memcpy(list->names + list->used, name, length);
    list->used += length;
    return 1;
}

/* Takes name out of list; 0 when it is not there. */
static inline int vr_resume_take_name(vr_resume_names* list, const char* name) {
    size_t at = 0, length;
    while (at < list->used) {
        length = strlen(list->names + at) + 1;
        if (strcmp(list->names + at, name) == 0) {
            memmove(list->names + at, list->names + at + length, list->used - at - length);
            list->used -= length;
            return 1;
        }
        at += length;
    }
    return 0;
}

/* The code points of text[0, bytes). */
static inline int64_t vr_resume_characters(const char* text, size_t bytes) {
    int64_t count = 0;
    size_t i;
    for (i = 0; i < bytes; ++i)
        count += ((unsigned char)text[i] & 0xC0) != 0x80;
    return count;
}

/* A word of the text delivered: where it is, and where its audio starts on
 * the whole render's clock. */
typedef struct vr_resume_word {
    int32_t byte, bytes;
    int64_t sample;
} vr_resume_word;

/* A word or mark held until the audio that holds its first sample: its sample
 * on the whole render's clock, its name (rewritten) in held_names, and, for a
 * word, its place in the text. */
typedef struct vr_resume_held {
    int64_t sample;
    size_t name_at;
    int is_word;
    vr_resume_word word;
} vr_resume_held;

/* A render and its resumes, as the callback sees them. */
typedef struct vr_resume_state {
    const vr_resume_options* options;
    const char* text;
    int64_t text_bytes;
    int quiet; /* between requests: nothing reaches the application */
    /* The request: the submitted text is prefix + text[from_byte...]. */
    int64_t prefix_bytes, prefix_chars, from_byte, from_chars;
    int64_t base;        /* the whole render's sample at the request's sample 0 */
    int64_t audio_bytes; /* delivered to the application */
    int32_t frame_bytes;
    unsigned char format[8];
    int have_format;
    /* The words and marks of the request waiting for their audio; held[0,
     * held_first) are delivered already. */
    vr_resume_held* held;
    size_t held_first, held_count, held_capacity;
    vr_resume_names held_names;
    /* The last word delivered (its audio has begun: a resume starts there). */
    int have_resume;
    vr_resume_word resume;
    int64_t words;
    vr_resume_names since_word; /* the application's marks delivered after it */
    vr_resume_names repeats;    /* of those, not yet swallowed again */
    int refused, final_seen, out_of_memory;
    char* payload; /* a rewritten mark */
    size_t payload_capacity;
} vr_resume_state;

static inline int32_t vr_resume_deliver(vr_resume_state* s, PACKET_TYPE type, void* data,
                                        int32_t length) {
    const vrCallBack callback = s->options->callback;
    return callback != NULL ? callback(s->options->user_data, type, data, length) : VR_SUCCESS;
}

/* Delivers a mark at the whole render's sample under name. */
static inline int32_t vr_resume_deliver_mark(vr_resume_state* s, int64_t sample, const char* name) {
    const size_t length = strlen(name) + 1;
    const uint32_t at = (uint32_t)sample;
    if (!vr_resume_reserve(&s->payload, &s->payload_capacity, 4 + length)) {
        s->out_of_memory = 1;
        return VR_ERROR;
    }
    s->payload[0] = (char)(at >> 24);
    s->payload[1] = (char)(at >> 16);
    s->payload[2] = (char)(at >> 8);
    s->payload[3] = (char)at;
    memcpy(s->payload + 4, name, length);
    return vr_resume_deliver(s, PACKET_DATA_8, s->payload, (int32_t)(4 + length));
}

/* Holds a word or mark (name rewritten) until the audio that holds it. */
static inline int32_t vr_resume_hold(vr_resume_state* s, int64_t sample, const char* name,
                                     const vr_resume_word* word) {
    vr_resume_held* grown;
    if (s->held_count == s->held_capacity) {
        grown = (vr_resume_held*)realloc(s->held,
                                         (s->held_capacity * 2 + 8) * sizeof(vr_resume_held));
        if (grown == NULL) {
            s->out_of_memory = 1;
            return VR_ERROR;
        }
        s->held = grown;
        s->held_capacity = s->held_capacity * 2 + 8;
    }
    s->held[s->held_count].sample = sample;
    s->held[s->held_count].name_at = s->held_names.used;
    s->held[s->held_count].is_word = word != NULL;
    if (word != NULL)
        s->held[s->held_count].word = *word;
    if (!vr_resume_add_name(&s->held_names, name)) {
        s->out_of_memory = 1;
        return VR_ERROR;
    }
    ++s->held_count;
    return VR_SUCCESS;
}

/* Delivers, in order, the held words and marks that begin before the whole
 * render's sample `before`. A word delivered is where a resume would start;
 * the application's marks before it will not come again. */
static inline int32_t vr_resume_release(vr_resume_state* s, int64_t before) {
    int32_t result;
    while (s->held_first < s->held_count && s->held[s->held_first].sample < before) {
        const vr_resume_held* held = &s->held[s->held_first++];
        const char* name = s->held_names.names + held->name_at;
        if (held->is_word) {
            s->resume = held->word;
            s->have_resume = 1;
            s->since_word.used = 0;
            ++s->words;
        } else if (!vr_resume_add_name(&s->since_word, name)) {
            s->out_of_memory = 1;
            return VR_ERROR;
        }
        result = vr_resume_deliver_mark(s, held->sample, name);
        if (result != VR_SUCCESS)
            return result;
    }
    if (s->held_first == s->held_count)
        s->held_first = s->held_count = s->held_names.used = 0;
    return VR_SUCCESS;
}

static inline int32_t vr_resume_mark(vr_resume_state* s, void* data, int32_t length) {
    vr_mark_event mark;
    vr_word_mark word;
    vr_resume_word place;
    char name[96];
    int64_t byte;
    int32_t result;
    if (!vr_decode_mark(data, length, &mark))
        return vr_resume_deliver(s, PACKET_DATA_8, data, length);
    if (vr_is_final_mark(mark.name)) {
        s->final_seen = 1;
        result = vr_resume_release(s, INT64_MAX); /* the audio is whole */
        return result == VR_SUCCESS ? vr_resume_deliver_mark(s, s->base + mark.sample_offset,
                                                             mark.name)
                                    : result;
    }
    if (!vr_parse_word_mark(mark.name, &word)) {
        if (vr_resume_take_name(&s->repeats, mark.name))
            return VR_SUCCESS; /* came before the failure */
        result = vr_resume_hold(s, s->base + mark.sample_offset, mark.name, NULL);
    } else {
        byte = word.byte_offset - s->prefix_bytes + s->from_byte;
        if (word.byte_offset < s->prefix_bytes || byte + word.byte_length > s->text_bytes)
            return VR_SUCCESS; /* not a word of the text */
        if (s->have_resume && byte <= s->resume.byte)
            return VR_SUCCESS; /* delivered before the failure */
        sprintf(name, "kvtk_%ld_%ld_%ld_%ld",
                (long)(word.char_offset - s->prefix_chars + s->from_chars), (long)byte,
                (long)word.char_length, (long)word.byte_length);
        place.byte = (int32_t)byte;
        place.bytes = word.byte_length;
        place.sample = s->base + mark.sample_offset;
        s->repeats.used = 0; /* past what came before the failure */
        result = vr_resume_hold(s, place.sample, name, &place);
    }
    /* A mark behind the audio delivered already goes at once. */
    return result == VR_SUCCESS ? vr_resume_release(s, s->audio_bytes / s->frame_bytes) : result;
}

static inline int32_t VR_CDECL vr_resume_on_packet(void* user_data, PACKET_TYPE type, void* data,
                                                   int32_t length) {
    vr_resume_state* s = (vr_resume_state*)user_data;
    vr_audio_format format;
    PhonemeEvent phoneme;
    int32_t result;
    if (s->quiet)
        return VR_SUCCESS;
    switch (type) {
        case PACKET_DATA_8:
            return vr_resume_mark(s, data, length);
        case PACKET_DATA_6:
            s->audio_bytes += length;
            result = vr_resume_release(s, s->audio_bytes / s->frame_bytes);
            if (result != VR_SUCCESS)
                return result;
            break;
        case PACKET_DATA_9:
            if (vr_decode_audio_format(data, length, &format)) {
                if (s->have_format && memcmp(s->format, data, 8) == 0)
                    return VR_SUCCESS; /* the format it has already */
                memcpy(s->format, data, 8);
                s->have_format = 1;
                s->frame_bytes = (int32_t)(format.channels * (format.bits_per_sample / 8u));
                s->frame_bytes = s->frame_bytes > 0 ? s->frame_bytes : 2;
            }
            break;
        case PACKET_PHONEME:
            if (data != NULL && length >= (int32_t)sizeof phoneme) {
                memcpy(&phoneme, data, sizeof phoneme);
                phoneme.first = (int32_t)(s->base + phoneme.first);
                return vr_resume_deliver(s, type, &phoneme, length);
            }
            break;
        case PACKET_DATA_10:
            if (data != NULL && length >= 7 && memcmp(data, "error: ", 7) == 0)
                s->refused = 1;
            break;
        default:
            break;
    }
    return vr_resume_deliver(s, type, data, length);
}

static inline void vr_resume_pause(void) {
#if defined(_WIN32)
    Sleep(250);
#else
    poll(NULL, 0, 250);
#endif
}

/* Opens the connection again at the first address that answers and takes
 * the voice, in rounds until the bound; its index, or -1. */
static inline int32_t vr_resume_reconnect(vr_handle connection, const vr_resume_options* o) {
    const time_t deadline = time(NULL) + (o->bound_seconds > 0 ? o->bound_seconds : 10);
    int32_t i;
    for (;;) {
        for (i = 0; i < o->address_count; ++i) {
            if (i > 0 && time(NULL) >= deadline)
                return -1;
            vrCloseConnection(connection);
            if (vrOpenConnection(connection, o->addresses[i].host, o->addresses[i].port) ==
                    VR_SUCCESS &&
                (o->voice == NULL || vrSetVoice(connection, o->voice) == VR_SUCCESS))
                return i;
        }
        if (o->address_count <= 0 || time(NULL) >= deadline)
            return -1;
        vr_resume_pause(); /* a proxy needs a moment to see a server gone */
    }
}

/* Tells the application of a resume at address: the notice, and the rewind. */
static inline int vr_resume_tell(vr_resume_state* s, vr_result failure,
                                 const vr_resume_address* address) {
    const vr_resume_options* o = s->options;
    const int32_t word = s->have_resume ? s->resume.bytes : 0;
    const int32_t sample = s->have_resume ? (int32_t)s->resume.sample : 0;
    char* notice;
    if (o->notice != NULL) {
        notice = (char*)malloc(strlen(address->host) + (size_t)word + 160);
        if (notice == NULL)
            return 0;
        sprintf(notice, "the speech server failed (%s); speaking on from ",
                failure == VR_SEND_FAILED ? "the connection to the server broke"
                                          : "the server stopped answering");
        if (s->have_resume)
            sprintf(notice + strlen(notice), "\"%.*s\"", (int)word, s->text + s->resume.byte);
        else
            strcat(notice, "the start");
        sprintf(notice + strlen(notice), " at %s:%ld", address->host, (long)address->port);
        o->notice(o->user_data, notice);
        free(notice);
    }
    if (o->rewind != NULL && o->rewind(o->user_data, sample))
        s->audio_bytes = (int64_t)sample * s->frame_bytes;
    s->base = s->audio_bytes / s->frame_bytes;
    return 1;
}

/* The text to submit from the resume word (or the start): the elements open
 * there, then the rest; the marks delivered since that word are to be
 * swallowed once. NULL when memory runs out. */
static inline char* vr_resume_rest(vr_resume_state* s) {
    const size_t from = s->have_resume ? (size_t)s->resume.byte : 0;
    const size_t prefix = vr_open_markup(s->text, from, NULL, 0);
    const size_t rest = strlen(s->text + from);
    char* submit = (char*)malloc(prefix + rest + 1);
    if (submit == NULL || !vr_resume_reserve(&s->repeats.names, &s->repeats.capacity,
                                             s->repeats.used + s->since_word.used + 1)) {
        free(submit);
        return NULL;
    }
    /* The application's marks since that word come again: swallowed once
     * (with those of an earlier resume not come again yet). */
    if (s->since_word.used > 0)
        memcpy(s->repeats.names + s->repeats.used, s->since_word.names, s->since_word.used);
    s->repeats.used += s->since_word.used;
    s->since_word.used = 0;
    /* What waited for its audio is rendered again. */
    s->held_first = s->held_count = s->held_names.used = 0;
    vr_open_markup(s->text, from, submit, prefix + 1);
    memcpy(submit + prefix, s->text + from, rest + 1);
    s->prefix_bytes = (int64_t)prefix;
    s->prefix_chars = vr_resume_characters(submit, prefix);
    s->from_byte = (int64_t)from;
    s->from_chars = vr_resume_characters(s->text, from);
    return submit;
}

/** @endcond */

static inline vr_result vr_resume_render(vr_handle connection, const char* text,
                                         const vr_resume_options* options) {
    static const vr_resume_options none = {NULL, NULL, NULL, 0, NULL, 0, 0, NULL, NULL};
    vr_resume_state s;
    vr_result result;
    char* submit = NULL;
    int32_t address, failures = 0;
    int64_t words_before;
    memset(&s, 0, sizeof s);
    s.options = options != NULL ? options : &none;
    s.text = text != NULL ? text : "";
    s.text_bytes = (int64_t)strlen(s.text);
    s.frame_bytes = 2;
    result = vrSetUserData(connection, &s);
    if (result == VR_SUCCESS)
        result = vrSetCallBack(connection, vr_resume_on_packet);
    while (result == VR_SUCCESS) {
        words_before = s.words;
        s.quiet = s.refused = 0;
        result = vrRenderSpeechXML(connection, submit != NULL ? submit : s.text);
        s.quiet = 1;
        free(submit);
        submit = NULL;
        if (s.out_of_memory) {
            result = VR_ERROR;
            break;
        }
        if (result == VR_SUCCESS ||
            (s.final_seen && (result == VR_ERROR || result == VR_SEND_FAILED))) {
            result = VR_SUCCESS;
            break;
        }
        failures = s.words > words_before ? 0 : failures + 1;
        if ((result != VR_ERROR && result != VR_SEND_FAILED) || s.refused ||
            failures >= (s.options->tries > 0 ? s.options->tries : 3))
            break;
        address = vr_resume_reconnect(connection, s.options);
        if (address < 0)
            break;
        if (!vr_resume_tell(&s, result, &s.options->addresses[address]) ||
            (submit = vr_resume_rest(&s)) == NULL) {
            result = VR_ERROR;
            break;
        }
        result = VR_SUCCESS;
    }
    vrSetCallBack(connection, s.options->callback);
    vrSetUserData(connection, s.options->user_data);
    free(s.held);
    free(s.held_names.names);
    free(s.since_word.names);
    free(s.repeats.names);
    free(s.payload);
    return result;
}

#ifdef __cplusplus
}
#endif

#endif /* VRELAY_RESUME_H */
