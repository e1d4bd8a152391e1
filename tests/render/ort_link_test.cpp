// Proves the ONNX Runtime dependency path end to end: the library's environment helper, a model
// written by the onnx Python package, a session, a run, numbers checked against numpy's answer.
#include <gtest/gtest.h>

#include <cstring>

#include "common/test_util.h"
#include "runtime/ort_env.h"

namespace {

TEST(OrtLink, RuntimeIsThePinnedRelease) {
  std::string v = ka::ortRuntimeVersion();
  EXPECT_EQ(v.rfind("1.", 0), 0u) << v;
  // The headers we compile against must not be newer than the library we load.
  EXPECT_NE(OrtGetApiBase()->GetApi(ORT_API_VERSION), nullptr) << "API " << ORT_API_VERSION << " on " << v;
}

TEST(OrtLink, RunsATinyModel) {
  ka::test::TempDir tmp;
  std::string model = tmp / "affine.onnx";
  ASSERT_TRUE(ka::test::forge({"tiny-model", model}));

  Ort::Env env = ka::makeOrtEnv("ka");
  Ort::SessionOptions opts;
  opts.SetIntraOpNumThreads(1);
  Ort::Session session(env, model.c_str(), opts);
  ASSERT_EQ(session.GetInputCount(), 1u);

  // The forge's model computes y = x * 2 + 0.5 over a float[2,3].
  float x[6] = {0.f, 1.f, -1.f, 0.25f, 3.5f, -7.f};
  int64_t shape[2] = {2, 3};
  auto mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  Ort::Value in = Ort::Value::CreateTensor<float>(mem, x, 6, shape, 2);
  const char* inNames[] = {"x"};
  const char* outNames[] = {"y"};
  auto out = session.Run(Ort::RunOptions{nullptr}, inNames, &in, 1, outNames, 1);
  ASSERT_EQ(out.size(), 1u);
  const float* y = out[0].GetTensorData<float>();
  for (int i = 0; i < 6; ++i) EXPECT_EQ(y[i], x[i] * 2.f + 0.5f) << i;
}

}  // namespace
