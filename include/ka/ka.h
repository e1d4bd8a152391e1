/* ka_core: the core family: the rendering context, bundle resolution and the library's
 * last-error text.
 *
 * Usage (render the bundle's idle loop and paste it onto the background frames):
 *
 *     ka_ctx* ctx = ka_create("bundles/avatar.imx", "b1", 0, NULL);   // model member "model_b1.onnx"
 *     if (!ctx) { fprintf(stderr, "%s\n", ka_last_error()); return 1; }
 *     size_t n = (size_t)ka_width(ctx) * ka_height(ctx) * 4;
 *     unsigned char* rgba = malloc(n);
 *     for (int i = 0; i < ka_drive_frames(ctx); ++i)
 *         if (!ka_render_drive_rgba(ctx, i, rgba, n)) fprintf(stderr, "%s\n", ka_last_error());
 *     free(rgba);
 *     ka_destroy(ctx);
 *
 * Resolving a bundle without opening it:
 *
 *     char dir[4096];
 *     if (ka_bundle_resolve_handle("bundles/avatar.imx", dir, sizeof dir) != 1) {
 *         fprintf(stderr, "%s\n", ka_last_error());
 *         return 1;
 *     }
 *     char path[4096];
 *     int found = ka_bundle_resolve_member(dir, "M.f32", path, sizeof path);
 *     // found == 1: `path` can be opened; 0: `path` is where the member would be; -1: failure.
 *
 * A bundle is a directory holding "manifest.json" and its members, or an IMX version 2 container
 * file that is unpacked once into a directory beside it (or under $KA_IMX_UNWRAP_ROOT) and reused
 * until the container changes.
 *
 * Threads: a context is used by one thread at a time (it has no lock of its own); different
 * contexts are independent. The resolution calls may be called from any thread; unpacking a
 * container is serialised inside the process. The last-error text is per thread: each fallible call of this family
 * empties the calling thread's text on entry and fills it on failure; ka_last_error() returns it and never returns
 * NULL. The pointer stays valid until the next core call on the same thread.
 */
#ifndef KA_KA_H
#define KA_KA_H

#include <stddef.h>

#include "ka/ka_common.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct ka_ctx ka_ctx;

/* Rows of the host keypoint contract: 21 keypoints of (x, y, z), 63 floats, row-major. */
#define KA_HOST_KP_ROWS 21

/* This thread's last-error text of the core family; empty after a successful call. */
KA_API const char* ka_last_error(void);

/* 21. */
KA_API int ka_host_kp_rows(void);

/* Opens the bundle at `bundle_dir` (directory or container) with the director model
 * "model_" + model_key + ".onnx". threads < 1 takes the worker pool's size; ep: NULL or "" for the
 * CPU, "coreml[:cpu|gpu|ane]" (falls back to the CPU where CoreML is absent). NULL on failure. */
KA_API ka_ctx* ka_create(const char* bundle_dir, const char* model_key, int threads, const char* ep);
/* Frees the context (NULL allowed). */
KA_API void ka_destroy(ka_ctx* ctx);

/* Manifest figures; 0 for a NULL context. */
KA_API int ka_nt(const ka_ctx* ctx);           /* source frames */
KA_API int ka_width(const ka_ctx* ctx);        /* full frame width */
KA_API int ka_height(const ka_ctx* ctx);       /* full frame height */
KA_API int ka_crop(const ka_ctx* ctx);         /* face crop side */
KA_API int ka_drive_frames(const ka_ctx* ctx); /* rows of the idle loop's driving table */

/* Renders the face crop of source frame si (0 <= si < ka_nt) from 63 source and 63 driving
 * keypoint floats. Returns 3 planes of crop x crop floats in 0..1, owned by the context and valid
 * until its next render; NULL on failure. */
KA_API const float* ka_render_kp_crop(ka_ctx* ctx, int si, const float* kp_source, const float* kp_driving);
/* As ka_render_kp_crop for row i of the driving table. */
KA_API const float* ka_render_drive_crop(ka_ctx* ctx, int i);

/* Background frame si with `crop` pasted onto it, written to out (W * H * 3 bytes). 1 or 0. */
KA_API int ka_paste_crop(ka_ctx* ctx, int si, const float* crop, unsigned char* out, size_t out_size);
/* The last rendered crop pasted onto background frame si; the frame is owned by the context and
 * valid until its next paste. NULL on failure. */
KA_API const unsigned char* ka_paste_last(ka_ctx* ctx, int si);
/* Render and paste in one call, as RGBA (alpha 255) into out (W * H * 4 bytes). 1 or 0. */
KA_API int ka_render_kp_rgba(ka_ctx* ctx, int si, const float* kp_source, const float* kp_driving, unsigned char* out,
                             size_t out_size);
KA_API int ka_render_drive_rgba(ka_ctx* ctx, int i, unsigned char* out, size_t out_size);
/* Background frame si as RGB, valid until the context's cursor delivers its next frame. */
KA_API const unsigned char* ka_target_frame(ka_ctx* ctx, int si);

/* Resolves a bundle path (directory or IMX container) to the directory to read it from.
 * Returns 1 with the NUL-terminated directory in `out`; -1 on failure (a NULL argument or a zero
 * size fails without a message; otherwise `out` is emptied and ka_last_error() says why). */
KA_API int ka_bundle_resolve_handle(const char* path, char* out, size_t out_size);

/* Resolves `member` (its legacy name, e.g. "M.f32"; the canonical name is found too) inside the
 * bundle at `path`. Writes the path to open into `out` and returns 1 when it can be opened for
 * reading, 0 when it cannot, -1 on failure (bad arguments, buffer too small, resolution failed). */
KA_API int ka_bundle_resolve_member(const char* path, const char* member, char* out, size_t out_size);

#ifdef __cplusplus
}
#endif

#ifdef __cplusplus
namespace ka {
constexpr int kHostKpRows = KA_HOST_KP_ROWS;
}
#endif

#endif /* KA_KA_H */
