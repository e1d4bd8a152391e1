// The compositor's Lanczos-8 row resampler, one frame row per call, vectorised and dispatched at
// run time to the best compiled x86 target like the rest of ka::simd.
#pragma once

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

}  // namespace simd
}  // namespace ka
