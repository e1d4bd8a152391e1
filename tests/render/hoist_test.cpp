// The source-cone hoist: the playback predictor, the ring and its prefetch thread, and the hoisted
// renderer against the same director served whole. Suites that start the prefetch thread carry
// "Threads" in their name (they run under the thread sanitizer).
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bundle/identity.h"
#include "bundle/manifest.h"
#include "common/test_util.h"
#include "render/prefetch.h"
#include "render/renderer.h"
#include "runtime/ort_env.h"

namespace {

using ka::test::errorOf;
using ka::test::TempDir;

// Predictions along a walk of source indices.
std::vector<int> predictAlong(const std::vector<int>& walk, int frames) {
  ka::PlaybackPredictor p;
  std::vector<int> out;
  for (int v : walk) out.push_back(p.next(v, frames));
  return out;
}

TEST(PlaybackPredictor, FollowsLoopsPingPongAndJumps) {
  // Forward: turns at the end until the first wrap has been seen, then wraps.
  EXPECT_EQ(predictAlong({0, 1, 2, 3, 4, 0, 1, 4}, 5), (std::vector<int>{1, 2, 3, 4, 3, 1, 2, 0}));
  // Backward: v - 1, and 1 at v = 0.
  EXPECT_EQ(predictAlong({4, 3, 2, 1, 0}, 5), (std::vector<int>{3, 2, 1, 0, 1}));
  // Ping-pong: the frame after the turn.
  EXPECT_EQ(predictAlong({3, 4, 3, 2, 1, 0, 1}, 5), (std::vector<int>{4, 3, 2, 1, 0, 1, 2}));
  // A jump keeps the step (here -1 from 3 -> 2).
  EXPECT_EQ(predictAlong({3, 2, 0}, 5), (std::vector<int>{4, 1, 1}));
  // Two frames: the wrap sets step -1 and predicts 1; one frame always predicts itself.
  EXPECT_EQ(predictAlong({0, 1, 0, 1}, 2), (std::vector<int>{1, 0, 1, 0}));
  EXPECT_EQ(predictAlong({0, 0}, 1), (std::vector<int>{0, 0}));
}

class HoistThreads : public ::testing::Test {
 protected:
  static std::unique_ptr<TempDir> tmp_;
  static std::string dir_;

  static void SetUpTestSuite() {
    tmp_ = std::make_unique<TempDir>();
    dir_ = *tmp_ / "b";
    ASSERT_TRUE(ka::test::forge({"bundle", dir_, "--background", "none"}));
    ASSERT_TRUE(ka::test::forge({"director-into", dir_, "--batch", "1"}));
    ASSERT_TRUE(ka::test::forge({"director-into", dir_, "--batch", "2"}));
    // The same director with a dead reader of a cone value: nothing hoisted, same crops.
    const int crop = ka::loadManifest(dir_).crop;
    ASSERT_TRUE(
        ka::test::forge({"cone-near-miss", dir_ + "/model_b1_whole.onnx", "escape", "--crop", std::to_string(crop)}));
    ASSERT_TRUE(ka::test::forge(
        {"cone-near-miss", dir_ + "/model_b1_twocat.onnx", "two-concats", "--crop", std::to_string(crop)}));
  }
  static void TearDownTestSuite() { tmp_.reset(); }

  // Builds a renderer for `model`, returning its load log in `log`.
  static std::unique_ptr<ka::Renderer> renderer(const ka::Manifest& m, ka::Identity& id, const std::string& model,
                                                std::string& log) {
    testing::internal::CaptureStderr();
    auto r = std::make_unique<ka::Renderer>(m, id, model, 1, "");
    log = testing::internal::GetCapturedStderr();
    return r;
  }

  // An identity and the split of the bundle's batch-1 director, as the renderer makes it.
  struct Split {
    ka::Manifest m = ka::loadManifest(dir_);
    ka::Identity id{m};
    Ort::Env env = ka::makeOrtEnv("ka-test");
    ka::SourceConeSplit s;
    bool ok = false;
    Split() {
      ka::SourceConeHoistRequest req;
      req.modelName = "b1";
      req.hasPrior = true;
      testing::internal::CaptureStderr();
      ok = ka::splitSourceCone(env, ka::test::readBytes(dir_ + "/model_b1.onnx"), req, s);
      testing::internal::GetCapturedStderr();
    }
  };
};

std::unique_ptr<TempDir> HoistThreads::tmp_;
std::string HoistThreads::dir_;

TEST_F(HoistThreads, HoistedCropsEqualTheWholeDirectorsOverEveryWalk) {
  ka::Manifest m = ka::loadManifest(dir_);
  ka::Identity hoistedId(m), wholeId(m);
  std::string log, wholeLog;
  auto hoisted = renderer(m, hoistedId, "b1", log);
  auto whole = renderer(m, wholeId, "b1_whole", wholeLog);
  const int C = m.crop, N = hoistedId.NT();
  EXPECT_NE(
      log.find("[ka] source-cone hoist: '/cone/concat_output_0' [1,12," + std::to_string(C) + "," + std::to_string(C) +
               "] leaves the per-frame graph and is prefetched per SOURCE FRAME on one "
               "spare core (b1)\n"),
      std::string::npos)
      << log;
  EXPECT_NE(wholeLog.find("[ka] source-cone hoist NOT applied (b1_whole): cone value '/cone/pad_output_0' escapes to "
                          "/near/leak\n"),
            std::string::npos)
      << wholeLog;
  // The hoist line comes before the rewrite log.
  EXPECT_LT(log.find("source-cone hoist:"), log.find("load-time rewrite"));

  std::vector<int> sequential, backward, pingPong, repeated(6, 2), random;
  for (int k = 0; k < 2 * N + 1; ++k) sequential.push_back(k % N);
  for (int k = N - 1; k >= 0; --k) backward.push_back(k);
  for (int k = 0; k < 3 * (N - 1); ++k) pingPong.push_back((k / (N - 1)) % 2 ? N - 1 - k % (N - 1) : k % (N - 1));
  std::mt19937 rng(5);
  for (int k = 0; k < 12; ++k) random.push_back(int(rng() % unsigned(N)));
  const auto drive = ka::test::readAs<float>(dir_ + "/drive/xd.f32");
  const auto source = ka::test::readAs<float>(dir_ + "/drive/xs.f32");
  const size_t rows = drive.size() / 63, img = size_t(3) * C * C;
  size_t frame = 0;
  for (const auto* walk : {&sequential, &backward, &pingPong, &repeated, &random}) {
    for (int v : *walk) {
      const size_t row = frame++ % rows;
      const float* ks = source.data() + 63 * row;
      const float* kd = drive.data() + 63 * row;
      const float* w = whole->render(&v, ks, kd, 1);
      const std::vector<float> want(w, w + img);
      const float* got = hoisted->render(&v, ks, kd, 1);
      ASSERT_EQ(std::memcmp(got, want.data(), img * sizeof(float)), 0) << "frame " << frame << " source " << v;
    }
  }
}

TEST_F(HoistThreads, RenderIntoWritesTheCallersBufferAndLeavesTheOwnAlone) {
  ka::Manifest m = ka::loadManifest(dir_);
  ka::Identity id(m);
  std::string log;
  auto r = renderer(m, id, "b1", log);
  const auto drive = ka::test::readAs<float>(dir_ + "/drive/xd.f32");
  const auto source = ka::test::readAs<float>(dir_ + "/drive/xs.f32");
  const size_t img = size_t(3) * m.crop * m.crop;
  int v0 = 0;
  const float* own = r->render(&v0, source.data(), drive.data(), 1);
  const std::vector<float> first(own, own + img);
  for (int v : {1, 0, 2}) {
    std::vector<float> into(img, -1.0f);
    r->renderInto(v, source.data() + 63 * v, drive.data() + 63 * v, into.data());
    EXPECT_EQ(std::memcmp(own, first.data(), img * sizeof(float)), 0) << "the renderer's own crop changed";
    const float* again = r->render(&v, source.data() + 63 * v, drive.data() + 63 * v, 1);
    EXPECT_EQ(std::memcmp(into.data(), again, img * sizeof(float)), 0) << v;
    r->render(&v0, source.data(), drive.data(), 1);  // back to the first frame in the own buffer
  }
  auto b2 = renderer(m, id, "b2", log);
  std::vector<float> out(img);
  EXPECT_EQ(errorOf([&] { b2->renderInto(0, source.data(), drive.data(), out.data()); }),
            "render: renderInto needs a batch-1 director");
}

TEST_F(HoistThreads, NearMissesAndBatchKeepTheModelWhole) {
  ka::Manifest m = ka::loadManifest(dir_);
  ka::Identity id(m);
  std::string log;
  renderer(m, id, "b2", log);
  EXPECT_NE(log.find("[ka] source-cone hoist NOT applied (b2): batch-1 lever; this graph declares batch 2\n"),
            std::string::npos)
      << log;
  renderer(m, id, "b1_twocat", log);
  EXPECT_NE(log.find("[ka] source-cone hoist NOT applied (b1_twocat): expected exactly one Concat consuming P_rgb, "
                     "found 2\n"),
            std::string::npos)
      << log;
}

TEST_F(HoistThreads, RingPrefetchesTheNextFrame) {
  Split sp;
  ASSERT_TRUE(sp.ok);
  size_t elems = 1;
  for (int64_t d : sp.s.dims) elems *= size_t(d);
  ka::Identity& id = sp.id;
  ka::SourceConeRing ring(sp.s, id, sp.m.crop);  // two turn slots, nothing kept
  EXPECT_EQ(ring.boundary(), "/cone/concat_output_0");
  std::vector<std::vector<float>> first;
  for (int v = 0; v < id.NT(); ++v) {
    const float* b = ring.acquire(v).GetTensorData<float>();
    first.emplace_back(b, b + elems);
    ring.prefetchAfter(v);
  }
  // The first frame is computed in place (a miss, then found like the rest); each later one was
  // prefetched.
  EXPECT_EQ(ring.misses(), 1);
  EXPECT_EQ(ring.hits(), id.NT());
  // A prefetched boundary equals one computed on demand (a jump forces that).
  for (int v : {3, 0, 4}) {
    const float* b = ring.acquire(v).GetTensorData<float>();
    EXPECT_EQ(std::vector<float>(b, b + elems), first[size_t(v)]) << v;
  }
}

TEST_F(HoistThreads, RingKeepsTheFramesItsBudgetHoldsAndTurnsTheRest) {
  Split sp;
  ASSERT_TRUE(sp.ok);
  size_t elems = 1;
  for (int64_t d : sp.s.dims) elems *= size_t(d);
  const int N = sp.id.NT();
  ASSERT_GE(N, 6);
  // Room for three boundaries and a byte less than a fourth.
  ka::ConeKeepBudget three(4 * elems * sizeof(float) - 1);
  ka::SourceConeRing ring(sp.s, sp.id, sp.m.crop, &three);
  EXPECT_EQ(ring.keptFrames(), 3);
  std::vector<std::vector<float>> first;
  for (int v = 0; v < N; ++v) {
    const float* b = ring.acquire(v).GetTensorData<float>();
    first.emplace_back(b, b + elems);
  }
  EXPECT_EQ(ring.prepRuns(), N);
  // The kept frames come back without a prep run, in any order; a turned-out frame is run again
  // and gives the same boundary.
  for (int v : {2, 0, 1, 2}) {
    const float* b = ring.acquire(v).GetTensorData<float>();
    EXPECT_EQ(std::vector<float>(b, b + elems), first[size_t(v)]) << v;
  }
  EXPECT_EQ(ring.prepRuns(), N);
  const float* b = ring.acquire(3).GetTensorData<float>();
  EXPECT_EQ(std::vector<float>(b, b + elems), first[3]);
  EXPECT_EQ(ring.prepRuns(), N + 1);
  // A budget beyond the video keeps every frame, and no more.
  Split all;
  ASSERT_TRUE(all.ok);
  ka::ConeKeepBudget plenty(size_t(1) << 40);
  EXPECT_EQ(ka::SourceConeRing(all.s, all.id, all.m.crop, &plenty).keptFrames(), N);
}

TEST_F(HoistThreads, FillKeptComputesTheKeptFramesAheadWhileRenderingGoesOn) {
  Split sp, plain;
  ASSERT_TRUE(sp.ok && plain.ok);
  size_t elems = 1;
  for (int64_t d : sp.s.dims) elems *= size_t(d);
  const int N = sp.id.NT();
  ka::ConeKeepBudget three(4 * elems * sizeof(float) - 1);
  ka::SourceConeRing ring(sp.s, sp.id, sp.m.crop, &three);  // keeps three
  ka::SourceConeRing onDemand(plain.s, plain.id, plain.m.crop);
  ring.fillKept();
  for (int v = N - 1; v >= 3; --v) ring.acquire(v);  // the rest, asked for while filling goes on
  for (int k = 0; k < 10000 && ring.prepRuns() < N; ++k) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_EQ(ring.prepRuns(), N);  // every frame once
  for (int v : {0, 1, 2}) {
    const float* b = ring.acquire(v).GetTensorData<float>();
    const float* want = onDemand.acquire(v).GetTensorData<float>();
    EXPECT_EQ(std::memcmp(b, want, elems * sizeof(float)), 0) << v;
  }
  EXPECT_EQ(ring.prepRuns(), N);
  EXPECT_EQ(ring.misses(), N - 3);
}

TEST(ConeKeep, SharesOfOneBudgetNeverExceedItAndComeBack) {
  ka::ConeKeepBudget budget(10 * 100 + 99);  // ten boundaries of 100 bytes, and change
  {
    ka::ConeKeepBudget::Share a = budget.take(100, 4);
    EXPECT_EQ(a.bytes(), 400u);
    ka::ConeKeepBudget::Share b = budget.take(100, 50);  // what is left: six whole boundaries
    EXPECT_EQ(b.bytes(), 600u);
    EXPECT_EQ(budget.take(100, 1).bytes(), 0u);
    EXPECT_EQ(budget.take(0, 3).bytes(), 0u);
    ka::ConeKeepBudget::Share c = std::move(a);  // moved, counted once
    EXPECT_EQ(a.bytes(), 0u);
    EXPECT_EQ(budget.left(), 99u);
    c = ka::ConeKeepBudget::Share();  // handed back on reassignment
    EXPECT_EQ(budget.left(), 499u);
  }
  EXPECT_EQ(budget.left(), 1099u);
}

TEST(ConeKeep, BudgetFromTheEnvironmentIsBounded) {
  {
    ka::test::ScopedEnv e("KA_CONE_KEEP_MIB", std::nullopt);
    EXPECT_EQ(ka::coneKeepBytes(), size_t(256) << 20);
  }
  {
    ka::test::ScopedEnv e("KA_CONE_KEEP_MIB", "0");
    EXPECT_EQ(ka::coneKeepBytes(), 0u);
  }
  {
    ka::test::ScopedEnv e("KA_CONE_KEEP_MIB", "65536");
    EXPECT_EQ(ka::coneKeepBytes(), size_t(65536) << 20);
  }
  for (const char* bad : {"65537", "-1", "12x", "1e3", "999999999999999999999"}) {
    ka::test::ScopedEnv e("KA_CONE_KEEP_MIB", bad);
    testing::internal::CaptureStderr();
    EXPECT_EQ(ka::coneKeepBytes(), size_t(256) << 20) << bad;
    EXPECT_NE(testing::internal::GetCapturedStderr().find("KA_CONE_KEEP_MIB='" + std::string(bad) + "'"),
              std::string::npos)
        << bad;
  }
}

TEST_F(HoistThreads, PrepFailureRefusesEveryLaterFrame) {
  Split sp;
  ASSERT_TRUE(sp.ok);
  sp.s.dims[3] += 1;  // slots the prep output does not fit: every prep run fails inside ORT
  ka::SourceConeRing ring(sp.s, sp.id, sp.m.crop);
  const std::string prefix = "Renderer: the hoisted source cone failed in ORT \xE2\x80\x94 ";
  const std::string first = errorOf([&] { ring.acquire(0); });
  EXPECT_EQ(first.rfind(prefix, 0), 0u) << first;
  EXPECT_GT(first.size(), prefix.size());
  ring.prefetchAfter(0);  // requests nothing once failed
  for (int v : {1, 0, 2}) EXPECT_EQ(errorOf([&] { ring.acquire(v); }), first);
}

}  // namespace
