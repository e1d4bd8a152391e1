// The vectorised kernel set, compiled once per x86 target through Highway's foreach_target and
// dispatched at run time. Every target keeps the scalar formula's rounding points: multiplies and
// adds are separate instructions (never MulAdd), half-precision conversions round to nearest even
// at exactly the points the formulas name, and sums run in the formula's order.

// AVX3_DL (Ice Lake and later) is left out of Highway's default list; opt in so it is compiled.
#ifndef HWY_WANT_AVX3_DL
#define HWY_WANT_AVX3_DL
#endif

#include "ops/simd.h"

#include <algorithm>
#include <cstring>
#include <vector>

// ---------------------------------------------------------------------------------------------
// Shared scalar pieces: the exact per-element formulas, used for row remainders and by targets
// whose vectors cannot express a kernel. Compiled once, outside the per-target passes.
#ifndef KA_OPS_SIMD_SCALAR_ONCE
#define KA_OPS_SIMD_SCALAR_ONCE

namespace ka {
namespace simd {
namespace detail {

inline uint32_t floatBits(float f) {
  uint32_t u;
  std::memcpy(&u, &f, 4);
  return u;
}

inline float bitsFloat(uint32_t u) {
  float f;
  std::memcpy(&f, &u, 4);
  return f;
}

// binary32 -> binary16, round to nearest even. The branches mirror the vector form lane for lane.
inline uint16_t halfFromFloat(float f) {
  const uint32_t x = floatBits(f);
  const uint32_t sign = (x >> 16) & 0x8000u;
  const uint32_t ax = x & 0x7FFFFFFFu;
  if (ax > 0x7F800000u) return uint16_t(sign | 0x7E00u | ((ax >> 13) & 0x3FFu));  // NaN, quieted
  if (ax >= 0x477FF000u) return uint16_t(sign | 0x7C00u);                         // rounds to 65520 or more: infinity
  if (ax >= 0x38800000u) {                                                        // normal binary16 range
    uint32_t r = ax - 0x38000000u;                                                // rebias the exponent (127 -> 15)
    r += 0xFFFu + ((r >> 13) & 1u);                                               // ties to even; carries into exponent
    return uint16_t(sign | (r >> 13));
  }
  // Subnormal or zero: adding 0.5 makes the float unit in the last place 2^-24, the binary16
  // subnormal step, so the float adder performs the round-to-nearest-even for us.
  const float t = bitsFloat(ax) + 0.5f;
  return uint16_t(sign | (floatBits(t) - 0x3F000000u));
}

// binary16 -> binary32, exact; NaNs come back quiet with their payload, as the F16C unit does.
inline float floatFromHalf(uint16_t h) {
  const uint32_t sign = uint32_t(h & 0x8000u) << 16;
  const uint32_t em = h & 0x7FFFu;
  uint32_t bits;
  if (em < 0x400u) {
    bits = floatBits(float(em) * (1.0f / 16777216.0f));  // subnormal or zero: m * 2^-24, exact
  } else if (em < 0x7C00u) {
    bits = (em << 13) + 0x38000000u;
  } else {
    bits = (em << 13) + 0x70000000u;
    if (em > 0x7C00u) bits |= 0x00400000u;
  }
  return bitsFloat(sign | bits);
}

// m = binary16((d0 + d1 + d2) / 3) of the three channel differences at element index i.
inline float retrievalMean(const unsigned short* a, const unsigned short* b, size_t stride, size_t i) {
  float s = 0.0f;
  for (int c = 0; c < 3; ++c) {
    const size_t k = size_t(c) * stride + i;
    const float diff = floatFromHalf(a[k]) - floatFromHalf(b[k]);
    const float d = floatFromHalf(uint16_t(halfFromFloat(diff) & 0x7FFFu));
    s = (c == 0) ? d : s + d;
  }
  return floatFromHalf(halfFromFloat(s / 3.0f));
}

inline float pooledTerm(const unsigned short* a, const unsigned short* b, const unsigned short* w, size_t n, size_t i) {
  return floatFromHalf(halfFromFloat(retrievalMean(a, b, n, i) * floatFromHalf(w[i])));
}

inline float exactTerm(const unsigned short* a, const unsigned short* b, const float* w, size_t stride, size_t i) {
  if (w[i] == 0.0f) return 0.0f;
  return retrievalMean(a, b, stride, i) * w[i];
}

inline uint8_t clampByte(int v) { return uint8_t(v < 0 ? 0 : (v > 255 ? 255 : v)); }

inline void yuvPixels(const uint8_t* y, const uint8_t* u, const uint8_t* v, int x0, int x1, int chromaStep,
                      uint8_t* rgb) {
  for (int x = x0; x < x1; ++x) {
    const int c = 298 * (int(y[x]) - 16) + 128;
    const size_t k = size_t(chromaStep) * size_t(x / 2);
    const int du = int(u[k]) - 128;
    const int dv = int(v[k]) - 128;
    rgb[3 * size_t(x) + 0] = clampByte((c + 409 * dv) >> 8);
    rgb[3 * size_t(x) + 1] = clampByte((c - 100 * du - 208 * dv) >> 8);
    rgb[3 * size_t(x) + 2] = clampByte((c + 516 * du) >> 8);
  }
}

// Byte shuffles that interleave R, G and B for one 16-pixel block whose channel bytes are held
// as [8 even pixels, 8 odd pixels]: kRgbShuffle[t][c] places channel c into output piece t
// (bytes 16t .. 16t + 15 of the block's 48), 0x80 elsewhere.
struct RgbShuffle {
  alignas(16) uint8_t idx[3][3][16];
  constexpr RgbShuffle() : idx() {
    for (int t = 0; t < 3; ++t) {
      for (int c = 0; c < 3; ++c) {
        for (int j = 0; j < 16; ++j) {
          const int q = 16 * t + j, p = q / 3;
          idx[t][c][j] = uint8_t(q % 3 == c ? ((p & 1) ? 8 + p / 2 : p / 2) : 0x80);
        }
      }
    }
  }
};
constexpr RgbShuffle kRgbShuffleTable{};
constexpr const uint8_t (&kRgbShuffle)[3][3][16] = kRgbShuffleTable.idx;

// The calling thread's convolution staging buffer (grown, never shrunk; freed at thread exit).
float* stagingBuffer(size_t floats);

}  // namespace detail
}  // namespace simd
}  // namespace ka

#endif  // KA_OPS_SIMD_SCALAR_ONCE

// ---------------------------------------------------------------------------------------------
// Per-target kernels.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "ops/simd.cpp"
#include "hwy/foreach_target.h"  // IWYU pragma: keep
#include "hwy/highway.h"

HWY_BEFORE_NAMESPACE();
namespace ka {
namespace simd {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

using DF = hn::ScalableTag<float>;
using DI = hn::RebindToSigned<DF>;
using DU = hn::RebindToUnsigned<DF>;
using DH = hn::Rebind<uint16_t, DF>;  // half-width vector of binary16 bit patterns
using VF = hn::Vec<DF>;
using VI = hn::Vec<DI>;
using VH = hn::Vec<DH>;

// With F16C (every AVX2 and AVX-512 machine) the conversion unit rounds to nearest even and
// quiets NaNs exactly like the scalar formulas; older targets use the integer form.
#undef KA_SIMD_HW_F16
#if HWY_TARGET <= HWY_AVX2
#define KA_SIMD_HW_F16 1
#else
#define KA_SIMD_HW_F16 0
#endif

HWY_INLINE VH HalfFromFloat(VF v) {
  const DH dh;
#if KA_SIMD_HW_F16
  return hn::BitCast(dh, hn::DemoteTo(hn::Rebind<hwy::float16_t, DF>(), v));
#else
  const DF df;
  const DI di;
  const VI x = hn::BitCast(di, v);
  const VI ax = hn::And(x, hn::Set(di, 0x7FFFFFFF));
  const VI sign = hn::And(hn::ShiftRight<16>(x), hn::Set(di, 0x8000));
  VI r = hn::Sub(ax, hn::Set(di, 0x38000000));
  r = hn::Add(r, hn::Add(hn::Set(di, 0xFFF), hn::And(hn::ShiftRight<13>(r), hn::Set(di, 1))));
  const VI normal = hn::ShiftRight<13>(r);
  const VF t = hn::Add(hn::BitCast(df, ax), hn::Set(df, 0.5f));
  const VI sub = hn::Sub(hn::BitCast(di, t), hn::Set(di, 0x3F000000));
  VI res = hn::IfThenElse(hn::Lt(ax, hn::Set(di, 0x38800000)), sub, normal);
  res = hn::IfThenElse(hn::Gt(ax, hn::Set(di, 0x477FEFFF)), hn::Set(di, 0x7C00), res);
  const VI nan = hn::Or(hn::Set(di, 0x7E00), hn::And(hn::ShiftRight<13>(ax), hn::Set(di, 0x3FF)));
  res = hn::IfThenElse(hn::Gt(ax, hn::Set(di, 0x7F800000)), nan, res);
  return hn::DemoteTo(dh, hn::Or(res, sign));
#endif
}

HWY_INLINE VF FloatFromHalf(VH h) {
  const DF df;
#if KA_SIMD_HW_F16
  return hn::PromoteTo(df, hn::BitCast(hn::Rebind<hwy::float16_t, DF>(), h));
#else
  const DI di;
  const VI x = hn::BitCast(di, hn::PromoteTo(DU(), h));
  const VI em = hn::And(x, hn::Set(di, 0x7FFF));
  const VI sign = hn::ShiftLeft<16>(hn::And(x, hn::Set(di, 0x8000)));
  const VI shifted = hn::ShiftLeft<13>(em);
  const VI normal = hn::Add(shifted, hn::Set(di, 0x38000000));
  const VI quiet = hn::IfThenElseZero(hn::Gt(em, hn::Set(di, 0x7C00)), hn::Set(di, 0x00400000));
  const VI special = hn::Or(hn::Add(shifted, hn::Set(di, 0x70000000)), quiet);
  const VI sub = hn::BitCast(di, hn::Mul(hn::ConvertTo(df, em), hn::Set(df, 1.0f / 16777216.0f)));
  VI res = hn::IfThenElse(hn::Gt(em, hn::Set(di, 0x7BFF)), special, normal);
  res = hn::IfThenElse(hn::Lt(em, hn::Set(di, 0x400)), sub, res);
  return hn::BitCast(df, hn::Or(res, sign));
#endif
}

void F32ToF16(const float* HWY_RESTRICT in, unsigned short* HWY_RESTRICT out, size_t n) {
  const DF df;
  const DH dh;
  const size_t N = hn::Lanes(df);
  size_t i = 0;
  for (; i + 4 * N <= n; i += 4 * N) {
    const VF v0 = hn::LoadU(df, in + i);
    const VF v1 = hn::LoadU(df, in + i + N);
    const VF v2 = hn::LoadU(df, in + i + 2 * N);
    const VF v3 = hn::LoadU(df, in + i + 3 * N);
    hn::StoreU(HalfFromFloat(v0), dh, out + i);
    hn::StoreU(HalfFromFloat(v1), dh, out + i + N);
    hn::StoreU(HalfFromFloat(v2), dh, out + i + 2 * N);
    hn::StoreU(HalfFromFloat(v3), dh, out + i + 3 * N);
  }
  for (; i + N <= n; i += N) hn::StoreU(HalfFromFloat(hn::LoadU(df, in + i)), dh, out + i);
  for (; i < n; ++i) out[i] = detail::halfFromFloat(in[i]);
}

void F16ToF32(const unsigned short* HWY_RESTRICT in, float* HWY_RESTRICT out, size_t n) {
  const DF df;
  const DH dh;
  const size_t N = hn::Lanes(df);
  size_t i = 0;
  for (; i + 2 * N <= n; i += 2 * N) {
    const VH h0 = hn::LoadU(dh, in + i);
    const VH h1 = hn::LoadU(dh, in + i + N);
    hn::StoreU(FloatFromHalf(h0), df, out + i);
    hn::StoreU(FloatFromHalf(h1), df, out + i + N);
  }
  for (; i + N <= n; i += N) hn::StoreU(FloatFromHalf(hn::LoadU(dh, in + i)), df, out + i);
  for (; i < n; ++i) out[i] = detail::floatFromHalf(in[i]);
}

void RoundF16Mul(const float* HWY_RESTRICT a, const float* HWY_RESTRICT b, float* HWY_RESTRICT out, size_t n) {
  const DF df;
  const size_t N = hn::Lanes(df);
  size_t i = 0;
  for (; i + N <= n; i += N) {
    const VF r = FloatFromHalf(HalfFromFloat(hn::LoadU(df, a + i)));
    hn::StoreU(hn::Mul(r, hn::LoadU(df, b + i)), df, out + i);
  }
  for (; i < n; ++i) out[i] = detail::floatFromHalf(detail::halfFromFloat(a[i])) * b[i];
}

#if HWY_TARGET != HWY_SCALAR
// binary16(byte / 255) for every byte of a vector of 4 x N bytes, into 4 x N consecutive outputs.
template <class D8>
HWY_INLINE void StoreByteRatios(D8 /* d8 */, hn::Vec<D8> bytes, unsigned short* HWY_RESTRICT out) {
  const DF df;
  const DH dh;
  const size_t N = hn::Lanes(df);
  const hn::Repartition<uint16_t, D8> d16;
  const hn::Half<D8> d8h;
  const hn::Repartition<uint32_t, D8> d32;
  const hn::Half<decltype(d16)> d16h;
  const VF k255 = hn::Set(df, 255.0f);
  const auto lo16 = hn::PromoteTo(d16, hn::LowerHalf(d8h, bytes));
  const auto hi16 = hn::PromoteTo(d16, hn::UpperHalf(d8h, bytes));
  const hn::Vec<decltype(d32)> quarters[4] = {
      hn::PromoteTo(d32, hn::LowerHalf(d16h, lo16)), hn::PromoteTo(d32, hn::UpperHalf(d16h, lo16)),
      hn::PromoteTo(d32, hn::LowerHalf(d16h, hi16)), hn::PromoteTo(d32, hn::UpperHalf(d16h, hi16))};
  for (size_t q = 0; q < 4; ++q) {
    const VF f = hn::ConvertTo(df, hn::BitCast(DI(), quarters[q]));
    hn::StoreU(HalfFromFloat(hn::Div(f, k255)), dh, out + q * N);
  }
}
#endif

void Rgb8ToPlanarF16(const uint8_t* HWY_RESTRICT rgb, unsigned short* HWY_RESTRICT out, size_t planeStride, size_t n) {
  size_t i = 0;
#if HWY_TARGET != HWY_SCALAR
  const hn::Repartition<uint8_t, DF> d8;  // 4 x N bytes: one float vector per quarter
  const size_t N8 = hn::Lanes(d8);
  for (; i + N8 <= n; i += N8) {
    hn::Vec<decltype(d8)> r, g, b;
    hn::LoadInterleaved3(d8, rgb + 3 * i, r, g, b);
    StoreByteRatios(d8, r, out + i);
    StoreByteRatios(d8, g, out + planeStride + i);
    StoreByteRatios(d8, b, out + 2 * planeStride + i);
  }
#endif
  for (; i < n; ++i) {
    for (size_t c = 0; c < 3; ++c) {
      out[c * planeStride + i] = detail::halfFromFloat(float(rgb[3 * i + c]) / 255.0f);
    }
  }
}

// m = binary16((d0 + d1 + d2) / 3) for the N elements starting at index i.
HWY_INLINE VF RetrievalMean(const unsigned short* HWY_RESTRICT a, const unsigned short* HWY_RESTRICT b, size_t stride,
                            size_t i) {
  const DF df;
  const DH dh;
  VF s = hn::Zero(df);
  for (size_t c = 0; c < 3; ++c) {
    const size_t k = c * stride + i;
    const VF diff = hn::Sub(FloatFromHalf(hn::LoadU(dh, a + k)), FloatFromHalf(hn::LoadU(dh, b + k)));
    // |binary16(diff)|: clearing the sign after promotion equals promoting the cleared pattern.
    const VF d = hn::Abs(FloatFromHalf(HalfFromFloat(diff)));
    s = (c == 0) ? d : hn::Add(s, d);
  }
  return FloatFromHalf(HalfFromFloat(hn::Div(s, hn::Set(df, 3.0f))));
}

// Adds the lanes of `terms` to `total` one at a time, lowest index first.
HWY_INLINE float AddInOrder(float total, VF terms) {
  const DF df;
  HWY_ALIGN float lanes[hn::MaxLanes(DF())];
  hn::Store(terms, df, lanes);
  for (size_t j = 0; j < hn::Lanes(df); ++j) total = total + lanes[j];
  return total;
}

float RetrieveTermPooled(const unsigned short* HWY_RESTRICT a, const unsigned short* HWY_RESTRICT b,
                         const unsigned short* HWY_RESTRICT w, size_t n) {
  const DF df;
  const DH dh;
  const size_t N = hn::Lanes(df);
  float total = 0.0f;
  size_t i = 0;
  for (; i + N <= n; i += N) {
    const VF m = RetrievalMean(a, b, n, i);
    const VF term = FloatFromHalf(HalfFromFloat(hn::Mul(m, FloatFromHalf(hn::LoadU(dh, w + i)))));
    total = AddInOrder(total, term);
  }
  for (; i < n; ++i) total = total + detail::pooledTerm(a, b, w, n, i);
  return total;
}

float RetrieveTermExactRange(const unsigned short* HWY_RESTRICT a, const unsigned short* HWY_RESTRICT b,
                             const float* HWY_RESTRICT w, size_t planeStride, size_t lo, size_t hi) {
  const DF df;
  const size_t N = hn::Lanes(df);
  float total = 0.0f;
  size_t i = lo;
  for (; i < hi && hi - i >= N; i += N) {
    const VF wv = hn::LoadU(df, w + i);
    const VF term = hn::Mul(RetrievalMean(a, b, planeStride, i), wv);
    // A zero weight drops the element, even when its difference is infinite or NaN.
    total = AddInOrder(total, hn::IfThenZeroElse(hn::Eq(wv, hn::Zero(df)), term));
  }
  for (; i < hi; ++i) total = total + detail::exactTerm(a, b, w, planeStride, i);
  return total;
}

// ---- 3x3 convolution -------------------------------------------------------------------------

constexpr size_t kStrip = 16;  // output columns per strip
constexpr size_t kLanes = hn::MaxLanes(DF());
constexpr size_t kVecsPerStrip = kStrip / kLanes;
// Enough independent accumulators to cover the add latency: 8 vectors per row block.
constexpr size_t kRowBlock = kVecsPerStrip >= 8 ? 1 : 8 / kVecsPerStrip;

struct ConvPlane {
  const float* stage;  // Cin staged planes of H rows x Wp floats
  size_t H, Wp, W, Cin;
  const float* weight;  // Cout-th slice: Cin x 3 x 3
  float bias;
  bool hasBias;
  float* out;  // H x W
};

// Output rows [y, y + R) of one strip starting at column x0. Every row of the block must have the
// kernel rows `ky` in [kyLo, kyHi) inside the image, and only those.
template <size_t R>
HWY_INLINE void ConvBlock(const ConvPlane& p, size_t y, size_t x0, size_t kyLo, size_t kyHi) {
  const DF df;
  VF acc[R][kVecsPerStrip];
  for (size_t r = 0; r < R; ++r) {
    for (size_t j = 0; j < kVecsPerStrip; ++j) acc[r][j] = hn::Zero(df);
  }
  const size_t planeFloats = p.H * p.Wp;
  for (size_t ky = kyLo; ky < kyHi; ++ky) {
    const float* rowBase = p.stage + (y + ky - 1) * p.Wp + x0;
    for (size_t kx = 0; kx < 3; ++kx) {
      const float* wk = p.weight + ky * 3 + kx;
      const float* src = rowBase + kx;
      for (size_t ci = 0; ci < p.Cin; ++ci, wk += 9, src += planeFloats) {
        const VF wv = hn::Set(df, *wk);
        for (size_t r = 0; r < R; ++r) {
          for (size_t j = 0; j < kVecsPerStrip; ++j) {
            const VF x = hn::LoadU(df, src + r * p.Wp + j * kLanes);
            acc[r][j] = hn::Add(acc[r][j], hn::Mul(wv, x));
          }
        }
      }
    }
  }
  const size_t cols = std::min(kStrip, p.W - x0);
  const VF bias = hn::Set(df, p.bias);
  for (size_t r = 0; r < R; ++r) {
    float* dst = p.out + (y + r) * p.W + x0;
    HWY_ALIGN float tmp[kStrip];
    for (size_t j = 0; j < kVecsPerStrip; ++j) {
      const VF v = p.hasBias ? hn::Add(acc[r][j], bias) : acc[r][j];
      if (cols == kStrip) {
        hn::StoreU(v, df, dst + j * kLanes);
      } else {
        hn::Store(v, df, tmp + j * kLanes);
      }
    }
    if (cols != kStrip) std::memcpy(dst, tmp, cols * sizeof(float));
  }
}

void ConvPlaneRows(const ConvPlane& p) {
  const size_t H = p.H;
  for (size_t x0 = 0; x0 < p.W; x0 += kStrip) {
    size_t y = 0;
    if (H == 1) {
      ConvBlock<1>(p, 0, x0, 1, 2);
      continue;
    }
    ConvBlock<1>(p, y++, x0, 1, 3);  // top row: no row above
    // Interior rows see all three kernel rows.
    for (; y + kRowBlock <= H - 1; y += kRowBlock) ConvBlock<kRowBlock>(p, y, x0, 0, 3);
    for (; y < H - 1; ++y) ConvBlock<1>(p, y, x0, 0, 3);
    ConvBlock<1>(p, H - 1, x0, 0, 2);  // bottom row: no row below
  }
}

void Conv3x3Range(const float* HWY_RESTRICT in, int N, int Cin, int H, int W, const float* HWY_RESTRICT weight,
                  const float* HWY_RESTRICT bias, int Cout, float* HWY_RESTRICT out, size_t lo, size_t hi) {
  if (!in || !weight || !out || N <= 0 || Cin <= 0 || H <= 0 || W <= 0 || Cout <= 0) return;
  const size_t planes = size_t(N) * size_t(Cout);
  hi = std::min(hi, planes);
  if (lo >= hi) return;
  const size_t h = size_t(H), w = size_t(W), cin = size_t(Cin);
  const size_t Wp = kStrip * ((w + kStrip - 1) / kStrip) + 2;
  float* stage = detail::stagingBuffer(cin * h * Wp);
  // The staged item is reused only within this call: the caller may refill `in` between calls.
  size_t stagedItem = planes;
  for (size_t p = lo; p < hi; ++p) {
    const size_t item = p / size_t(Cout);
    const size_t co = p % size_t(Cout);
    if (item != stagedItem) {
      const float* src = in + item * cin * h * w;
      for (size_t r = 0; r < cin * h; ++r) {
        float* row = stage + r * Wp;
        row[0] = 0.0f;
        std::memcpy(row + 1, src + r * w, w * sizeof(float));
        std::fill(row + 1 + w, row + Wp, 0.0f);
      }
      stagedItem = item;
    }
    ConvPlane plane{stage,          h, Wp, w, cin, weight + co * cin * 9, bias ? bias[co] : 0.0f, bias != nullptr,
                    out + p * h * w};
    ConvPlaneRows(plane);
  }
}

// ---- YUV 4:2:0 row to RGB24 ------------------------------------------------------------------

#if HWY_TARGET != HWY_SCALAR
// Vectors of at most 256 bits: AVX3 targets run the AVX2 form of this kernel.
using D8 = hn::CappedTag<uint8_t, 32>;
using D16 = hn::Repartition<int16_t, D8>;  // one lane per pixel pair
using V8 = hn::Vec<D8>;
using V16 = hn::Vec<D16>;

// Saturating narrowing of two 16-bit vectors, block by block: each 16-byte block holds the eight
// lanes of `even` then the eight lanes of `odd` from the same block.
HWY_INLINE V8 PackBlocks(V16 even, V16 odd) {
#if HWY_TARGET <= HWY_AVX2
  return V8{_mm256_packus_epi16(even.raw, odd.raw)};
#elif HWY_TARGET == HWY_SSSE3 || HWY_TARGET == HWY_SSE4
  return V8{_mm_packus_epi16(even.raw, odd.raw)};
#else
  // Portable fallback (emulated 128-bit vectors, e.g. clang's EMU128): the same block layout,
  // lane by lane.
  const D16 d16;
  const D8 d8;
  constexpr size_t kLanes16 = hn::MaxLanes(D16());
  int16_t e[kLanes16], o[kLanes16];
  uint8_t packed[2 * kLanes16];
  hn::StoreU(even, d16, e);
  hn::StoreU(odd, d16, o);
  auto sat = [](int16_t v) { return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v); };
  for (size_t b = 0; b < kLanes16 / 8; ++b) {
    for (size_t i = 0; i < 8; ++i) {
      packed[16 * b + i] = sat(e[8 * b + i]);
      packed[16 * b + 8 + i] = sat(o[8 * b + i]);
    }
  }
  return hn::LoadU(d8, packed);
#endif
}

// One channel of the integer formula for the even and the odd pixels of each pair. With
// Y' = Y - 16, U' = U - 128, V' = V - 128 and 298 = 256 + 42, 409 = 256 + 153, 208 = 256 - 48,
// 516 = 512 + 4, every channel is  whole + ((42 Y + frac) >> 8)  with
//   R: whole = Y' + V',   frac = 153 V' - 544
//   G: whole = Y' - V',   frac = 48 V' - 100 U' - 544
//   B: whole = Y' + 2 U', frac = 4 U' - 544
// (-544 = 128 - 42 * 16). Taking the multiple of 256 out leaves the floor shift unchanged, and
// 42 Y + frac stays within [-20128, 29597], so 16-bit lanes hold every step exactly.
HWY_INLINE V8 YuvChannel(V16 ye, V16 yo, V16 ke, V16 ko, V16 whole, V16 frac) {
  const V16 e = hn::Add(hn::Add(ye, whole), hn::ShiftRight<8>(hn::Add(ke, frac)));
  const V16 o = hn::Add(hn::Add(yo, whole), hn::ShiftRight<8>(hn::Add(ko, frac)));
  return PackBlocks(e, o);
}
#endif

void Yuv420RowToRgb24(const uint8_t* HWY_RESTRICT y, const uint8_t* u, const uint8_t* v, int width, int chromaStep,
                      uint8_t* HWY_RESTRICT rgb) {
  if (width <= 0) return;
  int x = 0;
#if HWY_TARGET != HWY_SCALAR
  const D8 d8;
  const D16 d16;
  const hn::RebindToUnsigned<D16> du16;
  const hn::Rebind<uint8_t, D16> dHalf8;  // one byte per pixel pair
  const int N8 = int(hn::Lanes(d8));
  const bool planar = chromaStep == 1;
  const bool packed = chromaStep == 2 && v == u + 1;
  if (planar || packed) {
    V8 shuf[3][3];
    for (int t = 0; t < 3; ++t) {
      for (int c = 0; c < 3; ++c) shuf[t][c] = hn::LoadDup128(d8, detail::kRgbShuffle[t][c]);
    }
    const V16 k42 = hn::Set(d16, 42), k544 = hn::Set(d16, 544), k128 = hn::Set(d16, 128);
    for (; x + N8 <= width; x += N8) {
      const auto pairs = hn::BitCast(du16, hn::LoadU(d8, y + x));
      const V16 ye = hn::BitCast(d16, hn::And(pairs, hn::Set(du16, 0xFF)));
      const V16 yo = hn::BitCast(d16, hn::ShiftRight<8>(pairs));
      V16 uu, vv;
      if (planar) {
        uu = hn::PromoteTo(d16, hn::LoadU(dHalf8, u + x / 2));
        vv = hn::PromoteTo(d16, hn::LoadU(dHalf8, v + x / 2));
      } else {
        const auto uv = hn::BitCast(du16, hn::LoadU(d8, u + x));
        uu = hn::BitCast(d16, hn::And(uv, hn::Set(du16, 0xFF)));
        vv = hn::BitCast(d16, hn::ShiftRight<8>(uv));
      }
      const V16 up = hn::Sub(uu, k128), vp = hn::Sub(vv, k128);
      const V16 ke = hn::Mul(ye, k42), ko = hn::Mul(yo, k42);
      // whole parts carry the -16 of Y' so the pixel terms use Y itself.
      const V8 rb =
          YuvChannel(ye, yo, ke, ko, hn::Sub(vv, hn::Set(d16, 144)), hn::Sub(hn::Mul(vp, hn::Set(d16, 153)), k544));
      const V16 g0 = hn::Sub(hn::Mul(vp, hn::Set(d16, 48)), hn::Mul(up, hn::Set(d16, 100)));
      const V8 gb = YuvChannel(ye, yo, ke, ko, hn::Sub(hn::Set(d16, 112), vv), hn::Sub(g0, k544));
      const V8 bb =
          YuvChannel(ye, yo, ke, ko, hn::Sub(hn::Add(up, up), hn::Set(d16, 16)), hn::Sub(hn::ShiftLeft<2>(up), k544));
      // Interleave R, G, B per 16-pixel block (48 bytes = three 16-byte pieces A, B, C).
      V8 piece[3];
      for (int t = 0; t < 3; ++t) {
        piece[t] = hn::Or(hn::Or(hn::TableLookupBytesOr0(rb, shuf[t][0]), hn::TableLookupBytesOr0(gb, shuf[t][1])),
                          hn::TableLookupBytesOr0(bb, shuf[t][2]));
      }
      uint8_t* out = rgb + 3 * size_t(x);
      if (N8 == 16) {
        hn::StoreU(piece[0], d8, out);
        hn::StoreU(piece[1], d8, out + 16);
        hn::StoreU(piece[2], d8, out + 32);
      } else {
        // Two blocks: A0 B0 C0 A1 B1 C1.
        hn::StoreU(hn::ConcatLowerLower(d8, piece[1], piece[0]), d8, out);
        hn::StoreU(hn::ConcatUpperLower(d8, piece[0], piece[2]), d8, out + 32);
        hn::StoreU(hn::ConcatUpperUpper(d8, piece[2], piece[1]), d8, out + 64);
      }
    }
  }
#endif
  detail::yuvPixels(y, u, v, x, width, chromaStep, rgb);
}

const char* TargetName() { return hwy::TargetName(HWY_TARGET); }

}  // namespace HWY_NAMESPACE
}  // namespace simd
}  // namespace ka
HWY_AFTER_NAMESPACE();

// ---------------------------------------------------------------------------------------------
// Dispatchers.
#if HWY_ONCE
namespace ka {
namespace simd {

HWY_EXPORT(F32ToF16);
HWY_EXPORT(F16ToF32);
HWY_EXPORT(RoundF16Mul);
HWY_EXPORT(Rgb8ToPlanarF16);
HWY_EXPORT(RetrieveTermPooled);
HWY_EXPORT(RetrieveTermExactRange);
HWY_EXPORT(Conv3x3Range);
HWY_EXPORT(Yuv420RowToRgb24);
HWY_EXPORT(TargetName);

namespace detail {
float* stagingBuffer(size_t floats) {
  thread_local std::vector<float> buffer;
  if (buffer.size() < floats) buffer.resize(floats);
  return buffer.data();
}
}  // namespace detail

void f32ToF16(const float* in, unsigned short* out, size_t n) { HWY_DYNAMIC_DISPATCH(F32ToF16)(in, out, n); }

void f16ToF32(const unsigned short* in, float* out, size_t n) { HWY_DYNAMIC_DISPATCH(F16ToF32)(in, out, n); }

void roundF16Mul(const float* a, const float* b, float* out, size_t n) {
  HWY_DYNAMIC_DISPATCH(RoundF16Mul)(a, b, out, n);
}

void rgb8ToPlanarF16(const uint8_t* rgb, unsigned short* out, size_t planeStride, size_t n) {
  HWY_DYNAMIC_DISPATCH(Rgb8ToPlanarF16)(rgb, out, planeStride, n);
}

float retrieveTermPooled(const unsigned short* a, const unsigned short* b, const unsigned short* w, size_t n) {
  return HWY_DYNAMIC_DISPATCH(RetrieveTermPooled)(a, b, w, n);
}

float retrieveTermExactRange(const unsigned short* a, const unsigned short* b, const float* w, size_t planeStride,
                             size_t lo, size_t hi) {
  return HWY_DYNAMIC_DISPATCH(RetrieveTermExactRange)(a, b, w, planeStride, lo, hi);
}

float retrieveTermExact(const unsigned short* a, const unsigned short* b, const float* w, size_t n) {
  return HWY_DYNAMIC_DISPATCH(RetrieveTermExactRange)(a, b, w, n, 0, n);
}

void conv3x3Range(const float* in, int N, int Cin, int H, int W, const float* weight, const float* bias, int Cout,
                  float* out, size_t lo, size_t hi) {
  HWY_DYNAMIC_DISPATCH(Conv3x3Range)(in, N, Cin, H, W, weight, bias, Cout, out, lo, hi);
}

void yuv420RowToRgb24(const uint8_t* y, const uint8_t* u, const uint8_t* v, int width, int chromaStep, uint8_t* rgb) {
  HWY_DYNAMIC_DISPATCH(Yuv420RowToRgb24)(y, u, v, width, chromaStep, rgb);
}

const char* target() { return HWY_DYNAMIC_DISPATCH(TargetName)(); }

}  // namespace simd
}  // namespace ka
#endif  // HWY_ONCE
