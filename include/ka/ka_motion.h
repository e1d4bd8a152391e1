/* ka_core: the audio-to-motion family: 16 kHz mono speech in, keypoint rows per 40 ms video frame
 * out, from a motion directory (mel spectrogram, audio encoder, chunked motion generator,
 * stitching network) walking the avatar's own source poses.
 *
 * Usage:
 *
 *     ka_motion* m = ka_motion_create("bundles/avatar/motion", 2, NULL);   // NULL/"": CPU
 *     if (!m) { fprintf(stderr, "%s\n", ka_motion_last_error()); return 1; }
 *     int idx[8]; float base[8 * 63], drive[8 * 63];
 *     while (read_chunk(pcm, &n)) {
 *         ka_motion_push(m, pcm, n);
 *         while (ka_motion_avail(m) > 0) render(idx, base, drive, ka_motion_pull(m, idx, base, drive, 8));
 *     }
 *     ka_motion_finish(m);
 *     while (ka_motion_avail(m) > 0) render(idx, base, drive, ka_motion_pull(m, idx, base, drive, 8));
 *     ka_motion_reset(m, 0, 1, 1);                 // next utterance
 *     ka_motion_destroy(m);
 *
 * Threads: an engine is used by one thread at a time; different engines may run at once. The
 * last-error text is per thread: each fallible call empties it on entry and fills it on failure;
 * ka_motion_last_error() returns it and never returns NULL.
 */
#ifndef KA_KA_MOTION_H
#define KA_KA_MOTION_H

#include "ka/ka_common.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct ka_motion ka_motion;

KA_API const char* ka_motion_last_error(void);

/* Opens the engine over `motion_dir`; threads is the models' intra-op thread count; ep NULL or ""
 * for the CPU, "coreml[:cpu|gpu|ane]" where CoreML exists. NULL on failure. */
KA_API ka_motion* ka_motion_create(const char* motion_dir, int threads, const char* ep);
KA_API void ka_motion_destroy(ka_motion* m);

/* Appends count float samples. 1, or 0 for bad arguments or after ka_motion_finish, and 0 with
 * "ka_motion_push: sample <i> is not finite (nan)" (or inf, -inf) for a push holding a NaN or
 * infinite sample, which appends nothing. */
KA_API int ka_motion_push(ka_motion* m, const float* samples, int count);
/* Ends the audio and runs every remaining window and chunk. 1, or 0 on failure. A failed finish
 * leaves the utterance failed until ka_motion_reset: push, finish, avail and pull return 0 and
 * ka_motion_total -2, each with the failure in the last-error text; no frame is handed out. */
KA_API int ka_motion_finish(ka_motion* m);
/* Frames ready to pull; runs the models on the audio pushed so far. Before ka_motion_finish frames
 * trail the audio by the look-ahead of the analysis windows and motion chunks (about 3 s at the
 * start of an utterance, unless eager advance is on). */
KA_API int ka_motion_avail(ka_motion* m);
/* Writes up to n ready frames: source index, base row and drive row (63 floats each) per frame;
 * the source walk steps once before each frame. Returns the count, 0 with "ka_motion_pull: bad
 * args" for a NULL pointer or n < 0. Runs no model but the stitching network. */
KA_API int ka_motion_pull(ka_motion* m, int* index_out, float* base_out, float* drive_out, int n);
/* Total frames after ka_motion_finish, -1 before (and for NULL), -2 after a failed finish. */
KA_API int ka_motion_total(const ka_motion* m);
/* Next utterance: clears audio, features, motion and the finish state; the source walk restarts at
 * clamp(start, 0, nt - 1), backward when direction < 0, ping-pong when wrap is 0. Returns the
 * direction sign stored, 0 for NULL. */
KA_API int ka_motion_reset(ka_motion* m, int start, int direction, int wrap);
/* Values > 0 let the engine run ahead on the audio held (zero-padded) whenever fewer frames than
 * the value are ready, so frames are ready sooner; such frames come from provisional motion that
 * later audio replaces. The motion the engine commits is the same as without eager. */
KA_API void ka_motion_set_eager(ka_motion* m, int value);
/* Source rows of the walk; 0 for NULL. */
KA_API int ka_motion_nt(const ka_motion* m);

#ifdef __cplusplus
}
#endif

#endif /* KA_KA_MOTION_H */
