// The core family of the C interface: creating a context on a bundle, rendering crops from
// keypoints or from the bundle's driving table, pasting them into background frames.
#include "bundle/context.h"
#include "base/log.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "bundle/last_error.h"
#include "bundle/members.h"
#include "bundle/regular_file.h"
#include "ka/ka.h"
#include "ops/pool.h"

namespace ka {

Renderer& ensureRenderer(ka_ctx& ctx) {
  if (!ctx.renderer) {
    int intra = ctx.threads;
    if (!ctx.threadsExplicit && ctx.ep.empty()) {
      intra = std::min(ctx.threads, 2);
      log::printf(log::Level::Info,
                  "[ka] director intra-op %d of pool %d: the caller did not choose, the core sized it for the ka_utt "
                  "pipeline\n",
                  intra, ctx.threads);
    }
    ctx.renderer = std::make_unique<Renderer>(ctx.manifest, *ctx.identity, ctx.modelKey, intra, ctx.ep);
  }
  return *ctx.renderer;
}

std::vector<uint8_t> readPasteMask(const Manifest& m) {
  const std::string path = resolveMember(m.dir, "mask_512.u8");
  const size_t n = static_cast<size_t>(m.crop) * static_cast<size_t>(m.crop);
  RegularFile f(path);
  // The file's size is checked before the buffer exists: a crop the mask cannot fill allocates
  // nothing.
  if (!f.ok() || f.size() < n) throw std::runtime_error("mask read failed");
  std::vector<uint8_t> mask(n);
  if (!f.readExactly(mask.data(), n)) throw std::runtime_error("mask read failed");
  return mask;
}

}  // namespace ka

namespace {

bool validSi(const ka_ctx* c, int si) { return c && si >= 0 && si < c->manifest.NT; }

size_t frameBytes(const ka_ctx* c, int channels) {
  return static_cast<size_t>(c->manifest.W) * static_cast<size_t>(c->manifest.H) * static_cast<size_t>(channels);
}

void rgbToRgba(const uint8_t* rgb, uint8_t* rgba, size_t pixels) {
  for (size_t i = 0; i < pixels; ++i) {
    rgba[4 * i] = rgb[3 * i];
    rgba[4 * i + 1] = rgb[3 * i + 1];
    rgba[4 * i + 2] = rgb[3 * i + 2];
    rgba[4 * i + 3] = 255;
  }
}

// Background frame si copied into out, then the crop composited over it.
void pasteInto(ka_ctx* c, int si, const float* crop, uint8_t* out) {
  c->cursor->pullAt(si, out);
  c->paste->composite(crop, 255.0f, c->identity->M(si), out, c->manifest.W, c->manifest.H);
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

ka_ctx* ka_create(const char* bundle_dir, const char* model_key, int threads, const char* ep) {
  std::string& err = ka::coreLastError();
  err.clear();
  if (!bundle_dir || !model_key) {
    ka::setError(err, "ka_create: NULL bundle_dir/model_key");
    return nullptr;
  }
  return ka::guarded(err, "ka_create", static_cast<ka_ctx*>(nullptr), [&] {
    auto c = std::make_unique<ka_ctx>();
    c->threadsExplicit = threads > 0;
    c->threads = threads > 0 ? ka::pool::boundThreads(threads, "ka_create") : ka::pool::threads();
    c->ep = ep ? ep : "";
    c->modelKey = model_key;
    c->manifest = ka::loadManifest(bundle_dir);
    c->identity = std::make_unique<ka::Identity>(c->manifest);
    c->drive = ka::loadDrive(c->manifest);
    const ka::Manifest& m = c->manifest;
    c->paste = std::make_unique<ka::Paste>(ka::readPasteMask(m), m.crop, ka::Unsharp{m.amount, m.sigma, m.ksize});
    c->cursor = ka::DriverCursor::open(m, 2, 11);
    c->rgb.assign(frameBytes(c.get(), 3), 0);
    return c.release();
  });
}

void ka_destroy(ka_ctx* c) {
  if (!c) return;
  c->rgb.clear();
  c->cursor.reset();
  c->paste.reset();
  c->renderer.reset();
  c->drive = ka::Drive();
  c->identity.reset();
  delete c;
}

int ka_nt(const ka_ctx* c) { return c ? c->manifest.NT : 0; }
int ka_width(const ka_ctx* c) { return c ? c->manifest.W : 0; }
int ka_height(const ka_ctx* c) { return c ? c->manifest.H : 0; }
int ka_crop(const ka_ctx* c) { return c ? c->manifest.crop : 0; }
int ka_drive_frames(const ka_ctx* c) { return c ? c->manifest.frames : 0; }

const float* ka_render_kp_crop(ka_ctx* c, int si, const float* kp_source, const float* kp_driving) {
  std::string& err = ka::coreLastError();
  err.clear();
  if (!validSi(c, si) || !kp_source || !kp_driving) {
    ka::setError(err, "ka_render_kp_crop: bad args");
    return nullptr;
  }
  return ka::guarded(err, "ka_render_kp_crop", static_cast<const float*>(nullptr), [&] {
    const float* crop = ka::ensureRenderer(*c).render(&si, kp_source, kp_driving, 1);
    c->lastCrop = crop;
    return crop;
  });
}

const float* ka_render_drive_crop(ka_ctx* c, int i) {
  std::string& err = ka::coreLastError();
  err.clear();
  if (!c || i < 0 || i >= c->drive.frames) {
    ka::setError(err, "ka_render_drive_crop: bad frame index");
    return nullptr;
  }
  const size_t row = static_cast<size_t>(i) * 3 * KA_HOST_KP_ROWS;
  return ka_render_kp_crop(c, c->drive.si[static_cast<size_t>(i)], c->drive.xs.data() + row, c->drive.xd.data() + row);
}

int ka_paste_crop(ka_ctx* c, int si, const float* crop, unsigned char* out, size_t out_size) {
  std::string& err = ka::coreLastError();
  err.clear();
  if (!validSi(c, si) || !crop || !out || out_size < frameBytes(c, 3)) {
    ka::setError(err, "ka_paste_crop: bad args / out too small");
    return 0;
  }
  return ka::guarded(err, "ka_paste_crop", 0, [&] {
    pasteInto(c, si, crop, out);
    return 1;
  });
}

const unsigned char* ka_paste_last(ka_ctx* c, int si) {
  std::string& err = ka::coreLastError();
  err.clear();
  if (!validSi(c, si) || !c->lastCrop) {
    ka::setError(err, "ka_paste_last: bad args / no prior render");
    return nullptr;
  }
  return ka::guarded(err, "ka_paste_last", static_cast<const unsigned char*>(nullptr), [&] {
    pasteInto(c, si, c->lastCrop, c->rgb.data());
    return static_cast<const unsigned char*>(c->rgb.data());
  });
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
  return finishRgba(c, c->drive.si[static_cast<size_t>(i)], out, out_size);
}

const unsigned char* ka_target_frame(ka_ctx* c, int si) {
  std::string& err = ka::coreLastError();
  err.clear();
  if (!validSi(c, si)) {
    ka::setError(err, "ka_target_frame: bad args");
    return nullptr;
  }
  return ka::guarded(err, "ka_target_frame", static_cast<const unsigned char*>(nullptr), [&] {
    int got = -1;
    return static_cast<const unsigned char*>(c->cursor->pullAt(si, got));
  });
}

}  // extern "C"
