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
void unsharpSharpenRow(const float* hBlur, size_t stride, const float* g, int k, float amount, float* row, int width);

// The Lanczos-8 stage on a column-major copy of the sharpened crop: a pixel's eight source rows of
// one source column lie next to each other there, so one wide load takes several rows of all
// channels at once, and every lane still adds its products in the order of the plain formula:
// across a source row first (tap 0 to 7), then the eight row sums down the column. A zero border of
// four pixels stands in for the samples outside the crop: a product with a zero sample adds nothing
// to a sum that started at +0, so the bytes equal those of a resampler that leaves such samples out.

// Pixels per side of the zero border around the column-major crop.
constexpr int kColumnBorder = 4;

// Floats in the column-major crop of a side x side crop: (side + 8)^2 pixels of 4 lanes.
inline size_t columnCropFloats(int side) {
  const size_t e = size_t(side) + 2 * kColumnBorder;
  return e * e * 4;
}

// Writes crop columns [x0, x1) of the three planes (side x side, row-major) into `cols`: pixel
// (x, y) goes to ((x + 4) * (side + 8) + y + 4) * 4 as (p0, p1, p2, 0). The border is not written.
void interleaveColumns(const float* p0, const float* p1, const float* p2, int side, float* cols, int x0, int x1);

// Frame rows of the paste in Lanczos mode, each as simd::PasteRow describes it, reading the
// column-major crop. Frame pixel (x0 + k, y0 + i) reads the crop at X = rowX[i] + colX[k],
// Y = rowY[i] + colY[k]. The rows are walked in strips of columns, so that the crop columns one
// strip reads stay in the nearest cache from row to row.
struct PasteColumns {
  const float* cols;            // columnCropFloats(side) floats
  const uint8_t* maskBordered;  // the mask with a one-pixel zero border, (side + 2)^2 bytes
  const float* lanczosTab;      // 32 phases x 8 taps
  const float* lanczosRows;     // 32 phases x 32: lane 4j + c holds tap j
  const float* linearTab;       // 32 phases x 2 taps
  const int64_t* colX;          // `count` entries
  const int64_t* colY;
  const int64_t* rowX;  // one entry per frame row of the box
  const int64_t* rowY;
  int side;
  int count;
  uint8_t* frame;      // frame pixel (x0, y0)
  size_t frameStride;  // bytes per frame row
};

// Rows [rowBegin, rowEnd) of the box.
void pasteLanczos8Columns(const PasteColumns& p, int rowBegin, int rowEnd);

}  // namespace simd
}  // namespace ka
