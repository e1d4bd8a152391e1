/* ka_core: the audio-to-expression family: 16 kHz mono speech in, one expression keypoint row per
 * 40 ms video frame out, streamed.
 *
 * Usage (one utterance, pushed as it arrives; $W2V_ONNX names the shared audio encoder):
 *
 *     ka_a2x* s = ka_a2x_create("bundles/avatar", 0);
 *     if (!s) { fprintf(stderr, "%s\n", ka_a2x_last_error()); return 1; }
 *     int idx[8]; float base[8 * 63], drive[8 * 63];
 *     while (read_chunk(pcm, &n)) {                 // float samples in [-1, 1], any chunk size
 *         ka_a2x_push(s, pcm, n);
 *         while (ka_a2x_avail(s) > 0) {
 *             int got = ka_a2x_pull(s, idx, base, drive, 8);
 *             render(idx, base, drive, got);        // source frame, its own row, the speaking row
 *         }
 *     }
 *     ka_a2x_finish(s);                             // releases the look-ahead held back
 *     while (ka_a2x_avail(s) > 0) render_n(ka_a2x_pull(s, idx, base, drive, 8));
 *     ka_a2x_reset(s, -1, 1, 1);                    // next utterance continues the target walk
 *     ka_a2x_destroy(s);
 *
 * Pulled rows do not depend on how the audio was split into pushes, nor on when avail and pull were
 * called: a frame becomes ready only once every input it reads is final (the audio encoder's
 * look-ahead plus the expression encoder's). With the legacy 8 s encoder, a window's statistics
 * cover the audio up to the whole 320 ms block at which each frame became final, so its rows can
 * differ slightly from ka_a2x_deltas, which sees whole windows. Every frame is 640 samples; a clip
 * of n samples has (n + 639) / 640 frames. Memory stays bounded however long an utterance runs.
 *
 * Threads: a stream is used by one thread at a time; different streams may run at once on
 * different threads (the shared audio encoder is loaded once per process under a lock and run
 * without one). The last-error text is per thread: each fallible call of this family empties the
 * calling thread's text on entry and fills it on failure; ka_a2x_last_error() returns it and never
 * returns NULL.
 */
#ifndef KA_KA_A2X_H
#define KA_KA_A2X_H

#include "ka/ka_common.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct ka_a2x ka_a2x;

/* This thread's last-error text of the family; empty after a successful call. */
KA_API const char* ka_a2x_last_error(void);

/* Opens the stream of the bundle at `bundle` (directory or container): a2x_meta.json, a2x_pos.f32,
 * a2x_norm.f32, xs_target.bin, a2x_enc_stream.onnx, a2x_dec.onnx. threads < 1 takes the worker
 * pool's size. $W2V_ONNX must name the legacy audio encoder. NULL on failure. */
KA_API ka_a2x* ka_a2x_create(const char* bundle, int threads);
/* Frees the stream (NULL allowed); the shared encoder sessions stay loaded. */
KA_API void ka_a2x_destroy(ka_a2x* s);

/* Appends count float samples; count <= 0 appends nothing. Returns 1; 0 for NULL arguments, and 0
 * with "ka_a2x_push: sample <i> is not finite (nan)" (or inf, -inf) for a push holding a NaN or
 * infinite sample, which appends nothing: the stream goes on with the next push. */
KA_API int ka_a2x_push(ka_a2x* s, const float* samples, int count);
/* Marks the end of the audio: the frames held back for look-ahead become ready. */
KA_API int ka_a2x_finish(ka_a2x* s);
/* Frames ready to pull; may run the models. */
KA_API int ka_a2x_avail(ka_a2x* s);
/* Writes up to n frames: target index, base row (63 floats) and drive row (63 floats) per frame.
 * Returns the count written. */
KA_API int ka_a2x_pull(ka_a2x* s, int* index_out, float* base_out, float* drive_out, int n);
/* As ka_a2x_pull, plus the encoder's width value per frame (0 without a width output). */
KA_API int ka_a2x_pull_wn(ka_a2x* s, int* index_out, float* base_out, float* drive_out, float* width_out, int n);
/* (samples + 639) / 640 once finished, -1 before. */
KA_API int ka_a2x_total(const ka_a2x* s);
/* Starts a new utterance: clears the audio and every buffer. phase is the first target index (a
 * negative phase continues the walk where it stands); direction < 0 walks backward; wrap 0 walks
 * ping-pong. Returns the direction sign stored (+1 or -1), 0 for NULL. */
KA_API int ka_a2x_reset(ka_a2x* s, int phase, int direction, int wrap);
/* Rows of the target sequence; 0 for NULL. */
KA_API int ka_a2x_nt(const ka_a2x* s);
/* 1 when the encoder has the width output, else 0. */
KA_API int ka_a2x_width(const ka_a2x* s);
/* Stores the eager hint; the output does not depend on it. */
KA_API void ka_a2x_set_eager(ka_a2x* s, int flag);

/* Whole-clip deltas (63 floats per frame) without touching the streaming state. Returns the frame
 * count, 0 for count <= 0, -2 when max is smaller than the frame count (nothing written), -1 on
 * failure (a NaN or infinite sample among them: "ka_a2x_deltas: sample <i> is not finite (nan)"). */
KA_API int ka_a2x_deltas(ka_a2x* s, const float* samples, int count, float* out, int max);
/* As ka_a2x_deltas plus the width value per frame; -3 when the encoder has no width output. */
KA_API int ka_a2x_deltas_wn(ka_a2x* s, const float* samples, int count, float* out, float* width_out, int max);

/* Loads the process-wide legacy audio encoder from `path` (NULL or "": $W2V_ONNX). 1 when it is
 * (now) loaded, else 0. */
KA_API int ka_a2x_preload_w2v(const char* path);
/* Always 1: the legacy encoder is loaded when first needed. */
KA_API int ka_a2x_w2v8_lazy(void);

#ifdef __cplusplus
}
#endif

#endif /* KA_KA_A2X_H */
