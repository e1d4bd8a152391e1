// The rendering context: a bundle opened for rendering crops from keypoints or from the bundle's
// driving table and pasting them into background frames.
#include "context/context.h"

#include <algorithm>
#include <stdexcept>

#include "base/log.h"
#include "base/regular_file.h"
#include "base/units.h"
#include "bundle/driving.h"
#include "bundle/identity.h"
#include "bundle/manifest.h"
#include "bundle/members.h"
#include "driver/cursor.h"
#include "ops/pool.h"
#include "paste/paste.h"
#include "render/renderer.h"

namespace ka {

struct Context::Impl {
  Manifest manifest;
  std::unique_ptr<Identity> identity;
  Drive drive;
  std::unique_ptr<Renderer> renderer;  // null until the first render needs it
  std::unique_ptr<Paste> paste;
  int32_t threads = 1;
  std::string ep;
  bool threadsExplicit = false;
  std::string modelKey;
  std::unique_ptr<DriverCursor> cursor;
  std::vector<uint8_t> rgb;         // H * W * 3, the frame pasteLast fills
  const float* lastCrop = nullptr;  // the most recent render's crop, owned by the renderer

  ~Impl() {
    // Threads first: the cursor's look-ahead and the renderer's prefetch.
    cursor.reset();
    paste.reset();
    renderer.reset();
    identity.reset();
  }

  void checkSi(int si) const {
    if (si < 0 || si >= manifest.NT)
      throw std::runtime_error("source frame " + std::to_string(si) + " outside [0," + std::to_string(manifest.NT) +
                               ")");
  }
};

Context::Context(const std::string& bundle, const std::string& modelKey, int threads, const std::string& ep)
    : impl_(std::make_unique<Impl>()) {
  Impl& c = *impl_;
  c.threadsExplicit = threads > 0;
  c.threads = threads > 0 ? pool::boundThreads(threads, "ka_create") : pool::threads();
  c.ep = ep;
  c.modelKey = modelKey;
  c.manifest = loadManifest(bundle);
  c.identity = std::make_unique<Identity>(c.manifest);
  c.drive = loadDrive(c.manifest);
  const Manifest& m = c.manifest;
  c.paste = std::make_unique<Paste>(readPasteMask(m), m.crop, Unsharp{m.amount, m.sigma, m.ksize});
  c.cursor = DriverCursor::open(drivingVideo(m), 2, 11);
  c.cursor->reuseHeldFrames(true);  // a short background loop is decoded once
  c.rgb.assign(static_cast<size_t>(m.W) * static_cast<size_t>(m.H) * 3, 0);
}

Context::~Context() = default;

const Manifest& Context::manifest() const { return impl_->manifest; }
Identity& Context::identity() { return *impl_->identity; }
const Drive& Context::drive() const { return impl_->drive; }
Paste& Context::paste() { return *impl_->paste; }
DriverCursor& Context::cursor() { return *impl_->cursor; }
int Context::threads() const { return impl_->threads; }
bool Context::threadsExplicit() const { return impl_->threadsExplicit; }
const std::string& Context::ep() const { return impl_->ep; }

int Context::directorThreads() const {
  return impl_->threadsExplicit || !impl_->ep.empty() ? impl_->threads : std::min(impl_->threads, 2);
}

Renderer& Context::renderer() {
  Impl& c = *impl_;
  if (!c.renderer) {
    const int intra = directorThreads();
    if (!c.threadsExplicit && c.ep.empty())
      log::printf(log::Level::Info,
                  "[ka] director intra-op %d of pool %d: the caller did not choose, the core sized it for the ka_utt "
                  "pipeline\n",
                  intra, c.threads);
    c.renderer = std::make_unique<Renderer>(c.manifest, *c.identity, c.modelKey, intra, c.ep);
  }
  return *c.renderer;
}

const float* Context::renderKpCrop(int si, const float* kpSource, const float* kpDriving) {
  impl_->checkSi(si);
  const float* crop = renderer().render(&si, kpSource, kpDriving, 1);
  impl_->lastCrop = crop;
  return crop;
}

void Context::renderKpCropInto(int si, const float* kpSource, const float* kpDriving, float* out) {
  impl_->checkSi(si);
  Renderer& r = renderer();
  if (r.batch() == 1) {
    r.renderInto(si, kpSource, kpDriving, out);
    return;
  }
  const size_t elems = 3 * static_cast<size_t>(impl_->manifest.crop) * static_cast<size_t>(impl_->manifest.crop);
  std::copy_n(r.render(&si, kpSource, kpDriving, 1), elems, out);
}

const float* Context::renderDriveCrop(int i, int* si) {
  const Drive& d = impl_->drive;
  if (i < 0 || i >= d.frames) throw std::runtime_error("bad frame index");
  const size_t row = static_cast<size_t>(i) * kKeypointValues;
  const int source = d.si[static_cast<size_t>(i)];
  if (si) *si = source;
  return renderKpCrop(source, d.xs.data() + row, d.xd.data() + row);
}

void Context::pasteCrop(int si, const float* crop, uint8_t* out) {
  impl_->checkSi(si);
  const Manifest& m = impl_->manifest;
  impl_->cursor->pullAt(si, out);
  impl_->paste->composite(crop, 255.0f, impl_->identity->M(si), out, m.W, m.H);
}

bool Context::hasRendered() const { return impl_->lastCrop != nullptr; }

const uint8_t* Context::pasteLast(int si) {
  if (!impl_->lastCrop) throw std::runtime_error("no prior render");
  pasteCrop(si, impl_->lastCrop, impl_->rgb.data());
  return impl_->rgb.data();
}

const uint8_t* Context::targetFrame(int si) {
  impl_->checkSi(si);
  int got = -1;
  return impl_->cursor->pullAt(si, got);
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
