// The compositor's vectorised kernels, dispatched at run time to the best compiled x86 target like
// the rest of ka::simd: the unsharp mask's two passes and the Lanczos-8 row resampler. Every
// target adds each output's products in the same order as the plain loops described here.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ka {
namespace simd {

// One frame row of the paste in Lanczos mode. Pixel k (frame column x0 + k) reads the crop at
// X = rowX + colX[k], Y = rowY + colY[k] (1/1024 pixels, phase rounding included); pixels outside
// the crop or under a zero mask keep their background. The value is
// sum_j wy_j * sum_i wx_i * s(sx - 3 + i, sy - 3 + j) per channel, samples outside the crop left
// out, then blended over dst (3 bytes per pixel).
struct PasteRow {
  const float* rgba4;       // side x side pixels of (c0, c1, c2, 0)
  const uint8_t* mask;      // side x side
  const float* lanczosTab;  // 32 phases x 8 taps
  const float* linearTab;   // 32 phases x 2 taps
  const int64_t* colX;      // count entries
  const int64_t* colY;
  int64_t rowX;
  int64_t rowY;
  int side;
  int count;
  uint8_t* dst;  // frame row, at column x0
};

void pasteLanczos8Row(const PasteRow& row);

// Horizontal Gaussian pass over a flat buffer: out[n] = sum_{t=0}^{k-1} g[t] * in[n + t] for
// n in [begin, end), taps added in order of t starting from 0.
void unsharpHorizontal(const float* in, const float* g, int k, float* out, size_t begin, size_t end);

// Vertical pass and sharpening of one crop row: blur[x] = sum_{j=0}^{k-1} g[j] * hBlur[j * stride + x]
// (in order of j, from 0), then row[x] = clamp((1 + amount) * row[x] - amount * blur[x], 0, 255),
// a NaN giving 0; x in [0, width).
void unsharpSharpenRow(const float* hBlur, size_t stride, const float* g, int k, float amount, float* row,
                       int width);

}  // namespace simd
}  // namespace ka
