/* A small reader for the WAV files the speech examples take: RIFF/WAVE, 16-bit PCM, mono, 16 kHz
 * (convert others first: ffmpeg -i in.any -ar 16000 -ac 1 -c:a pcm_s16le speech.wav).
 *
 *     int16_t* pcm; int count;
 *     if (!wav_read("speech.wav", &pcm, &count)) return 1;   // says why on stderr
 *     ...
 *     free(pcm);
 */
#ifndef KA_EXAMPLES_WAV_H
#define KA_EXAMPLES_WAV_H

#include <limits.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static uint32_t wav_u32(const unsigned char* p) {
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}
static uint16_t wav_u16(const unsigned char* p) { return (uint16_t)(p[0] | p[1] << 8); }

/* The samples of the data chunk at the file position: `size` bytes declared, fewer read when the
 * file ends first (a streamed WAV may declare more than it holds). NULL when they cannot be read. */
static int16_t* wav_samples(FILE* f, uint32_t size, int* count) {
    const long at = ftell(f);
    if (at < 0 || fseek(f, 0, SEEK_END) != 0) return NULL;
    const long end = ftell(f);
    if (end < at || fseek(f, at, SEEK_SET) != 0) return NULL;
    const uint32_t held = (uint32_t)(end - at), bytes = (size < held ? size : held) & ~1u;
    unsigned char* raw = (unsigned char*)malloc((size_t)bytes + 2);
    int16_t* pcm = (int16_t*)malloc((size_t)bytes + 2);
    if (!raw || !pcm || fread(raw, 1, bytes, f) != bytes) {
        free(raw);
        free(pcm);
        return NULL;
    }
    *count = (int)(bytes / 2);
    for (int i = 0; i < *count; ++i) pcm[i] = (int16_t)wav_u16(raw + 2 * i);
    free(raw);
    return pcm;
}

/* Reads the samples of the open WAV file `f` into a new buffer (*pcm, free it) of *count samples.
 * 1 on success; 0 with a message naming `name` on stderr otherwise. */
static int wav_read_file(FILE* f, const char* name, int16_t** pcm, int* count) {
    unsigned char head[12], chunk[8], fmt[16];
    const char* why = "no data chunk";
    int have_fmt = 0;
    *pcm = NULL;
    if (fread(head, 1, 12, f) != 12 || memcmp(head, "RIFF", 4) != 0 || memcmp(head + 8, "WAVE", 4) != 0) {
        why = "not a RIFF/WAVE file";
    } else {
        while (fread(chunk, 1, 8, f) == 8) {
            const uint32_t size = wav_u32(chunk + 4);
            if (size > (uint32_t)LONG_MAX - 1) {
                why = "a chunk larger than the file";
                break;
            }
            if (memcmp(chunk, "fmt ", 4) == 0 && size >= 16) {
                if (fread(fmt, 1, 16, f) != 16 || fseek(f, (long)(size - 16 + (size & 1)), SEEK_CUR) != 0) break;
                if (wav_u16(fmt) != 1 || wav_u16(fmt + 2) != 1 || wav_u32(fmt + 4) != 16000 || wav_u16(fmt + 14) != 16) {
                    why = "not 16-bit PCM mono at 16 kHz";
                    break;
                }
                have_fmt = 1;
            } else if (memcmp(chunk, "data", 4) == 0) {
                if (!have_fmt) why = "no fmt chunk before the data";
                else if (!(*pcm = wav_samples(f, size, count))) why = "cannot read the samples";
                break;
            } else if (fseek(f, (long)(size + (size & 1)), SEEK_CUR) != 0) {
                break;
            }
        }
    }
    if (!*pcm) fprintf(stderr, "%s: %s\n", name, why);
    return *pcm != NULL;
}

/* wav_read_file on the file at `path`. */
static int wav_read(const char* path, int16_t** pcm, int* count) {
    FILE* f = fopen(path, "rb");
    if (!f) {
        fprintf(stderr, "%s: cannot open\n", path);
        return 0;
    }
    const int ok = wav_read_file(f, path, pcm, count);
    fclose(f);
    return ok;
}

#endif /* KA_EXAMPLES_WAV_H */
