/* Renders a bundle's idle loop to PNG frames: the smallest complete ka_core host.
 *
 *     idle_loop_png BUNDLE OUT_DIR [MODEL_KEY [FRAMES]]
 *
 * BUNDLE is a bundle directory or an .imx container; MODEL_KEY selects the director model member
 * "model_" MODEL_KEY ".onnx" (default "b1"); FRAMES limits the number of frames (default: the whole
 * driving table). Writes OUT_DIR/frame_000000.png ... and prints one line per frame.
 *
 * Build against an installed ka_core:
 *     cc idle_loop_png.c $(pkg-config --cflags --libs ka_core) -lm -o idle_loop_png
 * or with CMake: find_package(ka_core) and link ka_core::ka_core (see CMakeLists.txt here).
 * PNG writing uses stb_image_write (Debian: libstb-dev).
 */
#include <stdio.h>
#include <stdlib.h>

#include <ka/ka.h>

#define STB_IMAGE_WRITE_IMPLEMENTATION
#define STB_IMAGE_WRITE_STATIC
#include <stb/stb_image_write.h>

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: %s BUNDLE OUT_DIR [MODEL_KEY [FRAMES]]\n", argv[0]);
    return 2;
  }
  const char* bundle = argv[1];
  const char* out_dir = argv[2];
  const char* key = argc > 3 ? argv[3] : "b1";

  /* 0 threads: the library sizes its own worker pool; NULL provider: the CPU. */
  ka_ctx* ctx = ka_create(bundle, key, 0, NULL);
  if (!ctx) {
    fprintf(stderr, "ka_create failed: %s\n", ka_last_error());
    return 1;
  }
  const int w = ka_width(ctx), h = ka_height(ctx);
  int frames = ka_drive_frames(ctx);
  if (argc > 4 && atoi(argv[4]) < frames) frames = atoi(argv[4]);

  /* One RGBA frame buffer for the whole loop: W * H * 4 bytes, alpha 255. */
  const size_t size = (size_t)w * (size_t)h * 4;
  unsigned char* rgba = malloc(size);
  int status = rgba ? 0 : 1;
  for (int i = 0; status == 0 && i < frames; ++i) {
    /* Row i of the driving table: the face crop rendered from its keypoints, pasted onto the
     * row's background frame. */
    if (!ka_render_drive_rgba(ctx, i, rgba, size)) {
      fprintf(stderr, "frame %d: %s\n", i, ka_last_error());
      status = 1;
      break;
    }
    char path[4096];
    snprintf(path, sizeof path, "%s/frame_%06d.png", out_dir, i);
    if (!stbi_write_png(path, w, h, 4, rgba, w * 4)) {
      fprintf(stderr, "cannot write %s\n", path);
      status = 1;
      break;
    }
    printf("%s\n", path);
  }
  free(rgba);
  ka_destroy(ctx);
  return status;
}
