#include "ops/gridsample_fast.h"

#include <immintrin.h>

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>

namespace ka {

namespace {

// floor(p) as an integer. Positions outside the int range (and NaN) become INT_MIN, which is what
// the vector path's truncating conversion yields too; the clamped taps then read column/row 0.
inline int floorIndex(float p) {
  if (!(p >= -2147483648.f && p < 2147483648.f)) return INT_MIN;
  int t = int(p);
  return p < float(t) ? t - 1 : t;
}

inline int clampIndex(int v, int hi) { return v < 0 ? 0 : (v > hi ? hi : v); }

// Output pixel (i, j) of every channel, by the scalar formula.
inline void samplePixel(const float* x, const float* g, float* y, size_t plane, int C, int H, int W, int i, int j) {
  const float gx = g[0], gy = g[1];
  const float px = ((1.f + gx) * 0.5f) * float(W) - 0.5f;
  const float py = ((1.f + gy) * 0.5f) * float(H) - 0.5f;
  const int x0 = floorIndex(px), y0 = floorIndex(py);
  const float fx = px - float(x0), fy = py - float(y0);
  const int xa = clampIndex(x0, W - 1), xb = clampIndex(x0 + 1, W - 1);
  const int ya = clampIndex(y0, H - 1), yb = clampIndex(y0 + 1, H - 1);
  const float w00 = (1.f - fx) * (1.f - fy), w01 = fx * (1.f - fy);
  const float w10 = (1.f - fx) * fy, w11 = fx * fy;
  const size_t a0 = size_t(ya) * W + xa, a1 = size_t(ya) * W + xb;
  const size_t b0 = size_t(yb) * W + xa, b1 = size_t(yb) * W + xb;
  const size_t out = size_t(i) * W + j;
  for (int c = 0; c < C; ++c) {
    const float* p = x + c * plane;
    y[c * plane + out] = ((w00 * p[a0] + w01 * p[a1]) + w10 * p[b0]) + w11 * p[b1];
  }
}

bool detectAvx2Fma() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
}

}  // namespace

bool gridSampleFastAvx2Available() {
  static const bool available = detectAvx2Fma();
  return available;
}

void GridSampleFastBandScalar(const float* x, const float* grid, float* y, int C, int H, int W, int rowBegin,
                              int rowEnd) {
  const int r0 = std::max(rowBegin, 0), r1 = std::min(rowEnd, H);
  const size_t plane = size_t(H) * size_t(W);
  for (int i = r0; i < r1; ++i) {
    const float* g = grid + size_t(i) * W * 2;
    for (int j = 0; j < W; ++j) samplePixel(x, g + 2 * j, y, plane, C, H, W, i, j);
  }
}

__attribute__((target("avx2,fma"))) void GridSampleFastBandAvx2(const float* x, const float* grid, float* y, int C,
                                                                int H, int W, int rowBegin, int rowEnd) {
  const int r0 = std::max(rowBegin, 0), r1 = std::min(rowEnd, H);
  const size_t plane = size_t(H) * size_t(W);
  const int w8 = W - W % 8;
  const __m256 one = _mm256_set1_ps(1.f), minusHalf = _mm256_set1_ps(-0.5f);
  const __m256 halfW = _mm256_set1_ps(float(W) * 0.5f), halfH = _mm256_set1_ps(float(H) * 0.5f);
  const __m256i zero = _mm256_setzero_si256(), oneI = _mm256_set1_epi32(1);
  const __m256i maxX = _mm256_set1_epi32(W - 1), maxY = _mm256_set1_epi32(H - 1), stride = _mm256_set1_epi32(W);
  for (int i = r0; i < r1; ++i) {
    const float* g = grid + size_t(i) * W * 2;
    const size_t rowOut = size_t(i) * W;
    for (int j = 0; j < w8; j += 8) {
      // Eight interleaved (gx, gy) pairs -> gx lanes and gy lanes in column order.
      const __m256 lo = _mm256_loadu_ps(g + 2 * j), hi = _mm256_loadu_ps(g + 2 * j + 8);
      __m256 gx = _mm256_shuffle_ps(lo, hi, _MM_SHUFFLE(2, 0, 2, 0));
      __m256 gy = _mm256_shuffle_ps(lo, hi, _MM_SHUFFLE(3, 1, 3, 1));
      gx = _mm256_castpd_ps(_mm256_permute4x64_pd(_mm256_castps_pd(gx), _MM_SHUFFLE(3, 1, 2, 0)));
      gy = _mm256_castpd_ps(_mm256_permute4x64_pd(_mm256_castps_pd(gy), _MM_SHUFFLE(3, 1, 2, 0)));
      // (gx + 1) * (W / 2) - 0.5 rounds like ((1 + gx) / 2) * W - 0.5: halving is exact. Kept as
      // a separate multiply and add so both paths place the same positions.
      const __m256 px = _mm256_add_ps(_mm256_mul_ps(_mm256_add_ps(gx, one), halfW), minusHalf);
      const __m256 py = _mm256_add_ps(_mm256_mul_ps(_mm256_add_ps(gy, one), halfH), minusHalf);
      const __m256 flx = _mm256_floor_ps(px), fly = _mm256_floor_ps(py);
      const __m256i x0 = _mm256_cvttps_epi32(flx), y0 = _mm256_cvttps_epi32(fly);
      const __m256 fx = _mm256_sub_ps(px, flx), fy = _mm256_sub_ps(py, fly);
      const __m256i xa = _mm256_min_epi32(_mm256_max_epi32(x0, zero), maxX);
      const __m256i xb = _mm256_min_epi32(_mm256_max_epi32(_mm256_add_epi32(x0, oneI), zero), maxX);
      const __m256i ya = _mm256_min_epi32(_mm256_max_epi32(y0, zero), maxY);
      const __m256i yb = _mm256_min_epi32(_mm256_max_epi32(_mm256_add_epi32(y0, oneI), zero), maxY);
      const __m256 gxw = _mm256_sub_ps(one, fx), gyw = _mm256_sub_ps(one, fy);
      const __m256 w00 = _mm256_mul_ps(gxw, gyw), w01 = _mm256_mul_ps(fx, gyw);
      const __m256 w10 = _mm256_mul_ps(gxw, fy), w11 = _mm256_mul_ps(fx, fy);
      const __m256i rowA = _mm256_mullo_epi32(ya, stride), rowB = _mm256_mullo_epi32(yb, stride);
      const __m256i i00 = _mm256_add_epi32(rowA, xa), i01 = _mm256_add_epi32(rowA, xb);
      const __m256i i10 = _mm256_add_epi32(rowB, xa), i11 = _mm256_add_epi32(rowB, xb);
      for (int c = 0; c < C; ++c) {
        const float* p = x + c * plane;
        __m256 acc = _mm256_mul_ps(w01, _mm256_i32gather_ps(p, i01, 4));
        acc = _mm256_fmadd_ps(w00, _mm256_i32gather_ps(p, i00, 4), acc);
        acc = _mm256_fmadd_ps(w10, _mm256_i32gather_ps(p, i10, 4), acc);
        acc = _mm256_fmadd_ps(w11, _mm256_i32gather_ps(p, i11, 4), acc);
        _mm256_storeu_ps(y + c * plane + rowOut + j, acc);
      }
    }
    for (int j = w8; j < W; ++j) samplePixel(x, g + 2 * j, y, plane, C, H, W, i, j);
  }
}

void gridsample_fast_band(const float* x, const float* grid, float* y, int C, int H, int W, int rowBegin, int rowEnd) {
  if (C <= 0 || H <= 0 || W <= 0) return;
  // The gathers index a plane with 32-bit offsets.
  if (gridSampleFastAvx2Available() && size_t(H) * size_t(W) <= size_t(INT32_MAX))
    GridSampleFastBandAvx2(x, grid, y, C, H, W, rowBegin, rowEnd);
  else
    GridSampleFastBandScalar(x, grid, y, C, H, W, rowBegin, rowEnd);
}

void gridsample_fast(const float* x, const float* grid, float* y, int C, int H, int W) {
  gridsample_fast_band(x, grid, y, C, H, W, 0, H);
}

}  // namespace ka
