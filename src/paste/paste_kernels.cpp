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
HWY_INLINE Px4 AddScaled(Px4 acc, float w, const float* p) {
  return AddScaled(acc, w, hn::LoadU(D4(), p));
}
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

void pasteLanczos8Row(const PasteRow& row) { HWY_DYNAMIC_DISPATCH(PasteLanczos8Row)(row); }

void unsharpHorizontal(const float* in, const float* g, int k, float* out, size_t begin, size_t end) {
  HWY_DYNAMIC_DISPATCH(UnsharpHorizontal)(in, g, k, out, begin, end);
}

void unsharpSharpenRow(const float* hBlur, size_t stride, const float* g, int k, float amount, float* row,
                       int width) {
  HWY_DYNAMIC_DISPATCH(UnsharpSharpenRow)(hBlur, stride, g, k, amount, row, width);
}

}  // namespace simd
}  // namespace ka
#endif
