// The compositor's kernels, compiled once per x86 target: unsharp passes and the Lanczos-8 rows.
//
// Unsharp passes: each lane is one output value and accumulates its taps in order, so vector width
// changes nothing but speed; row ends take the scalar form of the same loop.
//
// Lanczos rows:
//
// Each pixel's three channels travel as one four-lane vector (c0, c1, c2, 0), so every lane adds
// its 64 products in exactly the order of the scalar formula: across a source row first, then the
// eight row sums down the column. Multiplies and adds stay separate (no fused multiply-add).
// Same target list as the rest of the kernel set: AVX3_DL is opt-in in Highway.
#ifndef HWY_WANT_AVX3_DL
#define HWY_WANT_AVX3_DL
#endif

#include "paste/paste_kernels.h"

#include "paste/paste_pixel.h"

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "paste/paste_kernels.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace ka {
namespace simd {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// Four lanes (c0, c1, c2, 0): one vector where the target has 128-bit vectors, a plain array on
// the single-lane scalar target. acc + w * p, one rounding for the multiply and one for the add.
#if HWY_TARGET == HWY_SCALAR
struct Px4 {
  float v[4];
};
HWY_INLINE Px4 Zero4() { return Px4{{0.0f, 0.0f, 0.0f, 0.0f}}; }
HWY_INLINE Px4 AddScaled(Px4 acc, float w, const Px4& p) {
  for (int c = 0; c < 4; ++c) acc.v[c] = acc.v[c] + w * p.v[c];
  return acc;
}
HWY_INLINE Px4 AddScaled(Px4 acc, float w, const float* p) {
  for (int c = 0; c < 4; ++c) acc.v[c] = acc.v[c] + w * p[c];
  return acc;
}
HWY_INLINE void Store4(const Px4& p, float* out) {
  for (int c = 0; c < 4; ++c) out[c] = p.v[c];
}
#else
using D4 = hn::FixedTag<float, 4>;
using Px4 = hn::Vec<D4>;
HWY_INLINE Px4 Zero4() { return hn::Zero(D4()); }
HWY_INLINE Px4 AddScaled(Px4 acc, float w, Px4 p) { return hn::Add(acc, hn::Mul(hn::Set(D4(), w), p)); }
HWY_INLINE Px4 AddScaled(Px4 acc, float w, const float* p) { return AddScaled(acc, w, hn::LoadU(D4(), p)); }
HWY_INLINE void Store4(Px4 p, float* out) { hn::StoreU(p, D4(), out); }
#endif

// acc + g * x, then the sharpening, for one element: the scalar form every target uses at row ends.
HWY_INLINE float SharpenScalar(float p, float blur, float keep, float amount) {
  return paste_px::clamp255(keep * p - amount * blur);
}

void UnsharpHorizontal(const float* in, const float* g, int k, float* out, size_t begin, size_t end) {
  size_t n = begin;
#if HWY_TARGET != HWY_SCALAR
  const hn::ScalableTag<float> d;
  const size_t N = hn::Lanes(d);
  for (; n + 2 * N <= end; n += 2 * N) {
    auto a0 = hn::Zero(d), a1 = hn::Zero(d);
    for (int t = 0; t < k; ++t) {
      const auto gt = hn::Set(d, g[t]);
      a0 = hn::Add(a0, hn::Mul(gt, hn::LoadU(d, in + n + t)));
      a1 = hn::Add(a1, hn::Mul(gt, hn::LoadU(d, in + n + N + t)));
    }
    hn::StoreU(a0, d, out + n);
    hn::StoreU(a1, d, out + n + N);
  }
#endif
  for (; n < end; ++n) {
    float acc = 0.0f;
    for (int t = 0; t < k; ++t) acc = acc + g[t] * in[n + t];
    out[n] = acc;
  }
}

void UnsharpSharpenRow(const float* hb, size_t stride, const float* g, int k, float amount, float* row, int width) {
  const float keep = 1.0f + amount;
  int x = 0;
#if HWY_TARGET != HWY_SCALAR
  const hn::ScalableTag<float> d;
  const int N = int(hn::Lanes(d));
  const auto vKeep = hn::Set(d, keep), vAmount = hn::Set(d, amount);
  const auto zero = hn::Zero(d), top = hn::Set(d, 255.0f);
  for (; x + N <= width; x += N) {
    auto blur = hn::Zero(d);
    for (int j = 0; j < k; ++j) blur = hn::Add(blur, hn::Mul(hn::Set(d, g[j]), hn::LoadU(d, hb + j * stride + x)));
    const auto v = hn::Sub(hn::Mul(vKeep, hn::LoadU(d, row + x)), hn::Mul(vAmount, blur));
    // v > 0 ? min(v, 255) : 0, so a NaN becomes 0 as in the scalar form.
    hn::StoreU(hn::IfThenElse(hn::Gt(v, zero), hn::Min(v, top), zero), d, row + x);
  }
#endif
  for (; x < width; ++x) {
    float blur = 0.0f;
    for (int j = 0; j < k; ++j) blur = blur + g[j] * hb[j * stride + x];
    row[x] = SharpenScalar(row[x], blur, keep, amount);
  }
}

void PasteLanczos8Row(const PasteRow& r) {
  const int side = r.side;
  const size_t rowStride = size_t(side) * 4;
  for (int k = 0; k < r.count; ++k) {
    const int64_t X = r.rowX + r.colX[k], Y = r.rowY + r.colY[k];
    paste_px::Loc l;
    if (!paste_px::locate(X, Y, side, l)) continue;
    const float level = paste_px::maskLevel(r.mask, side, l, r.linearTab);
    if (!(level > 0.0f)) continue;
    const float alpha = level / 255.0f;
    const float* wx = r.lanczosTab + 8 * l.fx;
    const float* wy = r.lanczosTab + 8 * l.fy;
    Px4 v = Zero4();
    const bool colsInside = X > 3071 && l.sx + 4 < side;
    if (colsInside && Y > 3071 && l.sy + 4 < side) {
      const float* src = r.rgba4 + (size_t(l.sy - 3) * side + size_t(l.sx - 3)) * 4;
      for (int j = 0; j < 8; ++j, src += rowStride) {
        Px4 acc = Zero4();
        for (int i = 0; i < 8; ++i) acc = AddScaled(acc, wx[i], src + 4 * i);
        v = AddScaled(v, wy[j], acc);
      }
    } else {
      for (int j = 0; j < 8; ++j) {
        const int sy = l.sy - 3 + j;
        if (sy < 0 || sy >= side) continue;
        const float* src = r.rgba4 + size_t(sy) * rowStride;
        Px4 acc = Zero4();
        for (int i = 0; i < 8; ++i) {
          const int sx = l.sx - 3 + i;
          if (!colsInside && (sx < 0 || sx >= side)) continue;
          acc = AddScaled(acc, wx[i], src + 4 * size_t(sx));
        }
        v = AddScaled(v, wy[j], acc);
      }
    }
    float out[4];
    Store4(v, out);
    paste_px::blend(r.dst + 3 * size_t(k), alpha, out);
  }
}

void InterleaveColumns(const float* p0, const float* p1, const float* p2, int side, float* cols, int x0, int x1) {
  const size_t height = size_t(side) + 2 * kColumnBorder;
  auto at = [&](int x, int y) { return cols + ((size_t(x) + kColumnBorder) * height + size_t(y) + kColumnBorder) * 4; };
  int x = x0;
#if HWY_TARGET != HWY_SCALAR
  // Four columns at a time: a 4 x 4 transpose of (c0, c1, c2, 0) per source row.
  const D4 d;
  const hn::Repartition<uint64_t, D4> d64;
  const auto z = hn::Zero(d);
  for (; x + 4 <= x1; x += 4) {
    float *o0 = at(x, 0), *o1 = at(x + 1, 0), *o2 = at(x + 2, 0), *o3 = at(x + 3, 0);
    for (int y = 0; y < side; ++y) {
      const size_t i = size_t(y) * side + size_t(x);
      const auto a = hn::LoadU(d, p0 + i), b = hn::LoadU(d, p1 + i), c = hn::LoadU(d, p2 + i);
      const auto ab0 = hn::BitCast(d64, hn::InterleaveLower(d, a, b));
      const auto cz0 = hn::BitCast(d64, hn::InterleaveLower(d, c, z));
      const auto ab1 = hn::BitCast(d64, hn::InterleaveUpper(d, a, b));
      const auto cz1 = hn::BitCast(d64, hn::InterleaveUpper(d, c, z));
      hn::StoreU(hn::BitCast(d, hn::InterleaveLower(d64, ab0, cz0)), d, o0 + 4 * size_t(y));
      hn::StoreU(hn::BitCast(d, hn::InterleaveUpper(d64, ab0, cz0)), d, o1 + 4 * size_t(y));
      hn::StoreU(hn::BitCast(d, hn::InterleaveLower(d64, ab1, cz1)), d, o2 + 4 * size_t(y));
      hn::StoreU(hn::BitCast(d, hn::InterleaveUpper(d64, ab1, cz1)), d, o3 + 4 * size_t(y));
    }
  }
#endif
  for (; x < x1; ++x) {
    float* o = at(x, 0);
    for (int y = 0; y < side; ++y, o += 4) {
      const size_t i = size_t(y) * side + size_t(x);
      o[0] = p0[i];
      o[1] = p1[i];
      o[2] = p2[i];
      o[3] = 0.0f;
    }
  }
}

// One pixel of a strip row that takes the crop: its first source column (at the pixel's first
// source row), its horizontal taps, its vertical taps spread over 32 lanes, and its first byte.
struct ColumnTake {
  const float* col;
  const float* wx;
  const float* wy;
  int e;
};

// The Lanczos values of P pixels, their sums interleaved so that one pixel's chain of dependent
// additions overlaps the others'. Pixels are written in order: each stores four lanes, the fourth
// (always +0, the sum of the zero lane) landing on the next pixel's first value before that pixel
// writes its own.
template <int P>
HWY_INLINE void ResampleColumns(const ColumnTake* t, size_t colStride, float* value3) {
  // Eight rows of four lanes per source column: 32 floats in V vectors of N lanes.
  const hn::CappedTag<float, 16> d;
  constexpr size_t N = hn::MaxLanes(d);
  constexpr size_t V = 32 / N;
  using VF = hn::Vec<decltype(d)>;
  VF acc[P][V];
  for (int p = 0; p < P; ++p)
    for (size_t q = 0; q < V; ++q) acc[p][q] = hn::Zero(d);
  for (int c = 0; c < 8; ++c) {
    for (int p = 0; p < P; ++p) {
      const VF w = hn::Set(d, t[p].wx[c]);
      const float* col = t[p].col + size_t(c) * colStride;
      for (size_t q = 0; q < V; ++q) acc[p][q] = hn::Add(acc[p][q], hn::Mul(w, hn::LoadU(d, col + q * N)));
    }
  }
  HWY_ALIGN float sums[P][32];
  for (int p = 0; p < P; ++p)
    for (size_t q = 0; q < V; ++q) hn::Store(hn::Mul(acc[p][q], hn::LoadU(d, t[p].wy + q * N)), d, sums[p] + q * N);
  Px4 v[P];
  for (int p = 0; p < P; ++p) v[p] = Zero4();
  for (int j = 0; j < 8; ++j)
    for (int p = 0; p < P; ++p) v[p] = AddScaled(v[p], 1.0f, sums[p] + 4 * j);
  for (int p = 0; p < P; ++p) Store4(v[p], value3 + t[p].e);
}

// bytes[e] = clamp(bytes[e] (1 - alpha[e]) + alpha[e] value[e]) truncated, as paste_px::blend.
void BlendBytes(uint8_t* bytes, const float* alpha, const float* value, int count) {
  int e = 0;
#if HWY_TARGET != HWY_SCALAR
  const hn::CappedTag<float, 16> df;
  const hn::Rebind<int32_t, decltype(df)> di;
  const hn::Rebind<uint8_t, decltype(df)> d8;
  const int N = int(hn::Lanes(df));
  const auto one = hn::Set(df, 1.0f), zero = hn::Zero(df), top = hn::Set(df, 255.0f);
  for (; e + N <= count; e += N) {
    const auto a = hn::LoadU(df, alpha + e);
    const auto bg = hn::ConvertTo(df, hn::PromoteTo(di, hn::LoadU(d8, bytes + e)));
    auto o = hn::Add(hn::Mul(bg, hn::Sub(one, a)), hn::Mul(a, hn::LoadU(df, value + e)));
    o = hn::Min(hn::Max(o, zero), top);
    hn::StoreU(hn::DemoteTo(d8, hn::ConvertTo(di, o)), d8, bytes + e);
  }
#endif
  for (; e < count; ++e) {
    const float a = alpha[e];
    bytes[e] = uint8_t(int(paste_px::clamp255(float(bytes[e]) * (1.0f - a) + a * value[e])));
  }
}

void PasteLanczos8Columns(const PasteColumns& r, int rowBegin, int rowEnd) {
  constexpr int kStrip = 48;
  const int side = r.side;
  const size_t height = size_t(side) + 2 * kColumnBorder;
  const size_t colStride = height * 4;
  // One strip row at a time: first the pixels that take the crop (position, mask), then their
  // resampled values, then the blend of the whole strip row, so that the resampling loop runs
  // without data-dependent branches and the blend runs on full vectors. A pixel that keeps its
  // background blends with alpha 0 and value 0, which gives back its byte exactly.
  ColumnTake take[kStrip];
  HWY_ALIGN float alpha3[3 * kStrip + 16];
  HWY_ALIGN float value3[3 * kStrip + 16];
  for (int k0 = 0; k0 < r.count; k0 += kStrip) {
    const int k1 = k0 + kStrip < r.count ? k0 + kStrip : r.count;
    const int bytes = 3 * (k1 - k0);
    for (int i = rowBegin; i < rowEnd; ++i) {
      for (int e = 0; e <= bytes; ++e) alpha3[e] = value3[e] = 0.0f;
      int n = 0;
      for (int k = k0; k < k1; ++k) {
        paste_px::Loc l;
        if (!paste_px::locate(r.rowX[i] + r.colX[k], r.rowY[i] + r.colY[k], side, l)) continue;
        const float level = paste_px::maskLevelBordered(r.maskBordered, side, l, r.linearTab);
        if (!(level > 0.0f)) continue;
        const int e = 3 * (k - k0);
        alpha3[e] = alpha3[e + 1] = alpha3[e + 2] = level / 255.0f;
        // Column sx - 3 and row sy - 3 sit at sx + 1 and sy + 1 behind the border (sx, sy >= -1).
        take[n++] = ColumnTake{r.cols + (size_t(l.sx + 1) * height + size_t(l.sy + 1)) * 4, r.lanczosTab + 8 * l.fx,
                               r.lanczosRows + 32 * l.fy, e};
      }
      int m = 0;
      for (; m + 4 <= n; m += 4) ResampleColumns<4>(take + m, colStride, value3);
      for (; m < n; ++m) ResampleColumns<1>(take + m, colStride, value3);
      BlendBytes(r.frame + size_t(i) * r.frameStride + 3 * size_t(k0), alpha3, value3, bytes);
    }
  }
}

// NOLINTNEXTLINE(google-readability-namespace-comments)
}  // namespace HWY_NAMESPACE
}  // namespace simd
}  // namespace ka
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace ka {
namespace simd {

HWY_EXPORT(PasteLanczos8Row);
HWY_EXPORT(UnsharpHorizontal);
HWY_EXPORT(UnsharpSharpenRow);
HWY_EXPORT(InterleaveColumns);
HWY_EXPORT(PasteLanczos8Columns);

void pasteLanczos8Row(const PasteRow& row) { HWY_DYNAMIC_DISPATCH(PasteLanczos8Row)(row); }

void interleaveColumns(const float* p0, const float* p1, const float* p2, int side, float* cols, int x0, int x1) {
  HWY_DYNAMIC_DISPATCH(InterleaveColumns)(p0, p1, p2, side, cols, x0, x1);
}

void pasteLanczos8Columns(const PasteColumns& p, int rowBegin, int rowEnd) {
  HWY_DYNAMIC_DISPATCH(PasteLanczos8Columns)(p, rowBegin, rowEnd);
}

void unsharpHorizontal(const float* in, const float* g, int k, float* out, size_t begin, size_t end) {
  HWY_DYNAMIC_DISPATCH(UnsharpHorizontal)(in, g, k, out, begin, end);
}

void unsharpSharpenRow(const float* hBlur, size_t stride, const float* g, int k, float amount, float* row, int width) {
  HWY_DYNAMIC_DISPATCH(UnsharpSharpenRow)(hBlur, stride, g, k, amount, row, width);
}

}  // namespace simd
}  // namespace ka
#endif
