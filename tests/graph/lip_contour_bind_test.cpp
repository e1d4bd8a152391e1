// Binding the lip contour into the director graph: the new input and Min node as the onnx package
// reads them, the refusals, and ONNX Runtime's own run of the bound graph against the original.
#include <gtest/gtest.h>

#include <cmath>

#include "forge_models.h"
#include "graph/lip_contour_bind.h"
#include "ort_run.h"
#include "runtime/ort_env.h"

namespace {

using ka::test::ForgeFixture;

class LipContourBind : public ForgeFixture {};

TEST_F(LipContourBind, BindsOnceAndServesTheSameFrameUnderAnAllOnesMask) {
  const std::vector<uint8_t> orig = forged("director", {"--batch", "2", "--crop", "32"});
  ASSERT_FALSE(orig.empty());
  std::vector<uint8_t> bound = orig;
  std::string reason;
  int canvas = 0;
  ASSERT_EQ(ka::rewriteBindLipContour(bound, &reason, &canvas), 1) << reason;
  EXPECT_EQ(canvas, 32);
  const auto lines = summary(bound);
  const auto inputs = ka::test::linesStarting(lines, "input lip_delivery");
  ASSERT_EQ(inputs.size(), 1u);
  EXPECT_EQ(inputs[0], "input lip_delivery 2x1x32x32");
  const auto mins = ka::test::linesStarting(lines, "node tessera_lipdel_min");
  ASSERT_EQ(mins.size(), 1u);
  EXPECT_NE(mins[0].find("Min"), std::string::npos) << mins[0];

  // Binding twice is impossible; the bytes stay as they were.
  std::vector<uint8_t> again = bound;
  EXPECT_EQ(ka::rewriteBindLipContour(again, &reason, &canvas), 0);
  EXPECT_EQ(reason, "the graph already carries an input named lip_delivery");
  EXPECT_EQ(again, bound);

  Ort::Env env = ka::makeOrtEnv("ka");
  std::vector<float> pooled(2 * 64 * 32 * 32, 0.01f), prior(2 * 3 * 32 * 32), ks(2 * 63), kd(2 * 63);
  for (size_t i = 0; i < prior.size(); ++i) prior[i] = 0.5f + 0.4f * std::sin(i * 0.01f);
  for (int b = 0; b < 2; ++b)
    for (int r = 0; r < 21; ++r) {
      ks[b * 63 + 3 * r] = kd[b * 63 + 3 * r] = 0.5f * std::cos(r * 0.7f);
      ks[b * 63 + 3 * r + 1] = kd[b * 63 + 3 * r + 1] = 0.5f * std::sin(r * 0.7f);
    }
  kd[3 * 18 + 1] += 0.15f;  // the driving mouth opens
  kd[63 + 3 * 18 + 1] += 0.1f;
  std::vector<ka::test::OrtFeed> feeds = {{"pooled64", &pooled, {2, 64, 32, 32}},
                                          {"P_rgb", &prior, {2, 3, 32, 32}},
                                          {"kp_driving", &kd, {2, 21, 3}},
                                          {"kp_source", &ks, {2, 21, 3}}};
  const std::vector<float> want = ka::test::ortRun(env, orig, false, 1, feeds, "rgb");
  std::vector<float> ones(2 * 32 * 32, 1.0f), zeros(2 * 32 * 32, 0.0f);
  feeds.push_back({"lip_delivery", &ones, {2, 1, 32, 32}});
  EXPECT_EQ(ka::test::ortRun(env, bound, false, 1, feeds, "rgb"), want);
  // A zero mask takes the mouth out: the frame differs from the ellipse's where the alpha was open.
  feeds.back().data = &zeros;
  const std::vector<float> shut = ka::test::ortRun(env, bound, false, 1, feeds, "rgb");
  ASSERT_EQ(shut.size(), want.size());
  size_t differ = 0;
  for (size_t i = 0; i < want.size(); ++i) differ += std::fabs(shut[i] - want[i]) > 1e-4f;
  EXPECT_GT(differ, 10u);
}

TEST_F(LipContourBind, Refusals) {
  std::string reason;
  int canvas = -7;
  std::vector<uint8_t> none;
  EXPECT_EQ(ka::rewriteBindLipContour(none, &reason, &canvas), 0);
  EXPECT_EQ(reason, "no graph");
  std::vector<uint8_t> plain = forged("director", {"--no-patterns"});
  const std::vector<uint8_t> before = plain;
  EXPECT_EQ(ka::rewriteBindLipContour(plain, &reason, &canvas), 0);
  EXPECT_EQ(reason, "the graph does not carry the unified compose tail");
  EXPECT_EQ(plain, before);
  EXPECT_EQ(canvas, -7);
}

}  // namespace
