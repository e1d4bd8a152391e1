/* The C side of the Python audio binding tests: runs the audio engines on a clip the same way the
 * tests do through Python and writes the raw bytes each call returns.
 *     ka_python_audio_reference A2X_BUNDLE W2V_ONNX MOTION_DIR AUDIO.f32 OUT_DIR
 * The a2x stream reads $W2V_ONNX; the FCA engine takes W2V_ONNX and A2X_BUNDLE/fca_stream.onnx. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "ka/ka_a2x.h"
#include "ka/ka_fca.h"
#include "ka/ka_motion.h"

enum { KP = 63, CHUNK = 3200 };

static FILE* open_in(const char* dir, const char* name, const char* mode) {
    char path[4096];
    snprintf(path, sizeof path, "%s/%s", dir, name);
    FILE* f = fopen(path, mode);
    if (!f) fprintf(stderr, "cannot open %s\n", path);
    return f;
}

static int save(const char* dir, const char* name, const void* data, size_t n) {
    FILE* f = open_in(dir, name, "wb");
    if (!f) return 0;
    const int ok = fwrite(data, 1, n, f) == n;
    return fclose(f) == 0 && ok;
}

/* Pulled frames, appended to PREFIX_index.i32, PREFIX_base.f32 and PREFIX_drive.f32. */
typedef struct {
    FILE *index, *base, *drive;
} Sink;

static int sink_open(Sink* s, const char* dir, const char* prefix) {
    char name[256];
    snprintf(name, sizeof name, "%s_index.i32", prefix);
    s->index = open_in(dir, name, "wb");
    snprintf(name, sizeof name, "%s_base.f32", prefix);
    s->base = open_in(dir, name, "wb");
    snprintf(name, sizeof name, "%s_drive.f32", prefix);
    s->drive = open_in(dir, name, "wb");
    return s->index && s->base && s->drive;
}

static int sink_close(Sink* s) {
    int ok = 1;
    FILE* files[3] = {s->index, s->base, s->drive};
    for (int i = 0; i < 3; ++i)
        if (files[i] && fclose(files[i]) != 0) ok = 0;
    return ok && files[0] && files[1] && files[2];
}

static int sink_write(Sink* s, const int* idx, const float* base, const float* drive, int n) {
    return fwrite(idx, sizeof *idx, (size_t)n, s->index) == (size_t)n &&
           fwrite(base, sizeof *base * KP, (size_t)n, s->base) == (size_t)n &&
           fwrite(drive, sizeof *drive * KP, (size_t)n, s->drive) == (size_t)n;
}

/* The streaming calls of one engine family. */
typedef struct {
    void* h;
    int (*push)(void*, const float*, int);
    int (*finish)(void*);
    int (*avail)(void*);
    int (*pull)(void*, int*, float*, float*, int);
} Engine;

static int drain(Engine* e, Sink* s) {
    for (int n; (n = e->avail(e->h)) > 0;) {
        int* idx = malloc(sizeof(int) * (size_t)n);
        float* rows = malloc(sizeof(float) * KP * 2 * (size_t)n);
        const int got = idx && rows ? e->pull(e->h, idx, rows, rows + (size_t)n * KP, n) : 0;
        const int ok = got == n && sink_write(s, idx, rows, rows + (size_t)n * KP, n);
        free(idx);
        free(rows);
        if (!ok) return 0;
    }
    return 1;
}

/* Pushes the clip in CHUNK-sample pieces, pulling what is ready after each, then finishes and drains. */
static int stream(Engine* e, const float* pcm, int count, const char* dir, const char* prefix) {
    Sink s = {0};
    int ok = sink_open(&s, dir, prefix);
    for (int at = 0; ok && at < count; at += CHUNK) {
        const int n = count - at < CHUNK ? count - at : CHUNK;
        ok = e->push(e->h, pcm + at, n) == 1 && drain(e, &s);
    }
    ok = ok && e->finish(e->h) == 1 && drain(e, &s);
    return sink_close(&s) && ok;
}

static int a2x_push(void* h, const float* p, int n) { return ka_a2x_push(h, p, n); }
static int a2x_finish(void* h) { return ka_a2x_finish(h); }
static int a2x_avail(void* h) { return ka_a2x_avail(h); }
static int a2x_pull(void* h, int* i, float* b, float* d, int n) { return ka_a2x_pull(h, i, b, d, n); }
static int motion_push(void* h, const float* p, int n) { return ka_motion_push(h, p, n); }
static int motion_finish(void* h) { return ka_motion_finish(h); }
static int motion_avail(void* h) { return ka_motion_avail(h); }
static int motion_pull(void* h, int* i, float* b, float* d, int n) { return ka_motion_pull(h, i, b, d, n); }

int main(int argc, char** argv) {
    if (argc != 6) return 2;
    const char *bundle = argv[1], *w2v = argv[2], *motion_dir = argv[3], *out = argv[5];
    FILE* in = fopen(argv[4], "rb");
    if (!in) return 1;
    static float pcm[16000 * 30];
    const int count = (int)fread(pcm, sizeof(float), sizeof pcm / sizeof(float), in);
    fclose(in);
    const int frames = (count + 639) / 640;
    float* deltas = malloc(sizeof(float) * KP * (size_t)frames);
    char fca_path[4096];
    snprintf(fca_path, sizeof fca_path, "%s/fca_stream.onnx", bundle);

    ka_a2x* a = ka_a2x_create(bundle, 1);
    Engine ea = {a, a2x_push, a2x_finish, a2x_avail, a2x_pull};
    int ok = a && deltas && stream(&ea, pcm, count, out, "a2x");
    ok = ok && ka_a2x_deltas(a, pcm, count, deltas, frames) == frames &&
         save(out, "a2x_deltas.f32", deltas, sizeof(float) * KP * (size_t)frames);
    if (!ok) fprintf(stderr, "a2x: %s\n", ka_a2x_last_error());
    ka_a2x_destroy(a);

    ka_fca* f = ok ? ka_fca_create(w2v, fca_path, 1) : NULL;
    ok = ok && f && ka_fca_deltas(f, pcm, count, deltas, frames) == frames &&
         save(out, "fca_deltas.f32", deltas, sizeof(float) * KP * (size_t)frames);
    if (!ok) fprintf(stderr, "fca: %s\n", ka_fca_last_error());
    ka_fca_destroy(f);

    ka_motion* m = ok ? ka_motion_create(motion_dir, 1, NULL) : NULL;
    Engine em = {m, motion_push, motion_finish, motion_avail, motion_pull};
    ok = ok && m && stream(&em, pcm, count, out, "motion");
    if (!ok) fprintf(stderr, "motion: %s\n", ka_motion_last_error());
    ka_motion_destroy(m);
    free(deltas);
    return ok ? 0 : 1;
}
