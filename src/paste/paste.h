// The paste compositor: puts a rendered face crop back into its full-size background frame.
//
// The crop is sharpened with an unsharp mask, warped into the frame through the inverse of the
// frame's paste transform with an 8-tap Lanczos filter (or bicubic / bilinear, KA_PASTE_FAST), and
// blended over the background with a feathered mask warped the same way. Source positions are
// fixed point with 10 fractional bits, quantised to 32 sub-pixel phases whose taps are tabulated
// once.
#pragma once

#include <cstdint>
#include <vector>

namespace ka {

struct Unsharp {
  float amount = 1.3f;
  float sigma = 2.0f;
  int32_t ksize = 13;
};

// One per context, reused for every frame; used by one thread at a time. Each paste splits its
// stages over the calling thread's worker pool.
class Paste {
 public:
  // `mask` (side x side bytes, 255 = crop, 0 = background) is taken over. Reads KA_PASTE_FAST and
  // KA_PASTE_KSIZE. Throws "paste: mask size", "paste: ksize must be odd" and "paste: ksize <k> is
  // more than 2049". A side beyond 1024 builds no buffers: every composite refuses it.
  Paste(std::vector<uint8_t> mask, int side, Unsharp u);
  Paste(const Paste&) = delete;
  Paste& operator=(const Paste&) = delete;

  // Pastes `crop` (3 planes of side x side floats, times `scale`) into `frame` (RGB, W * 3 bytes
  // per row) through the inverse of M = (m00, m01, m02, m10, m11, m12), which maps crop pixel
  // (u, v) to frame pixel (m00 u + m01 v + m02, m10 u + m11 v + m12). A singular M or a crop
  // entirely outside the frame leaves the frame unchanged. Throws "paste: side > 1024".
  void composite(const float* crop, float scale, const float* M, uint8_t* frame, int W, int H);

  // No GPU composition exists: always false, nothing touched.
  bool compositeGpuRgba(const float* crop, float scale, const float* M, uint8_t* rgba, int W, int H);

  int32_t side;
  int32_t ksize;
  int32_t padded;
  float amount;
  int32_t fast;  // 0 Lanczos-8, 1 bicubic, 2 bilinear

 private:
  void fillPlanes(const float* crop, float scale);
  void unsharpPlane(float* plane);
  void compositeTail(const double a[6], int x0, int x1, int y0, int y1, uint8_t* frame, int W);

  std::vector<uint8_t> mask;
  std::vector<uint8_t> maskBordered;  // mask with a one-pixel zero border, (side + 2)^2
  std::vector<float> gauss;
  std::vector<float> lanczosTab;   // 32 x 8
  std::vector<float> lanczosRows;  // 32 x 32: lane 4j + c holds tap j
  std::vector<float> linearTab;    // 32 x 2
  std::vector<float> cubicTab;     // 32 x 4
  std::vector<float> planes[3];
  std::vector<float> padPlane, hBlur;
  std::vector<float> columns;  // the sharpened crop column-major, zero-bordered (simd::interleaveColumns)
  std::vector<int64_t> colX, colY;
  std::vector<int64_t> rowX, rowY;  // per frame row of the box, phase rounding included
};

}  // namespace ka
