/* Renders the avatar speaking a WAV file, offline: every frame of the clip through ka_stream.
 *
 *     offline_clip BUNDLE W2V_ONNX SPEECH.wav OUT.rgb
 *
 * BUNDLE is a bundle directory or .imx container carrying the offline director "model_render.onnx"
 * and "fca_stream.onnx"; W2V_ONNX is the audio encoder; SPEECH.wav is 16-bit PCM mono at 16 kHz
 * (see wav.h). Writes the frames (25 per second, width x height x 3 RGB bytes each) one after the
 * other to OUT.rgb and prints how to encode them with the speech:
 *     ffmpeg -f rawvideo -pix_fmt rgb24 -s WxH -r 25 -i OUT.rgb -i SPEECH.wav -shortest clip.mp4
 *
 * Build against an installed ka_core:
 *     cc offline_clip.c $(pkg-config --cflags --libs ka_core) -o offline_clip
 * or with CMake: find_package(ka_core) and link ka_core::ka_core (see CMakeLists.txt here).
 */
#include <stdio.h>
#include <stdlib.h>

#include <ka/ka_stream.h>

#include "wav.h"

typedef struct {
    FILE* out;
    int failed;
} Output;

/* Called in order on the thread that runs ka_stream_run; rgb is valid during the call only. */
static void on_frame(void* user, int frame, const unsigned char* rgb, int width, int height) {
    Output* o = user;
    const size_t bytes = (size_t)width * (size_t)height * 3;
    if (!o->failed && fwrite(rgb, 1, bytes, o->out) != bytes) {
        fprintf(stderr, "frame %d: write failed\n", frame);
        o->failed = 1;
    }
}

int main(int argc, char** argv) {
    if (argc != 5) {
        fprintf(stderr, "usage: %s BUNDLE W2V_ONNX SPEECH.wav OUT.rgb\n", argv[0]);
        return 2;
    }
    int16_t* pcm16;
    int count;
    if (!wav_read(argv[3], &pcm16, &count)) return 1;

    /* The stream takes float samples in [-1, 1]. */
    float* pcm = malloc(sizeof(float) * (size_t)(count > 0 ? count : 1));
    if (!pcm) return 1;
    for (int i = 0; i < count; ++i) pcm[i] = (float)pcm16[i] / 32768.0f;
    free(pcm16);

    /* 0 threads: the worker pool's size; skip no frames; expression deltas at full scale. */
    ka_stream* s = ka_stream_create(argv[1], argv[2], 0, 0, 1.0f);
    if (!s) {
        fprintf(stderr, "ka_stream_create failed: %s\n", ka_stream_last_error());
        free(pcm);
        return 1;
    }
    Output o = {fopen(argv[4], "wb"), 0};
    int status = 1;
    if (!o.out) {
        fprintf(stderr, "cannot create %s\n", argv[4]);
    } else {
        const int frames = ka_stream_run(s, pcm, count, on_frame, &o);
        const int expected = (count + 639) / 640;
        if (frames != expected)  /* the frames before a failure were still delivered */
            fprintf(stderr, "%d of %d frames: %s\n", frames < 0 ? 0 : frames, expected, ka_stream_last_error());
        if (fclose(o.out) != 0) o.failed = 1;
        if (frames == expected && !o.failed) {
            printf("%d frames of %dx%d written to %s\n", frames, ka_stream_width(s), ka_stream_height(s), argv[4]);
            printf("ffmpeg -f rawvideo -pix_fmt rgb24 -s %dx%d -r 25 -i %s -i %s -shortest clip.mp4\n",
                   ka_stream_width(s), ka_stream_height(s), argv[4], argv[3]);
            status = 0;
        }
    }
    ka_stream_destroy(s);
    free(pcm);
    return status;
}
