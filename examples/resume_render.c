// SPDX-License-Identifier: MIT
/* Renders a text file to a WAV file through a server that may die meanwhile:
 *   resume_render HOST:PORT[,HOST:PORT...] INPUT OUTPUT.wav
 * INPUT is text or markup as vrRenderSpeechXML takes it. The first address is
 * opened; after a server failure the render goes on from the last word at the
 * first address that answers, in the order given. The audio is kept in
 * memory, so a resume can take back the interrupted word's audio: every
 * word is in the file once. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <vrelay/vrelay.h>
#include <vrelay/vrelay_helpers.h>
#include <vrelay/vrelay_resume.h>

struct output {
    vr_audio_format format;
    unsigned char* audio;
    size_t bytes;
    long words;
};

static int32_t on_packet(void* user_data, PACKET_TYPE type, void* data, int32_t length) {
    struct output* out = (struct output*)user_data;
    vr_mark_event mark;
    vr_word_mark word;
    if (type == PACKET_DATA_9) {
        vr_decode_audio_format(data, length, &out->format);
    } else if (type == PACKET_DATA_6) {
        unsigned char* grown = realloc(out->audio, out->bytes + (size_t)length);
        if (grown == NULL)
            return VR_ERROR; /* stops the render */
        memcpy(grown + out->bytes, data, (size_t)length);
        out->audio = grown;
        out->bytes += (size_t)length;
    } else if (type == PACKET_DATA_8 && vr_decode_mark(data, length, &mark) &&
               vr_parse_word_mark(mark.name, &word)) {
        ++out->words;
    }
    return VR_SUCCESS;
}

/* The audio from sample on is dropped: it is rendered again. */
static int take_back(void* user_data, int32_t sample) {
    struct output* out = (struct output*)user_data;
    const size_t bytes = (size_t)sample * 2;
    if (bytes > out->bytes)
        return 0;
    out->bytes = bytes;
    return 1;
}

static void tell(void* user_data, const char* notice) {
    (void)user_data;
    fprintf(stderr, "resume_render: %s\n", notice);
}

/* Splits "HOST:PORT,HOST:PORT" in place; the number of addresses, 0 when one
 * is malformed. */
static int parse_addresses(char* list, vr_resume_address* addresses, int most) {
    int count = 0;
    for (char* item = strtok(list, ","); item != NULL; item = strtok(NULL, ",")) {
        char* colon = strrchr(item, ':');
        if (colon == NULL || count == most || atoi(colon + 1) <= 0)
            return 0;
        *colon = '\0';
        if (item[0] == '[' && colon[-1] == ']') { /* [::1]:5555 */
            colon[-1] = '\0';
            ++item;
        }
        addresses[count].host = item;
        addresses[count].port = atoi(colon + 1);
        ++count;
    }
    return count;
}

static char* read_file(const char* path) {
    FILE* f = fopen(path, "rb");
    char* text = NULL;
    size_t size = 0, got;
    char block[65536];
    if (f == NULL)
        return NULL;
    while ((got = fread(block, 1, sizeof block, f)) > 0) {
        char* grown = realloc(text, size + got + 1);
        if (grown == NULL)
            break;
        text = grown;
        memcpy(text + size, block, got);
        size += got;
    }
    if (text == NULL || ferror(f) || !feof(f)) {
        free(text);
        text = NULL;
    } else {
        text[size] = '\0';
    }
    fclose(f);
    return text;
}

/* A 16-bit PCM WAV file of the audio. */
static int save(const char* path, const struct output* out) {
    const uint32_t rate = out->format.sample_rate, channels = out->format.channels;
    const uint32_t fields[] = {(uint32_t)out->bytes + 36, 16, 1 | channels << 16, rate,
                               rate * channels * 2, (2 * channels) | 16u << 16,
                               (uint32_t)out->bytes};
    unsigned char header[44];
    memcpy(header, "RIFF....WAVEfmt ", 16);
    memcpy(header + 36, "data", 4);
    for (int i = 0; i < 7; ++i) {
        unsigned char* p = header + (i == 0 ? 4 : i == 6 ? 40 : 12 + 4 * i);
        for (int b = 0; b < 4; ++b)
            p[b] = (unsigned char)(fields[i] >> (8 * b));
    }
    FILE* f = fopen(path, "wb");
    if (f == NULL)
        return 0;
    const int written = fwrite(header, 1, sizeof header, f) == sizeof header &&
                        fwrite(out->audio, 1, out->bytes, f) == out->bytes;
    return fclose(f) == 0 && written;
}

int main(int argc, char** argv) {
    vr_resume_address addresses[16];
    const int count = argc == 4 ? parse_addresses(argv[1], addresses, 16) : 0;
    if (count == 0) {
        fprintf(stderr, "usage: %s HOST:PORT[,HOST:PORT...] INPUT OUTPUT.wav\n", argv[0]);
        return 1;
    }
    char* text = read_file(argv[2]);
    if (text == NULL) {
        fprintf(stderr, "cannot read %s\n", argv[2]);
        return 1;
    }
    struct output out = {{0, 16, 1}, NULL, 0, 0};
    vr_resume_options options;
    memset(&options, 0, sizeof options);
    options.callback = on_packet;
    options.user_data = &out;
    options.addresses = addresses;
    options.address_count = count;
    options.rewind = take_back;
    options.notice = tell;

    vr_handle connection = vrCreateConnection();
    vr_result result = VR_CONNECT_FAILED;
    for (int i = 0; i < count && result != VR_SUCCESS; ++i)
        result = vrOpenConnection(connection, addresses[i].host, addresses[i].port);
    if (result == VR_SUCCESS)
        result = vr_resume_render(connection, text, &options);
    vrDestroyConnection(connection);
    free(text);
    /* What was rendered is saved even when the render failed. */
    const int saved = out.format.sample_rate > 0 && save(argv[3], &out);
    if (saved)
        printf("%ld words, %zu samples at %u Hz in %s\n", out.words, out.bytes / 2,
               (unsigned)out.format.sample_rate, argv[3]);
    free(out.audio);
    if (result != VR_SUCCESS) {
        fprintf(stderr, "render failed: %s\n", vr_result_name(result));
        return 2;
    }
    return saved ? 0 : 3;
}
