// The core family of the C interface: a context on a bundle, crops rendered from keypoints or from
// the bundle's driving table, pasted into background frames.
#include <cstring>
#include <memory>

#include "api/handles.h"
#include "base/last_error.h"
#include "base/units.h"
#include "bundle/identity.h"
#include "bundle/manifest.h"
#include "ka/ka.h"

namespace {

bool validSi(const ka_ctx* c, int si) { return c && si >= 0 && si < c->context->manifest().NT; }

size_t frameBytes(const ka_ctx* c, int channels) {
  const ka::Manifest& m = c->context->manifest();
  return static_cast<size_t>(m.W) * static_cast<size_t>(m.H) * static_cast<size_t>(channels);
}

void rgbToRgba(const uint8_t* rgb, uint8_t* rgba, size_t pixels) {
  for (size_t i = 0; i < pixels; ++i) {
    rgba[4 * i] = rgb[3 * i];
    rgba[4 * i + 1] = rgb[3 * i + 1];
    rgba[4 * i + 2] = rgb[3 * i + 2];
    rgba[4 * i + 3] = 255;
  }
}

// Fills out with the RGBA frame of the crop just rendered for si; 0 when out is too small.
int finishRgba(ka_ctx* c, int si, uint8_t* out, size_t outSize) {
  if (!out || outSize < frameBytes(c, 4)) {
    ka::setError(ka::coreLastError(), "ka_render_*_rgba: out buffer too small");
    return 0;
  }
  const uint8_t* rgb = ka_paste_last(c, si);
  if (!rgb) return 0;
  rgbToRgba(rgb, out, frameBytes(c, 1));
  return 1;
}

}  // namespace

extern "C" {

const char* ka_last_error(void) { return ka::coreLastError().c_str(); }

static_assert(KA_HOST_KP_ROWS == ka::kKeypointRows, "the public keypoint row count is the library's");

int ka_host_kp_rows(void) { return KA_HOST_KP_ROWS; }

ka_ctx* ka_create(const char* bundle_dir, const char* model_key, int threads, const char* ep) {
  std::string& err = ka::coreLastError();
  err.clear();
  if (!bundle_dir || !model_key) {
    ka::setError(err, "ka_create: NULL bundle_dir/model_key");
    return nullptr;
  }
  return ka::guarded(err, "ka_create", static_cast<ka_ctx*>(nullptr), [&] {
    auto c = std::make_unique<ka_ctx>();
    c->context = std::make_unique<ka::Context>(bundle_dir, model_key, threads, ep ? ep : "");
    return c.release();
  });
}

void ka_destroy(ka_ctx* c) { delete c; }

int ka_nt(const ka_ctx* c) { return c ? c->context->manifest().NT : 0; }
int ka_width(const ka_ctx* c) { return c ? c->context->manifest().W : 0; }
int ka_height(const ka_ctx* c) { return c ? c->context->manifest().H : 0; }
int ka_crop(const ka_ctx* c) { return c ? c->context->manifest().crop : 0; }
int ka_drive_frames(const ka_ctx* c) { return c ? c->context->manifest().frames : 0; }

const float* ka_render_kp_crop(ka_ctx* c, int si, const float* kp_source, const float* kp_driving) {
  std::string& err = ka::coreLastError();
  err.clear();
  if (!validSi(c, si) || !kp_source || !kp_driving) {
    ka::setError(err, "ka_render_kp_crop: bad args");
    return nullptr;
  }
  return ka::guarded(err, "ka_render_kp_crop", static_cast<const float*>(nullptr),
                     [&] { return c->context->renderKpCrop(si, kp_source, kp_driving); });
}

const float* ka_render_drive_crop(ka_ctx* c, int i) {
  std::string& err = ka::coreLastError();
  err.clear();
  if (!c || i < 0 || i >= c->context->drive().frames) {
    ka::setError(err, "ka_render_drive_crop: bad frame index");
    return nullptr;
  }
  return ka::guarded(err, "ka_render_kp_crop", static_cast<const float*>(nullptr),
                     [&] { return c->context->renderDriveCrop(i); });
}

int ka_paste_crop(ka_ctx* c, int si, const float* crop, unsigned char* out, size_t out_size) {
  std::string& err = ka::coreLastError();
  err.clear();
  if (!validSi(c, si) || !crop || !out || out_size < frameBytes(c, 3)) {
    ka::setError(err, "ka_paste_crop: bad args / out too small");
    return 0;
  }
  return ka::guarded(err, "ka_paste_crop", 0, [&] {
    c->context->pasteCrop(si, crop, out);
    return 1;
  });
}

const unsigned char* ka_paste_last(ka_ctx* c, int si) {
  std::string& err = ka::coreLastError();
  err.clear();
  if (!validSi(c, si) || !c->context->hasRendered()) {
    ka::setError(err, "ka_paste_last: bad args / no prior render");
    return nullptr;
  }
  return ka::guarded(err, "ka_paste_last", static_cast<const unsigned char*>(nullptr),
                     [&] { return c->context->pasteLast(si); });
}

int ka_render_kp_rgba(ka_ctx* c, int si, const float* kp_source, const float* kp_driving, unsigned char* out,
                      size_t out_size) {
  if (!c) return 0;
  if (!ka_render_kp_crop(c, si, kp_source, kp_driving)) return 0;
  return finishRgba(c, si, out, out_size);
}

int ka_render_drive_rgba(ka_ctx* c, int i, unsigned char* out, size_t out_size) {
  if (!c) return 0;
  if (!ka_render_drive_crop(c, i)) return 0;
  return finishRgba(c, c->context->drive().si[static_cast<size_t>(i)], out, out_size);
}

const unsigned char* ka_target_frame(ka_ctx* c, int si) {
  std::string& err = ka::coreLastError();
  err.clear();
  if (!validSi(c, si)) {
    ka::setError(err, "ka_target_frame: bad args");
    return nullptr;
  }
  return ka::guarded(err, "ka_target_frame", static_cast<const unsigned char*>(nullptr),
                     [&] { return c->context->targetFrame(si); });
}

}  // extern "C"
