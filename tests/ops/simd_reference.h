// Plain scalar references for the vectorised kernels, written independently of the library
// (conversions through frexp/ldexp and nearbyint rather than bit tricks), and a way to pin the
// kernels' run-time dispatch to one compiled target. Shared by the kernel tests and benchmarks.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "hwy/targets.h"

namespace ka::simdref {

inline uint32_t bitsOf(float f) {
  uint32_t u;
  std::memcpy(&u, &f, 4);
  return u;
}

inline float floatOf(uint32_t u) {
  float f;
  std::memcpy(&f, &u, 4);
  return f;
}

// Same bits, or both NaN: arithmetic on two NaNs may keep either payload.
inline bool sameFloat(float a, float b) { return bitsOf(a) == bitsOf(b) || (std::isnan(a) && std::isnan(b)); }

// IEEE binary32 -> binary16, round to nearest even (the default rounding mode of nearbyint).
inline uint16_t toHalf(float f) {
  const uint32_t bits = bitsOf(f);
  const uint16_t sign = uint16_t((bits >> 31) << 15);
  if (std::isnan(f)) return uint16_t(sign | 0x7E00 | ((bits >> 13) & 0x3FF));
  const double a = std::fabs(double(f));
  if (a == 0.0) return sign;
  if (std::isinf(a)) return uint16_t(sign | 0x7C00);
  int e;
  std::frexp(a, &e);
  int E = e - 1;  // a = 1.m x 2^E
  if (E < -14) {
    // Subnormal: a multiple of 2^-24; 1024 units is the smallest normal, whose pattern is 0x400.
    return uint16_t(sign | uint16_t(std::nearbyint(std::ldexp(a, 24))));
  }
  double q = std::nearbyint(std::ldexp(a, 10 - E));  // in [1024, 2048]
  if (q == 2048.0) {
    q = 1024.0;
    ++E;
  }
  if (E > 15) return uint16_t(sign | 0x7C00);
  return uint16_t(sign | uint16_t((E + 15) << 10) | uint16_t(q - 1024.0));
}

// binary16 -> binary32, exact; a NaN comes back quiet with its payload.
inline float fromHalf(uint16_t h) {
  const bool neg = (h & 0x8000) != 0;
  const int e = (h >> 10) & 0x1F;
  const int m = h & 0x3FF;
  if (e == 31) {
    if (m == 0) return neg ? -INFINITY : INFINITY;
    return floatOf((neg ? 0x80000000u : 0u) | 0x7FC00000u | (uint32_t(m) << 13));
  }
  const double v = e == 0 ? std::ldexp(double(m), -24) : std::ldexp(double(1024 + m), e - 25);
  return float(neg ? -v : v);
}

inline float roundHalf(float f) { return fromHalf(toHalf(f)); }

inline float retrievalMean(const uint16_t* a, const uint16_t* b, size_t stride, size_t i) {
  const float d0 = std::fabs(roundHalf(fromHalf(a[i]) - fromHalf(b[i])));
  const float d1 = std::fabs(roundHalf(fromHalf(a[stride + i]) - fromHalf(b[stride + i])));
  const float d2 = std::fabs(roundHalf(fromHalf(a[2 * stride + i]) - fromHalf(b[2 * stride + i])));
  const float s = (d0 + d1) + d2;
  return roundHalf(s / 3.0f);
}

inline float retrievePooled(const uint16_t* a, const uint16_t* b, const uint16_t* w, size_t n) {
  float total = 0.0f;
  for (size_t i = 0; i < n; ++i) total += roundHalf(retrievalMean(a, b, n, i) * fromHalf(w[i]));
  return total;
}

inline float retrieveExactRange(const uint16_t* a, const uint16_t* b, const float* w, size_t stride, size_t lo,
                                size_t hi) {
  float total = 0.0f;
  for (size_t i = lo; i < hi; ++i) {
    if (w[i] != 0.0f) total += retrievalMean(a, b, stride, i) * w[i];
  }
  return total;
}

// Direct 3x3, padding 1: rows outside the image skipped, columns outside read as zero.
inline void conv3x3(const float* in, int N, int Cin, int H, int W, const float* weight, const float* bias, int Cout,
                    float* out) {
  for (int n = 0; n < N; ++n) {
    for (int co = 0; co < Cout; ++co) {
      for (int y = 0; y < H; ++y) {
        for (int x = 0; x < W; ++x) {
          float acc = 0.0f;
          for (int ky = 0; ky < 3; ++ky) {
            const int yy = y + ky - 1;
            if (yy < 0 || yy >= H) continue;
            for (int kx = 0; kx < 3; ++kx) {
              const int xx = x + kx - 1;
              for (int ci = 0; ci < Cin; ++ci) {
                const float v = (xx < 0 || xx >= W) ? 0.0f : in[((size_t(n) * Cin + ci) * H + yy) * W + xx];
                acc += weight[((size_t(co) * Cin + ci) * 3 + ky) * 3 + kx] * v;
              }
            }
          }
          out[((size_t(n) * Cout + co) * H + y) * W + x] = bias ? acc + bias[co] : acc;
        }
      }
    }
  }
}

inline uint8_t clamp255(int v) { return uint8_t(std::min(255, std::max(0, v))); }

inline void yuvRow(const uint8_t* y, const uint8_t* u, const uint8_t* v, int width, int step, uint8_t* rgb) {
  for (int x = 0; x < width; ++x) {
    const int C = 298 * (y[x] - 16) + 128;
    const int U = u[step * (x / 2)] - 128;
    const int V = v[step * (x / 2)] - 128;
    rgb[3 * x + 0] = clamp255((C + 409 * V) >> 8);
    rgb[3 * x + 1] = clamp255((C - 100 * U - 208 * V) >> 8);
    rgb[3 * x + 2] = clamp255((C + 516 * U) >> 8);
  }
}

// ---- Target pinning --------------------------------------------------------------------------

// The x86 targets the kernels are compiled for, best last, each present only when this
// processor runs it; the portable fallback always.
inline std::vector<int64_t> runnableTargets() {
  hwy::SetSupportedTargetsForTest(0);
  const int64_t cpu = hwy::SupportedTargets();
  // The portable fallback is SCALAR with gcc and EMU128 with clang (Highway picks it per compiler).
  std::vector<int64_t> out{(HWY_TARGETS & HWY_EMU128) ? int64_t(HWY_EMU128) : int64_t(HWY_SCALAR)};
  for (int64_t t :
       {int64_t(HWY_SSSE3), int64_t(HWY_SSE4), int64_t(HWY_AVX2), int64_t(HWY_AVX3), int64_t(HWY_AVX3_DL)}) {
    if (cpu & t) out.push_back(t);
  }
  return out;
}

// While alive, every kernel dispatches to `target` only.
class TargetPin {
 public:
  explicit TargetPin(int64_t target) { set(target); }
  ~TargetPin() { set(0); }
  TargetPin(const TargetPin&) = delete;
  TargetPin& operator=(const TargetPin&) = delete;

 private:
  static void set(int64_t targets) {
    hwy::SetSupportedTargetsForTest(targets);
    hwy::GetChosenTarget().Update(hwy::SupportedTargets());
  }
};

inline std::string targetName(int64_t t) { return hwy::TargetName(t); }

}  // namespace ka::simdref
