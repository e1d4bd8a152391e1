// Int8ConvVNNI's kernels. The input is quantised into a zero-point-padded, channel-blocked buffer
// (four channels per 32-bit word, pixels of a row consecutive), so that every vector path reads 16
// (or 8, or 4) neighbouring output pixels' inputs with one load and every output row is computed
// the same way, border pixels included: a padded tap holds zp, which adds Wq * zp to acc and Wq to
// wsum and so nothing to acc - zp * wsum.
#ifndef HWY_WANT_AVX3_DL
#define HWY_WANT_AVX3_DL
#endif

#include "ops/int8_conv.h"

#include <cpuid.h>
#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "ops/pool.h"

#ifndef KA_OPS_INT8_ONCE
#define KA_OPS_INT8_ONCE

namespace ka {
namespace int8detail {

// What one output row (batch item n, group g, output row oy) needs.
struct Plan {
  const uint8_t* qb;  // [N][G][Bg][Hp][Wq][4]
  int64_t G, Bg, Hp, Wq;
  int64_t H, W, padT, padL;
  int64_t Cg, Cog, KH, KW, sh, sw, dh, dw, Hout, Wout, Cout;
  const int8_t* wq;      // the weights as given: [Cout][Cg][KH][KW]
  const int32_t* wp32;   // [G][KH*KW][Bg][Cog]: four int8 weights of channels 4b..4b+3
  const int64_t* wp64;   // the same four as int16
  const int32_t* wsum;   // [Cout]: sum of every weight of the channel
  int32_t zp;
  float scale;
  const float* wScale;
  const float* bias;
  float* y;

  const uint8_t* input(int64_t n, int64_t g, int64_t b, int64_t iy, int64_t ix) const {
    return qb + ((((n * G + g) * Bg + b) * Hp + iy) * Wq + ix) * 4;
  }
  float* output(int64_t n, int64_t oc, int64_t oy) const { return y + ((n * Cout + oc) * Hout + oy) * Wout; }
  float dequant(int32_t diff, int64_t oc) const { return float(diff) * (scale * wScale[oc]) + bias[oc]; }
};

// Output pixels [ox0, ox1) of one row, channel by channel, taps outside the image left out.
inline void scalarRow(const Plan& p, int64_t n, int64_t g, int64_t oy, int64_t ox0, int64_t ox1) {
  for (int64_t ocl = 0; ocl < p.Cog; ++ocl) {
    const int64_t oc = g * p.Cog + ocl;
    float* out = p.output(n, oc, oy);
    for (int64_t ox = ox0; ox < ox1; ++ox) {
      int32_t acc = 0, wsum = 0;
      for (int64_t ky = 0; ky < p.KH; ++ky) {
        const int64_t iy = oy * p.sh - p.padT + ky * p.dh;
        if (iy < 0 || iy >= p.H) continue;
        for (int64_t kx = 0; kx < p.KW; ++kx) {
          const int64_t ix = ox * p.sw - p.padL + kx * p.dw;
          if (ix < 0 || ix >= p.W) continue;
          for (int64_t ci = 0; ci < p.Cg; ++ci) {
            const int32_t w = p.wq[((oc * p.Cg + ci) * p.KH + ky) * p.KW + kx];
            const int32_t q = p.input(n, g, ci / 4, iy + p.padT, ix + p.padL)[ci % 4];
            acc += w * q;
            wsum += w;
          }
        }
      }
      out[ox] = p.dequant(acc - p.zp * wsum, oc);
    }
  }
}

// The 512-bit AVX-512 VNNI tile: NV vectors of 16 output pixels (stride 1 only) for OCS output
// channels from oc0, NV * OCS accumulators, so each input load and weight broadcast feeds several
// products. Both counts are compile-time so the accumulators stay in registers.
template <int NV, int OCS>
__attribute__((target("avx512f,avx512bw,avx512vl,avx512vnni"))) void vnni512Tile(const Plan& p, int64_t n,
                                                                                 int64_t g, int64_t oy,
                                                                                 int64_t ox0, int64_t oc0) {
  const int64_t KT = p.KH * p.KW;
  const int64_t cols = std::min<int64_t>(16 * NV, p.Wout - ox0);
  __m512i acc[OCS][NV];
  for (int k = 0; k < OCS; ++k)
    for (int v = 0; v < NV; ++v) acc[k][v] = _mm512_setzero_si512();
  for (int64_t t = 0; t < KT; ++t) {
    const int64_t iy = oy * p.sh + (t / p.KW) * p.dh, ix = ox0 + (t % p.KW) * p.dw;
    const int32_t* wt = p.wp32 + (g * KT + t) * p.Bg * p.Cog + oc0;
    const uint8_t* in = p.input(n, g, 0, iy, ix);
    const int64_t blockStride = p.Hp * p.Wq * 4;
    for (int64_t b = 0; b < p.Bg; ++b, wt += p.Cog, in += blockStride) {
      __m512i q[NV];
      for (int v = 0; v < NV; ++v) q[v] = _mm512_loadu_si512(in + 64 * v);
      for (int k = 0; k < OCS; ++k) {
        const __m512i w = _mm512_set1_epi32(wt[k]);
        for (int v = 0; v < NV; ++v) acc[k][v] = _mm512_dpbusd_epi32(acc[k][v], q[v], w);
      }
    }
  }
  for (int k = 0; k < OCS; ++k) {
    const int64_t oc = g * p.Cog + oc0 + k;
    const __m512i zw = _mm512_set1_epi32(p.zp * p.wsum[oc]);
    const __m512 sc = _mm512_set1_ps(p.scale * p.wScale[oc]), bi = _mm512_set1_ps(p.bias[oc]);
    float* out = p.output(n, oc, oy) + ox0;
    for (int v = 0; v < NV; ++v) {
      const int64_t left = cols - 16 * v;
      if (left <= 0) break;
      const __m512i diff = _mm512_sub_epi32(acc[k][v], zw);
      // (the masked conversion spells out the lanes the plain one leaves formally undefined)
      const __m512 y = _mm512_add_ps(_mm512_mul_ps(_mm512_maskz_cvtepi32_ps(__mmask16(0xFFFF), diff), sc), bi);
      _mm512_mask_storeu_ps(out + 16 * v, __mmask16(left >= 16 ? 0xFFFFu : (1u << left) - 1u), y);
    }
  }
}

// The 256-bit AVX-VNNI tile: NV vectors of 8 output pixels (stride 1 only) for OCS output channels.
template <int NV, int OCS>
__attribute__((target("avx2,avxvnni"))) void avxVnniTile(const Plan& p, int64_t n, int64_t g, int64_t oy,
                                                          int64_t ox0, int64_t oc0) {
  const int64_t KT = p.KH * p.KW;
  const int64_t cols = std::min<int64_t>(8 * NV, p.Wout - ox0);
  __m256i acc[OCS][NV];
  for (int k = 0; k < OCS; ++k)
    for (int v = 0; v < NV; ++v) acc[k][v] = _mm256_setzero_si256();
  for (int64_t t = 0; t < KT; ++t) {
    const int64_t iy = oy * p.sh + (t / p.KW) * p.dh, ix = ox0 + (t % p.KW) * p.dw;
    const int32_t* wt = p.wp32 + (g * KT + t) * p.Bg * p.Cog + oc0;
    const uint8_t* in = p.input(n, g, 0, iy, ix);
    const int64_t blockStride = p.Hp * p.Wq * 4;
    for (int64_t b = 0; b < p.Bg; ++b, wt += p.Cog, in += blockStride) {
      __m256i q[NV];
      for (int v = 0; v < NV; ++v) q[v] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + 32 * v));
      for (int k = 0; k < OCS; ++k) {
        const __m256i w = _mm256_set1_epi32(wt[k]);
        for (int v = 0; v < NV; ++v) acc[k][v] = _mm256_dpbusd_avx_epi32(acc[k][v], q[v], w);
      }
    }
  }
  for (int k = 0; k < OCS; ++k) {
    const int64_t oc = g * p.Cog + oc0 + k;
    const __m256i zw = _mm256_set1_epi32(p.zp * p.wsum[oc]);
    const __m256 sc = _mm256_set1_ps(p.scale * p.wScale[oc]), bi = _mm256_set1_ps(p.bias[oc]);
    float* out = p.output(n, oc, oy) + ox0;
    for (int v = 0; v < NV; ++v) {
      const int64_t left = cols - 8 * v;
      if (left <= 0) break;
      const __m256 y = _mm256_add_ps(_mm256_mul_ps(_mm256_cvtepi32_ps(_mm256_sub_epi32(acc[k][v], zw)), sc), bi);
      alignas(32) float tmp[8];
      _mm256_store_ps(tmp, y);
      std::memcpy(out + 8 * v, tmp, size_t(std::min<int64_t>(left, 8)) * sizeof(float));
    }
  }
}

struct Avx512Tiles {
  static constexpr int64_t kLanes = 16;
  template <int NV, int OCS>
  static void tile(const Plan& p, int64_t n, int64_t g, int64_t oy, int64_t ox0, int64_t oc0) {
    vnni512Tile<NV, OCS>(p, n, g, oy, ox0, oc0);
  }
};
struct AvxVnniTiles {
  static constexpr int64_t kLanes = 8;
  template <int NV, int OCS>
  static void tile(const Plan& p, int64_t n, int64_t g, int64_t oy, int64_t ox0, int64_t oc0) {
    avxVnniTile<NV, OCS>(p, n, g, oy, ox0, oc0);
  }
};

// Columns [ox0, ox0 + NV vectors) for every output channel of group g: full tiles of OCS
// channels, then one tile of what remains.
template <class Isa, int NV, int OCS>
void tileColumns(const Plan& p, int64_t n, int64_t g, int64_t oy, int64_t ox0) {
  int64_t oc0 = 0;
  for (; oc0 + OCS <= p.Cog; oc0 += OCS) Isa::template tile<NV, OCS>(p, n, g, oy, ox0, oc0);
  switch (p.Cog - oc0) {
    case 5: Isa::template tile<NV, 5>(p, n, g, oy, ox0, oc0); break;
    case 4: Isa::template tile<NV, 4>(p, n, g, oy, ox0, oc0); break;
    case 3: Isa::template tile<NV, 3>(p, n, g, oy, ox0, oc0); break;
    case 2: Isa::template tile<NV, 2>(p, n, g, oy, ox0, oc0); break;
    case 1: Isa::template tile<NV, 1>(p, n, g, oy, ox0, oc0); break;
    default: break;
  }
}

// One output row: tiles of NV vectors (NV x OCS accumulators fit the register file), then the
// remaining columns one vector at a time.
template <class Isa, int NV, int OCS>
void tileRow(const Plan& p, int64_t n, int64_t g, int64_t oy) {
  constexpr int64_t kSpan = NV * Isa::kLanes;
  int64_t ox0 = 0;
  for (; ox0 + kSpan <= p.Wout; ox0 += kSpan) tileColumns<Isa, NV, OCS>(p, n, g, oy, ox0);
  for (; ox0 < p.Wout; ox0 += Isa::kLanes) tileColumns<Isa, 1, OCS>(p, n, g, oy, ox0);
}

void vnni512Row(const Plan& p, int64_t n, int64_t g, int64_t oy) { tileRow<Avx512Tiles, 4, 6>(p, n, g, oy); }
void avxVnniRow(const Plan& p, int64_t n, int64_t g, int64_t oy) { tileRow<AvxVnniTiles, 2, 6>(p, n, g, oy); }

}  // namespace int8detail
}  // namespace ka

#endif  // KA_OPS_INT8_ONCE

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "ops/int8_conv.cpp"
#include "hwy/foreach_target.h"  // IWYU pragma: keep
#include "hwy/highway.h"

HWY_BEFORE_NAMESPACE();
namespace ka {
namespace int8detail {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// lo = min(0, min x[i]), hi = max(0, max x[i]); NaNs are skipped.
void MinMax(const float* HWY_RESTRICT x, size_t n, float* lo, float* hi) {
  float l = 0.f, h = 0.f;
  size_t i = 0;
#if HWY_TARGET != HWY_SCALAR
  const hn::ScalableTag<float> d;
  const size_t N = hn::Lanes(d);
  // Four independent pairs of running values keep the compare latency out of the loop.
  hn::Vec<decltype(d)> vl[4], vh[4];
  for (int k = 0; k < 4; ++k) vl[k] = vh[k] = hn::Zero(d);
  for (; i + 4 * N <= n; i += 4 * N) {
    for (size_t k = 0; k < 4; ++k) {
      const auto v = hn::LoadU(d, x + i + k * N);
      // Compare-and-select keeps the running value where v is NaN.
      vl[k] = hn::IfThenElse(hn::Lt(v, vl[k]), v, vl[k]);
      vh[k] = hn::IfThenElse(hn::Gt(v, vh[k]), v, vh[k]);
    }
  }
  for (int k = 1; k < 4; ++k) {
    vl[0] = hn::IfThenElse(hn::Lt(vl[k], vl[0]), vl[k], vl[0]);
    vh[0] = hn::IfThenElse(hn::Gt(vh[k], vh[0]), vh[k], vh[0]);
  }
  l = hn::GetLane(hn::MinOfLanes(d, vl[0]));
  h = hn::GetLane(hn::MaxOfLanes(d, vh[0]));
#endif
  for (; i < n; ++i) {
    if (x[i] < l) l = x[i];
    if (x[i] > h) h = x[i];
  }
  *lo = l;
  *hi = h;
}

// Quantises one row of up to four channels (null rows hold zp) into n words of four bytes.
void QuantRow(const float* const* rows, size_t n, float scale, int32_t zp, uint32_t* HWY_RESTRICT dst) {
  auto one = [&](const float* r, size_t i) -> uint32_t {
    if (!r) return uint32_t(zp);
    float v = r[i] / scale;
    v = v >= -512.f ? v : -512.f;  // NaN to the most negative
    v = v <= 512.f ? v : 512.f;
    const int32_t q = int32_t(std::nearbyint(v)) + zp;
    return uint32_t(q < 0 ? 0 : (q > 255 ? 255 : q));
  };
  size_t i = 0;
#if HWY_TARGET != HWY_SCALAR
  const hn::ScalableTag<float> d;
  const hn::RebindToSigned<decltype(d)> di;
  const size_t N = hn::Lanes(d);
  const auto vs = hn::Set(d, scale), lo = hn::Set(d, -512.f), hi = hn::Set(d, 512.f);
  const auto vzp = hn::Set(di, zp), zero = hn::Zero(di), top = hn::Set(di, 255);
  for (; i + N <= n; i += N) {
    auto word = hn::Zero(di);
    for (int k = 3; k >= 0; --k) {
      hn::Vec<decltype(di)> q = vzp;
      if (rows[k]) {
        auto v = hn::Div(hn::LoadU(d, rows[k] + i), vs);
        v = hn::IfThenElse(hn::Ge(v, lo), v, lo);
        v = hn::Min(v, hi);
        q = hn::Min(hn::Max(hn::Add(hn::NearestInt(v), vzp), zero), top);
      }
      word = hn::Or(hn::ShiftLeft<8>(word), q);
    }
    hn::StoreU(hn::BitCast(hn::RebindToUnsigned<decltype(di)>(), word), hn::RebindToUnsigned<decltype(di)>(),
               dst + i);
  }
#endif
  for (; i < n; ++i) dst[i] = one(rows[0], i) | one(rows[1], i) << 8 | one(rows[2], i) << 16 | one(rows[3], i) << 24;
}

// One output row with 16-bit products summed in pairs: exact, on every vector target.
void ExactRow(const Plan& p, int64_t n, int64_t g, int64_t oy) {
#if HWY_TARGET == HWY_SCALAR
  scalarRow(p, n, g, oy, 0, p.Wout);
#else
  const hn::ScalableTag<int32_t> d32;
  const hn::Repartition<uint8_t, decltype(d32)> d8;
  const hn::Repartition<int16_t, decltype(d32)> d16;
  const hn::Repartition<int64_t, decltype(d32)> d64;
  const hn::Half<decltype(d8)> d8h;
  const hn::ScalableTag<float> df;
  const int64_t L = int64_t(hn::Lanes(d32));
  const int64_t KT = p.KH * p.KW;
  constexpr int64_t kTile = 4;
  for (int64_t ox0 = 0; ox0 < p.Wout; ox0 += L) {
    const int64_t cols = std::min(L, p.Wout - ox0);
    for (int64_t oc0 = 0; oc0 < p.Cog; oc0 += kTile) {
      const int64_t ocs = std::min(kTile, p.Cog - oc0);
      // Targets whose pairwise product keeps odd and even lanes apart use the second sums.
      hn::Vec<decltype(d32)> lo[kTile], hi[kTile], lo1[kTile], hi1[kTile];
      for (int64_t k = 0; k < kTile; ++k) lo[k] = hi[k] = lo1[k] = hi1[k] = hn::Zero(d32);
      for (int64_t t = 0; t < KT; ++t) {
        const int64_t iy = oy * p.sh + (t / p.KW) * p.dh, ix = ox0 + (t % p.KW) * p.dw;
        for (int64_t b = 0; b < p.Bg; ++b) {
          const auto q = hn::LoadU(d8, p.input(n, g, b, iy, ix));
          const auto qlo = hn::BitCast(d16, hn::PromoteTo(hn::Repartition<uint16_t, decltype(d32)>(),
                                                          hn::LowerHalf(d8h, q)));
          const auto qhi = hn::BitCast(d16, hn::PromoteTo(hn::Repartition<uint16_t, decltype(d32)>(),
                                                          hn::UpperHalf(d8h, q)));
          const int64_t* w = p.wp64 + ((g * KT + t) * p.Bg + b) * p.Cog + oc0;
          for (int64_t k = 0; k < ocs; ++k) {
            const auto wv = hn::BitCast(d16, hn::Set(d64, w[k]));
            lo[k] = hn::ReorderWidenMulAccumulate(d32, qlo, wv, lo[k], lo1[k]);
            hi[k] = hn::ReorderWidenMulAccumulate(d32, qhi, wv, hi[k], hi1[k]);
          }
        }
      }
      for (int64_t k = 0; k < ocs; ++k) {
        const int64_t oc = g * p.Cog + oc0 + k;
        // Lanes 2i and 2i + 1 hold the two halves of pixel i's sum.
        const auto l = hn::RearrangeToOddPlusEven(lo[k], lo1[k]), h = hn::RearrangeToOddPlusEven(hi[k], hi1[k]);
        const auto acc = hn::Add(hn::ConcatEven(d32, h, l), hn::ConcatOdd(d32, h, l));
        const auto diff = hn::Sub(acc, hn::Set(d32, p.zp * p.wsum[oc]));
        const auto v = hn::Add(hn::Mul(hn::ConvertTo(df, diff), hn::Set(df, p.scale * p.wScale[oc])),
                               hn::Set(df, p.bias[oc]));
        HWY_ALIGN float tmp[hn::MaxLanes(df)];
        hn::Store(v, df, tmp);
        std::memcpy(p.output(n, oc, oy) + ox0, tmp, size_t(cols) * sizeof(float));
      }
    }
  }
#endif
}

}  // namespace HWY_NAMESPACE
}  // namespace int8detail
}  // namespace ka
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace ka {
namespace int8detail {
HWY_EXPORT(MinMax);
HWY_EXPORT(QuantRow);
HWY_EXPORT(ExactRow);

bool cpuid(unsigned leaf, unsigned sub, unsigned reg, unsigned bit) {
  unsigned r[4] = {0, 0, 0, 0};
  if (!__get_cpuid_count(leaf, sub, &r[0], &r[1], &r[2], &r[3])) return false;
  return (r[reg] >> bit) & 1u;
}
// The target flags below also carry the operating system's consent to the wider registers.
bool hasAvxVnni() { return (hwy::SupportedTargets() & HWY_AVX2) && cpuid(7, 1, 0, 4); }
bool hasAvx512Vnni() { return (hwy::SupportedTargets() & HWY_AVX3_DL) && cpuid(7, 0, 2, 11); }

// Products of 255 and -128 summed over more terms than this could leave 32 bits.
constexpr int64_t kMaxReduction = std::numeric_limits<int32_t>::max() / (255 * 128);

}  // namespace int8detail

bool int8PathAvailable(Int8Path path) {
  switch (path) {
    case Int8Path::kAvxVnni: return int8detail::hasAvxVnni();
    case Int8Path::kAvx512Vnni: return int8detail::hasAvx512Vnni();
    default: return true;
  }
}

const char* int8PathName(Int8Path path) {
  switch (path) {
    case Int8Path::kAuto: return "auto";
    case Int8Path::kScalar: return "scalar";
    case Int8Path::kExact: return "exact16";
    case Int8Path::kAvxVnni: return "avx-vnni";
    case Int8Path::kAvx512Vnni: return "avx512-vnni";
  }
  return "?";
}

struct Int8Conv::Impl {
  Int8ConvAttrs a;
  Int8Path path;
  std::once_flag packed;
  int64_t packedDims[4] = {0, 0, 0, 0};
  std::vector<int8_t> wq;
  std::vector<int32_t> wp32, wsum;
  std::vector<int64_t> wp64;

  void pack(const int8_t* w, const int64_t* wd) {
    const int64_t Cout = wd[0], Cg = wd[1], KT = wd[2] * wd[3], G = a.group, Cog = Cout / G, Bg = (Cg + 3) / 4;
    std::copy(wd, wd + 4, packedDims);
    wq.assign(w, w + Cout * Cg * KT);
    wsum.assign(size_t(Cout), 0);
    wp32.assign(size_t(G * KT * Bg * Cog), 0);
    wp64.assign(wp32.size(), 0);
    for (int64_t oc = 0; oc < Cout; ++oc) {
      const int64_t g = oc / Cog, ocl = oc % Cog;
      for (int64_t ci = 0; ci < Cg; ++ci) {
        for (int64_t t = 0; t < KT; ++t) {
          const int8_t v = w[(oc * Cg + ci) * KT + t];
          wsum[size_t(oc)] += v;
          const size_t at = size_t(((g * KT + t) * Bg + ci / 4) * Cog + ocl);
          const int k = int(ci % 4);
          wp32[at] |= int32_t(uint32_t(uint8_t(v)) << (8 * k));
          wp64[at] |= int64_t(uint64_t(uint16_t(int16_t(v))) << (16 * k));
        }
      }
    }
  }
};

Int8Conv::Int8Conv(const Int8ConvAttrs& attrs, Int8Path path) : impl_(new Impl) {
  const Int8ConvAttrs& a = attrs;
  if (a.strides[0] < 1 || a.strides[1] < 1 || a.dilations[0] < 1 || a.dilations[1] < 1 || a.group < 1 ||
      a.pads[0] < 0 || a.pads[1] < 0 || a.pads[2] < 0 || a.pads[3] < 0)
    throw std::invalid_argument("Int8ConvVNNI: strides and dilations must be at least 1, pads not negative, group "
                                "at least 1");
  if (path == Int8Path::kAuto)
    path = int8detail::hasAvx512Vnni() ? Int8Path::kAvx512Vnni
                                       : (int8detail::hasAvxVnni() ? Int8Path::kAvxVnni : Int8Path::kExact);
  if (!int8PathAvailable(path))
    throw std::invalid_argument(std::string("Int8ConvVNNI: this processor has no ") + int8PathName(path));
  impl_->a = a;
  impl_->path = path;
}

Int8Conv::~Int8Conv() = default;

Int8Path Int8Conv::path() const { return impl_->path; }

void Int8Conv::outputShape(const int64_t x[4], const int64_t w[4], int64_t y[4]) const {
  const Int8ConvAttrs& a = impl_->a;
  const int64_t kMax = int64_t(1) << 30;
  for (int i = 0; i < 4; ++i)
    if (x[i] < 0 || w[i] < 0 || x[i] > kMax || w[i] > kMax)
      throw std::invalid_argument("Int8ConvVNNI: dimension out of range");
  if (w[0] % a.group != 0 || x[1] != w[1] * a.group || w[1] < 1 || w[2] < 1 || w[3] < 1)
    throw std::invalid_argument("Int8ConvVNNI: input channels " + std::to_string(x[1]) + " do not fit weights of " +
                                std::to_string(w[1]) + " channels per group in " + std::to_string(a.group) +
                                " groups of " + std::to_string(w[0]) + " outputs");
  if (w[1] * w[2] * w[3] > int8detail::kMaxReduction)
    throw std::invalid_argument("Int8ConvVNNI: a receptive field of " + std::to_string(w[1] * w[2] * w[3]) +
                                " weights could leave 32-bit sums");
  const int64_t hEff = x[2] + a.pads[0] + a.pads[2] - a.dilations[0] * (w[2] - 1) - 1;
  const int64_t wEff = x[3] + a.pads[1] + a.pads[3] - a.dilations[1] * (w[3] - 1) - 1;
  if (hEff < 0 || wEff < 0) throw std::invalid_argument("Int8ConvVNNI: the kernel is larger than the padded input");
  y[0] = x[0];
  y[1] = w[0];
  y[2] = hEff / a.strides[0] + 1;
  y[3] = wEff / a.strides[1] + 1;
}

void Int8Conv::run(const float* x, const int64_t xd[4], const int8_t* wq, const int64_t wd[4], const float* wScale,
                   const float* bias, float* y) {
  using namespace int8detail;
  Impl& m = *impl_;
  int64_t yd[4];
  outputShape(xd, wd, yd);
  std::call_once(m.packed, [&] { m.pack(wq, wd); });
  if (!std::equal(wd, wd + 4, m.packedDims))
    throw std::invalid_argument("Int8ConvVNNI: the weights changed shape between runs");
  const int64_t N = xd[0], Cin = xd[1], H = xd[2], W = xd[3];
  if (yd[0] * yd[1] * yd[2] * yd[3] == 0) return;

  // 1-2. Range, scale and zero point.
  const size_t count = size_t(N * Cin * H * W);
  float lo = 0.f, hi = 0.f;
  const int parts = pool::parts(count, 4096);
  if (parts < 2) {
    HWY_DYNAMIC_DISPATCH(MinMax)(x, count, &lo, &hi);
  } else {
    std::vector<float> los(size_t(parts), 0.f), his(size_t(parts), 0.f);
    const uint64_t per = (count + uint64_t(parts) - 1) / uint64_t(parts);
    pool::parallelRange(count, 4096, [&](uint64_t b, uint64_t e) {
      HWY_DYNAMIC_DISPATCH(MinMax)(x + b, size_t(e - b), &los[size_t(b / per)], &his[size_t(b / per)]);
    });
    lo = *std::min_element(los.begin(), los.end());
    hi = *std::max_element(his.begin(), his.end());
  }
  float scale = (hi - lo) / 255.f;
  if (!(scale > 0.f)) scale = 1.f;
  float z = std::nearbyint(-lo / scale);
  const int32_t zp = !(z > 0.f) ? 0 : (z > 255.f ? 255 : int32_t(z));

  // 3. The zero-point-padded input, wide enough for whole vectors past the last output column.
  const Int8ConvAttrs& a = m.a;
  const int64_t G = a.group, Cg = wd[1], Bg = (Cg + 3) / 4, KH = wd[2], KW = wd[3];
  const int64_t Hp = H + a.pads[0] + a.pads[2];
  const int64_t Wq = std::max(W + a.pads[1] + a.pads[3], (yd[3] + 63) / 64 * 64 + (KW - 1) * a.dilations[1]);
  const uint32_t fill = uint32_t(zp) * 0x01010101u;
  // Per calling thread, grown and reused: concurrent runs never share it, repeated runs do not pay
  // for fresh pages.
  // The workers below reach it through this pointer: the name alone would mean their own copies.
  thread_local std::vector<uint32_t> scratch;
  scratch.resize(std::max(scratch.size(), size_t(N * G * Bg * Hp * Wq)));
  uint32_t* const qb = scratch.data();
  std::fill(qb, qb + N * G * Bg * Hp * Wq, fill);
  pool::parallelRange(uint64_t(N * G * Bg * H), 1, [&](uint64_t b0, uint64_t e0) {
    for (uint64_t r = b0; r < e0; ++r) {
      const int64_t iy = int64_t(r) % H, blk = int64_t(r) / H;  // blk = (n * G + g) * Bg + b
      const int64_t b = blk % Bg, ng = blk / Bg, g = ng % G, n = ng / G;
      const float* rows[4] = {nullptr, nullptr, nullptr, nullptr};
      for (int k = 0; k < 4; ++k) {
        const int64_t ci = 4 * b + k;
        if (ci < Cg) rows[k] = x + ((n * Cin + g * Cg + ci) * H + iy) * W;
      }
      uint32_t* dst = qb + ((blk * Hp) + iy + a.pads[0]) * Wq + a.pads[1];
      HWY_DYNAMIC_DISPATCH(QuantRow)(rows, size_t(W), scale, zp, dst);
    }
  });

  // 4-5. The rows.
  Plan p{reinterpret_cast<const uint8_t*>(qb), G, Bg, Hp, Wq, H, W, a.pads[0], a.pads[1], Cg, wd[0] / G, KH,
         KW, a.strides[0], a.strides[1], a.dilations[0], a.dilations[1], yd[2], yd[3], yd[1], m.wq.data(),
         m.wp32.data(), m.wp64.data(), m.wsum.data(), zp, scale, wScale, bias, y};
  const Int8Path path = p.sw == 1 ? m.path : Int8Path::kScalar;
  pool::parallelRange(uint64_t(N * G * yd[2]), 1, [&](uint64_t b0, uint64_t e0) {
    for (uint64_t r = b0; r < e0; ++r) {
      const int64_t oy = int64_t(r) % yd[2], ng = int64_t(r) / yd[2], g = ng % G, n = ng / G;
      switch (path) {
        case Int8Path::kAvx512Vnni: vnni512Row(p, n, g, oy); break;
        case Int8Path::kAvxVnni: avxVnniRow(p, n, g, oy); break;
        case Int8Path::kExact: HWY_DYNAMIC_DISPATCH(ExactRow)(p, n, g, oy); break;
        default: scalarRow(p, n, g, oy, 0, p.Wout); break;
      }
    }
  });
}

}  // namespace ka
#endif  // HWY_ONCE
