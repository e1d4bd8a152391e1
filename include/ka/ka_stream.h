/* ka_core: the offline stream family: one whole audio clip in, every video frame of the avatar
 * speaking it out, handed to a callback in order.
 *
 * Usage:
 *
 *     static void on_frame(void* user, int n, const unsigned char* rgb, int w, int h) {
 *         encode(user, rgb, w, h);                      // rgb is valid during the call only
 *     }
 *
 *     ka_stream* s = ka_stream_create("bundles/avatar", "models/w2v.onnx", 0, 0, 1.0f);
 *     if (!s) { fprintf(stderr, "%s\n", ka_stream_last_error()); return 1; }
 *     int frames = ka_stream_run(s, pcm, n, on_frame, enc);   // n float samples, 16 kHz mono
 *     if (ka_stream_last_error()[0]) fprintf(stderr, "%s\n", ka_stream_last_error());
 *     ka_stream_destroy(s);
 *
 * The clip has (n + 639) / 640 frames; the first `skip` are computed but not delivered. A run
 * renders faces on a thread of its own while the caller's thread pastes them and calls back.
 *
 * Threads: a stream is used by one thread at a time; the callback runs on the thread that called
 * ka_stream_run. Different streams are independent. The last-error text is per thread: each
 * fallible call empties the calling thread's text on entry and fills it on failure;
 * ka_stream_last_error() returns it and never returns NULL.
 */
#ifndef KA_KA_STREAM_H
#define KA_KA_STREAM_H

#include "ka/ka_common.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct ka_stream ka_stream;

/* Receives delivered frame `frame` (from 0): width x height x 3 RGB bytes, rows packed. */
typedef void (*ka_stream_frame_cb)(void* user, int frame, const unsigned char* rgb, int width, int height);

/* This thread's last-error text of the family; empty after a successful call. */
KA_API const char* ka_stream_last_error(void);

/* Opens the bundle (directory or container, director "model_render.onnx"), the audio encoder at
 * w2v_path and the bundle's "fca_stream.onnx". threads < 1 takes the worker pool's size, a count
 * above 4 x the hardware threads is lowered to that (one line on standard error); skip
 * frames are dropped from the start of every run; scale multiplies the expression deltas.
 * NULL on failure. */
KA_API ka_stream* ka_stream_create(const char* bundle, const char* w2v_path, int threads, int skip, float scale);
/* Frees the stream (NULL allowed). */
KA_API void ka_stream_destroy(ka_stream* s);

/* Renders every frame of `count` samples and hands each to cb (may be NULL). Returns the frames
 * delivered: all of them on success; after a failed render or paste the frames before it, with
 * the error text set; -1 for bad arguments, a NaN or infinite sample ("ka_stream_run: sample <i> is
 * not finite (nan)") or an unexpected failure. */
KA_API int ka_stream_run(ka_stream* s, const float* samples, int count, ka_stream_frame_cb cb, void* user);

KA_API int ka_stream_width(const ka_stream* s);  /* 0 for NULL */
KA_API int ka_stream_height(const ka_stream* s); /* 0 for NULL */

#ifdef __cplusplus
}
#endif

#endif /* KA_KA_STREAM_H */
