// The WarpDirector kernel against a float32 numpy transcription of its formulas, bit for bit, on
// every vector target this processor runs, in both pass forms and as an ONNX Runtime operator.
#include "ops/warp_director.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "common/test_util.h"
#include "graph/forge_models.h"
#include "graph/ort_run.h"
#include "ops/simd_reference.h"
#include "runtime/ort_env.h"

namespace {

using ka::simdref::runnableTargets;
using ka::simdref::TargetPin;

struct Case {
  int W, H;
  std::vector<float> src, grid, want;
};

// Source values in [-1, 2]; grid positions mixing pixel centres, the borders, fractions, and far
// outside the image.
Case makeCase(const ka::test::TempDir& dir, int W, int H, unsigned seed) {
  Case c{W, H, {}, {}, {}};
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> u(-1.f, 2.f), g(-1.25f, 1.25f), far(-40.f, 40.f);
  c.src.resize(size_t(3) * W * H);
  for (float& v : c.src) v = u(rng);
  c.grid.resize(size_t(2) * W * H);
  for (int i = 0; i < H; ++i) {
    for (int x = 0; x < W; ++x) {
      const size_t j = size_t(i) * W + x;
      float gx = g(rng), gy = g(rng);
      switch ((i * 7 + x) % 6) {
        case 0:
          gx = (2.f * x + 1.f) / W - 1.f, gy = (2.f * i + 1.f) / H - 1.f;
          break;
        case 1:
          gx = far(rng), gy = far(rng);
          break;
        case 2:
          gx = (x % 2) ? 1.f : -1.f;
          break;
        default:
          break;
      }
      c.grid[2 * j] = gx, c.grid[2 * j + 1] = gy;
    }
  }
  const std::string tag = std::to_string(W) + "x" + std::to_string(H);
  ka::test::writeAs(dir / (tag + "src.f32"), c.src);
  ka::test::writeAs(dir / (tag + "grid.f32"), c.grid);
  EXPECT_TRUE(ka::test::forge({"warp-ref", dir / (tag + "src.f32"), dir / (tag + "grid.f32"), dir / (tag + "out.f32"),
                               "--w", std::to_string(W), "--h", std::to_string(H)}));
  c.want = ka::test::readAs<float>(dir / (tag + "out.f32"));
  return c;
}

void expectBits(const std::vector<float>& got, const std::vector<float>& want, const std::string& what) {
  ASSERT_EQ(got.size(), want.size()) << what;
  size_t bad = 0, first = 0;
  for (size_t i = 0; i < got.size(); ++i) {
    if (std::memcmp(&got[i], &want[i], 4) != 0 && bad++ == 0) first = i;
  }
  EXPECT_EQ(bad, 0u) << what << ": first at " << first << " got " << got[first] << " want " << want[first];
}

class WarpDirectorKernel : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new ka::test::TempDir();
    for (auto [w, h] : {std::pair{37, 21}, {1, 5}, {6, 1}, {64, 48}, {4, 4}})
      cases_->push_back(makeCase(*dir_, w, h, unsigned(w * 100 + h)));
  }
  static void TearDownTestSuite() {
    delete dir_;
    cases_->clear();
  }
  static ka::test::TempDir* dir_;
  static std::vector<Case>* cases_;
};
ka::test::TempDir* WarpDirectorKernel::dir_ = nullptr;
std::vector<Case>* WarpDirectorKernel::cases_ = new std::vector<Case>();

TEST_F(WarpDirectorKernel, EveryTargetMatchesTheFormulasBitForBit) {
  for (int64_t t : runnableTargets()) {
    TargetPin pin(t);
    SCOPED_TRACE(ka::simdref::targetName(t));
    EXPECT_EQ(std::string(ka::warpBody()), ka::simdref::targetName(t));
    for (const Case& c : *cases_) {
      const std::string what = std::to_string(c.W) + "x" + std::to_string(c.H);
      std::vector<float> planes(ka::warpPlanesFloats(c.W, c.H)), out(c.src.size(), -7.f);
      for (int r = 0; r < c.H; r += ka::kWarpBandRows)
        ka::warpDirectorPlanesBand(c.src.data(), planes.data(), c.W, c.H, r, r + ka::kWarpBandRows);
      // Bands out of order, the last one running past the image.
      for (int r = ((c.H - 1) / 3) * 3; r >= 0; r -= 3)
        ka::warpDirectorGatherBand(planes.data(), c.grid.data(), out.data(), c.W, c.H, r, r + 3);
      expectBits(out, c.want, what + " two passes");
      std::vector<float> one(c.src.size(), -7.f);
      ka::warpDirector(c.src.data(), c.grid.data(), one.data(), c.W, c.H);
      expectBits(one, c.want, what + " one pass");
    }
  }
}

TEST_F(WarpDirectorKernel, IdentityGridReproducesTheSource) {
  const Case& c = (*cases_)[3];
  std::vector<float> grid(c.grid.size()), out(c.src.size());
  for (int i = 0; i < c.H; ++i)
    for (int x = 0; x < c.W; ++x) {
      grid[2 * (size_t(i) * c.W + x)] = (2.f * x + 1.f) / c.W - 1.f;
      grid[2 * (size_t(i) * c.W + x) + 1] = (2.f * i + 1.f) / c.H - 1.f;
    }
  ka::warpDirector(c.src.data(), grid.data(), out.data(), c.W, c.H);
  for (size_t i = 0; i < out.size(); ++i) ASSERT_NEAR(out[i], c.src[i], 2e-6) << i;
}

// As an operator: two batch items at 1 and 2 intra-op threads, each item its own reference.
TEST_F(WarpDirectorKernel, OperatorMatchesTheFormulasAtOneAndTwoIntraOpThreadCounts) {
  const Case& a = (*cases_)[0];
  const Case& b = makeCase(*dir_, a.W, a.H, 99);
  ka::test::TempDir dir;
  const std::vector<uint8_t> model = ka::test::forgeModel(
      dir, "warp-node", "node.onnx", {"--n", "2", "--h", std::to_string(a.H), "--w", std::to_string(a.W)});
  std::vector<float> src = a.src, grid = a.grid, want = a.want;
  src.insert(src.end(), b.src.begin(), b.src.end());
  grid.insert(grid.end(), b.grid.begin(), b.grid.end());
  want.insert(want.end(), b.want.begin(), b.want.end());
  Ort::Env env = ka::makeOrtEnv("ka");
  for (int threads : {1, 2}) {
    const auto got = ka::test::ortRun(env, model, true, threads,
                                      {{"src", &src, {2, 3, a.H, a.W}}, {"grid", &grid, {2, a.H, a.W, 2}}}, "out");
    expectBits(got, want, "threads " + std::to_string(threads));
  }
}

TEST(WarpDirectorOp, RefusesOtherChannelCounts) {
  ka::test::TempDir dir;
  Ort::Env env = ka::makeOrtEnv("ka");
  for (int c : {1, 4}) {
    const auto model = ka::test::forgeModel(dir, "warp-node", "c.onnx", {"--c", std::to_string(c)});
    std::vector<float> src(size_t(c) * 64, 0.5f), grid(128, 0.f);
    const std::string e = ka::test::errorOf([&] {
      ka::test::ortRun(env, model, true, 1, {{"src", &src, {1, c, 8, 8}}, {"grid", &grid, {1, 8, 8, 2}}}, "out");
    });
    EXPECT_NE(e.find("com.zephrane::WarpDirector: this node warps the director's 3-channel source and the graph "
                     "handed it C=" +
                     std::to_string(c) + ". REFUSING rather than writing a frame nobody asked for."),
              std::string::npos)
        << e;
  }
}

}  // namespace
