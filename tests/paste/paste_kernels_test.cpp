// The compositor's kernels on every x86 target this machine can run, against scalar computations
// of the same sums in the same order.
#ifndef HWY_WANT_AVX3_DL
#define HWY_WANT_AVX3_DL
#endif

#include <gtest/gtest.h>
#include <hwy/targets.h>

#include <cmath>
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "paste/paste_kernels.h"

namespace {

struct RowCase {
  int side = 24;
  std::vector<float> rgba4, lanczos, linear;
  std::vector<uint8_t> mask;
  std::vector<int64_t> colX, colY;
  int64_t rowX = 0, rowY = 0;
  std::vector<uint8_t> bg;
};

// `cancel`: samples near 1e5 under taps that sum to zero, so partial sums are large and every
// rounding shows in the result: a kernel that adds in another order gives other bytes.
RowCase makeCase(uint32_t seed, double angle, double scale, double ox, double oy, bool cancel) {
  std::mt19937 rng(seed);
  RowCase c;
  const int s = c.side;
  c.rgba4.resize(size_t(s) * s * 4);
  for (size_t i = 0; i < c.rgba4.size(); ++i)
    c.rgba4[i] = (i % 4 == 3) ? 0.0f : (cancel ? 100000.0f : 0.0f) + float(rng() % 25600) / 100.0f;
  c.mask.resize(size_t(s) * s);
  for (auto& m : c.mask) m = uint8_t(rng() % 4 == 0 ? 0 : rng() & 0xff);
  // Taps that do not sum to one and have both signs, per phase; the kernel must not care.
  c.lanczos.resize(32 * 8);
  for (auto& w : c.lanczos) w = float(int(rng() % 2001) - 700) / 1000.0f;
  if (cancel)
    for (int ph = 0; ph < 32; ++ph) {
      float* w = &c.lanczos[8 * ph];
      for (int i = 0; i < 8; i += 2) w[i + 1] = -w[i];
      std::shuffle(w, w + 8, rng);
    }
  c.linear.resize(64);
  for (int i = 0; i < 32; ++i) {
    c.linear[2 * i] = float(1 - i / 32.0);
    c.linear[2 * i + 1] = float(i / 32.0);
  }
  // Columns sweep from well left of the crop to well right of it, so interior and edge pixels mix.
  const int n = 3 * s;
  const double a00 = std::cos(angle) / scale, a10 = std::sin(angle) / scale;
  for (int x = 0; x < n; ++x) {
    c.colX.push_back(int64_t(std::rint((x * a00 + ox) * 1024)));
    c.colY.push_back(int64_t(std::rint((x * a10 + oy) * 1024)));
  }
  c.rowX = 16 - 3 * 1024;
  c.rowY = 16;
  c.bg.resize(size_t(n) * 3);
  for (auto& b : c.bg) b = uint8_t(rng() & 0xff);
  return c;
}

std::vector<uint8_t> scalarRow(const RowCase& c) {
  std::vector<uint8_t> out = c.bg;
  const int s = c.side;
  for (size_t k = 0; k < c.colX.size(); ++k) {
    const int64_t X = c.rowX + c.colX[k], Y = c.rowY + c.colY[k];
    const int64_t sx = X >> 10, sy = Y >> 10;
    if (X < -1024 || Y < -1024 || sx >= s || sy >= s) continue;
    const int fx = int((X >> 5) & 31), fy = int((Y >> 5) & 31);
    auto mk = [&](int64_t u, int64_t v) -> float {
      return (u >= 0 && u < s && v >= 0 && v < s) ? float(c.mask[size_t(v) * s + size_t(u)]) : 0.0f;
    };
    const float* lx = &c.linear[2 * fx];
    const float* ly = &c.linear[2 * fy];
    const float m = (lx[0] * mk(sx, sy) + lx[1] * mk(sx + 1, sy)) * ly[0] +
                    (lx[0] * mk(sx, sy + 1) + lx[1] * mk(sx + 1, sy + 1)) * ly[1];
    const float alpha = std::nearbyint(m) / 255.0f;
    if (!(alpha > 0)) continue;
    for (int ch = 0; ch < 3; ++ch) {
      float v = 0;
      for (int j = 0; j < 8; ++j) {
        const int64_t r = sy - 3 + j;
        if (r < 0 || r >= s) continue;
        float h = 0;
        for (int i = 0; i < 8; ++i) {
          const int64_t q = sx - 3 + i;
          if (q < 0 || q >= s) continue;
          h += c.lanczos[8 * fx + i] * c.rgba4[(size_t(r) * s + size_t(q)) * 4 + ch];
        }
        v += c.lanczos[8 * fy + j] * h;
      }
      float o = float(out[3 * k + ch]) * (1 - alpha) + alpha * v;
      o = o > 0 ? (o < 255 ? o : 255) : 0;
      out[3 * k + ch] = uint8_t(int(o));
    }
  }
  return out;
}

std::vector<uint8_t> kernelRow(const RowCase& c) {
  std::vector<uint8_t> out = c.bg;
  ka::simd::PasteRow r;
  r.rgba4 = c.rgba4.data();
  r.mask = c.mask.data();
  r.lanczosTab = c.lanczos.data();
  r.linearTab = c.linear.data();
  r.colX = c.colX.data();
  r.colY = c.colY.data();
  r.rowX = c.rowX;
  r.rowY = c.rowY;
  r.side = c.side;
  r.count = int(c.colX.size());
  r.dst = out.data();
  ka::simd::pasteLanczos8Row(r);
  return out;
}

TEST(PasteLanczosRow, EveryTargetMatchesScalarSums) {
  const std::vector<int64_t> targets = hwy::SupportedAndGeneratedTargets();
  ASSERT_FALSE(targets.empty());
  for (int64_t t : targets) {
    hwy::SetSupportedTargetsForTest(t);
    for (uint32_t seed = 0; seed < 12; ++seed) {
      for (int yRow = -4; yRow < 28; yRow += 3) {
        RowCase c = makeCase(seed, 0.1 * seed - 0.2, 0.7 + 0.15 * seed, -0.3 * seed, 0.0, seed % 2);
        c.rowY = 16 + int64_t(yRow) * 1024 + 37 * seed;
        const auto want = scalarRow(c);
        const auto got = kernelRow(c);
        size_t diff = 0;
        for (size_t i = 0; i < got.size(); ++i) diff += got[i] != want[i];
        ASSERT_EQ(diff, 0u) << "target " << hwy::TargetName(t) << " seed " << seed << " row " << yRow;
      }
    }
  }
  hwy::SetSupportedTargetsForTest(0);
  std::printf("checked targets:");
  for (int64_t t : targets) std::printf(" %s", hwy::TargetName(t));
  std::printf("\n");
}

// Samples near 1e4 with taps of both signs: partial sums are large, so any change of order shows.
struct BlurCase {
  std::vector<float> in, g;
  BlurCase(uint32_t seed, size_t n, int k) {
    std::mt19937 rng(seed);
    in.resize(n + k);
    for (auto& v : in) v = 10000.0f + float(rng() % 25600) / 100.0f;
    g.resize(k);
    for (auto& w : g) w = float(int(rng() % 2001) - 1000) / 997.0f;
  }
};

TEST(PasteUnsharpKernels, EveryTargetMatchesScalarSums) {
  const std::vector<int64_t> targets = hwy::SupportedAndGeneratedTargets();
  for (int64_t t : targets) {
    hwy::SetSupportedTargetsForTest(t);
    for (int k : {1, 3, 13}) {
      // Horizontal: ranges that start and end off any vector boundary.
      BlurCase c(uint32_t(k), 1000, k);
      for (auto [b, e] : {std::pair<size_t, size_t>{0, 1000}, {3, 997}, {17, 18}, {5, 5}}) {
        std::vector<float> got(1000, -1.0f), want(1000, -1.0f);
        ka::simd::unsharpHorizontal(c.in.data(), c.g.data(), k, got.data(), b, e);
        for (size_t n = b; n < e; ++n) {
          float acc = 0;
          for (int q = 0; q < k; ++q) acc += c.g[q] * c.in[n + q];
          want[n] = acc;
        }
        ASSERT_EQ(0, std::memcmp(got.data(), want.data(), got.size() * 4))
            << hwy::TargetName(t) << " k " << k << " [" << b << ", " << e << ")";
      }
      // Vertical and sharpening: widths around the vector sizes; values that clamp at both ends
      // and a NaN.
      for (int width : {1, 7, 8, 9, 31, 64, 67}) {
        const size_t stride = size_t(width) + 5;
        BlurCase h(uint32_t(width), stride * k, k);
        std::mt19937 rng(uint32_t(width * 31 + k));
        std::vector<float> row(width);
        for (auto& v : row) v = float(rng() % 25600) / 100.0f;
        row[0] = std::nanf("");
        if (width > 2) row[1] = 1e9f, row[2] = -1e9f;
        std::vector<float> got = row, want = row;
        const float amount = 1.3f;
        ka::simd::unsharpSharpenRow(h.in.data(), stride, h.g.data(), k, amount, got.data(), width);
        for (int x = 0; x < width; ++x) {
          float blur = 0;
          for (int j = 0; j < k; ++j) blur += h.g[j] * h.in[j * stride + x];
          const float v = (1 + amount) * want[x] - amount * blur;
          want[x] = v > 0 ? (v < 255 ? v : 255) : 0;
        }
        ASSERT_EQ(0, std::memcmp(got.data(), want.data(), got.size() * 4)) << hwy::TargetName(t) << " width " << width;
      }
    }
  }
  hwy::SetSupportedTargetsForTest(0);
}

}  // namespace
