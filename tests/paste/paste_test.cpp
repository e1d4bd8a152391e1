// The compositor against a plain reference written from its arithmetic: unsharp mask with
// reflect-101 borders, fixed-point inverse mapping with 32 phases, bilinear mask, Lanczos-8 /
// bicubic / bilinear resampling, truncating blend. Every comparison is byte for byte.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include <hwy/targets.h>

#include "common/test_util.h"
#include "paste/paste.h"

namespace {

using ka::test::ScopedEnv;

struct RefParams {
  int side;
  float amount;
  float sigma;
  int ksize;
  int mode;  // 0 Lanczos, 1 bicubic, 2 bilinear
};

// Phase tables built straight from their definitions.
struct RefTabs {
  float lanczos[32][8];
  float linear[32][2];
  float cubic[32][4];
  RefTabs() {
    const double pi = 3.14159265358979323846, r = std::sqrt(0.5);
    for (int i = 0; i < 32; ++i) {
      const double t = i / 32.0;
      linear[i][0] = float(1 - t);
      linear[i][1] = float(t);
      const double a = -0.75;
      auto far = [&](double x) { return ((a * x - 5 * a) * x + 8 * a) * x - 4 * a; };
      auto near = [&](double x) { return ((a + 2) * x - (a + 3)) * x * x + 1; };
      cubic[i][0] = float(far(t + 1));
      cubic[i][1] = float(near(t));
      cubic[i][2] = float(near(1 - t));
      cubic[i][3] = 1.0f - cubic[i][0] - cubic[i][1] - cubic[i][2];
      if (i == 0) {
        for (int j = 0; j < 8; ++j) lanczos[i][j] = j == 3 ? 1.0f : 0.0f;
        continue;
      }
      // sin(pi x) sin(pi x / 4) / (pi x)^2 up to a constant, with sin(pi x) and sin(pi x / 4)
      // expanded around the phase's first tap so all eight share one sine and one cosine.
      const double s0 = std::sin(-(t + 3) * pi / 4), c0 = std::cos(-(t + 3) * pi / 4);
      const double cs[8][2] = {{1, 0}, {-r, -r}, {0, 1}, {r, -r}, {-1, 0}, {r, r}, {0, -1}, {-r, r}};
      double w[8], sum = 0;
      for (int j = 0; j < 8; ++j) {
        const double y = (t + 3 - j) * pi / 4;
        w[j] = (cs[j][0] * s0 + cs[j][1] * c0) / (y * y);
        sum += w[j];
      }
      for (int j = 0; j < 8; ++j) lanczos[i][j] = float(w[j] / sum);
    }
  }
};

const RefTabs& tabs() {
  static RefTabs t;
  return t;
}

int mirror(int i, int n) {
  i = std::abs(i);
  return i >= n ? 2 * n - i - 2 : i;
}

// The sharpened planes (0..255 scale), from scratch.
std::vector<float> refUnsharp(const std::vector<float>& crop, float scale, const RefParams& p) {
  const int s = p.side, k = p.ksize, h = k / 2, pd = s + k - 1;
  std::vector<double> gd(k);
  double sum = 0;
  for (int i = 0; i < k; ++i) {
    const double d = i - (k - 1) / 2;
    gd[i] = std::exp(-d * d / (2.0 * double(p.sigma) * double(p.sigma)));
    sum += gd[i];
  }
  std::vector<float> g(k);
  for (int i = 0; i < k; ++i) g[i] = float(gd[i] / sum);

  std::vector<float> out(3 * size_t(s) * s);
  for (int c = 0; c < 3; ++c) {
    std::vector<float> P(size_t(s) * s);
    for (size_t i = 0; i < P.size(); ++i) P[i] = scale * crop[c * P.size() + i];
    std::vector<float> pad(size_t(pd) * pd), hb(size_t(pd) * pd, 0.0f);
    for (int r = 0; r < pd; ++r)
      for (int q = 0; q < pd; ++q) pad[size_t(r) * pd + q] = P[size_t(mirror(r - h, s)) * s + mirror(q - h, s)];
    for (size_t n = 0; n + k <= pad.size(); ++n)
      for (int t = 0; t < k; ++t) hb[n] += g[t] * pad[n + t];
    for (int y = 0; y < s; ++y)
      for (int x = 0; x < s; ++x) {
        float blur = 0;
        for (int j = 0; j < k; ++j) blur += g[j] * hb[size_t(y + j) * pd + x];
        float v = (1 + p.amount) * P[size_t(y) * s + x] - p.amount * blur;
        v = v < 0 ? 0 : (v > 255 ? 255 : v);
        out[c * P.size() + size_t(y) * s + x] = v;
      }
  }
  return out;
}

// The whole paste, pixel by pixel over the entire frame.
void refPaste(const std::vector<float>& crop, float scale, const float* M, std::vector<uint8_t>& frame, int W, int H,
              const std::vector<uint8_t>& mask, const RefParams& p) {
  const double det = double(M[0]) * M[4] - double(M[1]) * M[3];
  if (det == 0) return;
  const int s = p.side;
  float xs[4], ys[4];
  const float e0 = -4, e1 = float(s + 3);
  const float us[4] = {e0, e1, e0, e1}, vs[4] = {e0, e0, e1, e1};
  for (int i = 0; i < 4; ++i) {
    xs[i] = M[0] * us[i] + M[1] * vs[i] + M[2];
    ys[i] = M[3] * us[i] + M[4] * vs[i] + M[5];
  }
  const int x0 = std::max(0, int(std::floor(*std::min_element(xs, xs + 4))));
  const int x1 = std::min(W - 1, int(std::ceil(*std::max_element(xs, xs + 4))));
  const int y0 = std::max(0, int(std::floor(*std::min_element(ys, ys + 4))));
  const int y1 = std::min(H - 1, int(std::ceil(*std::max_element(ys, ys + 4))));
  if (x0 > x1 || y0 > y1) return;
  const double a00 = M[4] / det, a01 = -M[1] / det, a10 = -M[3] / det, a11 = M[0] / det;
  const double a02 = -(M[2] * a00 + M[5] * a01), a12 = -(M[2] * a10 + M[5] * a11);
  const std::vector<float> sh = refUnsharp(crop, scale, p);
  const RefTabs& T = tabs();
  const int n = p.mode == 0 ? 8 : p.mode == 1 ? 4 : 2, off = p.mode == 0 ? -3 : p.mode == 1 ? -1 : 0;

  for (int y = y0; y <= y1; ++y)
    for (int x = x0; x <= x1; ++x) {
      const int32_t X = int32_t(std::rint((y * a01 + a02) * 1024)) + 16 + int32_t(std::rint(x * a00 * 1024));
      const int32_t Y = int32_t(std::rint((y * a11 + a12) * 1024)) + 16 + int32_t(std::rint(x * a10 * 1024));
      const int sx = X >> 10, sy = Y >> 10, fx = (X >> 5) & 31, fy = (Y >> 5) & 31;
      if (!(X >= -1024 && Y >= -1024 && sx < s && sy < s)) continue;
      auto mk = [&](int u, int v) -> float {
        return (u >= 0 && u < s && v >= 0 && v < s) ? float(mask[size_t(v) * s + u]) : 0.0f;
      };
      const float* lx = T.linear[fx];
      const float* ly = T.linear[fy];
      const float m = (lx[0] * mk(sx, sy) + lx[1] * mk(sx + 1, sy)) * ly[0] +
                      (lx[0] * mk(sx, sy + 1) + lx[1] * mk(sx + 1, sy + 1)) * ly[1];
      const float alpha = std::nearbyint(m) / 255.0f;
      if (alpha <= 0) continue;
      const float* wx = p.mode == 0 ? T.lanczos[fx] : p.mode == 1 ? T.cubic[fx] : T.linear[fx];
      const float* wy = p.mode == 0 ? T.lanczos[fy] : p.mode == 1 ? T.cubic[fy] : T.linear[fy];
      for (int c = 0; c < 3; ++c) {
        float v = 0;
        for (int j = 0; j < n; ++j) {
          const int r = sy + off + j;
          if (r < 0 || r >= s) continue;
          float hsum = 0;
          for (int i = 0; i < n; ++i) {
            const int q = sx + off + i;
            if (q < 0 || q >= s) continue;
            hsum += wx[i] * sh[c * size_t(s) * s + size_t(r) * s + q];
          }
          v += wy[j] * hsum;
        }
        uint8_t& px = frame[(size_t(y) * W + x) * 3 + c];
        float o = float(px) * (1 - alpha) + alpha * v;
        o = o < 0 ? 0 : (o > 255 ? 255 : o);
        px = uint8_t(int(o));
      }
    }
}

std::vector<float> randomCrop(int side, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> u(0.0f, 1.0f);
  std::vector<float> c(3 * size_t(side) * side);
  // Smooth structure plus noise and a few hard edges, so the filters see both.
  for (int ch = 0; ch < 3; ++ch)
    for (int y = 0; y < side; ++y)
      for (int x = 0; x < side; ++x) {
        float v = 0.5f + 0.3f * std::sin(0.21f * x + ch) * std::cos(0.17f * y) + 0.15f * (u(rng) - 0.5f);
        if ((x / 7 + y / 5 + ch) % 4 == 0) v = (x + y) % 2 ? 1.0f : 0.0f;
        c[ch * size_t(side) * side + size_t(y) * side + x] = v;
      }
  return c;
}

std::vector<uint8_t> featherMask(int side) {
  std::vector<uint8_t> m(size_t(side) * side);
  for (int y = 0; y < side; ++y)
    for (int x = 0; x < side; ++x) {
      const int d = std::min(std::min(x, y), std::min(side - 1 - x, side - 1 - y));
      m[size_t(y) * side + x] = uint8_t(std::min(255, d * 40));
    }
  return m;
}

std::vector<uint8_t> randomFrame(int W, int H, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> f(size_t(W) * H * 3);
  for (auto& b : f) b = uint8_t(rng() & 0xff);
  return f;
}

const char* modeText(int mode) { return mode == 0 ? "0" : mode == 1 ? "1" : "2"; }

// Runs the compositor and the reference on the same inputs and compares every byte.
void expectSameAsReference(const RefParams& p, const float M[6], int W, int H, const char* what) {
  ScopedEnv fastEnv("KA_PASTE_FAST", std::string(modeText(p.mode)));
  ScopedEnv ksEnv("KA_PASTE_KSIZE", std::nullopt);
  const auto crop = randomCrop(p.side, 7u + p.side);
  const auto mask = featherMask(p.side);
  auto frame = randomFrame(W, H, 99);
  auto expect = frame;
  ka::Paste paste(mask, p.side, ka::Unsharp{p.amount, p.sigma, p.ksize});
  ASSERT_EQ(paste.fast, p.mode);
  paste.composite(crop.data(), 255.0f, M, frame.data(), W, H);
  refPaste(crop, 255.0f, M, expect, W, H, mask, p);
  size_t diff = 0, first = 0;
  for (size_t i = 0; i < frame.size(); ++i)
    if (frame[i] != expect[i] && diff++ == 0) first = i;
  EXPECT_EQ(diff, 0u) << what << " mode " << p.mode << ": first difference at byte " << first << " ("
                      << int(frame[first]) << " vs " << int(expect[first]) << ")";
  EXPECT_NE(frame, randomFrame(W, H, 99)) << what << ": nothing was pasted";
}

TEST(Paste, IdentityWithZeroMaskLeavesFrame) {
  const int side = 512, W = 1024, H = 1024;
  const float M[6] = {1, 0, 0, 0, 1, 0};
  auto frame = randomFrame(W, H, 1);
  const auto before = frame;
  ka::Paste paste(std::vector<uint8_t>(size_t(side) * side, 0), side, ka::Unsharp{1.3f, 2.0f, 13});
  paste.composite(randomCrop(side, 3).data(), 255.0f, M, frame.data(), W, H);
  EXPECT_EQ(frame, before);
}

TEST(Paste, IdentityFullMaskReproducesSharpenedCrop) {
  const int side = 512, W = 1024, H = 1024;
  const float M[6] = {1, 0, 0, 0, 1, 0};
  const RefParams p{side, 1.3f, 2.0f, 13, 0};
  ScopedEnv fastEnv("KA_PASTE_FAST", std::nullopt);
  const auto crop = randomCrop(side, 5);
  auto frame = randomFrame(W, H, 2);
  const auto before = frame;
  ka::Paste paste(std::vector<uint8_t>(size_t(side) * side, 255), side, ka::Unsharp{1.3f, 2.0f, 13});
  paste.composite(crop.data(), 255.0f, M, frame.data(), W, H);
  const auto sh = refUnsharp(crop, 255.0f, p);
  size_t bad = 0;
  for (int y = 0; y < H; ++y)
    for (int x = 0; x < W; ++x)
      for (int c = 0; c < 3; ++c) {
        const size_t i = (size_t(y) * W + x) * 3 + c;
        // Inside: the sharpened value truncated. Beyond column/row 515: never touched. In the
        // 4-pixel margin the mask is 0, so the background stays too.
        const uint8_t want =
            (x < side && y < side) ? uint8_t(int(sh[c * size_t(side) * side + size_t(y) * side + x])) : before[i];
        if (frame[i] != want) ++bad;
      }
  EXPECT_EQ(bad, 0u);
}

TEST(Paste, ScaledAndRotatedMatchReferenceInEveryMode) {
  const float c = std::cos(0.3f), s = std::sin(0.3f);
  const float rotScale[6] = {1.37f * c, -1.37f * s, 60.25f, 1.37f * s, 1.37f * c, 18.6f};
  const float shrink[6] = {0.61f, 0.07f, 31.3f, -0.05f, 0.58f, 40.9f};
  for (int mode = 0; mode < 3; ++mode) {
    expectSameAsReference({48, 1.3f, 2.0f, 13, mode}, rotScale, 160, 120, "rotated x1.37");
    expectSameAsReference({48, 0.8f, 1.5f, 7, mode}, shrink, 96, 80, "shrunk");
  }
  // A larger crop, so that rounding-order slips in any stage have many pixels to show in.
  const float big[6] = {1.21f * c, 1.21f * s, 30.4f, -1.21f * s, 1.21f * c, 150.2f};
  for (int mode = 0; mode < 3; ++mode) expectSameAsReference({256, 1.3f, 2.0f, 13, mode}, big, 420, 420, "large");
}

TEST(Paste, CropPartlyOutsideMatchesReference) {
  // Hangs over the left and top edges, and off the bottom-right corner of a small frame.
  const float left[6] = {1.1f, 0.02f, -23.7f, -0.03f, 1.05f, -17.2f};
  const float right[6] = {0.95f, -0.1f, 70.4f, 0.1f, 0.95f, 48.8f};
  for (int mode = 0; mode < 3; ++mode) {
    expectSameAsReference({40, 1.3f, 2.0f, 13, mode}, left, 90, 70, "left/top");
    expectSameAsReference({40, 1.3f, 2.0f, 13, mode}, right, 90, 70, "right/bottom");
  }
}

TEST(Paste, LanczosMatchesReferenceOnEveryTarget) {
  // Odd sides leave columns beyond the four-column transposes; the crops hang over the frame's
  // edges and cover the crop's own border, where the zero border stands in for missing samples.
  const float c = std::cos(0.4f), s = std::sin(0.4f);
  const float turned[6] = {0.83f * c, -0.83f * s, 21.4f, 0.83f * s, 0.83f * c, -6.3f};
  const float edge[6] = {1.07f, 0.0f, -9.6f, 0.0f, 1.07f, 30.2f};
  const std::vector<int64_t> targets = hwy::SupportedAndGeneratedTargets();
  for (int64_t t : targets) {
    hwy::SetSupportedTargetsForTest(t);
    SCOPED_TRACE(hwy::TargetName(t));
    expectSameAsReference({37, 1.3f, 2.0f, 13, 0}, turned, 60, 41, "turned");
    expectSameAsReference({53, 0.9f, 1.7f, 11, 0}, edge, 64, 70, "edge");
  }
  hwy::SetSupportedTargetsForTest(0);
}

TEST(Paste, TinyCropWiderKernelThanCrop) {
  // A kernel reaching further than the crop is wide still mirrors inside it.
  const float M[6] = {3.0f, 0.0f, 5.0f, 0.0f, 3.0f, 4.0f};
  auto crop = randomCrop(4, 11);
  auto frame = randomFrame(30, 30, 4);
  ka::Paste paste(std::vector<uint8_t>(16, 255), 4, ka::Unsharp{1.3f, 2.0f, 13});
  EXPECT_NO_THROW(paste.composite(crop.data(), 255.0f, M, frame.data(), 30, 30));
}

TEST(Paste, SingularOrOutsideLeavesFrame) {
  const int side = 32, W = 64, H = 48;
  ka::Paste paste(std::vector<uint8_t>(size_t(side) * side, 255), side, ka::Unsharp{1.3f, 2.0f, 13});
  const auto crop = randomCrop(side, 9);
  const float singular[6] = {1, 2, 5, 2, 4, 5};                // det = 0
  const float leftOf[6] = {1, 0, -side - 4.5f, 0, 1, 3};       // xmax < 0
  const float below[6] = {0.5f, 0, 4, 0, 0.5f, float(H + 5)};  // ymin > H - 1
  const float nan[6] = {1, 0, NAN, 0, 1, 0};
  for (const float* M : {singular, leftOf, below, nan}) {
    auto frame = randomFrame(W, H, 5);
    const auto before = frame;
    paste.composite(crop.data(), 255.0f, M, frame.data(), W, H);
    EXPECT_EQ(frame, before);
  }
}

TEST(Paste, EnvironmentSelectsModeAndKernel) {
  const std::vector<uint8_t> mask(16 * 16, 255);
  {
    ScopedEnv f("KA_PASTE_FAST", std::string("3"));
    EXPECT_EQ(ka::Paste(mask, 16, ka::Unsharp{1, 2, 13}).fast, 0);
  }
  {
    ScopedEnv f("KA_PASTE_FAST", std::string("-1"));
    EXPECT_EQ(ka::Paste(mask, 16, ka::Unsharp{1, 2, 13}).fast, 0);
  }
  {
    ScopedEnv f("KA_PASTE_FAST", std::string("2"));
    EXPECT_EQ(ka::Paste(mask, 16, ka::Unsharp{1, 2, 13}).fast, 2);
  }
  for (auto [env, want] : {std::pair<const char*, int>{"9", 9}, {"15", 13}, {"8", 13}, {"1", 13}, {"x", 13}}) {
    ScopedEnv k("KA_PASTE_KSIZE", std::string(env));
    ka::Paste p(mask, 16, ka::Unsharp{1, 2, 13});
    EXPECT_EQ(p.ksize, want) << env;
    EXPECT_EQ(p.padded, 16 + want - 1);
  }
}

TEST(Paste, ShrunkKernelMatchesReference) {
  ScopedEnv k("KA_PASTE_KSIZE", std::string("9"));
  ScopedEnv f("KA_PASTE_FAST", std::nullopt);
  const int side = 40, W = 80, H = 60;
  const float M[6] = {1.2f, 0.1f, 7.3f, -0.1f, 1.2f, 6.1f};
  const auto crop = randomCrop(side, 13);
  const auto mask = featherMask(side);
  auto frame = randomFrame(W, H, 6);
  auto expect = frame;
  ka::Paste paste(mask, side, ka::Unsharp{1.3f, 2.0f, 13});
  ASSERT_EQ(paste.ksize, 9);
  paste.composite(crop.data(), 255.0f, M, frame.data(), W, H);
  refPaste(crop, 255.0f, M, expect, W, H, mask, RefParams{side, 1.3f, 2.0f, 9, 0});
  EXPECT_EQ(frame, expect);
}

TEST(Paste, BlendTruncatesAndClamps) {
  // amount 0 keeps the planes at scale * crop (clamped), identity at phase 0 reads them exactly
  // and a full mask gives alpha 1: what lands in the frame is the value truncated.
  ScopedEnv f("KA_PASTE_FAST", std::nullopt);
  const int side = 8, W = 8, H = 8;
  std::vector<float> crop(3 * side * side, 0.5f);
  crop[0] = 100.7f;
  crop[1] = 300.0f;
  crop[2] = -5.0f;
  crop[64] = 254.999f;
  ka::Paste paste(std::vector<uint8_t>(side * side, 255), side, ka::Unsharp{0.0f, 2.0f, 3});
  std::vector<uint8_t> frame(W * H * 3, 77);
  const float M[6] = {1, 0, 0, 0, 1, 0};
  paste.composite(crop.data(), 1.0f, M, frame.data(), W, H);
  EXPECT_EQ(frame[0], 100);
  EXPECT_EQ(frame[3], 255);
  EXPECT_EQ(frame[6], 0);
  EXPECT_EQ(frame[1], 254);
  EXPECT_EQ(frame[9], 0);  // 0.5 truncates to 0
}

TEST(Paste, Refusals) {
  auto what = [](auto&& fn) {
    try {
      fn();
    } catch (const std::exception& e) {
      return std::string(e.what());
    }
    return std::string("(no exception)");
  };
  EXPECT_EQ(what([] { ka::Paste(std::vector<uint8_t>(15), 4, ka::Unsharp{}); }), "paste: mask size");
  EXPECT_EQ(what([] { ka::Paste(std::vector<uint8_t>(16), 4, ka::Unsharp{1, 2, 12}); }), "paste: ksize must be odd");
  EXPECT_THROW(ka::Paste(std::vector<uint8_t>(16), 4, ka::Unsharp{1, 2, -3}), std::exception);
  const int big = 1025;
  ka::Paste paste(std::vector<uint8_t>(size_t(big) * big, 255), big, ka::Unsharp{});
  std::vector<float> crop(3 * size_t(big) * big, 0.5f);
  std::vector<uint8_t> frame(64 * 64 * 3, 1);
  const auto before = frame;
  const float M[6] = {1, 0, 0, 0, 1, 0};
  EXPECT_EQ(what([&] { paste.composite(crop.data(), 255.0f, M, frame.data(), 64, 64); }), "paste: side > 1024");
  EXPECT_EQ(frame, before);
  EXPECT_FALSE(paste.compositeGpuRgba(crop.data(), 255.0f, M, frame.data(), 64, 64));
}

}  // namespace
