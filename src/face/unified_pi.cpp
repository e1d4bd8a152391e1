#include "face/unified_pi.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <stdexcept>

#include "face/json.h"

namespace ka::tessera {
namespace {

[[noreturn]] void refuse(const std::string& text) { throw std::runtime_error(text); }

float smoothstep01(float t) {
  if (t < 0.0f) return 0.0f;
  t = std::min(1.0f, t);
  return t * t * (3.0f - 2.0f * t);
}

uint8_t toByte(float v) {
  v = std::min(1.0f, std::max(0.0f, v));
  return static_cast<uint8_t>(std::nearbyint(v * 255.0f));
}

UnifiedPi::EllParams ell(float cx, float cy, float rx, float ry) {
  UnifiedPi::EllParams e;
  e.cx = cx, e.cy = cy, e.rx = rx, e.ry = ry;
  e.s = std::sqrt(rx * ry) * 256.0f;
  return e;
}

struct CorpusRow {
  const char* name;
  float pad_x, pad_y, down;
};
const CorpusRow kCorpus[] = {{"v1", 0.05f, 0.08f, 0.015f}, {"v2", 0.10f, 0.08f, 0.074f}, {"v3", 0.14f, 0.08f, 0.074f}};

std::string fmt2(double v) {
  char b[64];
  std::snprintf(b, sizeof b, "%.2f", v);
  return b;
}

}  // namespace

void UnifiedPi::fillGrids() {
  gx.resize(static_cast<size_t>(canvas));
  for (int i = 0; i < canvas; ++i) gx[i] = canvas == 1 ? -1.0f : static_cast<float>(i * 2.0 / (canvas - 1) - 1.0);
  gy = gx;
}

UnifiedPi UnifiedPi::fromManifestJson(const std::string& manifestText, int canvas) {
  using json::JVal;
  const JVal top = json::parseText(manifestText);
  const JVal* unified = top.getObject("unified");
  if (!unified)
    refuse(
        "teeth-pi: manifest has no `unified` block — this bundle predates the unified compose and "
        "cannot state the pi geometry it was baked with; refusing to guess one");
  const JVal& pi = json::memberKey(*unified, "pi");
  const JVal& mode = json::memberKey(pi, "mode");
  if (!mode.isString()) refuse("teeth-pi: unified.pi.mode is not a string");
  if (mode.str != "prop")
    refuse("teeth-pi: unified.pi.mode '" + mode.str +
           "' is a compose-mask geometry this port cannot name — fail loud, never adapt (the "
           "stamped-geometry rule)");
  UnifiedPi p;
  p.mode = mode.str;
  if (const JVal* cr = pi.get("corner_recovery")) {
    if (cr->kind == JVal::Bool)
      p.corner_recovery = cr->b;
    else if (cr->isString() && cr->str == "lip_landmark_half")
      p.corner_recovery = true;
    else
      refuse(
          "teeth-pi: unknown unified.pi.corner_recovery — a compose-mask geometry a consumer "
          "cannot name must never be guessed");
  }
  p.prop_gate_scale = static_cast<float>(json::memberNum(pi, "prop_gate_scale"));
  const JVal& idx = json::memberKey(pi, "lip_idx");
  if (!idx.isArray() || idx.arr.empty()) refuse("teeth-pi: unified.pi.lip_idx is not a non-empty array");
  for (const JVal& v : idx.arr) {
    if (!v.isNumber()) refuse("teeth-pi: unified.pi.lip_idx is not a non-empty array of numbers");
    const int r = json::truncInt(v.num);
    // Each index reads one keypoint of a 21-point frame.
    if (r < 0 || r >= kKeypointFloats / 3)
      refuse("teeth-pi: unified.pi.lip_idx names keypoint row " + std::to_string(r) + ", and a frame has rows 0..20");
    p.lip_idx.push_back(r);
  }
  const JVal& geom = json::memberKey(pi, "lip_geom_params");
  if (!geom.isArray() || geom.arr.size() != 3 || !geom.arr[0].isNumber() || !geom.arr[1].isNumber() ||
      !geom.arr[2].isNumber())
    refuse("teeth-pi: unified.pi.lip_geom_params must be [pad_x, pad_y, down]");
  p.pad_x = static_cast<float>(geom.arr[0].num);
  p.pad_y = static_cast<float>(geom.arr[1].num);
  p.down = static_cast<float>(geom.arr[2].num);
  if (const JVal* crop = unified->getObject("crop")) {
    if (const JVal* c = crop->get("canvas")) {
      const double v = c->isNumber() ? c->num : 0.0;
      if (!c->isNumber() || v != canvas) {
        char b[96];
        std::snprintf(b, sizeof b, "%f", v);
        refuse("teeth-pi: engine renders at canvas " + std::to_string(canvas) + " but unified.crop.canvas is " + b);
      }
    }
  }
  if (canvas < 1) refuse("teeth-pi: canvas " + std::to_string(canvas) + " is not positive");
  p.canvas = canvas;
  p.fillGrids();
  return p;
}

UnifiedPi::LipStats UnifiedPi::stats(const float* kp) const {
  LipStats s;
  if (lip_idx.empty()) return s;
  float sx = 0, sy = 0;
  for (int r : lip_idx) sx += kp[3 * r], sy += kp[3 * r + 1];
  s.mx = sx / static_cast<float>(lip_idx.size());
  s.my = sy / static_cast<float>(lip_idx.size());
  for (int r : lip_idx) {
    s.ex = std::max(s.ex, std::fabs(kp[3 * r] - s.mx));
    s.ey = std::max(s.ey, std::fabs(kp[3 * r + 1] - s.my));
  }
  return s;
}

UnifiedPi::EllParams UnifiedPi::lipParams(const float* kp) const {
  const LipStats st = stats(kp);
  const float rx0 = std::max(0.1f, st.ex + pad_x), ry0 = std::max(0.1f, st.ey + pad_y);
  const float cx = st.mx, cy = st.my + down;
  float v = 1.0f;
  if (corner_recovery) {
    float w = 0.0f;
    for (int r : lip_idx) {
      const float nx = (kp[3 * r] - cx) / rx0, ny = (kp[3 * r + 1] - cy) / ry0;
      w = std::max(w, std::sqrt(nx * nx + ny * ny));
    }
    v = std::max(1.0f, 5.0f / (std::sqrt(rx0 * ry0) * 256.0f) + w);
  }
  return ell(cx, cy, rx0 * v, ry0 * v);
}

UnifiedPi::EllParams UnifiedPi::gateParams(const float* kp, float* gate) const {
  const LipStats st = stats(kp);
  float rx = std::max(0.004f, st.ex), ry = std::max(0.004f, st.ey);
  if (prop_gate_scale != 1.0f) rx *= prop_gate_scale, ry *= prop_gate_scale;
  if (gate) *gate = smoothstep01((st.ey - 0.02f) / 0.01f);
  return ell(st.mx, st.my, rx, ry);
}

Box UnifiedPi::ellBox(const EllParams& e) const {
  const int C = canvas;
  Box b;
  if (C < 2) {
    b.x1 = b.y1 = C;
    return b;
  }
  const double h = (C - 1) / 2.0;
  // Clamped in double before the conversion: a parameter far outside the canvas stays defined.
  auto clampI = [](double v, int lo, int hi) {
    return static_cast<int>(std::min<double>(hi, std::max<double>(lo, v)));
  };
  b.x0 = clampI(std::floor((e.cx - e.rx + 1.0) * h) - 1, 0, C);
  b.y0 = clampI(std::floor((e.cy - e.ry + 1.0) * h) - 1, 0, C);
  b.x1 = clampI(std::ceil((e.cx + e.rx + 1.0) * h) + 2, 0, C);
  b.y1 = clampI(std::ceil((e.cy + e.ry + 1.0) * h) + 2, 0, C);
  b.x1 = std::max(b.x1, b.x0);
  b.y1 = std::max(b.y1, b.y0);
  return b;
}

Box UnifiedPi::supportBox(const float* kp) const {
  const Box a = ellBox(lipParams(kp));
  const Box b = ellBox(gateParams(kp, nullptr));
  return Box{std::min(a.x0, b.x0), std::min(a.y0, b.y0), std::max(a.x1, b.x1), std::max(a.y1, b.y1)};
}

float UnifiedPi::soft(const EllParams& e, int i, int j) const {
  const float nx = (gx[i] - e.cx) / e.rx, ny = (gy[j] - e.cy) / e.ry;
  const float d = std::sqrt(nx * nx + ny * ny);
  return smoothstep01((1.0f - d) * e.s / 10.0f);
}

void UnifiedPi::ellMask(const float* kp, float padX, float padY, float minRx, float minRy, float scale, float downBy,
                        float* out) const {
  const LipStats st = stats(kp);
  float rx = std::max(minRx, st.ex + padX), ry = std::max(minRy, st.ey + padY);
  if (scale != 1.0f) rx *= scale, ry *= scale;
  const EllParams e = ell(st.mx, st.my + downBy, rx, ry);
  for (int j = 0; j < canvas; ++j)
    for (int i = 0; i < canvas; ++i) out[static_cast<size_t>(j) * canvas + i] = soft(e, i, j);
}

void UnifiedPi::lipMask(const float* kp, float* out) const {
  const EllParams e = lipParams(kp);
  for (int j = 0; j < canvas; ++j)
    for (int i = 0; i < canvas; ++i) out[static_cast<size_t>(j) * canvas + i] = soft(e, i, j);
}

void UnifiedPi::propTeethGate(const float* kp, float* out) const {
  float gate = 0;
  const EllParams e = gateParams(kp, &gate);
  for (int j = 0; j < canvas; ++j)
    for (int i = 0; i < canvas; ++i) out[static_cast<size_t>(j) * canvas + i] = soft(e, i, j) * gate;
}

float UnifiedPi::piValue(const EllParams& lip, const EllParams& g, float gate, int i, int j) const {
  return std::max(soft(lip, i, j), soft(g, i, j) * gate);
}

void UnifiedPi::piU8(const float* kp, uint8_t* out) const {
  float gate = 0;
  const EllParams lip = lipParams(kp), g = gateParams(kp, &gate);
  for (int j = 0; j < canvas; ++j)
    for (int i = 0; i < canvas; ++i) out[static_cast<size_t>(j) * canvas + i] = toByte(piValue(lip, g, gate, i, j));
}

void UnifiedPi::piU8Boxed(const float* kp, uint8_t* out) const {
  float gate = 0;
  const EllParams lip = lipParams(kp), g = gateParams(kp, &gate);
  const Box b = supportBox(kp);
  std::fill(out, out + static_cast<size_t>(canvas) * canvas, uint8_t{0});
  for (int j = b.y0; j < b.y1; ++j)
    for (int i = b.x0; i < b.x1; ++i) out[static_cast<size_t>(j) * canvas + i] = toByte(piValue(lip, g, gate, i, j));
}

void UnifiedPi::piU8ShrunkBy(const float* kp, const float* limit, const Box& box, uint8_t* out) const {
  float gate = 0;
  const EllParams lip = lipParams(kp), g = gateParams(kp, &gate);
  const Box s = supportBox(kp);
  std::fill(out, out + static_cast<size_t>(canvas) * canvas, uint8_t{0});
  const int x0 = std::max({s.x0, box.x0, 0}), x1 = std::min({s.x1, box.x1, canvas});
  const int y0 = std::max({s.y0, box.y0, 0}), y1 = std::min({s.y1, box.y1, canvas});
  for (int j = y0; j < y1; ++j)
    for (int i = x0; i < x1; ++i) {
      const size_t k = static_cast<size_t>(j) * canvas + i;
      if (limit[k] > 0.0f) out[k] = toByte(std::min(limit[k], piValue(lip, g, gate, i, j)));
    }
}

bool UnifiedPi::piU8Centroid(const uint8_t* mask, double* x, double* y) const {
  return piU8Centroid(mask, Box{0, 0, canvas, canvas}, x, y);
}

bool UnifiedPi::piU8Centroid(const uint8_t* mask, const Box& box, double* x, double* y) const {
  const int x0 = std::max(0, box.x0), x1 = std::min(canvas, box.x1);
  const int y0 = std::max(0, box.y0), y1 = std::min(canvas, box.y1);
  double sx = 0, sy = 0;
  uint64_t n = 0;
  for (int j = y0; j < y1; ++j)
    for (int i = x0; i < x1; ++i)
      if (mask[static_cast<size_t>(j) * canvas + i] & 0x80) sx += i, sy += j, ++n;
  if (n == 0) return false;
  *x = sx / static_cast<double>(n);
  *y = sy / static_cast<double>(n);
  return true;
}

bool UnifiedPi::piU8AndShift(const float* kp, const double c_canon[2], uint8_t* out, int* dy, int* dx) const {
  piU8Boxed(kp, out);
  double x = 0, y = 0;
  if (!piU8Centroid(out, supportBox(kp), &x, &y)) return false;
  *dy = static_cast<int>(std::nearbyint(y - c_canon[1]));
  *dx = static_cast<int>(std::nearbyint(x - c_canon[0]));
  return true;
}

void UnifiedPi::canonicalCentroid(const float* keypoints, int frames, double* x, double* y) const {
  std::vector<uint8_t> mask(static_cast<size_t>(canvas) * canvas);
  double sx = 0, sy = 0;
  int n = 0;
  for (int f = 0; f < frames; ++f) {
    piU8(keypoints + static_cast<size_t>(f) * kKeypointFloats, mask.data());
    double cx = 0, cy = 0;
    if (piU8Centroid(mask.data(), &cx, &cy)) sx += cx, sy += cy, ++n;
  }
  if (n == 0)
    refuse(
        "teeth-pi: pi is empty on every source frame — cannot derive the canonical centroid this "
        "bundle's frame is identified by");
  *x = sx / n;
  *y = sy / n;
}

UnifiedPi UnifiedPi::corpusFromManifestJson(const std::string& manifestText, int canvas, const float* keypoints,
                                            int frames, const double c_canon[2], std::string* chosen) {
  if (!keypoints || frames <= 0)
    refuse(
        "teeth-pi: the corpus frame is identified from the bundle's own xs_target and none was "
        "supplied — refusing to fall back to the stamped geometry, which is the GRAPH's compose field");
  const UnifiedPi base = fromManifestJson(manifestText, canvas);
  struct Cand {
    int row;
    double dist;
  };
  std::vector<Cand> cands;
  for (int r = 0; r < 3; ++r) {
    UnifiedPi p = base;
    p.pad_x = kCorpus[r].pad_x, p.pad_y = kCorpus[r].pad_y, p.down = kCorpus[r].down;
    double x = 0, y = 0;
    p.canonicalCentroid(keypoints, frames, &x, &y);
    cands.push_back({r, std::hypot(x - c_canon[0], y - c_canon[1])});
  }
  std::stable_sort(cands.begin(), cands.end(), [](const Cand& a, const Cand& b) { return a.dist < b.dist; });
  std::string list;
  for (const Cand& c : cands) list += std::string(" ") + kCorpus[c.row].name + "=" + fmt2(c.dist) + "px";
  if (!(cands[0].dist <= 8.0))
    refuse("teeth-pi: no corpus pi geometry matches this bank's c_canon (" + fmt2(c_canon[0]) + "," + fmt2(c_canon[1]) +
           ") within 8.00px —" + list +
           " — the bank's pi frame is unknown and donors will NOT be placed against a frame nobody can name");
  if (cands[1].dist - cands[0].dist < 3.0)
    refuse("teeth-pi: corpus pi geometry is AMBIGUOUS (best two within 3.00px) —" + list +
           " — refusing to guess the bank frame");
  UnifiedPi p = base;
  const CorpusRow& row = kCorpus[cands[0].row];
  p.pad_x = row.pad_x, p.pad_y = row.pad_y, p.down = row.down;
  if (chosen) *chosen = row.name;
  return p;
}

}  // namespace ka::tessera
