// Lanczos-8 row kernel of the compositor, compiled once per x86 target.
//
// Each pixel's three channels travel as one four-lane vector (c0, c1, c2, 0), so every lane adds
// its 64 products in exactly the order of the scalar formula: across a source row first, then the
// eight row sums down the column. Multiplies and adds stay separate (no fused multiply-add).
// Same target list as the rest of the kernel set: AVX3_DL is opt-in in Highway.
#ifndef HWY_WANT_AVX3_DL
#define HWY_WANT_AVX3_DL
#endif

#include "paste/paste_lanczos.h"

#include "paste/paste_pixel.h"

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "paste/paste_lanczos.cpp"
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

void PasteLanczos8Row(const PasteRow& r) {
  const int side = r.side;
  const size_t rowStride = size_t(side) * 4;
  for (int k = 0; k < r.count; ++k) {
    const int64_t X = r.rowX + r.colX[k], Y = r.rowY + r.colY[k];
    paste_px::Loc l;
    if (!paste_px::locate(X, Y, side, l)) continue;
    const float alpha = paste_px::maskAlpha(r.mask, side, l, r.linearTab);
    if (!(alpha > 0.0f)) continue;
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

void pasteLanczos8Row(const PasteRow& row) { HWY_DYNAMIC_DISPATCH(PasteLanczos8Row)(row); }

}  // namespace simd
}  // namespace ka
#endif
