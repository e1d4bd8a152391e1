// Vectorised kernels: every kernel, on every compiled target this processor runs (dispatch pinned
// to one target at a time), against the plain scalar formulas of simd_reference.h, bit for bit.
#include "ops/simd.h"

#include <cpuid.h>
#include <immintrin.h>

#include <cmath>
#include <cstdlib>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "ops/simd_reference.h"

namespace {
// CPUID leaf 1, ECX bit 29 (clang's __builtin_cpu_supports does not know "f16c").
bool cpuHasF16C() {
  unsigned a = 0, b = 0, c = 0, d = 0;
  return __get_cpuid(1, &a, &b, &c, &d) && (c & (1u << 29)) != 0;
}
}  // namespace

namespace {

using namespace ka::simdref;
namespace simd = ka::simd;

void forEachTarget(const std::function<void()>& body) {
  for (int64_t t : runnableTargets()) {
    TargetPin pin(t);
    SCOPED_TRACE("target " + targetName(t));
    ASSERT_EQ(std::string(simd::target()), targetName(t)) << "target not compiled or not pinned";
    body();
  }
}

std::vector<float> specialFloats() {
  std::vector<float> v = {0.0f,
                          -0.0f,
                          1.0f,
                          -1.0f,
                          65504.0f,
                          -65504.0f,
                          65519.99f,
                          65520.0f,
                          -65520.0f,
                          65536.0f,
                          1e10f,
                          INFINITY,
                          -INFINITY,
                          std::ldexp(1.0f, -24),
                          -std::ldexp(1.0f, -24),
                          std::ldexp(1.0f, -25),
                          -std::ldexp(1.0f, -25),
                          std::ldexp(3.0f, -25),
                          std::ldexp(5.0f, -25),
                          std::nextafter(std::ldexp(1.0f, -25), 1.0f),
                          std::ldexp(1.0f, -14),
                          std::ldexp(1023.0f, -24),
                          std::ldexp(2047.0f, -25),
                          std::nextafter(std::ldexp(1.0f, -14), 0.0f),
                          1e-40f,
                          -1e-40f,
                          std::numeric_limits<float>::denorm_min(),
                          std::numeric_limits<float>::max(),
                          1.0f + std::ldexp(1.0f, -11),
                          1.0f + std::ldexp(3.0f, -11),
                          2048.0f + 1.0f,
                          2048.0f + 3.0f,
                          0.1f,
                          1.0f / 3.0f,
                          255.0f,
                          1e-5f,
                          -1e-5f};
  for (uint32_t nan : {0x7FC00000u, 0x7F800001u, 0x7FA00000u, 0xFFC00001u, 0xFF800FFFu, 0x7FFFFFFFu, 0x7F802000u}) {
    v.push_back(floatOf(nan));
  }
  return v;
}

// The reference itself, checked once against the processor's conversion unit where there is one.
__attribute__((target("f16c"))) uint16_t hardwareHalf(float f) {
  return uint16_t(_cvtss_sh(f, _MM_FROUND_TO_NEAREST_INT));
}

TEST(SimdTarget, NamesTheBestTargetByDefault) {
  const auto targets = runnableTargets();
  EXPECT_EQ(std::string(simd::target()), targetName(targets.back()));
}

TEST(SimdF32ToF16, KnownValues) {
  forEachTarget([] {
    const float in[] = {65504.0f, 65520.0f, std::ldexp(1.0f, -25), -std::ldexp(1.0f, -24), INFINITY,
                        -0.0f,    1.0f,     std::ldexp(3.0f, -25)};
    const uint16_t want[] = {0x7BFF, 0x7C00, 0x0000, 0x8001, 0x7C00, 0x8000, 0x3C00, 0x0002};
    uint16_t out[8];
    simd::f32ToF16(in, out, 8);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(out[i], want[i]) << "input " << in[i];
    const float nan = NAN;
    simd::f32ToF16(&nan, out, 1);
    EXPECT_EQ(out[0] & 0x7C00, 0x7C00);
    EXPECT_NE(out[0] & 0x3FF, 0);
  });
}

TEST(SimdF32ToF16, SpecialCasesAtEveryOffsetAndLength) {
  const auto specials = specialFloats();
  if (cpuHasF16C()) {
    for (float f : specials) ASSERT_EQ(toHalf(f), hardwareHalf(f)) << "reference wrong at " << f;
  }
  forEachTarget([&] {
    for (size_t len = 0; len <= 70; ++len) {
      std::vector<float> in(len);
      for (size_t i = 0; i < len; ++i) in[i] = specials[(i + len) % specials.size()];
      std::vector<uint16_t> out(len + 1, 0xABCD);
      simd::f32ToF16(in.data(), out.data(), len);
      for (size_t i = 0; i < len; ++i) {
        ASSERT_EQ(out[i], toHalf(in[i])) << "len " << len << " i " << i << " bits " << std::hex << bitsOf(in[i]);
      }
      ASSERT_EQ(out[len], 0xABCD) << "wrote past the end";
    }
  });
}

TEST(SimdF32ToF16, RandomSample) {
  std::mt19937 rng(1);
  const size_t n = 1 << 20;
  std::vector<float> in(n);
  for (size_t i = 0; i < n; ++i) {
    switch (i % 4) {
      case 0:
        in[i] = floatOf(rng());
        break;  // any bit pattern
      case 1:
        in[i] = std::ldexp(float(rng() % 0x2000000), int(rng() % 50) - 50);
        break;
      case 2:
        in[i] = floatOf(0x33000000u + rng() % 0x14800000u);
        break;  // 2^-25 .. 2^17
      default:
        in[i] = std::ldexp(float(rng() % 4096) + 0.5f, int(rng() % 30) - 26);
        break;
    }
  }
  std::vector<uint16_t> want(n);
  for (size_t i = 0; i < n; ++i) want[i] = toHalf(in[i]);
  if (cpuHasF16C()) {
    for (size_t i = 0; i < n; ++i) ASSERT_EQ(want[i], hardwareHalf(in[i])) << bitsOf(in[i]);
  }
  forEachTarget([&] {
    std::vector<uint16_t> out(n);
    simd::f32ToF16(in.data() + 3, out.data(), n - 3);
    for (size_t i = 0; i + 3 < n; ++i) ASSERT_EQ(out[i], want[i + 3]) << bitsOf(in[i + 3]);
  });
}

// Every binary32 pattern; opt in with KA_LONG_TESTS=1 (a minute or two per target).
TEST(SimdF32ToF16, AllFloatPatternsLong) {
  const char* flag = std::getenv("KA_LONG_TESTS");
  if (!flag || std::string(flag) != "1") GTEST_SKIP() << "set KA_LONG_TESTS=1 to run";
  const size_t chunk = 1 << 22;
  std::vector<float> in(chunk);
  std::vector<uint16_t> want(chunk), out(chunk);
  const auto targets = runnableTargets();
  for (uint64_t base = 0; base < (1ull << 32); base += chunk) {
    for (size_t i = 0; i < chunk; ++i) in[i] = floatOf(uint32_t(base + i));
    for (size_t i = 0; i < chunk; ++i) want[i] = toHalf(in[i]);
    for (int64_t t : targets) {
      TargetPin pin(t);
      simd::f32ToF16(in.data(), out.data(), chunk);
      for (size_t i = 0; i < chunk; ++i) {
        ASSERT_EQ(out[i], want[i]) << targetName(t) << " bits " << std::hex << (base + i);
      }
    }
  }
}

TEST(SimdF16ToF32, AllPatterns) {
  std::vector<uint16_t> in(65536);
  for (size_t i = 0; i < in.size(); ++i) in[i] = uint16_t(i);
  forEachTarget([&] {
    for (size_t offset : {size_t(0), size_t(1), size_t(7)}) {
      std::vector<float> out(in.size() - offset);
      simd::f16ToF32(in.data() + offset, out.data(), out.size());
      for (size_t i = 0; i < out.size(); ++i) {
        ASSERT_EQ(bitsOf(out[i]), bitsOf(fromHalf(in[i + offset]))) << std::hex << in[i + offset];
      }
    }
  });
}

TEST(SimdRoundF16Mul, MatchesFormula) {
  std::mt19937 rng(2);
  auto specials = specialFloats();
  const size_t n = 4099;
  std::vector<float> a(n), b(n);
  for (size_t i = 0; i < n; ++i) {
    a[i] = i % 5 == 0 ? specials[i % specials.size()] : std::ldexp(float(int(rng() % 20001) - 10000), -int(rng() % 20));
    b[i] = i % 7 == 0 ? specials[(i / 7) % specials.size()] : float(int(rng() % 2001) - 1000) / 7.0f;
  }
  forEachTarget([&] {
    for (size_t len : {size_t(0), size_t(1), size_t(5), size_t(16), size_t(17), n}) {
      std::vector<float> out(len);
      simd::roundF16Mul(a.data(), b.data(), out.data(), len);
      for (size_t i = 0; i < len; ++i) {
        ASSERT_TRUE(sameFloat(out[i], roundHalf(a[i]) * b[i])) << "i " << i << " a " << a[i] << " b " << b[i];
      }
    }
  });
}

TEST(SimdRgb8ToPlanarF16, AllByteValuesAndLengths) {
  forEachTarget([] {
    for (size_t n : {0, 1, 2, 15, 16, 17, 31, 32, 33, 63, 64, 65, 85, 86, 100, 257, 1000}) {
      std::vector<uint8_t> rgb(3 * n);
      for (size_t i = 0; i < rgb.size(); ++i) rgb[i] = uint8_t(i * 7 + n);
      const size_t stride = n + 5;
      std::vector<uint16_t> out(3 * stride, 0xBEEF);
      simd::rgb8ToPlanarF16(rgb.data(), out.data(), stride, n);
      for (size_t c = 0; c < 3; ++c) {
        for (size_t i = 0; i < stride; ++i) {
          const uint16_t want = i < n ? toHalf(float(rgb[3 * i + c]) / 255.0f) : 0xBEEF;
          ASSERT_EQ(out[c * stride + i], want) << "n " << n << " c " << c << " i " << i;
        }
      }
    }
  });
}

struct RetrievalData {
  std::vector<uint16_t> a, b, wh;
  std::vector<float> w;
};

// Halves of moderate size with some infinities and NaNs, and weights with exact zeros beside them.
RetrievalData retrievalData(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  RetrievalData d;
  d.a.resize(3 * n);
  d.b.resize(3 * n);
  d.wh.resize(n);
  d.w.resize(n);
  for (size_t i = 0; i < 3 * n; ++i) {
    d.a[i] = toHalf(float(int(rng() % 4001) - 2000) / 64.0f);
    d.b[i] = toHalf(float(int(rng() % 4001) - 2000) / 64.0f);
    if (rng() % 61 == 0) d.a[i] = uint16_t(rng() % 2 ? 0x7C00 : 0xFC00);
    if (rng() % 97 == 0) d.b[i] = uint16_t(0x7E00 | (rng() & 0x1FF));
    if (rng() % 53 == 0) d.a[i] = uint16_t(rng());  // any pattern
  }
  for (size_t i = 0; i < n; ++i) {
    bool special = false;
    for (size_t c = 0; c < 3; ++c) {
      special = special || (d.a[c * n + i] & 0x7C00) == 0x7C00 || (d.b[c * n + i] & 0x7C00) == 0x7C00;
    }
    d.w[i] = (special || rng() % 5 == 0) ? 0.0f : float(int(rng() % 2001) - 1000) / 333.0f;
    if (!special && rng() % 9 == 0) d.w[i] = -0.0f;
    d.wh[i] = toHalf(d.w[i]);
    if (!special && rng() % 11 == 0) d.wh[i] = toHalf(float(rng() % 100000));
  }
  return d;
}

TEST(SimdRetrieval, PooledMatchesSequentialFormula) {
  forEachTarget([] {
    for (size_t n : {0, 1, 3, 4, 7, 8, 9, 15, 16, 17, 33, 100, 1023, 4096}) {
      const auto d = retrievalData(n, uint32_t(n) + 10);
      const float got = simd::retrieveTermPooled(d.a.data(), d.b.data(), d.wh.data(), n);
      const float want = retrievePooled(d.a.data(), d.b.data(), d.wh.data(), n);
      ASSERT_TRUE(sameFloat(got, want)) << "n " << n << " got " << got << " want " << want;
    }
    EXPECT_EQ(bitsOf(simd::retrieveTermPooled(nullptr, nullptr, nullptr, 0)), 0u);
  });
}

TEST(SimdRetrieval, ExactRangeMatchesSequentialFormula) {
  forEachTarget([] {
    for (size_t n : {1, 5, 16, 17, 64, 100, 1000}) {
      const auto d = retrievalData(n, uint32_t(n) + 99);
      for (auto [lo, hi] : std::vector<std::pair<size_t, size_t>>{
               {0, n}, {0, 0}, {n / 2, n / 2}, {1 % n, n}, {n / 3, n - n / 4}, {n - 1, n}}) {
        if (lo > hi) continue;
        const float got = simd::retrieveTermExactRange(d.a.data(), d.b.data(), d.w.data(), n, lo, hi);
        const float want = retrieveExactRange(d.a.data(), d.b.data(), d.w.data(), n, lo, hi);
        ASSERT_TRUE(std::isfinite(want));
        ASSERT_EQ(bitsOf(got), bitsOf(want)) << "n " << n << " [" << lo << ", " << hi << ")";
      }
      const float whole = simd::retrieveTermExact(d.a.data(), d.b.data(), d.w.data(), n);
      EXPECT_EQ(bitsOf(whole), bitsOf(simd::retrieveTermExactRange(d.a.data(), d.b.data(), d.w.data(), n, 0, n)));
    }
  });
}

TEST(SimdRetrieval, ZeroWeightDropsInfiniteAndNanDifferences) {
  forEachTarget([] {
    for (size_t n : {1, 4, 8, 16, 19}) {
      std::vector<uint16_t> a(3 * n, toHalf(1.0f)), b(3 * n, toHalf(0.5f));
      std::vector<float> w(n, 1.0f);
      for (size_t i = 0; i < n; i += 2) {
        a[i] = 0x7C00;          // +inf
        b[n + i] = 0xFC00;      // -inf
        a[2 * n + i] = 0x7E01;  // NaN
        w[i] = (i / 2) % 2 ? -0.0f : 0.0f;
      }
      const float got = simd::retrieveTermExact(a.data(), b.data(), w.data(), n);
      EXPECT_TRUE(std::isfinite(got)) << "n " << n;
      EXPECT_EQ(bitsOf(got), bitsOf(retrieveExactRange(a.data(), b.data(), w.data(), n, 0, n)));
    }
  });
}

TEST(SimdRetrieval, TermsAreAddedStrictlyInIndexOrder) {
  // Terms 2^30, 1, -2^30, 1, ... : the sequential float sum keeps only the last ones, a lane-wise
  // or pairwise sum would not.
  const size_t n = 64;
  std::vector<uint16_t> a(3 * n, toHalf(3.0f)), b(3 * n, toHalf(0.0f));  // m = 3
  std::vector<float> w(n);
  for (size_t i = 0; i < n; ++i) w[i] = (i % 4 == 0) ? 0x1p30f : (i % 4 == 2 ? -0x1p30f : 1.0f);
  const float want = retrieveExactRange(a.data(), b.data(), w.data(), n, 0, n);
  float pairwise = 0.0f;
  for (size_t lane = 0; lane < 8; ++lane) {
    float part = 0.0f;
    for (size_t i = lane; i < n; i += 8) part += 3.0f * w[i];
    pairwise += part;
  }
  ASSERT_NE(bitsOf(want), bitsOf(pairwise)) << "the case must tell the orders apart";
  forEachTarget([&] { EXPECT_EQ(bitsOf(simd::retrieveTermExact(a.data(), b.data(), w.data(), n)), bitsOf(want)); });
}

struct ConvCase {
  int N, Cin, H, W, Cout;
};

TEST(SimdConv3x3, MatchesDirectFormulaOverSplitRanges) {
  std::mt19937 rng(3);
  std::vector<ConvCase> cases;
  for (int W : {1, 2, 15, 16, 17, 33})
    for (int H : {1, 2, 3, 5, 12})
      for (int Cin : {1, 3, 8}) cases.push_back({(W + H) % 2 ? 3 : 2, Cin, H, W, (H % 2) ? 4 : 1});
  cases.push_back({2, 5, 20, 70, 3});
  forEachTarget([&] {
    for (const auto& c : cases) {
      SCOPED_TRACE(std::to_string(c.N) + "x" + std::to_string(c.Cin) + "x" + std::to_string(c.H) + "x" +
                   std::to_string(c.W) + " -> " + std::to_string(c.Cout));
      std::vector<float> in(size_t(c.N) * c.Cin * c.H * c.W), wt(size_t(c.Cout) * c.Cin * 9), bias(size_t(c.Cout));
      for (auto& v : in) v = float(int(rng() % 2001) - 1000) / 97.0f;
      for (auto& v : wt) v = float(int(rng() % 2001) - 1000) / 1013.0f;
      for (auto& v : bias) v = float(int(rng() % 201) - 100) / 7.0f;
      const size_t planes = size_t(c.N) * c.Cout, planeSize = size_t(c.H) * c.W;
      std::vector<float> want(planes * planeSize), got(planes * planeSize, NAN);
      conv3x3(in.data(), c.N, c.Cin, c.H, c.W, wt.data(), bias.data(), c.Cout, want.data());
      // Ranges that start and end inside batch items, run one after another on this thread.
      const size_t cuts[] = {0, planes / 3, planes / 3 + 1, planes - 1, planes};
      for (size_t k = 0; k + 1 < 5; ++k) {
        simd::conv3x3Range(in.data(), c.N, c.Cin, c.H, c.W, wt.data(), bias.data(), c.Cout, got.data(), cuts[k],
                           std::max(cuts[k], cuts[k + 1]));
      }
      for (size_t i = 0; i < got.size(); ++i) ASSERT_EQ(bitsOf(got[i]), bitsOf(want[i])) << i;
      // Without bias, one call over everything.
      conv3x3(in.data(), c.N, c.Cin, c.H, c.W, wt.data(), nullptr, c.Cout, want.data());
      simd::conv3x3Range(in.data(), c.N, c.Cin, c.H, c.W, wt.data(), nullptr, c.Cout, got.data(), 0, planes);
      for (size_t i = 0; i < got.size(); ++i) ASSERT_EQ(bitsOf(got[i]), bitsOf(want[i])) << i;
    }
  });
}

TEST(SimdConv3x3, OnePixelUsesOnlyTheCentreTap) {
  forEachTarget([] {
    const float in[2] = {2.0f, -3.0f};  // Cin = 2
    std::vector<float> wt(18, 1e30f);
    wt[4] = 0.5f;
    wt[13] = 0.25f;
    const float bias = 1.0f;
    float out = 0.0f;
    simd::conv3x3Range(in, 1, 2, 1, 1, wt.data(), &bias, 1, &out, 0, 1);
    EXPECT_EQ(out, (0.0f + 0.5f * 2.0f) + 0.25f * -3.0f + 1.0f);
  });
}

TEST(SimdConv3x3, RefilledInputIsNotServedFromAStaleStage) {
  forEachTarget([] {
    const int H = 4, W = 5, Cin = 2, Cout = 2;
    std::vector<float> in(size_t(Cin) * H * W, 1.0f), wt(size_t(Cout) * Cin * 9, 0.125f);
    std::vector<float> out(size_t(Cout) * H * W), want(out.size());
    simd::conv3x3Range(in.data(), 1, Cin, H, W, wt.data(), nullptr, Cout, out.data(), 0, 1);
    for (auto& v : in) v = 3.0f;
    simd::conv3x3Range(in.data(), 1, Cin, H, W, wt.data(), nullptr, Cout, out.data(), 1, 2);
    conv3x3(in.data(), 1, Cin, H, W, wt.data(), nullptr, Cout, want.data());
    for (size_t i = size_t(H) * W; i < out.size(); ++i) ASSERT_EQ(out[i], want[i]) << i;
  });
}

TEST(SimdConv3x3Concurrent, ThreadsKeepTheirOwnStage) {
  const int N = 4, Cin = 3, H = 9, W = 21, Cout = 5;
  std::mt19937 rng(4);
  std::vector<float> in(size_t(N) * Cin * H * W), wt(size_t(Cout) * Cin * 9), bias(Cout);
  for (auto& v : in) v = float(int(rng() % 200) - 100) / 9.0f;
  for (auto& v : wt) v = float(int(rng() % 200) - 100) / 99.0f;
  for (auto& v : bias) v = float(rng() % 10);
  std::vector<float> want(size_t(N) * Cout * H * W), got(want.size());
  conv3x3(in.data(), N, Cin, H, W, wt.data(), bias.data(), Cout, want.data());
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int rep = 0; rep < 20; ++rep) {
        for (size_t p = size_t(t); p < size_t(N) * Cout; p += 4) {
          simd::conv3x3Range(in.data(), N, Cin, H, W, wt.data(), bias.data(), Cout, got.data(), p, p + 1);
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  for (size_t i = 0; i < got.size(); ++i) ASSERT_EQ(bitsOf(got[i]), bitsOf(want[i])) << i;
}

TEST(SimdYuv420, KnownPoints) {
  forEachTarget([] {
    for (int width : {1, 2, 40}) {
      std::vector<uint8_t> y(size_t(width), 16), u(size_t(width), 128), v(size_t(width), 128);
      std::vector<uint8_t> rgb(3 * size_t(width), 7);
      simd::yuv420RowToRgb24(y.data(), u.data(), v.data(), width, 1, rgb.data());
      for (uint8_t c : rgb) ASSERT_EQ(c, 0);
      std::fill(y.begin(), y.end(), 235);
      simd::yuv420RowToRgb24(y.data(), u.data(), v.data(), width, 1, rgb.data());
      for (uint8_t c : rgb) ASSERT_EQ(c, 255);
    }
  });
}

TEST(SimdYuv420, EveryYuvTriple) {
  // One 256-pixel row per (U, V): Y runs 0..255 with constant chroma.
  std::vector<uint8_t> y(256), want(3 * 256 * 256), got(want.size());
  for (int i = 0; i < 256; ++i) y[size_t(i)] = uint8_t(i);
  forEachTarget([&] {
    for (int U = 0; U < 256; ++U) {
      for (int V = 0; V < 256; V += 1) {
        const std::vector<uint8_t> u(128, uint8_t(U)), v(128, uint8_t(V));
        uint8_t* dst = got.data() + 3 * 256 * size_t(V);
        simd::yuv420RowToRgb24(y.data(), u.data(), v.data(), 256, 1, dst);
        yuvRow(y.data(), u.data(), v.data(), 256, 1, want.data() + 3 * 256 * size_t(V));
      }
      ASSERT_EQ(got, want) << "U " << U;
    }
  });
}

TEST(SimdYuv420, OddWidthsAndInterleavedChroma) {
  std::mt19937 rng(5);
  forEachTarget([&] {
    for (int width : {1, 2, 3, 7, 15, 16, 17, 31, 32, 33, 63, 64, 65, 95, 127, 129, 1919, 1920, 1921}) {
      const size_t chroma = size_t(width + 1) / 2;
      std::vector<uint8_t> y(static_cast<size_t>(width)), u(chroma), v(chroma), uv(2 * chroma);
      for (auto& b : y) b = uint8_t(rng());
      for (size_t i = 0; i < chroma; ++i) {
        u[i] = uv[2 * i] = uint8_t(rng());
        v[i] = uv[2 * i + 1] = uint8_t(rng());
      }
      if (width % 5 == 0) std::fill(u.begin(), u.end(), 0);  // extremes saturate
      std::vector<uint8_t> want(3 * size_t(width) + 1, 0x5A), got(want.size(), 0x5A);
      yuvRow(y.data(), u.data(), v.data(), width, 1, want.data());
      simd::yuv420RowToRgb24(y.data(), u.data(), v.data(), width, 1, got.data());
      ASSERT_EQ(got, want) << "planar width " << width;
      std::fill(got.begin(), got.end(), 0x5A);
      yuvRow(y.data(), uv.data(), uv.data() + 1, width, 2, want.data());
      simd::yuv420RowToRgb24(y.data(), uv.data(), uv.data() + 1, width, 2, got.data());
      ASSERT_EQ(got, want) << "interleaved width " << width;
    }
  });
}

}  // namespace
