/* The C side of the Python session binding tests: the offline stream over a clip, and the first
 * idle frames of an utterance session, written as raw bytes for a byte-for-byte comparison.
 *     ka_python_session_reference BUNDLE W2V_ONNX AUDIO.f32 OUT_DIR
 * BUNDLE carries "model_render.onnx", "fca_stream.onnx", model_b1.onnx and the motion directory
 * BUNDLE/motion. */
#define _POSIX_C_SOURCE 200809L
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include "ka/ka.h"
#include "ka/ka_stream.h"
#include "ka/ka_utt.h"

enum { IDLE_FRAMES = 8 };

static FILE* create(const char* dir, const char* name) {
    char path[4096];
    snprintf(path, sizeof path, "%s/%s", dir, name);
    FILE* f = fopen(path, "wb");
    if (!f) fprintf(stderr, "cannot create %s\n", path);
    return f;
}

static void keep(void* user, int frame, const unsigned char* rgb, int w, int h) {
    (void)frame;
    fwrite(rgb, 3, (size_t)w * (size_t)h, user);
}

static void sleep_ms(int ms) {
    struct timespec t = {0, ms * 1000000L};
    nanosleep(&t, NULL);
}

/* Pulls the first IDLE_FRAMES frames of a fresh session (no audio pushed) with their info. */
static int idle_frames(const char* bundle, const char* out) {
    char motion[4096];
    snprintf(motion, sizeof motion, "%s/motion", bundle);
    ka_ctx* ctx = ka_create(bundle, "b1", 1, NULL);
    ka_utt_opts o = {0};
    o.motion_dir = motion;
    o.threads = 1;
    o.steady_model = "-";
    ka_utt* u = ctx ? ka_utt_create(ctx, &o) : NULL;
    const size_t bytes = ctx ? (size_t)ka_width(ctx) * (size_t)ka_height(ctx) * 3 : 0;
    unsigned char* rgb = malloc(bytes + 1);
    FILE* frames = create(out, "utt_idle.u8");
    FILE* infos = create(out, "utt_idle_info.i64");
    int pulled = 0;
    for (int waited = 0; u && rgb && frames && infos && pulled < IDLE_FRAMES && waited < 60000;) {
        ka_utt_frame_info info;
        if (ka_utt_pull_frame(u, rgb, bytes, &info) == 1) {
            const int64_t row[4] = {(int64_t)info.seq, info.kind, info.target, info.speech_frame};
            fwrite(rgb, 1, bytes, frames);
            fwrite(row, sizeof row, 1, infos);
            ++pulled;
        } else {
            sleep_ms(1);
            ++waited;
        }
    }
    if (pulled < IDLE_FRAMES) fprintf(stderr, "utt: %s %s\n", ka_last_error(), ka_utt_last_error());
    int ok = pulled == IDLE_FRAMES;
    if (frames && fclose(frames) != 0) ok = 0;
    if (infos && fclose(infos) != 0) ok = 0;
    free(rgb);
    ka_utt_destroy(u);
    ka_destroy(ctx);
    return ok && frames && infos;
}

int main(int argc, char** argv) {
    if (argc != 5) return 2;
    const char *bundle = argv[1], *w2v = argv[2], *out = argv[4];
    FILE* in = fopen(argv[3], "rb");
    if (!in) return 1;
    static float pcm[16000 * 30];
    const int count = (int)fread(pcm, sizeof(float), sizeof pcm / sizeof(float), in);
    fclose(in);

    /* One frame skipped, deltas at three quarters. */
    ka_stream* s = ka_stream_create(bundle, w2v, 1, 1, 0.75f);
    FILE* frames = s ? create(out, "stream_frames.u8") : NULL;
    int ok = frames && ka_stream_run(s, pcm, count, keep, frames) == (count + 639) / 640 - 1;
    if (!ok) fprintf(stderr, "stream: %s\n", ka_stream_last_error());
    if (frames && fclose(frames) != 0) ok = 0;
    ka_stream_destroy(s);
    return ok && idle_frames(bundle, out) ? 0 : 1;
}
