#include "face/lip_contour.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <stdexcept>

#include "face/json.h"

namespace ka::tessera {
namespace {

constexpr int kKpRows = kKeypointFloats / 3;
constexpr int kMaxMapAnchors = 8;
// Vertices are kept within 16 canvases (and 1024 pixels) of the canvas before they are rounded:
// far beyond any outline a face makes, near enough that an edge from a hostile keypoint stays a
// short walk and every fixed-point product fits.
double coordLimit(int canvas) { return 16.0 * canvas + 1024.0; }
constexpr float kOrtho = 0.955f, kDiag = 1.3693f;

[[noreturn]] void refuse(const std::string& text) { throw std::runtime_error("lip_template.v1.json: " + text); }

uint8_t toByte(float v) {
  v = std::min(1.0f, std::max(0.0f, v));
  return static_cast<uint8_t>(std::nearbyint(v * 255.0f));
}

int clampToInt(double v, int lo, int hi) {
  if (!(v >= lo)) return lo;  // NaN lands low
  if (v > hi) return hi;
  return static_cast<int>(v);
}

int64_t roundCoord(double v, double limit) {
  if (!(v >= -limit)) v = -limit;  // NaN lands low
  if (v > limit) v = limit;
  return static_cast<int64_t>(std::nearbyint(v));
}

// floor(a / 65536) and ceil(a / 65536) for 16.16 fixed point of either sign.
int64_t fxFloor(int64_t a) { return a >= 0 ? a / 65536 : -((-a + 65535) / 65536); }
int64_t fxCeil(int64_t a) { return -fxFloor(-a); }

std::vector<int> readRows(const json::JVal& arr, const char* notArray, bool map) {
  std::vector<int> rows;
  for (const json::JVal& v : arr.arr) {
    if (!v.isNumber()) refuse(notArray);
    if (map && (v.num != std::floor(v.num) || v.num < 0 || v.num > kKpRows - 1))
      refuse("lip_map lip_idx names a row outside 0..20");
    const int r = json::truncInt(v.num);
    if (r < 0 || r >= kKpRows) refuse("lip_idx names keypoint row " + std::to_string(r) + ", and a kd row is 0..20");
    rows.push_back(r);
  }
  return rows;
}

}  // namespace

LipContour::LipContour(int canvas, float featherPx, const double* uCanon, int nv, const int* anchors, int anchorCount)
    : canvas_(canvas),
      feather_(featherPx),
      nv_(nv),
      uCanon_(uCanon, uCanon + 2 * static_cast<size_t>(nv)),
      anchors_(anchors, anchors + anchorCount),
      poly_(2 * static_cast<size_t>(nv)) {
  if (canvas < 1 || nv < 1 || anchorCount < 1 || !(featherPx > 0))
    throw std::runtime_error(
        "lip_template.v1.json: contour needs a positive canvas, vertex count, anchor count "
        "and feather");
  for (int r : anchors_)
    if (r < 0 || r >= kKpRows) throw std::runtime_error("lip_template.v1.json: anchor row outside 0..20");
  canvasF_.assign(static_cast<size_t>(canvas) * canvas, 0.0f);
}

void LipContour::attachMap(const double* W, const double* b, int rows, int cols, const int* mapAnchors, int count) {
  if (rows != 2 * nv_ || count < 1 || count > kMaxMapAnchors || cols != 2 * count)
    throw std::runtime_error("lip_template.v1.json: lip_map shape does not match the template");
  for (int k = 0; k < count; ++k)
    if (mapAnchors[k] < 0 || mapAnchors[k] >= kKpRows)
      throw std::runtime_error("lip_template.v1.json: lip_map lip_idx names a row outside 0..20");
  W_.assign(W, W + static_cast<size_t>(rows) * cols);
  b_.assign(b, b + rows);
  mapCols_ = cols;
  anchors_.assign(mapAnchors, mapAnchors + count);
}

LipContour LipContour::fromTemplateJson(const std::string& text, int canvas) {
  using json::JVal;
  JVal top;
  try {
    top = json::parseText(text);
  } catch (const std::exception& e) {
    refuse(std::string("is not parseable JSON (") + e.what() + ")");
  }
  if (!top.isObject()) refuse("is not a JSON object");
  const JVal* format = top.get("format");
  if (!format || !format->isString()) refuse("carries no string `format`");
  if (format->str != "lip-template-v1")
    refuse("declares format '" + format->str + "', not 'lip-template-v1' — this runtime cannot read it");
  if (const JVal* edge = top.get("edge"); edge && edge->isString() && edge->str != "outward")
    refuse("declares edge '" + edge->str +
           "', and the contour feather is OUTWARD — refusing to serve a mask this runtime does not compute");
  const JVal* cv = top.get("canvas");
  if (!cv || !cv->isNumber()) refuse("carries no numeric `canvas`");
  if (json::truncInt(cv->num) != canvas)
    refuse("was baked on a " + std::to_string(json::truncInt(cv->num)) + " canvas but this bundle composes on " +
           std::to_string(canvas) + " — refusing to deform a polygon onto a canvas it does not name");
  const JVal* fp = top.get("feather_px");
  if (!fp || !fp->isNumber()) refuse("carries no numeric `feather_px`");
  if (!(fp->num > 0) || !std::isfinite(static_cast<float>(fp->num))) {
    char b[400];
    std::snprintf(b, sizeof b, "declares feather_px %f, which is not positive", fp->num);
    refuse(b);
  }
  const JVal* uc = top.get("u_canon");
  if (!uc || !uc->isArray() || uc->arr.empty()) refuse("carries no non-empty `u_canon` array");
  std::vector<double> u;
  for (size_t i = 0; i < uc->arr.size(); ++i) {
    const JVal& row = uc->arr[i];
    if (!row.isArray() || row.arr.size() != 2 || !row.arr[0].isNumber() || !row.arr[1].isNumber())
      refuse("u_canon row " + std::to_string(i) + " is not a 2-vector — this is not an nv x 2 template");
    u.push_back(row.arr[0].num);
    u.push_back(row.arr[1].num);
  }
  const int nv = static_cast<int>(uc->arr.size());
  std::vector<int> anchors{17, 18, 19, 20};
  if (const JVal* li = top.get("lip_idx")) {
    static const char kNotArray[] = "carries a `lip_idx` that is not a non-empty array";
    if (!li->isArray() || li->arr.empty()) refuse(kNotArray);
    anchors = readRows(*li, kNotArray, false);
  }
  LipContour c(canvas, static_cast<float>(fp->num), u.data(), nv, anchors.data(), static_cast<int>(anchors.size()));

  const JVal* map = top.get("lip_map");
  if (!map) return c;
  if (!map->isObject()) refuse("lip_map is not a JSON object");
  const JVal* schema = map->get("schema");
  const std::string sch = schema && schema->isString() ? schema->str : "?";
  if (sch != "lip-map-v1")
    refuse("lip_map declares schema '" + sch + "', not 'lip-map-v1' — this runtime cannot evaluate it");
  const JVal* kind = map->get("kind");
  if (!kind || !kind->isString() || kind->str != "anchor-linear") refuse("lip_map kind is not 'anchor-linear'");
  const JVal* mi = map->get("lip_idx");
  static const char kNotRows[] = "lip_map lip_idx is not 1..8 kd rows";
  if (!mi || !mi->isArray() || mi->arr.empty() || mi->arr.size() > kMaxMapAnchors) refuse(kNotRows);
  const std::vector<int> mapAnchors = readRows(*mi, kNotRows, true);
  const JVal* W = map->get("W");
  const JVal* b = map->get("b");
  if (!W || !b || !W->isArray() || !b->isArray()) refuse("lip_map carries no W/b arrays");
  const size_t rows = 2 * static_cast<size_t>(nv);
  if (W->arr.size() != rows || b->arr.size() != rows)
    refuse("lip_map W/b have " + std::to_string(W->arr.size()) + "/" + std::to_string(b->arr.size()) +
           " rows, not 2*nv=" + std::to_string(rows));
  const int m = 2 * static_cast<int>(mapAnchors.size());
  std::vector<double> w, bv;
  for (size_t i = 0; i < rows; ++i) {
    const JVal& row = W->arr[i];
    if (!row.isArray() || row.arr.size() != static_cast<size_t>(m))
      refuse("lip_map W row " + std::to_string(i) + " is not " + std::to_string(m) + " wide");
    for (const JVal& v : row.arr) {
      if (!v.isNumber() || !std::isfinite(v.num)) refuse("lip_map carries a non-finite coefficient");
      w.push_back(v.num);
    }
  }
  for (const JVal& v : b->arr) {
    if (!v.isNumber() || !std::isfinite(v.num)) refuse("lip_map carries a non-finite coefficient");
    bv.push_back(v.num);
  }
  if (const JVal* mc = map->get("canvas"); mc && !(mc->isNumber() && mc->num == canvas))
    refuse("lip_map was fitted on another canvas than this bundle composes on");
  c.attachMap(w.data(), bv.data(), static_cast<int>(rows), m, mapAnchors.data(), static_cast<int>(mapAnchors.size()));
  return c;
}

void LipContour::polygon(const float* kp, double* out) const {
  const size_t na = anchors_.size();
  const double half = canvas_ / 2.0;
  double fx = 0, fy = 0;
  std::vector<double> px(na), py(na);
  for (size_t k = 0; k < na; ++k) {
    px[k] = (static_cast<double>(kp[3 * anchors_[k]]) + 1.0) * half;
    py[k] = (static_cast<double>(kp[3 * anchors_[k] + 1]) + 1.0) * half;
    fx += px[k];
    fy += py[k];
  }
  fx /= static_cast<double>(na);
  fy /= static_cast<double>(na);
  const size_t n2 = 2 * static_cast<size_t>(nv_);
  if (!W_.empty()) {
    std::vector<double> a(2 * na);
    for (size_t k = 0; k < na; ++k) a[2 * k] = px[k] - fx, a[2 * k + 1] = py[k] - fy;
    for (size_t i = 0; i < n2; ++i) {
      double acc = 0;
      const double* w = &W_[i * static_cast<size_t>(mapCols_)];
      for (size_t j = 0; j < a.size(); ++j) acc += w[j] * a[j];
      out[i] = b_[i] + acc + ((i % 2 == 0) ? fx : fy);
    }
    return;
  }
  double sx = 0, sy = 0;
  for (size_t k = 0; k < na; ++k) sx = std::max(sx, std::fabs(px[k] - fx)), sy = std::max(sy, std::fabs(py[k] - fy));
  if (!(sx >= 1e-6)) sx = 1e-6;
  if (!(sy >= 1e-6)) sy = 1e-6;
  for (int k = 0; k < nv_; ++k) {
    out[2 * k] = sx * uCanon_[2 * k] + fx;
    out[2 * k + 1] = sy * uCanon_[2 * k + 1] + fy;
  }
}

Box LipContour::box(const double* poly) const {
  double minx = poly[0], maxx = poly[0], miny = poly[1], maxy = poly[1];
  for (int k = 1; k < nv_; ++k) {
    minx = std::min(minx, poly[2 * k]), maxx = std::max(maxx, poly[2 * k]);
    miny = std::min(miny, poly[2 * k + 1]), maxy = std::max(maxy, poly[2 * k + 1]);
  }
  const double g = static_cast<double>(feather_) + 2.0;
  Box b;
  b.x0 = clampToInt(std::floor(minx - g), 0, canvas_);
  b.y0 = clampToInt(std::floor(miny - g), 0, canvas_);
  b.x1 = clampToInt(std::ceil(maxx + g) + 1, 0, canvas_);
  b.y1 = clampToInt(std::ceil(maxy + g) + 1, 0, canvas_);
  b.x1 = std::max(b.x1, b.x0);
  b.y1 = std::max(b.y1, b.y0);
  return b;
}

void LipContour::fillScanline(const double* poly, const Box& box, uint8_t* out) const {
  const int64_t w = box.x1 - box.x0, h = box.y1 - box.y0;
  std::fill(out, out + w * h, uint8_t{0});
  if (w <= 0 || h <= 0) return;
  std::vector<int64_t> vx(static_cast<size_t>(nv_)), vy(static_cast<size_t>(nv_));
  for (int k = 0; k < nv_; ++k) {
    vx[k] = roundCoord(poly[2 * k], coordLimit(canvas_)) - box.x0;
    vy[k] = roundCoord(poly[2 * k + 1], coordLimit(canvas_)) - box.y0;
  }
  auto plot = [&](int64_t x, int64_t y) {
    if (x >= 0 && x < w && y >= 0 && y < h) out[y * w + x] = 255;
  };
  // Outline: 8-connected lines, vertex k to k + 1 and the last back to the first.
  for (int k = 0; k < nv_; ++k) {
    int64_t x0 = vx[k], y0 = vy[k];
    const int64_t x1 = vx[(k + 1) % nv_], y1 = vy[(k + 1) % nv_];
    const int64_t dx = x1 > x0 ? x1 - x0 : x0 - x1, sx = x0 < x1 ? 1 : -1;
    const int64_t dy = -(y1 > y0 ? y1 - y0 : y0 - y1), sy = y0 < y1 ? 1 : -1;
    int64_t err = dx + dy;
    for (;;) {
      plot(x0, y0);
      if (x0 == x1 && y0 == y1) break;
      const int64_t e2 = 2 * err;
      if (e2 >= dy) err += dy, x0 += sx;
      if (e2 <= dx) err += dx, y0 += sy;
    }
  }
  // Interior: even-odd spans between the edges' crossings, x in 16.16 fixed point.
  struct Edge {
    int64_t top, bottom, x, slope;
  };
  std::vector<Edge> edges;
  int64_t lo = INT64_MAX, hi = INT64_MIN;
  for (int k = 0; k < nv_; ++k) {
    int64_t xa = vx[k], ya = vy[k], xb = vx[(k + 1) % nv_], yb = vy[(k + 1) % nv_];
    if (ya == yb) continue;
    if (ya > yb) std::swap(xa, xb), std::swap(ya, yb);
    edges.push_back({ya, yb, xa * 65536, (xb - xa) * 65536 / (yb - ya)});
    lo = std::min(lo, ya);
    hi = std::max(hi, yb);
  }
  if (edges.empty()) return;
  std::vector<int64_t> xs;
  for (int64_t row = std::max<int64_t>(0, lo); row < std::min<int64_t>(h, hi); ++row) {
    xs.clear();
    for (const Edge& e : edges)
      if (e.top <= row && row < e.bottom) xs.push_back(e.x + (row - e.top) * e.slope);
    std::sort(xs.begin(), xs.end());
    for (size_t i = 0; i + 1 < xs.size(); i += 2) {
      const int64_t a = std::max<int64_t>(0, fxCeil(xs[i])), b = std::min<int64_t>(w - 1, fxFloor(xs[i + 1]));
      for (int64_t x = a; x <= b; ++x) out[row * w + x] = 255;
    }
  }
}

void LipContour::featherBox(const Box& box, float* canvasOut) {
  const int w = box.x1 - box.x0, h = box.y1 - box.y0;
  dist_.resize(static_cast<size_t>(w) * h);
  float* d = dist_.data();
  for (size_t k = 0; k < dist_.size(); ++k) d[k] = raster_[k] == 255 ? 0.0f : 1e10f;
  auto at = [&](int x, int y) -> float& { return d[static_cast<size_t>(y) * w + x]; };
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      float v = at(x, y);
      if (x > 0) v = std::min(v, at(x - 1, y) + kOrtho);
      if (y > 0) {
        if (x > 0) v = std::min(v, at(x - 1, y - 1) + kDiag);
        v = std::min(v, at(x, y - 1) + kOrtho);
        if (x + 1 < w) v = std::min(v, at(x + 1, y - 1) + kDiag);
      }
      at(x, y) = v;
    }
  for (int y = h - 1; y >= 0; --y)
    for (int x = w - 1; x >= 0; --x) {
      float v = at(x, y);
      if (x + 1 < w) v = std::min(v, at(x + 1, y) + kOrtho);
      if (y + 1 < h) {
        if (x + 1 < w) v = std::min(v, at(x + 1, y + 1) + kDiag);
        v = std::min(v, at(x, y + 1) + kOrtho);
        if (x > 0) v = std::min(v, at(x - 1, y + 1) + kDiag);
      }
      at(x, y) = v;
    }
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const float hh = 1.0f - at(x, y) / feather_;
      float v = 0.0f;
      if (hh > 0.0f) {
        const float t = std::min(1.0f, hh);
        v = t * t * (3.0f - 2.0f * t);
      }
      canvasOut[static_cast<size_t>(box.y0 + y) * canvas_ + box.x0 + x] = v;
    }
}

void LipContour::contourF32(const double* poly, const Box& box, float* canvasOut) {
  raster_.resize(static_cast<size_t>(box.x1 - box.x0) * static_cast<size_t>(box.y1 - box.y0));
  fillScanline(poly, box, raster_.data());
  featherBox(box, canvasOut);
}

void LipContour::contourF32Canvas(const float* kp, float* canvasOut) {
  std::fill(canvasOut, canvasOut + static_cast<size_t>(canvas_) * canvas_, 0.0f);
  polygon(kp, poly_.data());
  contourF32(poly_.data(), box(poly_.data()), canvasOut);
}

void LipContour::deliveredU8(const float* kp, const UnifiedPi& pi, uint8_t* out) {
  polygon(kp, poly_.data());
  const Box b = box(poly_.data());
  if (b.x1 <= b.x0 || b.y1 <= b.y0 || pi.canvas != canvas_) {
    std::fill(out, out + static_cast<size_t>(canvas_) * canvas_, uint8_t{0});
    return;
  }
  std::fill(canvasF_.begin(), canvasF_.end(), 0.0f);
  contourF32(poly_.data(), b, canvasF_.data());
  pi.piU8ShrunkBy(kp, canvasF_.data(), b, out);
}

bool LipContour::shrinkU8InPlace(const float* kp, const Box& boxIn, uint8_t* mask) {
  polygon(kp, poly_.data());
  const Box cb = box(poly_.data());
  const int x0 = std::max(0, boxIn.x0), x1 = std::min(canvas_, boxIn.x1);
  const int y0 = std::max(0, boxIn.y0), y1 = std::min(canvas_, boxIn.y1);
  const bool overlap = std::max(x0, cb.x0) < std::min(x1, cb.x1) && std::max(y0, cb.y0) < std::min(y1, cb.y1);
  if (overlap) contourF32(poly_.data(), cb, canvasF_.data());
  for (int j = y0; j < y1; ++j)
    for (int i = x0; i < x1; ++i) {
      uint8_t& m = mask[static_cast<size_t>(j) * canvas_ + i];
      if (!overlap || i < cb.x0 || i >= cb.x1 || j < cb.y0 || j >= cb.y1) {
        m = 0;
        continue;
      }
      m = toByte(std::min(m / 255.0f, canvasF_[static_cast<size_t>(j) * canvas_ + i]));
    }
  return overlap;
}

bool LipContour::deliveredU8AndShift(const float* kp, const UnifiedPi& pi, const double c_canon[2], uint8_t* out,
                                     int* dy, int* dx) {
  if (pi.canvas != canvas_) return false;  // the two masks must share one canvas
  if (!pi.piU8AndShift(kp, c_canon, out, dy, dx)) return false;
  return shrinkU8InPlace(kp, pi.supportBox(kp), out);
}

}  // namespace ka::tessera
