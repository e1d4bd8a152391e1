/* ka_core: the warp prior rows family: single frames of a bundle's warp-prior video.
 *
 * Usage:
 *
 *     ka_prior* p = ka_prior_open("bundles/avatar", 2, 11);
 *     if (!p) { fprintf(stderr, "%s\n", ka_last_error()); return 1; }
 *     size_t n = (size_t)ka_prior_row_bytes(p);        // S * S * 3 * 2
 *     unsigned short* row = malloc(n);
 *     for (int si = 0; si < nt; ++si)
 *         if (!ka_prior_row(p, si, row, n)) fprintf(stderr, "%s\n", ka_last_error());
 *     // row: three planes (R, G, B) of S * S IEEE binary16 values in [0, 1]
 *     ka_prior_close(p);
 *
 * A row is one frame of the bundle's HEVC 4:4:4 prior member ("P_hevc.mov", or the name under the
 * manifest's "P_hevc"), decoded by a background look-ahead thread that runs for the life of the
 * handle. Sequential rows are served from the look-ahead; a jump costs a seek in the member.
 *
 * Threads: a handle may be used from any thread; calls on one handle are serialised inside it.
 * ka_prior_close must not race with other calls on the same handle. Failures set the calling
 * thread's last-error text of the core family (ka_last_error() in ka/ka.h) to
 * "<function>: <message>"; every call here empties it on entry. No call throws.
 */
#ifndef KA_KA_PRIOR_H
#define KA_KA_PRIOR_H

#include <stddef.h>
#include <stdint.h>

#include "ka/ka_common.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct ka_prior ka_prior;

/* Opens the prior of the bundle at `bundle_dir` (a directory or a container). A look-ahead below
 * 1 means 2; a negative history means 0. NULL on failure. */
KA_API ka_prior* ka_prior_open(const char* bundle_dir, int lookahead, int history);

/* Writes frame `si` into `out` (at least ka_prior_row_bytes bytes, `cap` says how many there
 * are). 1 on success, 0 on failure. */
KA_API int ka_prior_row(ka_prior* h, int si, void* out, size_t cap);

/* Bytes of one row (S * S * 3 * 2); 0 for NULL. */
KA_API uint64_t ka_prior_row_bytes(ka_prior* h);

/* The decoder behind the handle, e.g. "hevc444/libavcodec 59.37.100 hevc"; "" for NULL. The
 * text lives as long as the handle. */
KA_API const char* ka_prior_backend(ka_prior* h);

/* Stops the look-ahead thread and frees everything; NULL accepted. */
KA_API void ka_prior_close(ka_prior* h);

#ifdef __cplusplus
}
#endif

#endif /* KA_KA_PRIOR_H */
