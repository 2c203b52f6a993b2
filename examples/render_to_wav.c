// SPDX-License-Identifier: MIT
/* Renders a text to a WAV file and prints when each word starts.
 *   render_to_wav HOST PORT OUTPUT.wav "TEXT"
 * The callback collects the audio and the word marks; main writes the file. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <vrelay/vrelay.h>
#include <vrelay/vrelay_helpers.h>

struct render {
    const char* text;
    vr_audio_format format;
    unsigned char* audio;
    size_t audio_bytes;
};

static int32_t on_packet(void* user_data, PACKET_TYPE type, void* data, int32_t length) {
    struct render* r = (struct render*)user_data;
    vr_mark_event mark;
    vr_word_mark word;
    if (type == PACKET_DATA_9) {
        vr_decode_audio_format(data, length, &r->format);
    } else if (type == PACKET_DATA_6) {
        unsigned char* grown = realloc(r->audio, r->audio_bytes + (size_t)length);
        if (grown == NULL)
            return VR_ERROR; /* stops the request */
        memcpy(grown + r->audio_bytes, data, (size_t)length);
        r->audio = grown;
        r->audio_bytes += (size_t)length;
    } else if (type == PACKET_DATA_8 && vr_decode_mark(data, length, &mark) &&
               vr_parse_word_mark(mark.name, &word) && r->format.sample_rate > 0) {
        printf("%8.3f s  %.*s\n", (double)mark.sample_offset / r->format.sample_rate,
               (int)word.byte_length, r->text + word.byte_offset);
    }
    return VR_SUCCESS;
}

static void put_le(FILE* f, uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i)
        fputc((int)((value >> (8 * i)) & 0xFF), f);
}

static int write_wav(const char* path, const struct render* r) {
    FILE* f = fopen(path, "wb");
    if (f == NULL)
        return 0;
    const uint32_t bytes = (uint32_t)r->audio_bytes;
    const uint32_t block = r->format.channels * (r->format.bits_per_sample / 8u);
    fwrite("RIFF", 1, 4, f);
    put_le(f, 36 + bytes, 4);
    fwrite("WAVEfmt ", 1, 8, f);
    put_le(f, 16, 4);
    put_le(f, 1, 2); /* PCM */
    put_le(f, r->format.channels, 2);
    put_le(f, r->format.sample_rate, 4);
    put_le(f, r->format.sample_rate * block, 4);
    put_le(f, block, 2);
    put_le(f, r->format.bits_per_sample, 2);
    fwrite("data", 1, 4, f);
    put_le(f, bytes, 4);
    fwrite(r->audio, 1, r->audio_bytes, f);
    return fclose(f) == 0;
}

int main(int argc, char** argv) {
    if (argc != 5) {
        fprintf(stderr, "usage: %s HOST PORT OUTPUT.wav TEXT\n", argv[0]);
        return 1;
    }
    struct render r = {argv[4], {0, 16, 1}, NULL, 0};
    vr_handle connection = vrCreateConnection();
    vr_result result = vrOpenConnection(connection, argv[1], atoi(argv[2]));
    if (result == VR_SUCCESS) {
        vrSetUserData(connection, &r);
        vrSetCallBack(connection, on_packet);
        result = vrRenderSpeech(connection, r.text);
    }
    vrDestroyConnection(connection);
    if (result != VR_SUCCESS) {
        fprintf(stderr, "render failed: %s\n", vr_result_name(result));
        free(r.audio);
        return 2;
    }
    const int written = write_wav(argv[3], &r);
    if (written)
        printf("%zu samples at %u Hz in %s\n", r.audio_bytes / 2, (unsigned)r.format.sample_rate,
               argv[3]);
    free(r.audio);
    return written ? 0 : 3;
}
