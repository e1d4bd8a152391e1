/* The avatar speaking in real time: a loop that pushes a WAV file into an utterance session in
 * 20 ms chunks, as a microphone would deliver it, and pulls one frame every 40 ms, as a display
 * would show it. Idle frames (the avatar's own video) play before and after the speech.
 *
 *     realtime_utt BUNDLE MODEL_DIR SPEECH.wav OUT.rgb [MODEL_KEY]
 *
 * BUNDLE is a bundle directory or .imx container; MODEL_DIR the audio model directory: a motion
 * directory, or a bundle carrying the expression stream (then $W2V_ONNX names the audio encoder);
 * SPEECH.wav is 16-bit PCM mono at 16 kHz (see wav.h); MODEL_KEY selects the director model
 * "model_" MODEL_KEY ".onnx" (default "b1"). Writes every pulled frame (width x height x 3 RGB
 * bytes) to OUT.rgb and prints one line per frame kind.
 *
 * Build against an installed ka_core:
 *     cc realtime_utt.c $(pkg-config --cflags --libs ka_core) -o realtime_utt
 * or with CMake: find_package(ka_core) and link ka_core::ka_core (see CMakeLists.txt here).
 */
#define _POSIX_C_SOURCE 200809L
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include <ka/ka.h>
#include <ka/ka_utt.h>

#include "wav.h"

enum { CHUNK = 320, TICK_NS = 20 * 1000 * 1000 }; /* 20 ms of 16 kHz audio; the loop's period */

/* Sleeps until `t` advanced by one tick. */
static void next_tick(struct timespec* t) {
  t->tv_nsec += TICK_NS;
  if (t->tv_nsec >= 1000000000L) {
    t->tv_nsec -= 1000000000L;
    t->tv_sec += 1;
  }
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, t, NULL) != 0) {
  }
}

static int run(ka_ctx* ctx, ka_utt* u, const int16_t* pcm, int count, FILE* out) {
  const size_t bytes = (size_t)ka_width(ctx) * (size_t)ka_height(ctx) * 3;
  int pushed = 0, ended = 0, speech_seen = 0, counts[3] = {0, 0, 0}, status = 1;
  /* Warm-up (at most a minute), then the audio and at most a minute for the session to speak it
   * and ramp back. */
  if (ka_utt_wait_ready(u, 60 * 1000) != 1) {
    fprintf(stderr, "the session did not get ready: %s\n", ka_utt_last_error());
    return 1;
  }
  const long ticks = count / CHUNK + 50L * 60;
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  for (long tick = 0; tick < ticks; ++tick, next_tick(&t)) {
    /* The microphone: 20 ms per tick, then the end of the utterance (600 ms of silence would end
     * it too). */
    if (pushed < count) {
      const int n = count - pushed < CHUNK ? count - pushed : CHUNK;
      if (!ka_utt_push_audio(u, pcm + pushed, n)) {
        fprintf(stderr, "push: %s\n", ka_utt_last_error());
        break;
      }
      pushed += n;
      if (pushed == count) ended = ka_utt_end_utterance(u);
    }
    /* The display: one frame every other tick, waited for up to 10 ms (a host would show the
     * last one again otherwise), read in place from the slot the session lends. */
    if (tick % 2 != 0) continue;
    const int waited = ka_utt_wait_frame(u, 10);
    if (waited < 0) {
      fprintf(stderr, "the session failed: %s\n", ka_utt_last_error());
      break;
    }
    ka_utt_frame_info info;
    const unsigned char* pixels = NULL;
    if (waited == 1 && ka_utt_frame_acquire(u, &pixels, &info) == 1) {
      const size_t written = fwrite(pixels, 1, bytes, out);
      ka_utt_frame_release(u);
      if (written != bytes) {
        fprintf(stderr, "write failed\n");
        break;
      }
      if (info.kind >= 0 && info.kind <= 2) ++counts[info.kind];
      if (info.kind == KA_UTT_SPEECH) speech_seen = 1;
      if (ended && speech_seen && info.kind == KA_UTT_IDLE) { /* spoken, ramped, idle again */
        status = 0;
        break;
      }
    }
  }
  if (status == 0) {
    ka_utt_stats st;
    if (ka_utt_get_stats(u, &st))
      printf("first speech frame %.1f ms after the first push\n", st.first_frame_latency_ms);
    printf("idle frames %d\nspeech frames %d\nramp frames %d\n", counts[KA_UTT_IDLE], counts[KA_UTT_SPEECH],
           counts[KA_UTT_RAMP]);
  } else if (!speech_seen || !ended) {
    fprintf(stderr, "the utterance was not spoken in time\n");
  }
  return status;
}

int main(int argc, char** argv) {
  if (argc < 5) {
    fprintf(stderr, "usage: %s BUNDLE MODEL_DIR SPEECH.wav OUT.rgb [MODEL_KEY]\n", argv[0]);
    return 2;
  }
  int16_t* pcm;
  int count;
  if (!wav_read(argv[3], &pcm, &count)) return 1;
  /* The context renders and pastes; while the session lives, the session owns it. */
  ka_ctx* ctx = ka_create(argv[1], argc > 5 ? argv[5] : "b1", 0, NULL);
  if (!ctx) {
    fprintf(stderr, "ka_create failed: %s\n", ka_last_error());
    free(pcm);
    return 1;
  }
  ka_utt* u = ka_utt_open(ctx, argv[2]);
  FILE* out = u ? fopen(argv[4], "wb") : NULL;
  int status = 1;
  if (!u)
    fprintf(stderr, "ka_utt_open failed: %s\n", ka_utt_last_error());
  else if (!out)
    fprintf(stderr, "cannot create %s\n", argv[4]);
  else
    status = run(ctx, u, pcm, count, out);
  if (out && fclose(out) != 0) status = 1;
  ka_utt_destroy(u); /* joins the session's threads; before the context goes */
  ka_destroy(ctx);
  free(pcm);
  return status;
}
