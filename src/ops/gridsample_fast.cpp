// GridSampleFast's band kernel, compiled once per x86 target through Highway's foreach_target and
// dispatched at run time.
//
// The C input planes lie exactly H * W floats apart (1 MiB for 512 x 512), so the same pixel of
// every plane falls into the same cache set: a loop that finishes all C channels of one output
// pixel before the next keeps 2C source rows and C output rows in flight in one set and thrashes
// both cache levels. The vector bodies therefore work per row segment in two passes: the taps'
// offsets and weights of up to kSegment pixels are computed once into small stack tables, then
// each channel runs over the whole segment, reading a few short contiguous source spans and writing
// one contiguous output span before the next channel starts.
//
// Every body reproduces the scalar formula bit for bit: positions, floors, clamps and weights
// round at the same points, and the blend keeps its multiplies and adds apart (never MulAdd) in
// the formula's order.

// AVX3_DL (Ice Lake and later, and AMD's AVX-512 parts) is left out of Highway's default list;
// opt in so it is compiled.
#ifndef HWY_WANT_AVX3_DL
#define HWY_WANT_AVX3_DL
#endif

#include "ops/gridsample_fast.h"

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>

// ---------------------------------------------------------------------------------------------
// The scalar formula, compiled once.
#ifndef KA_OPS_GRIDSAMPLE_SCALAR_ONCE
#define KA_OPS_GRIDSAMPLE_SCALAR_ONCE

namespace ka {
namespace gsdetail {

// floor(p) as an integer. Positions outside the int range (and NaN) become INT_MIN; the clamped
// taps then read column/row 0.
inline int floorIndex(float p) {
  if (!(p >= -2147483648.f && p < 2147483648.f)) return INT_MIN;
  int t = int(p);
  return p < float(t) ? t - 1 : t;
}

inline int clampIndex(int v, int hi) { return v < 0 ? 0 : (v > hi ? hi : v); }

// The four taps of one output pixel: offsets into a plane and their weights.
struct Taps {
  size_t a0, a1, b0, b1;
  float w00, w01, w10, w11;
};

inline Taps pixelTaps(const float* g, int H, int W) {
  const float gx = g[0], gy = g[1];
  const float px = ((1.f + gx) * 0.5f) * float(W) - 0.5f;
  const float py = ((1.f + gy) * 0.5f) * float(H) - 0.5f;
  const int x0 = floorIndex(px), y0 = floorIndex(py);
  const float fx = px - float(x0), fy = py - float(y0);
  const int xa = clampIndex(x0, W - 1), xb = clampIndex(x0 + 1, W - 1);
  const int ya = clampIndex(y0, H - 1), yb = clampIndex(y0 + 1, H - 1);
  Taps t;
  t.a0 = size_t(ya) * W + xa;
  t.a1 = size_t(ya) * W + xb;
  t.b0 = size_t(yb) * W + xa;
  t.b1 = size_t(yb) * W + xb;
  t.w00 = (1.f - fx) * (1.f - fy);
  t.w01 = fx * (1.f - fy);
  t.w10 = (1.f - fx) * fy;
  t.w11 = fx * fy;
  return t;
}

inline float blend(const float* p, size_t a0, size_t a1, size_t b0, size_t b1, float w00, float w01, float w10,
                   float w11) {
  return ((w00 * p[a0] + w01 * p[a1]) + w10 * p[b0]) + w11 * p[b1];
}

// Pixels per segment of the vector bodies: 8 tables of 4-byte entries, 8 KiB on the stack.
inline constexpr int kSegment = 256;

}  // namespace gsdetail
}  // namespace ka

#endif  // KA_OPS_GRIDSAMPLE_SCALAR_ONCE

// ---------------------------------------------------------------------------------------------
// Per-target bodies.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "ops/gridsample_fast.cpp"
#include "hwy/foreach_target.h"  // IWYU pragma: keep
#include "hwy/highway.h"

HWY_BEFORE_NAMESPACE();
namespace ka {
namespace gsdetail {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

using DF = hn::ScalableTag<float>;
using DI = hn::RebindToSigned<DF>;

// AVX2 and AVX-512 bodies read the taps of a block of lanes from contiguous source spans instead of
// gathers (slow on some of these processors): when a block's taps lie in a window of at most
// kWindowRows rows and 2 * lanes columns, each channel loads those rows' spans and picks every
// lane's two columns with a two-table permute, keeping per lane the picks of its own two rows.
// Blocks whose taps spread wider take the scalar formula lane by lane.
#undef KA_GS_WINDOW
#if HWY_TARGET == HWY_AVX2 || HWY_TARGET == HWY_AVX3 || HWY_TARGET == HWY_AVX3_DL
#define KA_GS_WINDOW 1
#else
#define KA_GS_WINDOW 0
#endif
constexpr int kWindowRows = 8;

// Tap tables of one row segment: plane offsets (32-bit; the caller checks H * W fits) and weights;
// with windows, per lane the columns within the block's window and the rows below its first row,
// and per block the window's first element (-1: no window).
struct Segment {
  HWY_ALIGN int32_t a0[kSegment], a1[kSegment], b0[kSegment], b1[kSegment];
  HWY_ALIGN float w00[kSegment], w01[kSegment], w10[kSegment], w11[kSegment];
#if KA_GS_WINDOW
  HWY_ALIGN int32_t colA[kSegment], colB[kSegment], rowA[kSegment], rowB[kSegment];
  int32_t windowAt[kSegment], windowRows[kSegment];
#endif
};

#if KA_GS_WINDOW
// Lane l of the result: idx[l] < lanes ? lo[idx[l]] : hi[idx[l] - lanes]; idx in [0, 2 * lanes).
#if HWY_TARGET == HWY_AVX2
HWY_INLINE hn::Vec<DF> Lookup2(hn::Vec<DF> lo, hn::Vec<DF> hi, hn::Vec<DI> idx) {
  const __m256 a = _mm256_permutevar8x32_ps(lo.raw, idx.raw), b = _mm256_permutevar8x32_ps(hi.raw, idx.raw);
  return hn::Vec<DF>{_mm256_blendv_ps(a, b, _mm256_castsi256_ps(_mm256_slli_epi32(idx.raw, 28)))};
}
#else
HWY_INLINE hn::Vec<DF> Lookup2(hn::Vec<DF> lo, hn::Vec<DF> hi, hn::Vec<DI> idx) {
  return hn::Vec<DF>{_mm512_permutex2var_ps(lo.raw, idx.raw, hi.raw)};
}
#endif
#endif

// Tables for pixels [j0, j0 + n) of the row whose grid pairs start at g.
HWY_INLINE void SegmentTaps(const float* HWY_RESTRICT g, int H, int W, int j0, int n, Segment& s) {
  const DF df;
  const DI di;
  const size_t N = hn::Lanes(df);
  const auto one = hn::Set(df, 1.f), half = hn::Set(df, 0.5f);
  const auto fW = hn::Set(df, float(W)), fH = hn::Set(df, float(H));
  const auto lo = hn::Set(df, -2147483648.f), hi = hn::Set(df, 2147483648.f);
  const auto zero = hn::Zero(di), oneI = hn::Set(di, 1), minI = hn::Set(di, INT_MIN);
  const auto maxX = hn::Set(di, W - 1), maxY = hn::Set(di, H - 1), stride = hn::Set(di, W);
  int k = 0;
  for (; k + int(N) <= n; k += int(N)) {
    hn::Vec<DF> gx, gy;
    hn::LoadInterleaved2(df, g + 2 * size_t(j0 + k), gx, gy);
    const auto px = hn::Sub(hn::Mul(hn::Mul(hn::Add(one, gx), half), fW), half);
    const auto py = hn::Sub(hn::Mul(hn::Mul(hn::Add(one, gy), half), fH), half);
    // Floors outside the int range (and NaN) become INT_MIN, as in the scalar formula.
    const auto flx = hn::Floor(px), fly = hn::Floor(py);
    const auto inX = hn::RebindMask(di, hn::And(hn::Ge(px, lo), hn::Lt(px, hi)));
    const auto inY = hn::RebindMask(di, hn::And(hn::Ge(py, lo), hn::Lt(py, hi)));
    const auto x0 = hn::IfThenElse(inX, hn::ConvertTo(di, hn::IfThenElseZero(hn::RebindMask(df, inX), flx)), minI);
    const auto y0 = hn::IfThenElse(inY, hn::ConvertTo(di, hn::IfThenElseZero(hn::RebindMask(df, inY), fly)), minI);
    const auto fx = hn::Sub(px, hn::ConvertTo(df, x0)), fy = hn::Sub(py, hn::ConvertTo(df, y0));
    const auto xa = hn::Min(hn::Max(x0, zero), maxX), xb = hn::Min(hn::Max(hn::Add(x0, oneI), zero), maxX);
    const auto ya = hn::Min(hn::Max(y0, zero), maxY), yb = hn::Min(hn::Max(hn::Add(y0, oneI), zero), maxY);
    const auto rowA = hn::Mul(ya, stride), rowB = hn::Mul(yb, stride);
    hn::Store(hn::Add(rowA, xa), di, s.a0 + k);
    hn::Store(hn::Add(rowA, xb), di, s.a1 + k);
    hn::Store(hn::Add(rowB, xa), di, s.b0 + k);
    hn::Store(hn::Add(rowB, xb), di, s.b1 + k);
    const auto gxw = hn::Sub(one, fx), gyw = hn::Sub(one, fy);
    hn::Store(hn::Mul(gxw, gyw), df, s.w00 + k);
    hn::Store(hn::Mul(fx, gyw), df, s.w01 + k);
    hn::Store(hn::Mul(gxw, fy), df, s.w10 + k);
    hn::Store(hn::Mul(fx, fy), df, s.w11 + k);
#if KA_GS_WINDOW
    // xa <= xb and ya <= yb lane by lane, so the window spans min(xa)..max(xb), min(ya)..max(yb).
    const int cmin = hn::GetLane(hn::MinOfLanes(di, xa)), cmax = hn::GetLane(hn::MaxOfLanes(di, xb));
    const int rmin = hn::GetLane(hn::MinOfLanes(di, ya)), rmax = hn::GetLane(hn::MaxOfLanes(di, yb));
    const int span = 2 * int(N);
    if (W >= span && cmax - cmin < span && rmax - rmin < kWindowRows) {
      const int base = std::min(cmin, W - span);
      s.windowAt[k] = rmin * W + base;
      s.windowRows[k] = rmax - rmin + 1;
      hn::Store(hn::Sub(xa, hn::Set(di, base)), di, s.colA + k);
      hn::Store(hn::Sub(xb, hn::Set(di, base)), di, s.colB + k);
      hn::Store(hn::Sub(ya, hn::Set(di, rmin)), di, s.rowA + k);
      hn::Store(hn::Sub(yb, hn::Set(di, rmin)), di, s.rowB + k);
    } else {
      s.windowAt[k] = -1;
    }
#endif
  }
  for (; k < n; ++k) {
    const Taps t = pixelTaps(g + 2 * size_t(j0 + k), H, W);
    s.a0[k] = int32_t(t.a0);
    s.a1[k] = int32_t(t.a1);
    s.b0[k] = int32_t(t.b0);
    s.b1[k] = int32_t(t.b1);
    s.w00[k] = t.w00;
    s.w01[k] = t.w01;
    s.w10[k] = t.w10;
    s.w11[k] = t.w11;
  }
}

HWY_INLINE float SegmentPixel(const float* HWY_RESTRICT p, const Segment& s, int k) {
  return blend(p, size_t(s.a0[k]), size_t(s.a1[k]), size_t(s.b0[k]), size_t(s.b1[k]), s.w00[k], s.w01[k], s.w10[k],
               s.w11[k]);
}

// One channel over a segment: out[k] = blend of plane p at the segment's taps.
HWY_INLINE void SegmentChannel(const float* HWY_RESTRICT p, const Segment& s, int n, int W, float* HWY_RESTRICT out) {
  const DF df;
  const DI di;
  const size_t N = hn::Lanes(df);
  int k = 0;
  for (; k + int(N) <= n; k += int(N)) {
    hn::Vec<DF> v00, v01, v10, v11;
#if KA_GS_WINDOW
    if (s.windowAt[k] < 0) {
      for (int l = 0; l < int(N); ++l) out[k + l] = SegmentPixel(p, s, k + l);
      continue;
    }
    const auto colA = hn::Load(di, s.colA + k), colB = hn::Load(di, s.colB + k);
    const auto rowA = hn::Load(di, s.rowA + k), rowB = hn::Load(di, s.rowB + k);
    const float* row = p + s.windowAt[k];
    v00 = v01 = v10 = v11 = hn::Zero(df);
    for (int r = 0; r < s.windowRows[k]; ++r, row += W) {
      const auto left = hn::LoadU(df, row), right = hn::LoadU(df, row + N);
      const auto ta = Lookup2(left, right, colA), tb = Lookup2(left, right, colB);
      const auto rv = hn::Set(di, r);
      const auto ma = hn::RebindMask(df, hn::Eq(rowA, rv)), mb = hn::RebindMask(df, hn::Eq(rowB, rv));
      v00 = hn::IfThenElse(ma, ta, v00);
      v01 = hn::IfThenElse(ma, tb, v01);
      v10 = hn::IfThenElse(mb, ta, v10);
      v11 = hn::IfThenElse(mb, tb, v11);
    }
#else
    (void)W;
    v00 = hn::GatherIndex(df, p, hn::Load(di, s.a0 + k));
    v01 = hn::GatherIndex(df, p, hn::Load(di, s.a1 + k));
    v10 = hn::GatherIndex(df, p, hn::Load(di, s.b0 + k));
    v11 = hn::GatherIndex(df, p, hn::Load(di, s.b1 + k));
#endif
    auto acc = hn::Add(hn::Mul(hn::Load(df, s.w00 + k), v00), hn::Mul(hn::Load(df, s.w01 + k), v01));
    acc = hn::Add(acc, hn::Mul(hn::Load(df, s.w10 + k), v10));
    acc = hn::Add(acc, hn::Mul(hn::Load(df, s.w11 + k), v11));
    hn::StoreU(acc, df, out + k);
  }
  for (; k < n; ++k) out[k] = SegmentPixel(p, s, k);
}

// Rows [r0, r1) of one batch item; 0 <= r0 <= r1 <= H, C, H, W > 0 and H * W <= INT32_MAX.
void BandRows(const float* HWY_RESTRICT x, const float* HWY_RESTRICT grid, float* HWY_RESTRICT y, int C, int H, int W,
              int r0, int r1) {
  const size_t plane = size_t(H) * size_t(W);
  Segment s;
  for (int i = r0; i < r1; ++i) {
    const float* g = grid + size_t(i) * W * 2;
    for (int j0 = 0; j0 < W; j0 += kSegment) {
      const int n = std::min(kSegment, W - j0);
      SegmentTaps(g, H, W, j0, n, s);
      const size_t out = size_t(i) * W + size_t(j0);
      for (int c = 0; c < C; ++c) SegmentChannel(x + size_t(c) * plane, s, n, W, y + size_t(c) * plane + out);
    }
  }
}

const char* TargetName() { return hwy::TargetName(HWY_TARGET); }

// NOLINTNEXTLINE(google-readability-namespace-comments)
}  // namespace HWY_NAMESPACE
}  // namespace gsdetail
}  // namespace ka
HWY_AFTER_NAMESPACE();

// ---------------------------------------------------------------------------------------------
// Dispatchers.
#if HWY_ONCE
namespace ka {
namespace gsdetail {
HWY_EXPORT(BandRows);
HWY_EXPORT(TargetName);
}  // namespace gsdetail

void GridSampleFastBandScalar(const float* x, const float* grid, float* y, int C, int H, int W, int rowBegin,
                              int rowEnd) {
  const int r0 = std::max(rowBegin, 0), r1 = std::min(rowEnd, H);
  const size_t plane = size_t(H) * size_t(W);
  for (int i = r0; i < r1; ++i) {
    const float* g = grid + size_t(i) * W * 2;
    for (int j = 0; j < W; ++j) {
      const gsdetail::Taps t = gsdetail::pixelTaps(g + 2 * j, H, W);
      const size_t out = size_t(i) * W + j;
      for (int c = 0; c < C; ++c)
        y[c * plane + out] = gsdetail::blend(x + c * plane, t.a0, t.a1, t.b0, t.b1, t.w00, t.w01, t.w10, t.w11);
    }
  }
}

void gridsample_fast_band(const float* x, const float* grid, float* y, int C, int H, int W, int rowBegin, int rowEnd) {
  if (C <= 0 || H <= 0 || W <= 0) return;
  const int r0 = std::max(rowBegin, 0), r1 = std::min(rowEnd, H);
  if (r0 >= r1) return;
  // The vector bodies index a plane with 32-bit offsets.
  if (size_t(H) * size_t(W) <= size_t(INT32_MAX))
    HWY_DYNAMIC_DISPATCH(gsdetail::BandRows)(x, grid, y, C, H, W, r0, r1);
  else
    GridSampleFastBandScalar(x, grid, y, C, H, W, r0, r1);
}

void gridsample_fast(const float* x, const float* grid, float* y, int C, int H, int W) {
  gridsample_fast_band(x, grid, y, C, H, W, 0, H);
}

const char* gridSampleFastTarget() { return HWY_DYNAMIC_DISPATCH(gsdetail::TargetName)(); }

}  // namespace ka
#endif  // HWY_ONCE
