/* ka_core: the tessera family: a bundle's teeth-borrow members (reference bank track and sidecar,
 * blend head weights and configuration), whether the bundle is armed for the borrow, and the
 * cross-checked record a borrow is attached from.
 *
 * Usage:
 *
 *     ka_tessera_carriage* c = ka_tessera_carriage_open("bundles/avatar");
 *     if (c && !ka_tessera_carriage_complete(c))
 *         for (int i = 0; i < ka_tessera_carriage_missing_count(c); ++i)
 *             fprintf(stderr, "missing %s\n", ka_tessera_carriage_missing(c, i));
 *     ka_tessera_carriage_close(c);
 *
 *     char err[1024];
 *     ka_tessera_members* m = ka_tessera_members_open("bundles/avatar", err, sizeof err);
 *     if (!m) { fprintf(stderr, "%s\n", err); return 1; }
 *     uint8_t* bank = malloc((size_t)ka_tessera_members_band_bytes(m));
 *     // decode ka_tessera_members_bank_track_path(m) into `track` (one frame per donor, each
 *     // band_w x band_h RGB24), then put the frames into donor order:
 *     if (ka_tessera_members_reorder(m, track, bank, err, sizeof err)) fprintf(stderr, "%s\n", err);
 *     ka_tessera_members_close(m);
 *
 *     // a whole sequence through the teeth pass, offline:
 *     if (ka_tessera_run(bank, n, cent, c_canon, aperture, stamp, head_pt, head_pt_len, head_json,
 *                        frames, masks, count, windows, skipped, err, sizeof err))
 *         fprintf(stderr, "%s\n", err);
 *
 * The borrow is armed only when all four members are present; any missing member refuses it.
 *
 * Errors: functions that can fail write their message into the caller's buffer `err` (at most
 * err_len - 1 bytes and a terminating zero; nothing is written when err is NULL or err_len < 1)
 * and return NULL or 1. No call throws.
 *
 * Threads: the slot functions may be called from any thread. A handle may be used by one thread at
 * a time; different handles may be used concurrently. Returned strings and arrays belong to the
 * handle and stay valid until it is closed (a carriage path until the next call on the handle).
 */
#ifndef KA_KA_TESSERA_H
#define KA_KA_TESSERA_H

#include <stdint.h>

#include "ka/ka_common.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct ka_tessera_carriage ka_tessera_carriage;
typedef struct ka_tessera_members ka_tessera_members;

/* The member slots: 4, keyed "bank_track", "bank_sidecar", "head_weights", "head_config". */
KA_API int ka_tessera_slot_count(void);
/* The slot key at `index`, or NULL outside [0, 4). */
KA_API const char* ka_tessera_slot_key(int index);

/* The carriage of the bundle at `bundle_dir` (a directory or a container). NULL for a NULL path or
 * when out of memory; a carriage that cannot be read at all is returned not complete, not
 * declared, with default names and no paths. */
KA_API ka_tessera_carriage* ka_tessera_carriage_open(const char* bundle_dir);
KA_API void ka_tessera_carriage_close(ka_tessera_carriage* c);
/* 1 when all four members are present (the borrow is armed), else 0. */
KA_API int ka_tessera_carriage_complete(const ka_tessera_carriage* c);
/* 1 when the manifest declares a `tessera` block, else 0. */
KA_API int ka_tessera_carriage_declared(const ka_tessera_carriage* c);
/* The resolved path of slot `slot_key`; "" for NULL arguments or an unknown slot. */
KA_API const char* ka_tessera_carriage_path(ka_tessera_carriage* c, const char* slot_key);
KA_API int ka_tessera_carriage_missing_count(const ka_tessera_carriage* c);
/* The index-th missing slot key, or NULL. */
KA_API const char* ka_tessera_carriage_missing(const ka_tessera_carriage* c, int index);

/* Reads and cross-checks the four members; NULL with the reason in `err` on failure. */
KA_API ka_tessera_members* ka_tessera_members_open(const char* bundle_dir, char* err, int err_len);
KA_API void ka_tessera_members_close(ka_tessera_members* m);
KA_API int ka_tessera_members_n_donors(const ka_tessera_members* m);
/* 2 * n_donors doubles (x, y per donor); NULL if empty. */
KA_API const double* ka_tessera_members_cent(const ka_tessera_members* m);
/* 2 doubles; NULL for NULL. */
KA_API const double* ka_tessera_members_c_canon(const ka_tessera_members* m);
/* n_donors doubles; NULL if empty. */
KA_API const double* ka_tessera_members_aperture(const ka_tessera_members* m);
/* The 12 geometry stamp ints (canvas_w, canvas_h, window_x0, window_y0, window_w, window_h, pad,
 * band_r0, band_r1, band_c0, band_c1, shift_margin); NULL for NULL. */
KA_API const int* ka_tessera_members_stamp(const ka_tessera_members* m);
/* The head weights file's bytes; NULL if empty. */
KA_API const uint8_t* ka_tessera_members_head_pt(const ka_tessera_members* m);
KA_API int ka_tessera_members_head_pt_len(const ka_tessera_members* m);
/* Texts; "" for NULL. */
KA_API const char* ka_tessera_members_head_json(const ka_tessera_members* m);
KA_API const char* ka_tessera_members_manifest_json(const ka_tessera_members* m);
KA_API const char* ka_tessera_members_bank_track_path(const ka_tessera_members* m);
KA_API const char* ka_tessera_members_bank_container(const ka_tessera_members* m);
KA_API const char* ka_tessera_members_bank_codec(const ka_tessera_members* m);
KA_API const char* ka_tessera_members_bank_pix_fmt(const ka_tessera_members* m);
KA_API const char* ka_tessera_members_bank_packing(const ka_tessera_members* m);
/* The stored patch size of one donor; 0 for NULL. */
KA_API int ka_tessera_members_band_w(const ka_tessera_members* m);
KA_API int ka_tessera_members_band_h(const ka_tessera_members* m);
/* band_h * n_donors * band_w * 3: the bytes of the decoded bank; 0 for NULL. */
KA_API int64_t ka_tessera_members_band_bytes(const ka_tessera_members* m);
/* Copies the bank from track order (`track`, band_bytes bytes) into donor order (`out`, as many).
 * 0 on success, 1 with the reason in `err`. */
KA_API int ka_tessera_members_reorder(const ka_tessera_members* m, const uint8_t* track, uint8_t* out, char* err,
                                      int err_len);

/* Runs the teeth pass over a whole sequence. bank: the donor-ordered bank (n_donors patches of
 * stored_h x stored_w RGB, sizes from the stamp's band and shift margin); cent: 2 * n_donors
 * doubles; c_canon: 2; aperture: n_donors; stamp: the 12 geometry ints; head_pt / head_pt_len: the
 * head weights file; head_json: its configuration text; frames: count canvases of RGB bytes; masks:
 * count canvases of mask bytes; shifts: two ints (dy, dx) per frame, a first value of -10000
 * deriving that frame's shift from its mask. out_windows receives count windows of
 * window_w x window_h RGB bytes (a skipped frame's window is left as it was) and out_skipped one
 * flag per frame (1 when the frame could not be borrowed). 0 on success, 1 with the reason in
 * `err` ("teeth: emitted <k> of <n> frames" when results went missing). */
KA_API int ka_tessera_run_shift(const uint8_t* bank, int n_donors, const double* cent, const double* c_canon,
                                const double* aperture, const int* stamp, const uint8_t* head_pt, int head_pt_len,
                                const char* head_json, const uint8_t* frames, const uint8_t* masks, const int* shifts,
                                int count, uint8_t* out_windows, int* out_skipped, char* err, int err_len);
/* As ka_tessera_run_shift with every shift derived from its mask. */
KA_API int ka_tessera_run(const uint8_t* bank, int n_donors, const double* cent, const double* c_canon,
                          const double* aperture, const int* stamp, const uint8_t* head_pt, int head_pt_len,
                          const char* head_json, const uint8_t* frames, const uint8_t* masks, int count,
                          uint8_t* out_windows, int* out_skipped, char* err, int err_len);

#ifdef __cplusplus
}
#endif

#endif /* KA_KA_TESSERA_H */
