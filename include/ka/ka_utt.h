/* ka_core: the utterance session family: the real-time driver. The host pushes speech as it
 * arrives and pulls finished full-size RGB frames of the avatar, one per 40 ms of audio; idle
 * frames (the avatar's own video) play when nobody speaks, and a short ramp brings the face back
 * to the video's pose after speech.
 *
 * Usage (one pushing thread, one pulling thread; `ctx` from ka_create):
 *
 *     ka_utt* u = ka_utt_open(ctx, "bundles/avatar");        // motion / expression model directory
 *     if (!u) { fprintf(stderr, "%s\n", ka_utt_last_error()); return 1; }
 *     if (ka_utt_wait_ready(u, 60000) != 1) return 1;        // 255: failed, ka_utt_last_error() says why
 *
 *     // pushing thread, 20 ms at a time:
 *     ka_utt_push_audio(u, pcm16, 320);
 *     ...
 *     ka_utt_end_utterance(u);                                // or let 600 ms of silence end it
 *
 *     // pulling thread, as frames come (or ka_utt_frame_acquire / _release without a copy):
 *     size_t n = (size_t)ka_width(ctx) * ka_height(ctx) * 3;
 *     unsigned char* rgb = malloc(n);
 *     ka_utt_frame_info info;
 *     if (ka_utt_wait_frame(u, 100) == 1 && ka_utt_pull_frame(u, rgb, n, &info) == 1)
 *         show(rgb, info.kind);                               // KA_UTT_IDLE / _SPEECH / _RAMP
 *
 *     ka_utt_interrupt(u);                                    // barge-in: unpulled frames dropped
 *     ka_utt_destroy(u);                                      // before ka_destroy(ctx)
 *
 * Threads: every call may come from any thread, and different threads may push, pull, end and
 * interrupt at the same time. The host calls take the session's lock briefly and never run a
 * model; the session renders on its own threads (render loop, warm-up, model worker and an
 * optional paste stage), all joined by ka_utt_destroy. ka_utt_destroy must not overlap another
 * call on the same session. While a session lives, its context belongs to it: the host must not
 * render, paste or read frames through the context itself. The last-error text is per thread:
 * each fallible call empties the calling thread's text on entry and fills it on failure;
 * ka_utt_last_error() returns it and never returns NULL.
 */
#ifndef KA_KA_UTT_H
#define KA_KA_UTT_H

#include <stddef.h>
#include <stdint.h>

#include "ka/ka.h"
#include "ka/ka_common.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct ka_utt ka_utt;

/* Session options; zero / NULL fields take the defaults. */
typedef struct ka_utt_opts {
  const char* motion_dir;    /* required: the audio model directory. When it carries
                                "a2x_enc_stream.onnx" the engine is the audio-to-expression
                                stream, otherwise the audio-to-motion engine */
  int threads;               /* model threads; < 1: the context's thread count */
  const char* engine_opt;    /* handed to the audio-to-motion engine's create call; NULL: "" */
  const char* steady_model;  /* batched chunk renderer model; NULL/"": "b24_fp32", "-": none
                                ($KA_STEADY_MODEL overrides) */
  int hybrid;                /* -2: hybrid on; < 1: $KA_UTT_HYBRID decides; >= 1: hybrid off
                                with this fixed eager value */
  double silence_timeout_s;  /* an utterance ends this long after its last push; 0: 0.6 s,
                                negative: never */
  int end_ramp_frames;       /* ramp after an utterance ends; < 1: 6 */
  int interrupt_ramp_frames; /* ramp after an interrupt; < 1: 4 */
} ka_utt_opts;

enum { KA_UTT_IDLE = 0, KA_UTT_SPEECH = 1, KA_UTT_RAMP = 2 };

/* What ka_utt_pull_frame delivered. */
typedef struct ka_utt_frame_info {
  uint64_t seq;         /* delivered frames count from 0 */
  int32_t kind;         /* KA_UTT_IDLE, KA_UTT_SPEECH or KA_UTT_RAMP */
  int32_t target;       /* source frame index shown */
  int32_t speech_frame; /* frame number within the utterance; -1 for idle frames */
} ka_utt_frame_info;

typedef struct ka_utt_stats {
  uint64_t frames_pulled; /* by the host */
  uint64_t speech_frames_pulled;
  uint64_t utterances;           /* utterances whose first speech frame was composed */
  double first_frame_latency_ms; /* the latest such utterance: first push to first frame */
  double render_ms;              /* smoothed render time per frame */
  int32_t mode;                  /* 0 idle, 1 utterance started, 2 speaking, 3 ramping */
} ka_utt_stats;

/* This thread's last-error text of the family; empty after a successful call. */
KA_API const char* ka_utt_last_error(void);

/* Starts a session on `ctx` (which must outlive it). NULL on failure. */
KA_API ka_utt* ka_utt_create(ka_ctx* ctx, const ka_utt_opts* opts);
/* ka_utt_create with default options. */
KA_API ka_utt* ka_utt_open(ka_ctx* ctx, const char* motion_dir);
/* Stops and joins the session's threads and frees it (NULL allowed). */
KA_API void ka_utt_destroy(ka_utt* utt);

/* 1 once the engine is loaded; 0 while warming up; 255 after a recorded failure (its message in
 * ka_utt_last_error()); -1 for NULL. */
KA_API int ka_utt_ready(ka_utt* utt);

/* Appends count 16-bit samples (16 kHz mono). count 0 only marks the speaker as still talking.
 * 1, or 0 for bad arguments. */
KA_API int ka_utt_push_audio(ka_utt* utt, const int16_t* samples, int count);
/* The utterance ends when the audio pushed so far has been spoken. 1, or 0 for NULL. */
KA_API int ka_utt_end_utterance(ka_utt* utt);
/* Drops the audio not yet used and every frame not yet pulled; the face ramps back to the idle
 * pose when the last pulled frame was speech. 1, or 0 for NULL. */
KA_API int ka_utt_interrupt(ka_utt* utt);

/* Frames waiting to be pulled (0 for NULL). */
KA_API int ka_utt_frames_available(ka_utt* utt);
/* Copies the oldest waiting frame (width x height x 3 bytes) into dst and fills info (may be
 * NULL). 1 when a frame was pulled; 0 when none waits, on bad arguments, or when capacity is too
 * small (the frame stays queued). */
KA_API int ka_utt_pull_frame(ka_utt* utt, unsigned char* dst, size_t capacity, ka_utt_frame_info* info);

/* Waits up to timeout_ms (< 0: without limit; 0: only looks) until a frame waits. 1 when one
 * does; 0 on timeout; -1 for NULL or when the session failed for good (the engine did not load)
 * and no frame waits, with the text in ka_utt_last_error(). */
KA_API int ka_utt_wait_frame(ka_utt* utt, int timeout_ms);
/* ka_utt_ready, waiting up to timeout_ms (< 0: without limit) while it would return 0. */
KA_API int ka_utt_wait_ready(ka_utt* utt, int timeout_ms);
/* Zero-copy pull: lends the oldest waiting frame's slot. *pixels points at its width x height x 3
 * bytes and info (may be NULL) is filled; the frame counts as pulled. The bytes stay valid and
 * unchanged until ka_utt_frame_release (an interrupt does not touch them) or ka_utt_destroy. One
 * slot is lent at a time; while it is lent the ring holds one frame fewer. 1 when a slot was
 * lent; 0 when none waits, on bad arguments, or while a slot is already lent (*pixels NULL). */
KA_API int ka_utt_frame_acquire(ka_utt* utt, const unsigned char** pixels, ka_utt_frame_info* info);
/* Returns the slot lent by ka_utt_frame_acquire. 1, or 0 for NULL or when none is lent. */
KA_API int ka_utt_frame_release(ka_utt* utt);

/* Copies the statistics. 1, or 0 for bad arguments. */
KA_API int ka_utt_get_stats(ka_utt* utt, ka_utt_stats* out);
/* The recorded render failure: *stage points at its stage name (static text, "" without one:
 * "engine load", "director load", "warm-up", "engine", "render", "b24 chunk", "ramp" or "paste"),
 * msg receives its message (at most len - 1 bytes, terminated). -1 when a failure is recorded,
 * else 0. Only "engine load" is fatal: the other failures cost a frame, and the session goes on. */
KA_API int ka_utt_render_status(ka_utt* utt, char* msg, int len, const char** stage);

/* Teeth borrow: attaches a borrow built from the tessera members (ka/ka_tessera.h exposes each
 * argument: the donor-ordered bank, n_donors, cent, c_canon, aperture, the 12 stamp ints, the head
 * weights file and its configuration, the manifest text); from then on every speech frame passes
 * through it. Replaces an earlier borrow. 0 on success; 1 with the reason in err (at most
 * err_len - 1 bytes and a terminating zero; nothing written for a NULL err or err_len < 1). */
KA_API int ka_utt_tessera_attach(ka_utt* utt, const uint8_t* bank, int n_donors, const double* cent,
                                 const double* c_canon, const double* aperture, const int* stamp,
                                 const uint8_t* head_pt, int head_pt_len, const char* head_json,
                                 const char* manifest_json, char* err, int err_len);
/* Teeth borrow from an installed library: reads the tessera members of the bundle at `bundle_dir`
 * (ka/ka_tessera.h), decodes the reference bank track, puts it into donor order and attaches the
 * borrow as ka_utt_tessera_attach does. 0 on success; 1 with the reason in err, as above. */
KA_API int ka_utt_tessera_attach_bundle(ka_utt* utt, const char* bundle_dir, char* err, int err_len);
/* 0 without a borrow; else the frames emitted through it, its failures and its last message
 * (at most len - 1 bytes), and 1, or 255 once the borrow has failed. */
KA_API int ka_utt_tessera_stats(ka_utt* utt, uint64_t* emitted, uint64_t* failures, char* msg, int len);
/* 1 with the mean, last value and count of the blend's leading share once the borrow recorded
 * one; else 0. */
KA_API int ka_utt_tessera_synth_w(ka_utt* utt, double* mean, double* last, uint64_t* count);
/* Copies the attached borrow's geometry stamp text ("" without one); 1 with a borrow, 0 without
 * one, for a NULL session or dst, or len < 1. */
KA_API int ka_utt_tessera_geometry(ka_utt* utt, char* dst, int len);

#ifdef __cplusplus
}
#endif

#endif /* KA_KA_UTT_H */
