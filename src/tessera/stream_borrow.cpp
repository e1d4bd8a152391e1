#include "tessera/stream_borrow.h"
#include "base/log.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <stdexcept>
#include <vector>

#include "ops/pool.h"
#include "face/lip_contour.h"

namespace ka::tessera {
namespace {

uint8_t unitToByte(float v) {
  if (!(v > 0.0f)) return 0;
  return static_cast<uint8_t>(std::nearbyint(std::min(1.0f, v) * 255.0f));
}

float clamp01(float v) { return std::min(1.0f, std::max(0.0f, v)); }

// The placed window of a result on a canvas, or a refusal naming why it cannot be written back.
void checkWriteBack(int canvas, const FrameResult& r, const GeometryStamp& st) {
  const size_t need = static_cast<size_t>(st.window_w) * st.window_h * 3;
  if (r.window.size() != need)
    throw std::runtime_error("teeth stream: window " + std::to_string(r.window.size()) +
                             " bytes does not match the stamp window " + std::to_string(st.window_w) + "x" +
                             std::to_string(st.window_h) + " \xE2\x80\x94 refusing to write back");
  const int y0 = st.window_y0 + r.dy, x0 = st.window_x0 + r.dx;
  if (canvas != st.canvas_w || canvas != st.canvas_h || y0 < 0 || x0 < 0 || y0 + st.window_h > canvas ||
      x0 + st.window_w > canvas)
    throw std::runtime_error("teeth stream: the window does not lie on the " + std::to_string(canvas) +
                             " canvas \xE2\x80\x94 refusing to write back");
}

}  // namespace

struct StreamBorrow::Impl {
  TeethPass pass;
  UnifiedPi pi;
  double cc[2];
  int canvas = 0;
  std::unique_ptr<LipContour> contour;
  std::vector<uint8_t> rgb, mask;
  int64_t count = 0;

  Impl(const BankData& bank, const HeadWeights& w, const ServeConfig& c, const UnifiedPi& p)
      : pass(bank, w, c), pi(p), cc{bank.c_canon[0], bank.c_canon[1]} {}
};

StreamBorrow::StreamBorrow(const BankData& bank, const HeadWeights& weights, const ServeConfig& config,
                           const UnifiedPi& pi, const std::string& lipTemplate)
    : impl_(std::make_unique<Impl>(bank, weights, config, pi)) {
  Impl& s = *impl_;
  const GeometryStamp& st = bank.stamp;
  if (st.canvas_w != st.canvas_h)
    throw std::runtime_error("teeth stream: non-square compose canvas " + std::to_string(st.canvas_w) + "x" +
                             std::to_string(st.canvas_h) + " \xE2\x80\x94 ka_core renders a square crop");
  s.canvas = st.canvas_w;
  if (pi.canvas != s.canvas)
    throw std::runtime_error("teeth stream: manifest pi canvas " + std::to_string(pi.canvas) +
                             " != bank compose canvas " + std::to_string(s.canvas) +
                             " \xE2\x80\x94 refusing to compose a mouth on a canvas the stamp does not name");
  const size_t px = static_cast<size_t>(s.canvas) * s.canvas;
  s.rgb.assign(px * 3, 0);
  s.mask.assign(px, 0);
  if (!lipTemplate.empty()) {
    s.contour = std::make_unique<LipContour>(LipContour::fromTemplateJson(lipTemplate, s.canvas));
    log::printf(log::Level::Info,
                "[borrow] delivery mask: LIP CONTOUR (%d verts, feather %.1f px) \xE2\x80\x94 the ellipse is not "
                "reachable in this session\n",
                s.contour->nv(), static_cast<double>(s.contour->featherPx()));
  } else {
    log::printf(log::Level::Warning,
                "[borrow] !!! delivery mask: ELLIPSE \xE2\x80\x94 this bundle carries no %s, so it serves the "
                "over-covering elliptical mask the contour replaces. BACKFILL IT: "
                "models/nimbrel-2/tools/bake_lip_templates\n",
                "lip_template.v1.json");
  }
}

StreamBorrow::~StreamBorrow() = default;

bool StreamBorrow::push(const float* planes, const float* kp, FrameResult* out) {
  Impl& s = *impl_;
  const size_t px = static_cast<size_t>(s.canvas) * s.canvas;
  pool::parallelRange(px, 4096, [&](uint64_t b, uint64_t e) {
    for (uint64_t i = b; i < e; ++i)
      for (int c = 0; c < 3; ++c) s.rgb[i * 3 + c] = unitToByte(planes[c * px + i]);
  });
  return pushSynth(kp, out);
}

bool StreamBorrow::pushRgba(const uint8_t* rgba, const float* kp, FrameResult* out) {
  Impl& s = *impl_;
  const size_t px = static_cast<size_t>(s.canvas) * s.canvas;
  for (size_t i = 0; i < px; ++i)
    for (int c = 0; c < 3; ++c) s.rgb[i * 3 + c] = rgba[i * 4 + c];
  return pushSynth(kp, out);
}

bool StreamBorrow::pushSynth(const float* kp, FrameResult* out) {
  Impl& s = *impl_;
  int shift[2] = {0, 0};
  const bool ok = s.contour ? s.contour->deliveredU8AndShift(kp, s.pi, s.cc, s.mask.data(), &shift[0], &shift[1])
                            : s.pi.piU8AndShift(kp, s.cc, s.mask.data(), &shift[0], &shift[1]);
  return s.pass.push(static_cast<int>(s.count++), s.rgb.data(), s.mask.data(), ok ? shift : nullptr, out);
}

bool StreamBorrow::flush(FrameResult* out) { return impl_->pass.flush(out); }

void StreamBorrow::writeWindowDelta(float* planes, int canvas, const FrameResult& r, const GeometryStamp& st) {
  if (r.skipped) return;
  checkWriteBack(canvas, r, st);
  const size_t px = static_cast<size_t>(canvas) * canvas;
  const int y0 = st.window_y0 + r.dy, x0 = st.window_x0 + r.dx;
  for (int c = 0; c < 3; ++c)
    for (int j = 0; j < st.window_h; ++j)
      for (int m = 0; m < st.window_w; ++m) {
        float& u = planes[c * px + static_cast<size_t>(y0 + j) * canvas + x0 + m];
        const float q = unitToByte(u) / 255.0f;
        const float v = r.window[(static_cast<size_t>(j) * st.window_w + m) * 3 + c] / 255.0f;
        u = clamp01(v - q + u);
      }
}

void StreamBorrow::writeWindowDeltaRgba(uint8_t* rgba, int canvas, const FrameResult& r, const GeometryStamp& st) {
  if (r.skipped) return;
  checkWriteBack(canvas, r, st);
  const size_t px = static_cast<size_t>(canvas) * canvas;
  for (size_t i = 0; i < px; ++i) rgba[i * 4 + 3] = 255;
  const int y0 = st.window_y0 + r.dy, x0 = st.window_x0 + r.dx;
  for (int j = 0; j < st.window_h; ++j)
    for (int m = 0; m < st.window_w; ++m)
      for (int c = 0; c < 3; ++c) {
        uint8_t& b = rgba[(static_cast<size_t>(y0 + j) * canvas + x0 + m) * 4 + c];
        const float u = b / 255.0f;
        const float q = unitToByte(u) / 255.0f;
        const float v = r.window[(static_cast<size_t>(j) * st.window_w + m) * 3 + c] / 255.0f;
        b = unitToByte(clamp01(v - q + u));
      }
}

const GeometryStamp& StreamBorrow::stamp() const { return impl_->pass.stamp(); }
int StreamBorrow::canvas() const { return impl_->canvas; }
int64_t StreamBorrow::pushed() const { return impl_->count; }
bool StreamBorrow::contourMask() const { return impl_->contour != nullptr; }

}  // namespace ka::tessera
