// The load sequence's later rewrites in the renderer. KA_WARP_NODE: the warp block moves into one node and renders what the standard
// graph renders; a graph it does not fit loads unchanged with the reason; with KA_GS_FAST=0 the node
// would have no kernel, so the load is refused naming both switches.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "bundle/identity.h"
#include "bundle/manifest.h"
#include "common/test_util.h"
#include "render/renderer.h"

namespace {

using ka::test::ScopedEnv;
using ka::test::TempDir;

class WarpNodeRenderer : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    tmp_ = new TempDir();
    dir_ = *tmp_ / "m4b";
    ASSERT_TRUE(ka::test::forge({"bundle", dir_, "--background", "none"}));
    ASSERT_TRUE(ka::test::forge({"director-into", dir_, "--batch", "1"}));
    ASSERT_TRUE(ka::test::forge({"warp-variant", dir_ + "/model_b1_pad.onnx", "--variant", "padding", "--crop",
                                 std::to_string(ka::loadManifest(dir_).crop)}));
  }
  static void TearDownTestSuite() { delete tmp_; }

  // Crops of driving rows 0..3 with the environment as it stands, and the load log.
  std::vector<float> crops(const std::string& model, std::string& log) {
    ka::Manifest m = ka::loadManifest(dir_);
    ka::Identity id(m);
    testing::internal::CaptureStderr();
    ka::Renderer r(m, id, model, 1, "");
    log = testing::internal::GetCapturedStderr();
    auto xs = ka::test::readAs<float>(dir_ + "/drive/xs.f32"), xd = ka::test::readAs<float>(dir_ + "/drive/xd.f32");
    auto sis = ka::test::readAs<int32_t>(dir_ + "/drive/si.i32");
    std::vector<float> out;
    for (int i = 0; i < 4; ++i) {
      const float* c = r.render(&sis[i], xs.data() + 63 * i, xd.data() + 63 * i, 1);
      out.insert(out.end(), c, c + size_t(3) * m.crop * m.crop);
    }
    return out;
  }

  static TempDir* tmp_;
  static std::string dir_;
};
TempDir* WarpNodeRenderer::tmp_ = nullptr;
std::string WarpNodeRenderer::dir_;

TEST_F(WarpNodeRenderer, WarpNodeRendersTheStandardGraphsCrops) {
  std::string log;
  const auto plain = crops("b1", log);
  EXPECT_EQ(log.find("director warp"), std::string::npos) << log;
  EXPECT_NE(log.find("[ka] head cubic x2 -> Pad(edge,2)+Conv5x5(dw)+DepthToSpace(2,CRD) load-time rewrite: 1 node(s) "
                     "(b1) \xE2\x80\x94 the same filter to fp32 round-off"),
            std::string::npos)
      << log;
  ScopedEnv on("KA_WARP_NODE", std::string("1"));
  const auto warped = crops("b1", log);
  EXPECT_NE(log.find("[ka] director warp -> com.zephrane::WarpDirector (16 nodes removed, the source cone with "
                     "them)\n"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("[ka] source-cone hoist SKIPPED (b1): the warp node subsumes the cone"), std::string::npos)
      << log;
  ASSERT_EQ(warped.size(), plain.size());
  for (size_t i = 0; i < plain.size(); ++i) ASSERT_NEAR(warped[i], plain[i], 2e-5) << i;

  crops("b1_pad", log);
  EXPECT_NE(log.find("[ka] director warp NOT moved to one node (the fused GridSample is not "
                     "bilinear/border/align_corners=0) \xE2\x80\x94 the graph loads exactly as it did before\n"),
            std::string::npos)
      << log;
  ScopedEnv zero("KA_WARP_NODE", std::string("0"));
  crops("b1", log);
  EXPECT_EQ(log.find("director warp"), std::string::npos) << log;
}

TEST_F(WarpNodeRenderer, WithoutTheDomainTheWarpNodeIsRefused) {
  ScopedEnv on("KA_WARP_NODE", std::string("yes"));
  ScopedEnv gsOff("KA_GS_FAST", std::string("0"));
  std::string log;
  const std::string e = ka::test::errorOf([&] { crops("b1", log); });
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(e.rfind("Renderer: KA_WARP_NODE is on and moved the warp block of " + dir_ +
                        "/model_b1.onnx into one com.zephrane::WarpDirector node, but KA_GS_FAST=0 leaves the "
                        "com.zephrane domain unregistered",
                    0),
            0u)
      << e;
  // A graph the rewrite leaves alone loads as before.
  EXPECT_EQ(ka::test::errorOf([&] { crops("b1_pad", log); }), "(no error)");
}

}  // namespace
