// WarpDirector's two passes, compiled once per x86 target through Highway's foreach_target and
// dispatched at run time like the rest of the kernel set. Every target keeps the scalar formulas'
// rounding points: separate multiplies and adds, sums in the formulas' order.
#ifndef HWY_WANT_AVX3_DL
#define HWY_WANT_AVX3_DL
#endif

#include "ops/warp_director.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

// ---------------------------------------------------------------------------------------------
// The scalar formulas, shared by every target for borders and remainders.
#ifndef KA_OPS_WARP_SCALAR_ONCE
#define KA_OPS_WARP_SCALAR_ONCE

namespace ka {
namespace warpdetail {

inline int clampi(int v, int lo, int hi) { return v < lo ? lo : (v > hi ? hi : v); }

// The 12 plane values of source pixel (r, c), reading through clamped indices.
inline void pixelPlanes(const float* src, int W, int H, int r, int c, float* dst) {
  const size_t plane = size_t(W) * size_t(H);
  const int rows[3] = {clampi(r - 1, 0, H - 1), clampi(r, 0, H - 1), clampi(r + 1, 0, H - 1)};
  const int cols[3] = {clampi(c - 1, 0, W - 1), clampi(c, 0, W - 1), clampi(c + 1, 0, W - 1)};
  for (int ch = 0; ch < 3; ++ch) {
    const float* s = src + size_t(ch) * plane;
    auto v = [&](int y, int x) { return s[size_t(rows[y]) * size_t(W) + size_t(cols[x])]; };
    const float p2 = (v(0, 1) - 2.0f * v(1, 1)) + v(2, 1);
    dst[4 * ch + 0] = v(1, 1);
    dst[4 * ch + 1] = (v(1, 0) - 2.0f * v(1, 1)) + v(1, 2);
    dst[4 * ch + 2] = p2;
    dst[4 * ch + 3] = (((v(0, 0) - 2.0f * v(1, 0)) + v(2, 0)) - 2.0f * p2) + ((v(0, 2) - 2.0f * v(1, 2)) + v(2, 2));
  }
}

// Where and how one output pixel samples the planes.
struct Tap {
  int32_t off;     // float offset of tap (y0, x0)
  int32_t dx, dy;  // offsets of (y0, x1) and (y1, x0) from it
  float w00, w01, w10, w11, nx, ny, nxy;
};

// Border clamp of an unnormalised position; a NaN position clamps to 0.
inline float clampPos(float p, float hi) { return p >= 0.0f ? (p < hi ? p : hi) : 0.0f; }

inline Tap pixelTap(float gx, float gy, int W, int H) {
  Tap t;
  const float X = ((1.0f + gx) * float(W) - 1.0f) * 0.5f;
  const float Y = ((1.0f + gy) * float(H) - 1.0f) * 0.5f;
  const float tx = X - std::floor(X), ty = Y - std::floor(Y);
  t.nx = ((1.0f - tx) * tx) * 0.5f;
  t.ny = ((1.0f - ty) * ty) * 0.5f;
  t.nxy = t.nx * t.ny;
  const float xc = clampPos(X, float(W - 1)), yc = clampPos(Y, float(H - 1));
  const float x0f = std::floor(xc), y0f = std::floor(yc);
  const float fx = xc - x0f, fy = yc - y0f;
  const int x0 = int(x0f), y0 = int(y0f);
  const int x1 = std::min(x0 + 1, W - 1), y1 = std::min(y0 + 1, H - 1);
  t.w00 = (1.0f - fx) * (1.0f - fy);
  t.w01 = fx * (1.0f - fy);
  t.w10 = (1.0f - fx) * fy;
  t.w11 = fx * fy;
  t.off = (y0 * W + x0) * 12;
  t.dx = (x1 - x0) * 12;
  t.dy = (y1 - y0) * W * 12;
  return t;
}

// Output pixel j (all three channels) from its tap.
inline void gatherPixel(const float* planes, const Tap& t, float* out, size_t plane, size_t j) {
  const float* p00 = planes + t.off;
  const float* p01 = p00 + t.dx;
  const float* p10 = p00 + t.dy;
  const float* p11 = p10 + t.dx;
  for (int ch = 0; ch < 3; ++ch) {
    float a[4];
    for (int k = 0; k < 4; ++k) {
      const int i = 4 * ch + k;
      a[k] = ((t.w00 * p00[i] + t.w01 * p01[i]) + t.w10 * p10[i]) + t.w11 * p11[i];
    }
    out[size_t(ch) * plane + j] = t.nxy * a[3] + ((a[0] - t.nx * a[1]) - t.ny * a[2]);
  }
}

}  // namespace warpdetail
}  // namespace ka

#endif  // KA_OPS_WARP_SCALAR_ONCE

// ---------------------------------------------------------------------------------------------
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "ops/warp_director.cpp"
#include "hwy/foreach_target.h"  // IWYU pragma: keep
#include "hwy/highway.h"

HWY_BEFORE_NAMESPACE();
namespace ka {
namespace warpdetail {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

#if HWY_TARGET != HWY_SCALAR
// Transposes four vectors within every 128-bit block: lane k of block b of output i is lane i of
// block b of input k.
template <class D>
HWY_INLINE void Transpose4(D d, hn::Vec<D>& r0, hn::Vec<D>& r1, hn::Vec<D>& r2, hn::Vec<D>& r3) {
  const hn::Repartition<uint64_t, D> d64;
  const auto t0 = hn::BitCast(d64, hn::InterleaveLower(d, r0, r1));
  const auto t1 = hn::BitCast(d64, hn::InterleaveLower(d, r2, r3));
  const auto t2 = hn::BitCast(d64, hn::InterleaveUpper(d, r0, r1));
  const auto t3 = hn::BitCast(d64, hn::InterleaveUpper(d, r2, r3));
  r0 = hn::BitCast(d, hn::InterleaveLower(d64, t0, t1));
  r1 = hn::BitCast(d, hn::InterleaveUpper(d64, t0, t1));
  r2 = hn::BitCast(d, hn::InterleaveLower(d64, t2, t3));
  r3 = hn::BitCast(d, hn::InterleaveUpper(d64, t2, t3));
}
#endif

void PlanesRows(const float* HWY_RESTRICT src, float* HWY_RESTRICT planes, int W, int H, int r0, int r1) {
  for (int r = r0; r < r1; ++r) {
    float* row = planes + size_t(r) * size_t(W) * 12;
    int c = 0;
    pixelPlanes(src, W, H, r, c++, row);
#if HWY_TARGET != HWY_SCALAR
    // Interior columns, four at a time: every read inside the row, rows clamped by pointer.
    const hn::FixedTag<float, 4> d;
    const auto two = hn::Set(d, 2.0f);
    const size_t plane = size_t(W) * size_t(H);
    const size_t up = size_t(std::max(r - 1, 0)) * size_t(W), mid = size_t(r) * size_t(W),
                 dn = size_t(std::min(r + 1, H - 1)) * size_t(W);
    for (; c + 4 <= W - 1; c += 4) {
      for (int ch = 0; ch < 3; ++ch) {
        const float* s = src + size_t(ch) * plane + size_t(c);
        const auto uL = hn::LoadU(d, s + up - 1), uC = hn::LoadU(d, s + up), uR = hn::LoadU(d, s + up + 1);
        const auto mL = hn::LoadU(d, s + mid - 1), mC = hn::LoadU(d, s + mid), mR = hn::LoadU(d, s + mid + 1);
        const auto dL = hn::LoadU(d, s + dn - 1), dC = hn::LoadU(d, s + dn), dR = hn::LoadU(d, s + dn + 1);
        const auto m2 = hn::Mul(two, mC);
        auto p0 = mC;
        auto p1 = hn::Add(hn::Sub(mL, m2), mR);
        auto p2 = hn::Add(hn::Sub(uC, m2), dC);
        const auto left = hn::Add(hn::Sub(uL, hn::Mul(two, mL)), dL);
        const auto right = hn::Add(hn::Sub(uR, hn::Mul(two, mR)), dR);
        auto p3 = hn::Add(hn::Sub(left, hn::Mul(two, p2)), right);
        Transpose4(d, p0, p1, p2, p3);
        float* o = row + size_t(c) * 12 + size_t(4 * ch);
        hn::StoreU(p0, d, o);
        hn::StoreU(p1, d, o + 12);
        hn::StoreU(p2, d, o + 24);
        hn::StoreU(p3, d, o + 36);
      }
    }
#endif
    for (; c < W; ++c) pixelPlanes(src, W, H, r, c, row + size_t(c) * 12);
  }
}

constexpr int kChunk = 64;  // output pixels whose taps are computed together

struct TapChunk {
  alignas(64) int32_t off[kChunk], dx[kChunk], dy[kChunk];
  alignas(64) float w00[kChunk], w01[kChunk], w10[kChunk], w11[kChunk], nx[kChunk], ny[kChunk], nxy[kChunk];
  void set(int k, const Tap& t) {
    off[k] = t.off, dx[k] = t.dx, dy[k] = t.dy;
    w00[k] = t.w00, w01[k] = t.w01, w10[k] = t.w10, w11[k] = t.w11;
    nx[k] = t.nx, ny[k] = t.ny, nxy[k] = t.nxy;
  }
  Tap get(int k) const { return Tap{off[k], dx[k], dy[k], w00[k], w01[k], w10[k], w11[k], nx[k], ny[k], nxy[k]}; }
};

// Taps of the n pixels starting at grid pair `g`.
void ChunkTaps(const float* HWY_RESTRICT g, int n, int W, int H, TapChunk& t) {
  int k = 0;
#if HWY_TARGET != HWY_SCALAR
  const hn::ScalableTag<float> d;
  const hn::RebindToSigned<decltype(d)> di;
  const int N = int(hn::Lanes(d));
  const auto one = hn::Set(d, 1.0f), half = hn::Set(d, 0.5f), zero = hn::Zero(d);
  const auto wf = hn::Set(d, float(W)), hf = hn::Set(d, float(H));
  const auto wHi = hn::Set(d, float(W - 1)), hHi = hn::Set(d, float(H - 1));
  const auto wLast = hn::Set(di, W - 1), hLast = hn::Set(di, H - 1), oneI = hn::Set(di, 1);
  const auto twelve = hn::Set(di, 12), rowStride = hn::Set(di, 12 * W), wI = hn::Set(di, W);
  for (; k + N <= n; k += N) {
    const auto lo = hn::LoadU(d, g + 2 * k), hi = hn::LoadU(d, g + 2 * k + N);
    const auto gx = hn::ConcatEven(d, hi, lo), gy = hn::ConcatOdd(d, hi, lo);
    const auto X = hn::Mul(hn::Sub(hn::Mul(hn::Add(one, gx), wf), one), half);
    const auto Y = hn::Mul(hn::Sub(hn::Mul(hn::Add(one, gy), hf), one), half);
    const auto tx = hn::Sub(X, hn::Floor(X)), ty = hn::Sub(Y, hn::Floor(Y));
    const auto nx = hn::Mul(hn::Mul(hn::Sub(one, tx), tx), half);
    const auto ny = hn::Mul(hn::Mul(hn::Sub(one, ty), ty), half);
    const auto xc = hn::IfThenElseZero(hn::Ge(X, zero), hn::Min(X, wHi));
    const auto yc = hn::IfThenElseZero(hn::Ge(Y, zero), hn::Min(Y, hHi));
    const auto x0f = hn::Floor(xc), y0f = hn::Floor(yc);
    const auto fx = hn::Sub(xc, x0f), fy = hn::Sub(yc, y0f);
    const auto ofx = hn::Sub(one, fx), ofy = hn::Sub(one, fy);
    const auto x0 = hn::ConvertTo(di, x0f), y0 = hn::ConvertTo(di, y0f);
    const auto x1 = hn::Min(hn::Add(x0, oneI), wLast), y1 = hn::Min(hn::Add(y0, oneI), hLast);
    hn::Store(hn::Mul(hn::Add(hn::Mul(y0, wI), x0), twelve), di, t.off + k);
    hn::Store(hn::Mul(hn::Sub(x1, x0), twelve), di, t.dx + k);
    hn::Store(hn::Mul(hn::Sub(y1, y0), rowStride), di, t.dy + k);
    hn::Store(hn::Mul(ofx, ofy), d, t.w00 + k);
    hn::Store(hn::Mul(fx, ofy), d, t.w01 + k);
    hn::Store(hn::Mul(ofx, fy), d, t.w10 + k);
    hn::Store(hn::Mul(fx, fy), d, t.w11 + k);
    hn::Store(nx, d, t.nx + k);
    hn::Store(ny, d, t.ny + k);
    hn::Store(hn::Mul(nx, ny), d, t.nxy + k);
  }
#endif
  for (; k < n; ++k) t.set(k, pixelTap(g[2 * k], g[2 * k + 1], W, H));
}

#if HWY_TARGET != HWY_SCALAR
using DF = hn::ScalableTag<float>;
constexpr size_t kLanes = hn::MaxLanes(DF());
constexpr size_t kVecs = (12 + kLanes - 1) / kLanes;      // vectors per pixel's 12 plane values
constexpr size_t kLastLanes = 12 - (kVecs - 1) * kLanes;  // used lanes of the last one
static_assert(kLanes == 4 || kLanes == 8 || kLanes == 16, "x86 vectors hold 4, 8 or 16 floats");

// Vector v of the 12 plane values at p (never reading past them).
HWY_INLINE hn::Vec<DF> LoadPlanes(const float* p, size_t v) {
  const DF d;
  if (v + 1 < kVecs || kLastLanes == kLanes) return hn::LoadU(d, p + v * kLanes);
  return hn::MaskedLoad(hn::FirstN(d, kLastLanes), d, p + v * kLanes);
}

// Stores 128-bit block b of `v` at `dst`.
HWY_INLINE void StoreBlock(hn::Vec<DF> v, size_t b, float* dst) {
  const DF d;
  if constexpr (kLanes == 4) {
    (void)b;
    hn::StoreU(v, d, dst);
  } else if constexpr (kLanes == 8) {
    const hn::Half<DF> d4;
    hn::StoreU(b == 0 ? hn::LowerHalf(d4, v) : hn::UpperHalf(d4, v), d4, dst);
  } else {
    const hn::Half<DF> d8;
    const hn::Half<decltype(d8)> d4;
    const auto h = b < 2 ? hn::LowerHalf(d8, v) : hn::UpperHalf(d8, v);
    hn::StoreU((b & 1) == 0 ? hn::LowerHalf(d4, h) : hn::UpperHalf(d4, h), d4, dst);
  }
}
#endif

void GatherRows(const float* HWY_RESTRICT planes, const float* HWY_RESTRICT grid, float* HWY_RESTRICT out, int W,
                int H, int r0, int r1) {
  const size_t plane = size_t(W) * size_t(H);
  TapChunk t;
  for (int i = r0; i < r1; ++i) {
    for (int x0 = 0; x0 < W; x0 += kChunk) {
      const int n = std::min(kChunk, W - x0);
      const size_t j0 = size_t(i) * size_t(W) + size_t(x0);
      ChunkTaps(grid + 2 * j0, n, W, H, t);
      int p = 0;
#if HWY_TARGET != HWY_SCALAR
      const DF d;
      for (; p + 4 <= n; p += 4) {
        hn::Vec<DF> a[kVecs][4];
        for (int q = 0; q < 4; ++q) {
          const int k = p + q;
          const float* p00 = planes + t.off[k];
          const float* p01 = p00 + t.dx[k];
          const float* p10 = p00 + t.dy[k];
          const float* p11 = p10 + t.dx[k];
          const auto w00 = hn::Set(d, t.w00[k]), w01 = hn::Set(d, t.w01[k]);
          const auto w10 = hn::Set(d, t.w10[k]), w11 = hn::Set(d, t.w11[k]);
          for (size_t v = 0; v < kVecs; ++v) {
            auto acc = hn::Mul(w00, LoadPlanes(p00, v));
            acc = hn::Add(acc, hn::Mul(w01, LoadPlanes(p01, v)));
            acc = hn::Add(acc, hn::Mul(w10, LoadPlanes(p10, v)));
            a[v][q] = hn::Add(acc, hn::Mul(w11, LoadPlanes(p11, v)));
          }
        }
        // Lane q of block b now holds pixel q's A_k of channel b; after the transpose, vector k
        // holds A_k of the four pixels, one channel per block.
        const auto nx = hn::LoadDup128(d, t.nx + p), ny = hn::LoadDup128(d, t.ny + p);
        const auto nxy = hn::LoadDup128(d, t.nxy + p);
        for (size_t v = 0; v < kVecs; ++v) {
          Transpose4(d, a[v][0], a[v][1], a[v][2], a[v][3]);
          const auto o = hn::Add(hn::Mul(nxy, a[v][3]), hn::Sub(hn::Sub(a[v][0], hn::Mul(nx, a[v][1])),
                                                              hn::Mul(ny, a[v][2])));
          for (size_t b = 0; b < kLanes / 4; ++b) {
            const size_t ch = v * (kLanes / 4) + b;
            if (ch < 3) StoreBlock(o, b, out + ch * plane + j0 + size_t(p));
          }
        }
      }
#endif
      for (; p < n; ++p) gatherPixel(planes, t.get(p), out, plane, j0 + size_t(p));
    }
  }
}

const char* TargetName() { return hwy::TargetName(HWY_TARGET); }

}  // namespace HWY_NAMESPACE
}  // namespace warpdetail
}  // namespace ka
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace ka {
namespace warpdetail {
HWY_EXPORT(PlanesRows);
HWY_EXPORT(GatherRows);
HWY_EXPORT(TargetName);
}  // namespace warpdetail

void warpDirectorPlanesBand(const float* src, float* planes, int W, int H, int rowBegin, int rowEnd) {
  rowBegin = std::max(rowBegin, 0);
  rowEnd = std::min(rowEnd, H);
  if (W <= 0 || rowBegin >= rowEnd) return;
  HWY_DYNAMIC_DISPATCH(warpdetail::PlanesRows)(src, planes, W, H, rowBegin, rowEnd);
}

void warpDirectorGatherBand(const float* planes, const float* grid, float* out, int W, int H, int rowBegin,
                            int rowEnd) {
  rowBegin = std::max(rowBegin, 0);
  rowEnd = std::min(rowEnd, H);
  if (W <= 0 || rowBegin >= rowEnd) return;
  HWY_DYNAMIC_DISPATCH(warpdetail::GatherRows)(planes, grid, out, W, H, rowBegin, rowEnd);
}

void warpDirectorBand(const float* src, const float* grid, float* out, int W, int H, int rowBegin, int rowEnd) {
  rowBegin = std::max(rowBegin, 0);
  rowEnd = std::min(rowEnd, H);
  const size_t plane = size_t(W) * size_t(H);
  for (int i = rowBegin; i < rowEnd; ++i) {
    for (int x = 0; x < W; ++x) {
      const size_t j = size_t(i) * size_t(W) + size_t(x);
      warpdetail::Tap t = warpdetail::pixelTap(grid[2 * j], grid[2 * j + 1], W, H);
      // The four taps' plane values, laid out as a 2 x 2 patch of the planes.
      float patch[4 * 12];
      const int y0 = t.off / 12 / W, x0 = t.off / 12 % W;
      const int x1 = x0 + t.dx / 12, y1 = y0 + t.dy / (12 * W);
      warpdetail::pixelPlanes(src, W, H, y0, x0, patch);
      warpdetail::pixelPlanes(src, W, H, y0, x1, patch + 12);
      warpdetail::pixelPlanes(src, W, H, y1, x0, patch + 24);
      warpdetail::pixelPlanes(src, W, H, y1, x1, patch + 36);
      t.off = 0, t.dx = 12, t.dy = 24;
      warpdetail::gatherPixel(patch, t, out, plane, j);
    }
  }
}

void warpDirector(const float* src, const float* grid, float* out, int W, int H) {
  warpDirectorBand(src, grid, out, W, H, 0, H);
}

const char* warpBody() { return HWY_DYNAMIC_DISPATCH(warpdetail::TargetName)(); }

}  // namespace ka
#endif  // HWY_ONCE
