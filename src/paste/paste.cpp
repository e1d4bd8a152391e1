#include "paste/paste.h"
#include "base/log.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <stdexcept>
#include <string>

#include "ops/pool.h"
#include "paste/paste_kernels.h"
#include "paste/paste_pixel.h"

namespace ka {
namespace {

constexpr int kPhases = 32;
constexpr int kMaxSide = 1024;
constexpr int kMaxKsize = 2 * kMaxSide + 1;
constexpr uint64_t kMinPart = 64;
// Fixed-point terms beyond this no longer hold whole 1/1024 steps in a double; a transform that
// needs them is too degenerate to resample.
constexpr double kMaxFixed = 4503599627370496.0;  // 2^52

int envInt(const char* name, bool& set) {
  const char* v = std::getenv(name);
  set = v != nullptr;
  return v ? int(std::strtol(v, nullptr, 10)) : 0;
}

// Reflect-101 index into [0, n): the edge sample is not repeated. Folds as often as needed, so a
// border wider than the plane still lands inside it.
inline int reflect101(int i, int n) {
  if (n == 1) return 0;
  for (;;) {
    if (i < 0) i = -i;
    if (i < n) return i;
    i = 2 * n - i - 2;
  }
}

std::once_flag g_executorLine;

}  // namespace

Paste::Paste(std::vector<uint8_t> m, int s, Unsharp u)
    : side(s), ksize(u.ksize), padded(0), amount(u.amount), fast(0), mask(std::move(m)) {
  if (side < 1 || mask.size() != size_t(side) * size_t(side)) throw std::runtime_error("paste: mask size");
  if (ksize % 2 == 0) throw std::runtime_error("paste: ksize must be odd");
  // A kernel is bounded before its square sizes two buffers.
  if (ksize > kMaxKsize)
    throw std::runtime_error("paste: ksize " + std::to_string(ksize) + " is more than " + std::to_string(kMaxKsize));

  bool set = false;
  const int f = envInt("KA_PASTE_FAST", set);
  fast = (f == 1 || f == 2) ? f : 0;
  const int k = envInt("KA_PASTE_KSIZE", set);
  if (set && k > 2 && k % 2 == 1 && k <= ksize) ksize = k;
  padded = side + ksize - 1;

  // Gaussian taps (a negative ksize fails here as an impossible allocation).
  gauss.assign(size_t(ksize), 0.0f);
  {
    std::vector<double> g(gauss.size());
    const double c = (ksize - 1) / 2, s2 = double(u.sigma) * double(u.sigma);
    double sum = 0;
    for (int i = 0; i < ksize; ++i) {
      g[i] = std::exp(-((i - c) * (i - c)) / (2.0 * s2));
      sum += g[i];
    }
    if (std::isfinite(sum) && sum > 0) {
      for (int i = 0; i < ksize; ++i) gauss[i] = float(g[i] / sum);
    } else {
      // sigma 0 (or not a number) has no Gaussian; its limit is the identity kernel.
      gauss[ksize / 2] = 1.0f;
    }
  }

  lanczosTab.assign(kPhases * 8, 0.0f);
  linearTab.assign(kPhases * 2, 0.0f);
  cubicTab.assign(kPhases * 4, 0.0f);
  const double r = 0.7071067811865476;
  const double cs[8][2] = {{1, 0}, {-r, -r}, {0, 1}, {r, -r}, {-1, 0}, {r, r}, {0, -1}, {-r, r}};
  for (int i = 0; i < kPhases; ++i) {
    const double t = i / 32.0;
    linearTab[2 * i] = float(1.0 - t);
    linearTab[2 * i + 1] = float(t);

    const double t1 = t + 1, u1 = 1 - t;
    const float w0 = float(((-0.75 * t1 + 3.75) * t1 - 6) * t1 + 3);
    const float w1 = float((1.25 * t - 2.25) * t * t + 1);
    const float w2 = float((1.25 * u1 - 2.25) * u1 * u1 + 1);
    float* cub = &cubicTab[4 * i];
    cub[0] = w0;
    cub[1] = w1;
    cub[2] = w2;
    cub[3] = 1.0f - w0 - w1 - w2;

    float* lz = &lanczosTab[8 * i];
    if (t < 1e-7) {
      lz[3] = 1.0f;
      continue;
    }
    const double y0 = -(t + 3) * M_PI / 4, s0 = std::sin(y0), c0 = std::cos(y0);
    double w[8], sum = 0;
    for (int j = 0; j < 8; ++j) {
      const double y = (t + 3 - j) * M_PI / 4;
      w[j] = (cs[j][0] * s0 + cs[j][1] * c0) / (y * y);
      sum += w[j];
    }
    for (int j = 0; j < 8; ++j) lz[j] = float(w[j] / sum);
  }
  lanczosRows.assign(kPhases * 32, 0.0f);
  for (int i = 0; i < kPhases * 32; ++i) lanczosRows[i] = lanczosTab[8 * (i / 32) + (i % 32) / 4];

  // Every paste refuses a side beyond the limit, so such a compositor never builds its buffers.
  if (side > kMaxSide) return;
  const size_t plane = size_t(side) * size_t(side);
  for (auto& p : planes) p.assign(plane, 0.0f);
  padPlane.assign(size_t(padded) * size_t(padded), 0.0f);
  hBlur.assign(size_t(padded) * size_t(padded), 0.0f);
  columns.assign(simd::columnCropFloats(side), 0.0f);
  maskBordered.assign((size_t(side) + 2) * (size_t(side) + 2), 0);
  for (int y = 0; y < side; ++y)
    std::copy_n(mask.data() + size_t(y) * side, side, maskBordered.data() + (size_t(y) + 1) * (side + 2) + 1);
}

bool Paste::compositeGpuRgba(const float*, float, const float*, uint8_t*, int, int) { return false; }

void Paste::composite(const float* crop, float scale, const float* M, uint8_t* frame, int W, int H) {
  const double det = double(M[0]) * double(M[4]) - double(M[1]) * double(M[3]);
  if (det == 0 || !std::isfinite(det)) return;

  // Bounding box of the crop's square extended by the 4-pixel filter reach.
  const float lo = -4.0f, hi = float(side + 3);
  const float us[4] = {lo, hi, lo, hi}, vs[4] = {lo, lo, hi, hi};
  float xmin = INFINITY, xmax = -INFINITY, ymin = INFINITY, ymax = -INFINITY;
  for (int c = 0; c < 4; ++c) {
    const float x = M[0] * us[c] + M[1] * vs[c] + M[2];
    const float y = M[3] * us[c] + M[4] * vs[c] + M[5];
    if (!std::isfinite(x) || !std::isfinite(y)) return;
    xmin = std::min(xmin, x);
    xmax = std::max(xmax, x);
    ymin = std::min(ymin, y);
    ymax = std::max(ymax, y);
  }
  // Clamped in floating point first so no out-of-range value is converted to int.
  const int x0 = int(std::max(0.0, std::floor(double(xmin))));
  const int y0 = int(std::max(0.0, std::floor(double(ymin))));
  const int x1 = int(std::min(double(W) - 1, std::ceil(double(xmax))));
  const int y1 = int(std::min(double(H) - 1, std::ceil(double(ymax))));
  if (x0 > x1 || y0 > y1) return;

  double a[6];
  a[0] = M[4] / det;
  a[1] = -M[1] / det;
  a[3] = -M[3] / det;
  a[4] = M[0] / det;
  a[2] = -(M[2] * a[0] + M[5] * a[1]);
  a[5] = -(M[2] * a[3] + M[5] * a[4]);
  // The per-row and per-column fixed-point terms are linear, so their extremes sit at the corners.
  for (double x : {double(x0), double(x1)})
    if (!(std::fabs(x * a[0] * 1024) < kMaxFixed && std::fabs(x * a[3] * 1024) < kMaxFixed)) return;
  for (double y : {double(y0), double(y1)})
    if (!(std::fabs((y * a[1] + a[2]) * 1024) < kMaxFixed && std::fabs((y * a[4] + a[5]) * 1024) < kMaxFixed)) return;

  const size_t cols = size_t(x1 - x0 + 1);
  if (colX.size() < cols) {
    colX.resize(cols);
    colY.resize(cols);
  }
  for (int x = x0; x <= x1; ++x) {
    colX[x - x0] = int64_t(std::rint(x * a[0] * 1024));
    colY[x - x0] = int64_t(std::rint(x * a[3] * 1024));
  }

  std::call_once(g_executorLine, [&] {
    log::printf(log::Level::Info, "[ka-paste] executor=%s (side=%d, ksize=%d, threads=%d) \xE2\x80\x94 1080p frame\n",
                "cpu", side, ksize, pool::threads());
  });

  if (side > kMaxSide) throw std::runtime_error("paste: side > 1024");
  fillPlanes(crop, scale);
  for (auto& p : planes) unsharpPlane(p.data());
  compositeTail(a, x0, x1, y0, y1, frame, W);
}

void Paste::fillPlanes(const float* crop, float scale) {
  const size_t n = size_t(side) * size_t(side);
  for (int k = 0; k < 3; ++k) {
    float* dst = planes[k].data();
    const float* src = crop + k * n;
    for (size_t i = 0; i < n; ++i) dst[i] = scale * src[i];
  }
}

void Paste::unsharpPlane(float* P) {
  const int k = ksize, h = k / 2, p = padded, s = side;
  float* pad = padPlane.data();
  float* hb = hBlur.data();
  const float* g = gauss.data();

  pool::parallelRange(uint64_t(p), kMinPart, [&](uint64_t b, uint64_t e) {
    for (uint64_t r = b; r < e; ++r) {
      const float* src = P + size_t(reflect101(int(r) - h, s)) * s;
      float* dst = pad + r * p;
      for (int c = 0; c < h; ++c) dst[c] = src[reflect101(c - h, s)];
      std::copy(src, src + s, dst + h);
      for (int c = h + s; c < p; ++c) dst[c] = src[reflect101(c - h, s)];
    }
  });

  // Horizontal taps over the padded buffer as one flat array; the last k - 1 entries stay 0.
  const uint64_t total = uint64_t(p) * p;
  const uint64_t outs = total - uint64_t(k) + 1;
  std::fill(hb + outs, hb + total, 0.0f);
  pool::parallelRange(outs, kMinPart, [&](uint64_t b, uint64_t e) { simd::unsharpHorizontal(pad, g, k, hb, b, e); });

  pool::parallelRange(uint64_t(s), kMinPart, [&](uint64_t b, uint64_t e) {
    for (uint64_t y = b; y < e; ++y) simd::unsharpSharpenRow(hb + y * p, size_t(p), g, k, amount, P + y * s, s);
  });
}

void Paste::compositeTail(const double a[6], int x0, int x1, int y0, int y1, uint8_t* frame, int W) {
  const int s = side;
  const int count = x1 - x0 + 1;
  const uint64_t rows = uint64_t(y1 - y0 + 1);
  auto rowTerms = [&](int y, int64_t& rx, int64_t& ry) {
    rx = int64_t(std::rint((y * a[1] + a[2]) * 1024)) + 16;
    ry = int64_t(std::rint((y * a[4] + a[5]) * 1024)) + 16;
  };

  if (fast == 0) {
    pool::parallelRange(uint64_t(s), kMinPart, [&](uint64_t b, uint64_t e) {
      simd::interleaveColumns(planes[0].data(), planes[1].data(), planes[2].data(), s, columns.data(), int(b), int(e));
    });
    if (rowX.size() < rows) {
      rowX.resize(rows);
      rowY.resize(rows);
    }
    for (uint64_t i = 0; i < rows; ++i) rowTerms(y0 + int(i), rowX[i], rowY[i]);
    simd::PasteColumns r;
    r.cols = columns.data();
    r.maskBordered = maskBordered.data();
    r.lanczosTab = lanczosTab.data();
    r.lanczosRows = lanczosRows.data();
    r.linearTab = linearTab.data();
    r.colX = colX.data();
    r.colY = colY.data();
    r.rowX = rowX.data();
    r.rowY = rowY.data();
    r.side = s;
    r.count = count;
    r.frame = frame + (size_t(y0) * W + x0) * 3;
    r.frameStride = size_t(W) * 3;
    pool::parallelRange(rows, kMinPart, [&](uint64_t b, uint64_t e) { simd::pasteLanczos8Columns(r, int(b), int(e)); });
    return;
  }

  // Bicubic (4 taps from offset -1) or bilinear (2 taps from offset 0), straight from the planes.
  const int taps = fast == 1 ? 4 : 2, off = fast == 1 ? -1 : 0;
  const float* tab = fast == 1 ? cubicTab.data() : linearTab.data();
  pool::parallelRange(rows, kMinPart, [&](uint64_t b, uint64_t e) {
    for (uint64_t i = b; i < e; ++i) {
      const int y = y0 + int(i);
      int64_t rx, ry;
      rowTerms(y, rx, ry);
      uint8_t* dst = frame + (size_t(y) * W + x0) * 3;
      for (int k = 0; k < count; ++k) {
        paste_px::Loc l;
        if (!paste_px::locate(rx + colX[k], ry + colY[k], s, l)) continue;
        const float level = paste_px::maskLevel(mask.data(), s, l, linearTab.data());
        if (!(level > 0.0f)) continue;
        const float alpha = level / 255.0f;
        const float* wx = tab + taps * l.fx;
        const float* wy = tab + taps * l.fy;
        float v[3];
        for (int c = 0; c < 3; ++c) {
          const float* P = planes[c].data();
          float acc = 0.0f;
          for (int j = 0; j < taps; ++j) {
            const int sy = l.sy + off + j;
            if (sy < 0 || sy >= s) continue;
            float rowSum = 0.0f;
            for (int t = 0; t < taps; ++t) {
              const int sx = l.sx + off + t;
              if (sx < 0 || sx >= s) continue;
              rowSum += wx[t] * P[size_t(sy) * s + sx];
            }
            acc += wy[j] * rowSum;
          }
          v[c] = acc;
        }
        paste_px::blend(dst + 3 * size_t(k), alpha, v);
      }
    }
  });
}

}  // namespace ka
