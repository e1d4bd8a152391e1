// The head's cubic x2 Resize as Pad + depthwise Conv + DepthToSpace: the taps, the near misses that
// stay Resizes, and the rewritten head against ONNX Runtime's own cubic Resize.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "common/test_util.h"
#include "graph/forge_models.h"
#include "graph/head_cubic_rewrite.h"
#include "graph/ort_run.h"
#include "runtime/ort_env.h"

namespace {

using Bytes = std::vector<uint8_t>;
using ka::test::linesStarting;

class HeadCubic : public ka::test::ForgeFixture {
 protected:
  Bytes head(const std::string& v, int c = 4, int h = 8, int w = 8) {
    return forged("cubic-variant",
                  {"--variant", v, "--c", std::to_string(c), "--h", std::to_string(h), "--w", std::to_string(w)});
  }
};

TEST(HeadCubicTaps, DefaultCoefficient) {
  const auto late = ka::hcTaps(0.75, -0.75), early = ka::hcTaps(0.25, -0.75);
  const double want[4] = {-0.03515625, 0.26171875, 0.87890625, -0.10546875};
  for (int k = 0; k < 4; ++k) {
    EXPECT_DOUBLE_EQ(late[k], want[k]) << k;
    EXPECT_DOUBLE_EQ(early[k], want[3 - k]) << k;
  }
  const auto half = ka::hcTaps(0.5, -0.5);
  EXPECT_DOUBLE_EQ(half[0] + half[1] + half[2] + half[3], 1.0);
}

TEST_F(HeadCubic, NearMissesStayResizes) {
  for (const char* v : {"two", "scales-init", "exclude", "asymmetric", "channels"}) {
    Bytes m = head(v);
    ASSERT_FALSE(m.empty()) << v;
    const Bytes before = m;
    EXPECT_EQ(ka::rewriteHeadCubicResize(m), 0u) << v;
    EXPECT_EQ(m, before) << v;
  }
}

// The filter is the graph's own: the default coefficient and -0.5, on even and odd shapes, each
// against ONNX Runtime's cubic Resize (edge taps clamped) feeding the same Conv.
TEST_F(HeadCubic, RewrittenHeadMatchesOrtsResize) {
  Ort::Env env = ka::makeOrtEnv("ka");
  for (const auto& [variant, c, h, w] : {std::tuple{"ok", 4, 8, 8}, {"coeff", 4, 8, 8}, {"ok", 3, 13, 7}}) {
    SCOPED_TRACE(std::string(variant) + " " + std::to_string(h) + "x" + std::to_string(w));
    Bytes original = head(variant, c, h, w), rewritten = original;
    ASSERT_EQ(ka::rewriteHeadCubicResize(rewritten), 1u);
    const auto nodes = linesStarting(summary(rewritten), "node /head/Resize");
    ASSERT_EQ(nodes.size(), 3u);
    EXPECT_EQ(nodes[0].rfind("node /head/Resize/pad|Pad|-|/head/bias_add_output_0,rz2_pads|rz2_padout", 0), 0u)
        << nodes[0];
    EXPECT_EQ(nodes[1].rfind("node /head/Resize/dwconv|Conv|-|rz2_padout,rz2_dw_w|rz2_convout", 0), 0u) << nodes[1];
    EXPECT_EQ(nodes[2].rfind("node /head/Resize/d2s|DepthToSpace|-|rz2_convout|/head/Resize_output_0", 0), 0u)
        << nodes[2];
    EXPECT_EQ(ka::rewriteHeadCubicResize(rewritten), 0u);  // nothing left to rewrite

    std::mt19937 rng(3);
    std::normal_distribution<float> n01;
    std::vector<float> x(size_t(c) * h * w);
    for (float& v : x) v = n01(rng);
    std::vector<ka::test::OrtFeed> feeds = {{"x", &x, {1, c, h, w}}};
    const auto want = ka::test::ortRun(env, original, false, 1, feeds, "out");
    const auto got = ka::test::ortRun(env, rewritten, false, 1, feeds, "out");
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < got.size(); ++i) ASSERT_NEAR(got[i], want[i], 2e-6 * (1 + std::fabs(want[i]))) << i;
  }
}

}  // namespace
