// The warp block moved into one WarpDirector node: every near miss leaves the graph as it was with
// its reason; the rewritten director renders what the original renders in ONNX Runtime.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "common/test_util.h"
#include "graph/forge_models.h"
#include "graph/ort_run.h"
#include "graph/warp_rewrite.h"
#include "runtime/ort_env.h"

namespace {

using Bytes = std::vector<uint8_t>;
using ka::test::linesStarting;

class WarpRewrite : public ka::test::ForgeFixture {
 protected:
  Bytes variant(const std::string& v, int crop = 16) {
    return forged("warp-variant", {"--variant", v, "--crop", std::to_string(crop)});
  }
};

TEST_F(WarpRewrite, NearMissesKeepTheGraphAndSayWhy) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"padding", "the fused GridSample is not bilinear/border/align_corners=0"},
      {"two-exits", "the recombination has 2 exits, not 1"},
      {"two-gridsamples", "two GridSamples on the cone's tip"},
      {"static-grid", "the grid has no producer"},
      {"two-concats", "not one Concat consuming P_rgb"},
      {"identity-boundary", "no GridSample consuming '/cone/concat_output_0'"},
      {"escape", "cone value '/cone/pad_output_0' escapes to extra"},
      {"other-input", "cone reads graph input 'pooled64'"},
      {"sampled-read", "the fused GridSample's output '/warp/GridSample_output_0' is read outside the recombination"},
  };
  for (const auto& [v, why] : cases) {
    Bytes m = variant(v);
    ASSERT_FALSE(m.empty()) << v;
    const Bytes before = m;
    std::string reason;
    EXPECT_EQ(ka::rewriteWarpBlockToCustomOp(m, reason), 0u) << v;
    EXPECT_EQ(reason, why) << v;
    EXPECT_EQ(m, before) << v;
  }
  ka::WarpBlock block;
  std::string reason;
  EXPECT_EQ(ka::findWarpBlock(variant("ok"), nullptr, reason), 0u);
  EXPECT_EQ(reason, "no out param");
  EXPECT_EQ(ka::findWarpBlock(Bytes{}, &block, reason), 0u);
  EXPECT_EQ(reason, "no graph");
}

TEST_F(WarpRewrite, BlockAndConeBecomeOneNode) {
  Bytes m = variant("ok");
  ka::WarpBlock block;
  std::string reason;
  // GridSample, 4 Slices, and the recombination's 3 Mul, 2 Sub and 1 Add.
  ASSERT_EQ(ka::findWarpBlock(m, &block, reason), 11u) << reason;
  EXPECT_EQ(block.boundary, "/cone/concat_output_0");
  EXPECT_EQ(block.grid, "/warp/grid_output_0");
  EXPECT_EQ(block.exit, "/warp/recombine_output_0");
  const auto before = summary(m);
  // ... plus the cone: Pad, three Convs, Concat.
  ASSERT_EQ(ka::rewriteWarpBlockToCustomOp(m, reason), 16u) << reason;
  const auto after = summary(m);
  EXPECT_EQ(linesStarting(before, "node ").size() - 16 + 1, linesStarting(after, "node ").size());
  std::vector<std::string> prgbReaders;
  for (const auto& l : linesStarting(after, "node "))
    if (l.find("P_rgb") != std::string::npos) prgbReaders.push_back(l);
  ASSERT_EQ(prgbReaders.size(), 1u);
  EXPECT_EQ(
      prgbReaders[0].rfind(
          "node ka_warp_director|WarpDirector|com.zephrane|P_rgb,/warp/grid_output_0|/warp/recombine_output_0", 0),
      0u)
      << prgbReaders[0];
  EXPECT_EQ(linesStarting(after, "opset "), (std::vector<std::string>{"opset - 17", "opset com.zephrane 1"}));
  // A second run finds no cone left.
  EXPECT_EQ(ka::rewriteWarpBlockToCustomOp(m, reason), 0u);
  EXPECT_EQ(reason, "not one Concat consuming P_rgb");
}

// The whole director, rewritten and not, in ONNX Runtime on moving keypoints: the WarpDirector's
// arithmetic differs from ONNX Runtime's convolutions and GridSample by float round-off only.
TEST_F(WarpRewrite, RewrittenDirectorMatchesTheOriginalInOrt) {
  const int crop = 64;
  Bytes original = variant("ok", crop), rewritten = original;
  std::string reason;
  ASSERT_GT(ka::rewriteWarpBlockToCustomOp(rewritten, reason), 0u) << reason;

  std::mt19937 rng(5);
  std::uniform_real_distribution<float> u01(0.f, 1.f), jitter(-0.06f, 0.06f);
  std::vector<float> pooled(64 * 32 * 32), prior(3 * crop * crop), kd(63), ks(63);
  for (float& v : pooled) v = u01(rng) - 0.5f;
  for (float& v : prior) v = u01(rng);
  for (int k = 0; k < 21; ++k) {
    ks[3 * k] = u01(rng) * 1.4f - 0.7f, ks[3 * k + 1] = u01(rng) * 1.4f - 0.7f;
    kd[3 * k] = ks[3 * k] + jitter(rng), kd[3 * k + 1] = ks[3 * k + 1] + jitter(rng);
  }
  std::vector<ka::test::OrtFeed> feeds = {{"pooled64", &pooled, {1, 64, 32, 32}},
                                          {"P_rgb", &prior, {1, 3, crop, crop}},
                                          {"kp_driving", &kd, {1, 21, 3}},
                                          {"kp_source", &ks, {1, 21, 3}}};
  Ort::Env env = ka::makeOrtEnv("ka");
  const auto want = ka::test::ortRun(env, original, false, 1, feeds, "rgb");
  const auto got = ka::test::ortRun(env, rewritten, true, 2, feeds, "rgb");
  ASSERT_EQ(got.size(), want.size());
  double worst = 0;
  for (size_t i = 0; i < got.size(); ++i) worst = std::max(worst, double(std::fabs(got[i] - want[i])));
  EXPECT_LE(worst, 2e-5);
}

}  // namespace
