// Per-pixel steps of the compositor shared by the scalar resamplers and the vectorised Lanczos row
// kernel: locating a frame pixel in the crop, the feathered mask's alpha, and the blend.
#pragma once

#include <cmath>
#include <cstdint>

namespace ka {
namespace paste_px {

// Where frame pixel (X, Y) (crop position in 1/1024 pixels, phase rounding already added) reads
// the crop: integer position and 1/32 phases. False when the pixel keeps its background.
struct Loc {
  int sx, sy, fx, fy;
};

inline bool locate(int64_t X, int64_t Y, int side, Loc& l) {
  if (X < -1024 || Y < -1024) return false;
  const int64_t sx = X >> 10, sy = Y >> 10;
  if (sx >= side || sy >= side) return false;
  l.sx = int(sx);
  l.sy = int(sy);
  l.fx = int((X >> 5) & 31);
  l.fy = int((Y >> 5) & 31);
  return true;
}

// Bilinear sample of the mask with the pixel's phases (samples outside the crop count as 0),
// rounded to a whole mask level (0 .. 255). The pixel's alpha is that level / 255; callers test
// the level, so the skip decision does not wait for the division.
inline float maskLevelOf(float m00, float m10, float m01, float m11, const Loc& l, const float* linearTab) {
  const float wx0 = linearTab[2 * l.fx], wx1 = linearTab[2 * l.fx + 1];
  const float wy0 = linearTab[2 * l.fy], wy1 = linearTab[2 * l.fy + 1];
  return std::nearbyint((wx0 * m00 + wx1 * m10) * wy0 + (wx0 * m01 + wx1 * m11) * wy1);
}

inline float maskLevel(const uint8_t* mask, int side, const Loc& l, const float* linearTab) {
  auto at = [&](int x, int y) -> float {
    return (x >= 0 && x < side && y >= 0 && y < side) ? float(mask[size_t(y) * side + x]) : 0.0f;
  };
  return maskLevelOf(at(l.sx, l.sy), at(l.sx + 1, l.sy), at(l.sx, l.sy + 1), at(l.sx + 1, l.sy + 1), l, linearTab);
}

// The same level from a copy of the mask with a one-pixel zero border ((side + 2)^2 bytes; mask
// pixel (x, y) at (y + 1) * (side + 2) + x + 1), which needs no bounds tests for located pixels.
inline float maskLevelBordered(const uint8_t* bordered, int side, const Loc& l, const float* linearTab) {
  const size_t stride = size_t(side) + 2;
  const uint8_t* m = bordered + size_t(l.sy + 1) * stride + size_t(l.sx + 1);
  return maskLevelOf(float(m[0]), float(m[1]), float(m[stride]), float(m[stride + 1]), l, linearTab);
}

// Clamp to [0, 255]; NaN goes to 0, so nothing undefined reaches a byte conversion.
// Written as two selects the compiler turns into max / min, so no branch waits on the value.
inline float clamp255(float v) {
  v = v > 0.0f ? v : 0.0f;
  return v < 255.0f ? v : 255.0f;
}

// out = background (1 - alpha) + alpha v, clamped and truncated toward zero.
inline void blend(uint8_t* px, float alpha, const float v[3]) {
  const float keep = 1.0f - alpha;
  for (int c = 0; c < 3; ++c) px[c] = uint8_t(clamp255(float(px[c]) * keep + alpha * v[c]));
}

}  // namespace paste_px
}  // namespace ka
