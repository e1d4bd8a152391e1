/* The C side of the Python binding tests: makes the same calls the tests make through Python and
 * writes the raw bytes each returns, so the two can be compared byte for byte.
 *     ka_python_reference BUNDLE PRIOR_BUNDLE OUT_DIR */
#include <stdio.h>
#include <stdlib.h>

#include "ka/ka.h"
#include "ka/ka_prior.h"

static int save(const char* dir, const char* name, const void* data, size_t n) {
  char path[4096];
  snprintf(path, sizeof path, "%s/%s", dir, name);
  FILE* f = fopen(path, "wb");
  if (!f || fwrite(data, 1, n, f) != n) {
    fprintf(stderr, "cannot write %s\n", path);
    if (f) fclose(f);
    return 0;
  }
  return fclose(f) == 0;
}

/* The keypoints both sides use: a fixed ramp. */
static void keypoints(float* ks, float* kd) {
  for (int j = 0; j < 3 * KA_HOST_KP_ROWS; ++j) {
    ks[j] = 0.01f * (float)j - 0.3f;
    kd[j] = 0.012f * (float)j - 0.25f;
  }
}

int main(int argc, char** argv) {
  if (argc != 4) return 2;
  const char* out = argv[3];
  ka_ctx* c = ka_create(argv[1], "b1", 1, NULL);
  if (!c) {
    fprintf(stderr, "%s\n", ka_last_error());
    return 1;
  }
  const size_t crop = (size_t)ka_crop(c), w = (size_t)ka_width(c), h = (size_t)ka_height(c);
  const size_t cropBytes = 3 * crop * crop * sizeof(float);
  float ks[3 * KA_HOST_KP_ROWS], kd[3 * KA_HOST_KP_ROWS];
  keypoints(ks, kd);
  unsigned char* frame = malloc(w * h * 4);
  int ok = frame != NULL;

  const float* drive = ka_render_drive_crop(c, 1);
  ok = ok && drive && save(out, "drive_crop_1.f32", drive, cropBytes);
  const float* kp = ka_render_kp_crop(c, 2, ks, kd);
  ok = ok && kp && save(out, "kp_crop_2.f32", kp, cropBytes);
  ok = ok && ka_paste_crop(c, 3, kp, frame, w * h * 3) && save(out, "paste_crop_3.u8", frame, w * h * 3);
  ok = ok && ka_render_drive_rgba(c, 4, frame, w * h * 4) && save(out, "drive_rgba_4.u8", frame, w * h * 4);
  const unsigned char* target = ok ? ka_target_frame(c, 5) : NULL;
  ok = ok && target && save(out, "target_5.u8", target, w * h * 3);
  ka_destroy(c);

  ka_prior* p = ok ? ka_prior_open(argv[2], 2, 11) : NULL;
  const size_t rowBytes = p ? (size_t)ka_prior_row_bytes(p) : 0;
  unsigned char* row = rowBytes ? malloc(rowBytes) : NULL;
  ok = ok && row && ka_prior_row(p, 3, row, rowBytes) && save(out, "prior_row_3.u16", row, rowBytes);
  free(row);
  ka_prior_close(p);
  free(frame);
  if (!ok) fprintf(stderr, "failed: %s\n", ka_last_error());
  return ok ? 0 : 1;
}
