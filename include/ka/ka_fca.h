/* ka_core: the FCA family: expression deltas for a whole audio clip at once.
 *
 * Usage:
 *
 *     ka_fca* f = ka_fca_create("models/w2v.onnx", "bundles/avatar/fca_stream.onnx", 0);
 *     if (!f) { fprintf(stderr, "%s\n", ka_fca_last_error()); return 1; }
 *     int frames = (n + 639) / 640;                  // n float samples, 16 kHz mono
 *     float* deltas = malloc((size_t)frames * 63 * sizeof(float));
 *     if (ka_fca_deltas(f, pcm, n, deltas, frames) != frames) fprintf(stderr, "%s\n", ka_fca_last_error());
 *     ka_fca_destroy(f);
 *
 * Threads: an engine is used by one thread at a time; different engines may run at once. The
 * last-error text is per thread: each fallible call empties it on entry and fills it on failure;
 * ka_fca_last_error() returns it and never returns NULL.
 */
#ifndef KA_KA_FCA_H
#define KA_KA_FCA_H

#include "ka/ka_common.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct ka_fca ka_fca;

KA_API const char* ka_fca_last_error(void);

/* Opens the audio encoder at `w2v_path` and the FCA model at `fca_path`; threads < 1 lets ONNX
 * Runtime choose; a count above 4 x the hardware threads is lowered to that, with one line on
 * standard error. NULL on failure. */
KA_API ka_fca* ka_fca_create(const char* w2v_path, const char* fca_path, int threads);
KA_API void ka_fca_destroy(ka_fca* f);

/* Writes (count + 639) / 640 rows of 63 floats to out and returns that count; 0 for count <= 0;
 * -1 without a message when max is smaller (nothing written); another negative value with the
 * last-error text set when a model fails or a sample is NaN or infinite ("ka_fca_deltas: sample <i>
 * is not finite (nan)"; the engine stays usable). */
KA_API int ka_fca_deltas(ka_fca* f, const float* samples, int count, float* out, int max);

#ifdef __cplusplus
}
#endif

#endif /* KA_KA_FCA_H */
