// The "com.zephrane" domain: one object per process, registrable on many session options, needed
// by any session over a graph that carries GridSampleFast.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "common/test_util.h"
#include "graph/forge_models.h"
#include "graph/gridsample_rewrite.h"
#include "graph/ort_run.h"
#include "ops/domain.h"
#include "runtime/ort_env.h"

namespace {

std::vector<uint8_t> fastModel(const ka::test::TempDir& dir) {
  std::vector<uint8_t> m = ka::test::forgeModel(dir, "gridsample-model", "fast.onnx", {"--h", "4", "--w", "5"});
  EXPECT_EQ(ka::rewriteGridSampleToFast(m), 1u);
  return m;
}

TEST(ZephraneDomain, OneDomainServesManySessions) {
  ka::test::TempDir dir;
  std::vector<uint8_t> model = fastModel(dir);
  OrtCustomOpDomain* d = ka::zephraneDomain();
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(ka::zephraneDomain(), d);

  Ort::Env env = ka::makeOrtEnv("ka");
  std::vector<float> x(15 * 4), grid(4 * 5 * 2, 0.f);
  for (size_t i = 0; i < x.size(); ++i) x[i] = float(i);
  std::vector<ka::test::OrtFeed> feeds = {{"X", &x, {1, 3, 4, 5}}, {"grid", &grid, {1, 4, 5, 2}}};
  // Two session options in a row, each with the domain, each session running the kernel: a second
  // registration of the same operators would fail session creation.
  std::vector<float> first = ka::test::ortRun(env, model, true, 1, feeds, "Y");
  std::vector<float> second = ka::test::ortRun(env, model, true, 1, feeds, "Y");
  EXPECT_EQ(first, second);
  EXPECT_EQ(ka::zephraneDomain(), d);
  // A zero grid samples the centre of each 4 x 5 plane: between rows 1 and 2, on column 2.
  for (int c = 0; c < 3; ++c) EXPECT_EQ(first[size_t(c) * 20], float(c * 20) + 9.5f) << c;
}

TEST(ZephraneDomain, SessionWithoutRegistrationFailsAtCreation) {
  ka::test::TempDir dir;
  std::vector<uint8_t> model = fastModel(dir);
  Ort::Env env = ka::makeOrtEnv("ka");
  Ort::SessionOptions opts;
  try {
    Ort::Session s(env, model.data(), model.size(), opts);
    FAIL() << "a GridSampleFast graph loaded without the domain";
  } catch (const Ort::Exception& e) {
    EXPECT_NE(std::string(e.what()).find("GridSampleFast"), std::string::npos) << e.what();
  }
}

TEST(ZephraneDomainConcurrent, EveryThreadGetsTheSameDomain) {
  std::vector<OrtCustomOpDomain*> seen(8, nullptr);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < seen.size(); ++i) threads.emplace_back([&, i] { seen[i] = ka::zephraneDomain(); });
  for (auto& t : threads) t.join();
  for (auto* d : seen) EXPECT_EQ(d, seen[0]);
  EXPECT_NE(seen[0], nullptr);
}

}  // namespace
