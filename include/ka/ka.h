/* ka_core: the core family: bundle resolution and the library's last-error text.
 *
 * Usage:
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
 * Threads: every function here may be called from any thread. Unpacking a container is serialised
 * inside the process. The last-error text is per thread: each fallible call of this family empties
 * the calling thread's text on entry and fills it on failure; ka_last_error() returns it and never
 * returns NULL. The pointer stays valid until the next core call on the same thread.
 */
#ifndef KA_KA_H
#define KA_KA_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Rows of the host keypoint contract: 21 keypoints of (x, y, z), 63 floats, row-major. */
#define KA_HOST_KP_ROWS 21

/* This thread's last-error text of the core family; empty after a successful call. */
const char* ka_last_error(void);

/* 21. */
int ka_host_kp_rows(void);

/* Resolves a bundle path (directory or IMX container) to the directory to read it from.
 * Returns 1 with the NUL-terminated directory in `out`; -1 on failure (a NULL argument or a zero
 * size fails without a message; otherwise `out` is emptied and ka_last_error() says why). */
int ka_bundle_resolve_handle(const char* path, char* out, size_t out_size);

/* Resolves `member` (its legacy name, e.g. "M.f32"; the canonical name is found too) inside the
 * bundle at `path`. Writes the path to open into `out` and returns 1 when it can be opened for
 * reading, 0 when it cannot, -1 on failure (bad arguments, buffer too small, resolution failed). */
int ka_bundle_resolve_member(const char* path, const char* member, char* out, size_t out_size);

#ifdef __cplusplus
}
#endif

#ifdef __cplusplus
namespace ka {
constexpr int kHostKpRows = KA_HOST_KP_ROWS;
}
#endif

#endif /* KA_KA_H */
