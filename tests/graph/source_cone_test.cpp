// The source-cone analysis and split on forged directors: the split models run in ONNX Runtime
// give the whole model's output, and every near miss leaves the model alone with its reason.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "common/test_util.h"
#include "graph/forge_models.h"
#include "graph/ort_run.h"
#include "graph/source_cone.h"
#include "runtime/ort_env.h"

namespace {

using ka::test::TempDir;

constexpr int kCrop = 32;
const char* kBoundary = "/cone/concat_output_0";

struct Graph {
  std::vector<ka::GsNodeInfo> nodes;
  std::unordered_set<std::string> inits, inputs;
  explicit Graph(const std::vector<uint8_t>& model) { ka::gsReadGraph(ka::gsGraphOf(model), nodes, inits, inputs); }
};

std::vector<float> noise(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> u(0.0f, 1.0f);
  std::vector<float> v(n);
  for (auto& x : v) x = u(rng);
  return v;
}

TEST(SourceCone, SplitModelsRunAsTheWhole) {
  TempDir dir;
  const auto model = ka::test::forgeModel(dir, "director", "d.onnx", {"--crop", std::to_string(kCrop)});
  ASSERT_FALSE(model.empty());
  std::string boundary;
  ASSERT_EQ(ka::findSourceConeBoundary(model, boundary), 1u);
  EXPECT_EQ(boundary, kBoundary);

  std::vector<uint8_t> prep, perFrame;
  std::string reason;
  ASSERT_TRUE(ka::buildSourceConePrep(model, boundary, prep, reason)) << reason;
  const int64_t dims[4] = {1, 12, kCrop, kCrop};
  ASSERT_TRUE(ka::buildSourceConePerFrame(model, boundary, dims, 4, perFrame, reason)) << reason;

  // Inputs as the onnx package reads them: the prep model takes P_rgb alone, the per-frame model
  // everything else plus the boundary.
  const Graph p(prep), f(perFrame), whole(model);
  EXPECT_EQ(p.inputs, (std::unordered_set<std::string>{"P_rgb"}));
  EXPECT_EQ(f.inputs, (std::unordered_set<std::string>{"pooled64", "kp_driving", "kp_source", kBoundary}));
  size_t coneNodes = 0;
  for (const auto& n : p.nodes) coneNodes += n.opType != "Constant";
  EXPECT_EQ(coneNodes, 5u);  // Pad, three Convs, Concat
  EXPECT_EQ(f.nodes.size() + coneNodes, whole.nodes.size());
  const auto summary = ka::test::onnxSummary(dir, prep);
  size_t outputs = 0;
  for (const auto& line : summary)
    outputs += line.rfind("output ", 0) == 0 && line.find(kBoundary) != std::string::npos;
  EXPECT_EQ(outputs, 1u);

  Ort::Env env = ka::makeOrtEnv("ka-test");
  const auto P = noise(3 * kCrop * kCrop, 1), pooled = noise(65536, 2), kd = noise(63, 3), ks = noise(63, 4);
  const std::vector<int64_t> pShape{1, 3, kCrop, kCrop}, fShape{1, 64, 32, 32}, kShape{1, 21, 3};
  const auto want = ka::test::ortRun(
      env, model, false, 1,
      {{"pooled64", &pooled, fShape}, {"P_rgb", &P, pShape}, {"kp_driving", &kd, kShape}, {"kp_source", &ks, kShape}},
      "rgb");
  const auto cone = ka::test::ortRun(env, prep, false, 1, {{"P_rgb", &P, pShape}}, kBoundary);
  ASSERT_EQ(cone.size(), size_t(12 * kCrop * kCrop));
  const auto got = ka::test::ortRun(env, perFrame, false, 1,
                                    {{"pooled64", &pooled, fShape},
                                     {kBoundary, &cone, {1, 12, kCrop, kCrop}},
                                     {"kp_driving", &kd, kShape},
                                     {"kp_source", &ks, kShape}},
                                    "rgb");
  EXPECT_EQ(got, want);
}

TEST(SourceCone, NearMissesKeepTheModelWithTheirReason) {
  TempDir dir;
  struct Case {
    const char* variant;
    size_t concats;
    const char* reason;  // empty: the boundary count alone refuses
  };
  const Case cases[] = {
      {"two-concats", 2, ""},
      {"identity", 0, ""},
      {"escape", 1, "cone value '/cone/pad_output_0' escapes to /near/leak"},
      {"escape-output", 1, "cone value '/cone/pad_output_0' escapes to the graph output"},
      {"other-input", 1, "cone reads graph input 'kp_source'"},
      {"source-outside", 1, "P_rgb is also read outside the cone by /near/p_reader"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.variant);
    const auto model = ka::test::forgeModel(dir, "cone-near-miss", std::string(c.variant) + ".onnx", {c.variant});
    ASSERT_FALSE(model.empty());
    const auto before = model;
    std::string boundary = "stale";
    ASSERT_EQ(ka::findSourceConeBoundary(model, boundary), c.concats);
    if (c.concats != 1) {
      EXPECT_TRUE(boundary.empty());
      continue;
    }
    std::vector<uint8_t> prep{1}, perFrame{2};
    std::string reason;
    EXPECT_FALSE(ka::buildSourceConePrep(model, boundary, prep, reason));
    EXPECT_EQ(reason, c.reason);
    reason.clear();
    const int64_t dims[4] = {1, 12, kCrop, kCrop};
    EXPECT_FALSE(ka::buildSourceConePerFrame(model, boundary, dims, 4, perFrame, reason));
    EXPECT_EQ(reason, c.reason);
    EXPECT_EQ(model, before);
    EXPECT_EQ(prep, std::vector<uint8_t>{1});
    EXPECT_EQ(perFrame, std::vector<uint8_t>{2});
  }
}

TEST(SourceCone, ConeWalkReasons) {
  // Built by hand: a leaf nothing produces, and a Constant that ends the walk.
  std::vector<ka::GsNodeInfo> nodes = {
      {"Constant", "k", {}, {"kc"}},
      {"Mul", "m", {"P_rgb", "kc"}, {"mm"}},
      {"Concat", "b", {"P_rgb", "mm", "ghost"}, {"bd"}},
  };
  std::unordered_set<std::string> inits, inputs{"P_rgb"};
  std::vector<uint8_t> mask;
  std::string reason;
  EXPECT_FALSE(ka::gsSourceCone(nodes, inits, inputs, "bd", mask, reason));
  EXPECT_EQ(reason, "cone leaf 'ghost' has no producer");
  inits.insert("ghost");
  ASSERT_TRUE(ka::gsSourceCone(nodes, inits, inputs, "bd", mask, reason)) << reason;
  EXPECT_EQ(mask, (std::vector<uint8_t>{1, 1, 1}));
  // An unnamed node is named by its op type.
  nodes.push_back({"Relu", "", {"mm"}, {"r"}});
  EXPECT_FALSE(ka::gsSourceCone(nodes, inits, inputs, "bd", mask, reason));
  EXPECT_EQ(reason, "cone value 'mm' escapes to Relu");
}

TEST(SourceCone, ModelsWithoutGraphOrSource) {
  TempDir dir;
  const auto tiny = ka::test::forgeModel(dir, "tiny-model", "t.onnx");
  std::vector<uint8_t> out;
  std::string reason, boundary;
  EXPECT_EQ(ka::findSourceConeBoundary(tiny, boundary), 0u);
  EXPECT_FALSE(ka::buildSourceConePrep(tiny, "y", out, reason));
  EXPECT_EQ(reason, "no P_rgb input");
  const std::vector<uint8_t> noGraph = {0x08, 0x07};  // ir_version 7 only
  EXPECT_FALSE(ka::buildSourceConePrep(noGraph, "y", out, reason));
  EXPECT_EQ(reason, "no graph");
  const std::vector<uint8_t> bad = {0x3a, 0x05, 0x0a};  // graph field running past the end
  EXPECT_THROW(ka::findSourceConeBoundary(bad, boundary), std::runtime_error);
}

}  // namespace
