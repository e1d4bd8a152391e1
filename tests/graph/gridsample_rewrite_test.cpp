// The GridSample rewrite, the student blend normalisation and the baked probe on forged graphs, read
// back by the onnx package; the blend normalisation also run in ONNX Runtime against the original.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "common/test_util.h"
#include "graph/forge_models.h"
#include "graph/gridsample_rewrite.h"
#include "graph/onnx_wire.h"
#include "runtime/ort_env.h"

namespace {

using Bytes = std::vector<uint8_t>;
using ka::test::linesStarting;

using Rewrite = size_t (*)(Bytes&, std::string*);

// Expects `rewrite` to decline `m`: count 0, bytes untouched, a reason given.
void expectDeclined(Rewrite rewrite, Bytes m, const std::string& label) {
  ASSERT_FALSE(m.empty()) << label;
  const Bytes before = m;
  std::string reason;
  EXPECT_EQ(rewrite(m, &reason), 0u) << label;
  EXPECT_EQ(m, before) << label;
  EXPECT_FALSE(reason.empty()) << label;
}

class GridSampleRewrite : public ka::test::ForgeFixture {
 protected:
  Bytes model(std::vector<std::string> args) { return forged("gridsample-model", std::move(args)); }
  void expectUntouched(std::vector<std::string> args) {
    expectDeclined(ka::rewriteGridSampleToFast, model(args), args.back());
  }
};

TEST_F(GridSampleRewrite, QualifyingNodeBecomesGridSampleFast) {
  Bytes m = model({});
  ASSERT_FALSE(m.empty());
  EXPECT_FALSE(ka::graphHasBakedGridSampleFast(ka::GsSlice(m)));
  auto before = summary(m);
  EXPECT_EQ(ka::rewriteGridSampleToFast(m), 1u);
  EXPECT_TRUE(ka::graphHasBakedGridSampleFast(ka::GsSlice(m)));
  auto after = summary(m);
  // Inputs, output, name and doc string kept; attributes gone; the custom domain imported.
  EXPECT_EQ(linesStarting(after, "node "),
            (std::vector<std::string>{"node gs0|GridSampleFast|com.zephrane|X,grid|t0||sample 0",
                                      "node out|Identity|-|t0|Y||"}));
  EXPECT_EQ(linesStarting(after, "opset "), (std::vector<std::string>{"opset - 16", "opset com.zephrane 1"}));
  // Everything outside the node is as it was.
  for (const char* p : {"input ", "output ", "meta ", "producer ", "doc "})
    EXPECT_EQ(linesStarting(after, p), linesStarting(before, p)) << p;
}

TEST_F(GridSampleRewrite, NodesThatDoNotQualifyStay) {
  expectUntouched({"--node", "mode=nearest,padding_mode=border,align_corners=0"});
  expectUntouched({"--node", "mode=bilinear,padding_mode=zeros,align_corners=0"});
  expectUntouched({"--node", "mode=bilinear,padding_mode=reflection"});
  expectUntouched({"--node", "mode=bilinear,padding_mode=border,align_corners=1"});
  expectUntouched({"--node", "mode=bicubic,padding_mode=border"});
  // ONNX's defaults would make these bilinear (and zeros-padded); only explicit attributes count.
  expectUntouched({"--node", "padding_mode=border,align_corners=0"});
  expectUntouched({"--node", "mode=bilinear,align_corners=0"});
  // A foreign domain's GridSample is not ONNX's.
  expectUntouched({"--node", "mode=bilinear,padding_mode=border,domain=com.other"});
  // Opset 20's "cubic" does not qualify either.
  expectUntouched({"--opset", "20", "--node", "mode=cubic,padding_mode=border"});
}

TEST_F(GridSampleRewrite, AlignCornersMayBeAbsentAndDomainMayBeNamed) {
  Bytes m = model({"--node", "mode=bilinear,padding_mode=border,domain=ai.onnx"});
  EXPECT_EQ(ka::rewriteGridSampleToFast(m), 1u);
  EXPECT_EQ(linesStarting(summary(m), "node gs0"),
            (std::vector<std::string>{"node gs0|GridSampleFast|com.zephrane|X,grid|t0||sample 0"}));
}

TEST_F(GridSampleRewrite, Opset20LinearQualifies) {
  Bytes m = model({"--opset", "20", "--node", "mode=linear,padding_mode=border,align_corners=0"});
  EXPECT_EQ(ka::rewriteGridSampleToFast(m), 1u);
  auto s = summary(m);
  EXPECT_EQ(linesStarting(s, "node gs0"),
            (std::vector<std::string>{"node gs0|GridSampleFast|com.zephrane|X,grid|t0||sample 0"}));
  EXPECT_EQ(linesStarting(s, "opset "), (std::vector<std::string>{"opset - 20", "opset com.zephrane 1"}));
}

TEST_F(GridSampleRewrite, ExistingImportIsNotDuplicated) {
  Bytes m = model({"--zephrane-import", "--node", "mode=bilinear,padding_mode=border,align_corners=0", "--node",
                   "mode=nearest,padding_mode=border", "--node", "mode=bilinear,padding_mode=border"});
  const Bytes before = m;
  EXPECT_EQ(ka::rewriteGridSampleToFast(m), 2u);
  auto s = summary(m);
  EXPECT_EQ(linesStarting(s, "opset "), (std::vector<std::string>{"opset - 16", "opset com.zephrane 1"}));
  EXPECT_EQ(linesStarting(s, "node "),
            (std::vector<std::string>{"node gs0|GridSampleFast|com.zephrane|X,grid|t0||sample 0",
                                      "node gs1|GridSample|-|t0,grid|t1|mode,padding_mode|sample 1",
                                      "node gs2|GridSampleFast|com.zephrane|t1,grid|t2||sample 2",
                                      "node out|Identity|-|t2|Y||"}));
  // Without an added import the model only shrinks by the dropped attributes; the untouched node's
  // bytes are still in it.
  EXPECT_LT(m.size(), before.size());
}

TEST_F(GridSampleRewrite, SecondRunChangesNothing) {
  Bytes m = model({"--node", "mode=bilinear,padding_mode=border", "--node", "mode=bilinear,padding_mode=border"});
  EXPECT_EQ(ka::rewriteGridSampleToFast(m), 2u);
  const Bytes once = m;
  std::string reason;
  EXPECT_EQ(ka::rewriteGridSampleToFast(m, &reason), 0u);
  EXPECT_EQ(m, once);
  EXPECT_EQ(reason, "no GridSample node samples bilinear with border padding and align_corners 0");
  EXPECT_EQ(linesStarting(summary(m), "opset com.zephrane").size(), 1u);
}

TEST_F(GridSampleRewrite, MalformedModelsThrow) {
  Bytes m = model({});
  Bytes cut(m.begin(), m.end() - 1);
  EXPECT_THROW(ka::rewriteGridSampleToFast(cut), std::runtime_error);
  EXPECT_THROW(ka::normaliseStudentBlend(cut), std::runtime_error);
  EXPECT_THROW(ka::graphHasBakedGridSampleFast(ka::GsSlice(cut)), std::runtime_error);
  Bytes noGraph = {0x08, 0x08};  // ir_version 8 and nothing else
  std::string reason;
  EXPECT_EQ(ka::rewriteGridSampleToFast(noGraph, &reason), 0u);
  EXPECT_EQ(reason, "the model has no graph");
}

// Found by fuzzing: the rewrite reads only nodes and opset imports, so a malformed graph input
// passes through it verbatim; the rebuilder, which reads input names, then reports it.
TEST_F(GridSampleRewrite, BytesItDoesNotReadPassThrough) {
  Bytes m = model({});
  ka::GsSlice graph = ka::gsGraphOf(ka::GsSlice(m));
  ka::GsReader r(graph);
  ka::GsField f;
  size_t at = 0;
  while (r.next(f) && !at)
    if (f.no == 11) at = size_t(f.payload.p - m.data());
  ASSERT_NE(at, 0u);
  ASSERT_EQ(m[at], 0x0A);  // ValueInfoProto.name
  m[at] = 0x0B;            // the same field as a start group
  EXPECT_EQ(ka::rewriteGridSampleToFast(m), 1u);
  EXPECT_TRUE(ka::graphHasBakedGridSampleFast(ka::GsSlice(m)));
  Bytes out;
  try {
    ka::gsRebuild(ka::GsSlice(m), ka::GsGraphEdit{}, out);
    FAIL() << "the malformed input was not noticed";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "onnx: bad wire type");
  }
}

TEST(GridSampleProbe, NeedsTheCustomDomain) {
  auto modelWithNode = [](const char* opType, const char* domain) {
    Bytes node;
    ka::gsPutBytes(node, 4, std::string(opType));
    if (domain) ka::gsPutBytes(node, 7, std::string(domain));
    Bytes graph;
    ka::gsPutBytes(graph, 1, node.data(), node.size());
    Bytes model;
    ka::gsPutBytes(model, 7, graph.data(), graph.size());
    return model;
  };
  EXPECT_TRUE(ka::graphHasBakedGridSampleFast(ka::GsSlice(modelWithNode("GridSampleFast", "com.zephrane"))));
  EXPECT_FALSE(ka::graphHasBakedGridSampleFast(ka::GsSlice(modelWithNode("GridSampleFast", "com.other"))));
  EXPECT_FALSE(ka::graphHasBakedGridSampleFast(ka::GsSlice(modelWithNode("GridSampleFast", nullptr))));
  EXPECT_FALSE(ka::graphHasBakedGridSampleFast(ka::GsSlice(modelWithNode("GridSample", "com.zephrane"))));
  EXPECT_FALSE(ka::graphHasBakedGridSampleFast(ka::GsSlice()));
}

class StudentBlend : public ka::test::ForgeFixture {
 protected:
  Bytes model(std::vector<std::string> args) { return forged("blend-model", std::move(args)); }
};

TEST_F(StudentBlend, BlendMatMulBecomesGemm) {
  Bytes m = model({});
  EXPECT_EQ(ka::normaliseStudentBlend(m), 1u);
  auto s = summary(m);
  EXPECT_EQ(linesStarting(s, "node "),
            (std::vector<std::string>{"node /s2/blend|Gemm|-|A,B|m||", "node relu|Relu|-|m|Y||"}));
  EXPECT_EQ(linesStarting(s, "opset "), (std::vector<std::string>{"opset - 17"}));
  const Bytes once = m;
  EXPECT_EQ(ka::normaliseStudentBlend(m), 0u);
  EXPECT_EQ(m, once);
}

TEST_F(StudentBlend, OnlyThePlainNamedMatMulIsConverted) {
  for (auto args : std::vector<std::vector<std::string>>{
           {"--attr"}, {"--domain", "com.other"}, {"--name", "/s2/blend2"}, {"--name", "blend"}})
    expectDeclined(ka::normaliseStudentBlend, model(args), args.back());
  Bytes m = model({"--domain", "ai.onnx"});
  EXPECT_EQ(ka::normaliseStudentBlend(m), 1u);
  // A GridSample rewrite leaves a blend model alone and vice versa.
  Bytes g = model({});
  EXPECT_EQ(ka::rewriteGridSampleToFast(g), 0u);
}

// The normalised graph computes what the original computes, in ONNX Runtime.
TEST_F(StudentBlend, GemmComputesTheMatMul) {
  Bytes original = model({});
  Bytes normalised = original;
  ASSERT_EQ(ka::normaliseStudentBlend(normalised), 1u);
  Ort::Env env = ka::makeOrtEnv("ka");
  std::vector<float> a(4 * 8);
  for (size_t i = 0; i < a.size(); ++i) a[i] = std::sin(0.37f * float(i)) * 3.f;
  auto run = [&](const Bytes& bytes) {
    Ort::SessionOptions opts;
    opts.SetIntraOpNumThreads(1);
    Ort::Session s(env, bytes.data(), bytes.size(), opts);
    int64_t shape[2] = {4, 8};
    auto mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
    Ort::Value in = Ort::Value::CreateTensor<float>(mem, a.data(), a.size(), shape, 2);
    const char* inName = "A";
    const char* outName = "Y";
    auto out = s.Run(Ort::RunOptions{nullptr}, &inName, &in, 1, &outName, 1);
    const float* y = out[0].GetTensorData<float>();
    return std::vector<float>(y, y + 20);
  };
  std::vector<float> want = run(original), got = run(normalised);
  ASSERT_EQ(want.size(), got.size());
  for (size_t i = 0; i < want.size(); ++i) EXPECT_NEAR(got[i], want[i], 1e-5f * (1.f + std::fabs(want[i]))) << i;
}

}  // namespace
