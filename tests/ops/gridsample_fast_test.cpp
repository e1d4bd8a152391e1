// GridSampleFast: the kernel at its exact points, against a double-precision reference written with
// the coordinate-clamping formulation of border padding, every compiled target against the scalar path,
// and the operator inside ONNX Runtime against ONNX Runtime's own GridSample on the same inputs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <thread>
#include <vector>

#include "common/test_util.h"
#include "graph/forge_models.h"
#include "graph/gridsample_rewrite.h"
#include "graph/ort_run.h"
#include "ops/gridsample_fast.h"
#include "ops/simd_reference.h"
#include "runtime/ort_env.h"

namespace {

struct Case {
  int C, H, W;
  std::vector<float> x, grid;
};

// X uniform in [-1, 1]; grid uniform in [-spread, spread].
Case makeCase(int C, int H, int W, float spread, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> u(-1.f, 1.f);
  Case c{C, H, W, std::vector<float>(size_t(C) * H * W), std::vector<float>(size_t(H) * W * 2)};
  for (float& v : c.x) v = u(rng);
  for (float& v : c.grid) v = u(rng) * spread;
  return c;
}

// Bilinear sampling with border padding, align_corners 0, in double: the position is clamped into
// the image first (the textbook form), then interpolated.
double reference(const Case& c, int ch, int i, int j) {
  const float* g = &c.grid[(size_t(i) * c.W + j) * 2];
  double px = ((double(g[0]) + 1.0) * c.W - 1.0) / 2.0;
  double py = ((double(g[1]) + 1.0) * c.H - 1.0) / 2.0;
  px = std::min(std::max(px, 0.0), double(c.W - 1));
  py = std::min(std::max(py, 0.0), double(c.H - 1));
  int x0 = int(std::floor(px)), y0 = int(std::floor(py));
  int x1 = std::min(x0 + 1, c.W - 1), y1 = std::min(y0 + 1, c.H - 1);
  double fx = px - x0, fy = py - y0;
  const float* p = &c.x[size_t(ch) * c.H * c.W];
  auto at = [&](int y, int x) { return double(p[size_t(y) * c.W + x]); };
  return (1 - fy) * ((1 - fx) * at(y0, x0) + fx * at(y0, x1)) + fy * ((1 - fx) * at(y1, x0) + fx * at(y1, x1));
}

std::vector<float> run(const Case& c, void (*band)(const float*, const float*, float*, int, int, int, int, int)) {
  std::vector<float> y(c.x.size(), std::numeric_limits<float>::quiet_NaN());
  band(c.x.data(), c.grid.data(), y.data(), c.C, c.H, c.W, 0, c.H);
  return y;
}

std::vector<float> runDispatch(const Case& c) {
  std::vector<float> y(c.x.size(), std::numeric_limits<float>::quiet_NaN());
  ka::gridsample_fast(c.x.data(), c.grid.data(), y.data(), c.C, c.H, c.W);
  return y;
}

void expectNearReference(const Case& c, const std::vector<float>& y, double tol) {
  for (int ch = 0; ch < c.C; ++ch)
    for (int i = 0; i < c.H; ++i)
      for (int j = 0; j < c.W; ++j) {
        size_t k = (size_t(ch) * c.H + i) * c.W + j;
        ASSERT_NEAR(y[k], reference(c, ch, i, j), tol) << "c " << ch << " row " << i << " col " << j;
      }
}

TEST(GridSampleFastKernel, ZeroGridAveragesTheFourCentreTaps) {
  for (int W : {6, 8, 16}) {
    const int H = 4, C = 2;
    Case c{C, H, W, std::vector<float>(size_t(C) * H * W), std::vector<float>(size_t(H) * W * 2, 0.f)};
    for (size_t k = 0; k < c.x.size(); ++k) c.x[k] = float(k % 13) * 4.f;
    std::vector<float> y = runDispatch(c);
    for (int ch = 0; ch < C; ++ch) {
      const float* p = &c.x[size_t(ch) * H * W];
      const int r = H / 2 - 1, q = W / 2 - 1;
      float want = (p[r * W + q] + p[r * W + q + 1] + p[(r + 1) * W + q] + p[(r + 1) * W + q + 1]) / 4.f;
      for (int k = 0; k < H * W; ++k) ASSERT_EQ(y[size_t(ch) * H * W + k], want) << "W " << W << " pixel " << k;
    }
  }
}

TEST(GridSampleFastKernel, EdgesOfTheRangeReadTheBorderColumns) {
  // gx = -1 puts px at -0.5 (both taps in column 0), gx = 1 at W - 0.5 (both in column W - 1);
  // gy on a row centre puts the whole weight on that row. The results are exact.
  for (int W : {7, 8, 9}) {
    const int H = 8, C = 3;
    Case c = makeCase(C, H, W, 1.f, 11);
    for (int i = 0; i < H; ++i)
      for (int j = 0; j < W; ++j) {
        float* g = &c.grid[(size_t(i) * W + j) * 2];
        g[0] = (j % 2) ? 1.f : -1.f;
        g[1] = float(2 * i + 1) / H - 1.f;
      }
    for (auto band : {ka::GridSampleFastBandScalar, ka::gridsample_fast_band}) {
      std::vector<float> y = run(c, band);
      for (int ch = 0; ch < C; ++ch)
        for (int i = 0; i < H; ++i)
          for (int j = 0; j < W; ++j) {
            int col = (j % 2) ? W - 1 : 0;
            ASSERT_EQ(y[(size_t(ch) * H + i) * W + j], c.x[(size_t(ch) * H + i) * W + col])
                << W << " " << i << " " << j;
          }
    }
  }
}

TEST(GridSampleFastKernel, MatchesTheReferenceInsideAndFarOutside) {
  for (int W : {7, 8, 9, 31}) {
    for (float spread : {1.f, 1.3f, 40.f, 1e6f}) {
      Case c = makeCase(3, 17, W, spread, unsigned(W * 100 + spread));
      expectNearReference(c, run(c, ka::GridSampleFastBandScalar), 2e-5);
      expectNearReference(c, runDispatch(c), 2e-5);
    }
  }
}

// A director-like warp: the identity grid displaced by up to `shift` pixels, varying along both
// axes so that neighbouring columns read different rows.
Case makeWarp(int C, int H, int W, float shift, unsigned seed) {
  Case c = makeCase(C, H, W, 0.f, seed);
  for (int i = 0; i < H; ++i)
    for (int j = 0; j < W; ++j) {
      float* g = &c.grid[(size_t(i) * W + j) * 2];
      g[0] = (2.f * j + 1.f + 2.f * shift * std::sin(0.3f * i + 0.11f * j)) / W - 1.f;
      g[1] = (2.f * i + 1.f + 2.f * shift * std::cos(0.05f * i + 0.4f * j)) / H - 1.f;
    }
  return c;
}

TEST(GridSampleFastKernel, EveryTargetReproducesTheScalarPathBitForBit) {
  std::vector<Case> cases;
  for (int W : {7, 8, 9, 16, 33})
    for (float spread : {1.f, 40.f}) cases.push_back(makeCase(4, 17, W, spread, unsigned(W + spread)));
  // Smooth warps whose taps fit a few rows (the contiguous-span path), steep ones that do not, and
  // widths around one and two vectors so the windows meet the right border.
  for (int W : {15, 16, 17, 31, 32, 33, 64, 300})
    for (float shift : {0.f, 0.4f, 2.f, 9.f}) cases.push_back(makeWarp(3, 19, W, shift, unsigned(W)));
  for (const Case& c : cases) {
    const std::vector<float> s = run(c, ka::GridSampleFastBandScalar);
    for (int64_t t : ka::simdref::runnableTargets()) {
      ka::simdref::TargetPin pin(t);
      const std::vector<float> v = runDispatch(c);
      for (size_t k = 0; k < s.size(); ++k)
        ASSERT_EQ(v[k], s[k]) << ka::simdref::targetName(t) << " W " << c.W << " element " << k;
    }
  }
}

TEST(GridSampleFastKernel, BandsCoverExactlyTheirRows) {
  Case c = makeCase(2, 17, 9, 1.2f, 5);
  std::vector<float> full = runDispatch(c);
  std::vector<float> y(c.x.size(), -7.f);
  // H = 17 is two bands of the operator, the second a single row.
  ka::gridsample_fast_band(c.x.data(), c.grid.data(), y.data(), c.C, c.H, c.W, 0, 16);
  for (int ch = 0; ch < c.C; ++ch)
    for (int j = 0; j < c.W; ++j) ASSERT_EQ(y[(size_t(ch) * 17 + 16) * 9 + j], -7.f);
  ka::gridsample_fast_band(c.x.data(), c.grid.data(), y.data(), c.C, c.H, c.W, 16, 32);
  EXPECT_EQ(y, full);
  // Out-of-range bounds are clamped; an empty range writes nothing.
  std::vector<float> z(c.x.size(), -7.f);
  ka::gridsample_fast_band(c.x.data(), c.grid.data(), z.data(), c.C, c.H, c.W, 5, 5);
  ka::gridsample_fast_band(c.x.data(), c.grid.data(), z.data(), c.C, c.H, c.W, 20, 30);
  ka::gridsample_fast_band(c.x.data(), c.grid.data(), z.data(), c.C, c.H, c.W, -3, 0);
  EXPECT_TRUE(std::all_of(z.begin(), z.end(), [](float v) { return v == -7.f; }));
  ka::gridsample_fast_band(c.x.data(), c.grid.data(), z.data(), c.C, c.H, c.W, -100, 100);
  EXPECT_EQ(z, full);
}

TEST(GridSampleFastKernel, HugeAndNonFiniteGridValuesStayInBounds) {
  // Outside the contract the values are unspecified, but nothing outside X may be read (the
  // sanitizer builds check) and finite huge positions still land on the border.
  const float inf = std::numeric_limits<float>::infinity(), nan = std::numeric_limits<float>::quiet_NaN();
  for (int W : {7, 8, 9}) {
    Case c = makeCase(2, 3, W, 1.f, 3);
    const float specials[] = {inf, -inf, nan, 3e9f, -3e9f, 1e38f, -1e38f, 2147483520.f, -2147483648.f};
    for (size_t k = 0; k < c.grid.size(); ++k) c.grid[k] = specials[(k * 7) % 9];
    std::vector<float> a = run(c, ka::GridSampleFastBandScalar);
    std::vector<float> b = runDispatch(c);
    EXPECT_EQ(a.size(), b.size());
  }
}

TEST(GridSampleFastThreads, ConcurrentBandsWriteDisjointRows) {
  Case c = makeCase(3, 70, 24, 1.5f, 9);
  std::vector<float> full = runDispatch(c);
  std::vector<float> y(c.x.size(), 0.f);
  std::vector<std::thread> threads;
  const int bands = (c.H + ka::kGridSampleBandRows - 1) / ka::kGridSampleBandRows;
  for (int b = 0; b < bands; ++b)
    threads.emplace_back([&, b] {
      ka::gridsample_fast_band(c.x.data(), c.grid.data(), y.data(), c.C, c.H, c.W, b * ka::kGridSampleBandRows,
                               (b + 1) * ka::kGridSampleBandRows);
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(y, full);
}

// The operator inside ONNX Runtime, against ONNX Runtime's GridSample on the same inputs: the
// forged graph as it is, and the same graph after the rewrite.
class GridSampleFastOrt : public ka::test::ForgeFixture {
 protected:
  std::vector<uint8_t> forgeGraph(int W, std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"--n", "2", "--c", "3", "--h", "17", "--w", std::to_string(W)};
    args.insert(args.end(), extra.begin(), extra.end());
    return forged("gridsample-model", args);
  }
  Ort::Env env_ = ka::makeOrtEnv("ka");
};

TEST_F(GridSampleFastOrt, MatchesOrtGridSample) {
  for (int W : {7, 8, 9}) {
    std::vector<uint8_t> original = forgeGraph(W);
    ASSERT_FALSE(original.empty());
    std::vector<uint8_t> fast = original;
    ASSERT_EQ(ka::rewriteGridSampleToFast(fast), 1u);
    for (float spread : {1.f, 40.f}) {
      Case a = makeCase(3, 17, W, spread, unsigned(W * 7 + spread));
      Case b = makeCase(3, 17, W, spread, unsigned(W * 7 + spread + 1));
      std::vector<float> x(a.x), grid(a.grid);  // batch 2: two different items
      x.insert(x.end(), b.x.begin(), b.x.end());
      grid.insert(grid.end(), b.grid.begin(), b.grid.end());
      std::vector<ka::test::OrtFeed> feeds = {{"X", &x, {2, 3, 17, W}}, {"grid", &grid, {2, 17, W, 2}}};
      for (int threads : {1, 2}) {
        std::vector<float> want = ka::test::ortRun(env_, original, false, threads, feeds, "Y");
        std::vector<float> got = ka::test::ortRun(env_, fast, true, threads, feeds, "Y");
        ASSERT_EQ(got.size(), want.size());
        for (size_t k = 0; k < want.size(); ++k)
          ASSERT_NEAR(got[k], want[k], 2e-5f)
              << "W " << W << " spread " << spread << " threads " << threads << " at " << k;
        // And the second item is the kernel's answer for that item alone.
        std::vector<float> alone = runDispatch(b);
        for (size_t k = 0; k < alone.size(); ++k) ASSERT_EQ(got[a.x.size() + k], alone[k]) << k;
      }
    }
  }
}

TEST_F(GridSampleFastOrt, RewrittenChainComputesWhatTheOriginalComputes) {
  // Two qualifying GridSamples around one that stays (nearest): the model's output is unchanged by
  // the rewrite up to round-off.
  const int W = 12;
  std::vector<uint8_t> original =
      forgeGraph(W, {"--node", "mode=bilinear,padding_mode=border,align_corners=0", "--node",
                     "mode=nearest,padding_mode=border", "--node", "mode=bilinear,padding_mode=border"});
  std::vector<uint8_t> fast = original;
  ASSERT_EQ(ka::rewriteGridSampleToFast(fast), 2u);
  Case a = makeCase(6, 17, W, 1.1f, 1);  // six planes: two batch items of three channels
  std::vector<float> grid(a.grid);
  grid.insert(grid.end(), a.grid.begin(), a.grid.end());
  std::vector<ka::test::OrtFeed> feeds = {{"X", &a.x, {2, 3, 17, W}}, {"grid", &grid, {2, 17, W, 2}}};
  std::vector<float> want = ka::test::ortRun(env_, original, false, 2, feeds, "Y");
  std::vector<float> got = ka::test::ortRun(env_, fast, true, 2, feeds, "Y");
  ASSERT_EQ(got.size(), want.size());
  // The nearest node picks its taps from the grid alone, so round-off cannot flip a tap.
  for (size_t k = 0; k < want.size(); ++k) ASSERT_NEAR(got[k], want[k], 2e-5f) << k;
}

TEST_F(GridSampleFastOrt, RefusesAGridOfAnotherShape) {
  std::vector<uint8_t> fast = forgeGraph(8, {"--free-grid"});
  ASSERT_EQ(ka::rewriteGridSampleToFast(fast), 1u);
  Case c = makeCase(3, 17, 8, 1.f, 2);
  std::vector<float> x(c.x);
  x.insert(x.end(), c.x.begin(), c.x.end());
  std::vector<float> grid(size_t(2) * 16 * 8 * 2, 0.f);
  std::vector<ka::test::OrtFeed> feeds = {{"X", &x, {2, 3, 17, 8}}, {"grid", &grid, {2, 16, 8, 2}}};
  try {
    ka::test::ortRun(env_, fast, true, 1, feeds, "Y");
    FAIL() << "a 16-row grid for a 17-row input was accepted";
  } catch (const Ort::Exception& e) {
    EXPECT_NE(std::string(e.what()).find("GridSampleFast: grid must be N x H x W x 2 = [2,17,8,2]"), std::string::npos)
        << e.what();
  }
}

}  // namespace
