// The renderer end to end on forged bundles and director models of both families: outputs
// against the same models run directly in ONNX Runtime (no rewrites, the standard GridSample),
// the keypoint contract, the provider strings and how the session is created.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sched.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "bundle/identity.h"
#include "bundle/manifest.h"
#include "common/test_util.h"
#include "graph/gridsample_rewrite.h"
#include "render/renderer.h"
#include "runtime/ort_env.h"
#include "runtime/session_options.h"

namespace {

using ka::test::errorOf;

using ka::test::TempDir;

// IEEE half to float, written out independently of the library's kernels.
float halfRef(uint16_t h) {
  const int sign = h >> 15, exp = (h >> 10) & 31, man = h & 1023;
  float v;
  if (exp == 0)
    v = std::ldexp(static_cast<float>(man), -24);
  else if (exp == 31)
    v = man ? NAN : INFINITY;
  else
    v = std::ldexp(static_cast<float>(man | 1024), exp - 25);
  return sign ? -v : v;
}

std::vector<float> halves(const std::string& path, size_t offset, size_t n) {
  auto b = ka::test::readBytes(path);
  std::vector<float> out(n);
  for (size_t i = 0; i < n; ++i) {
    uint16_t h;
    std::memcpy(&h, b.data() + 2 * (offset + i), 2);
    out[i] = halfRef(h);
  }
  return out;
}

// Runs `model` directly in ORT on one batch item's inputs (repeated over the batch).
std::vector<float> ortRun(const std::string& model, bool featSynth, int B, int C, const std::vector<float>& feat,
                          const std::vector<float>& prior, const std::vector<float>& ks, const std::vector<float>& kd) {
  Ort::Env env = ka::makeOrtEnv("ka-test");
  Ort::SessionOptions so;
  so.SetIntraOpNumThreads(1);
  Ort::Session session(env, model.c_str(), so);
  auto rep = [&](const std::vector<float>& v) {
    std::vector<float> out;
    for (int b = 0; b < B; ++b) out.insert(out.end(), v.begin(), v.end());
    return out;
  };
  std::vector<float> f = rep(feat), p = rep(prior), s = rep(ks), d = rep(kd);
  auto mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  const int64_t b = B, c = C;
  std::vector<int64_t> fShape = {b, 64, 32, 32}, kShape = {b, 21, 3};
  std::vector<int64_t> pShape = featSynth ? std::vector<int64_t>{b, 64, 64, 64} : std::vector<int64_t>{b, 3, c, c};
  std::vector<Ort::Value> in;
  in.push_back(Ort::Value::CreateTensor<float>(mem, f.data(), f.size(), fShape.data(), 4));
  in.push_back(Ort::Value::CreateTensor<float>(mem, p.data(), p.size(), pShape.data(), 4));
  in.push_back(Ort::Value::CreateTensor<float>(mem, d.data(), d.size(), kShape.data(), 3));
  in.push_back(Ort::Value::CreateTensor<float>(mem, s.data(), s.size(), kShape.data(), 3));
  const char* m4b[] = {"pooled64", "P_rgb", "kp_driving", "kp_source"};
  const char* fs[] = {"pooled", "fs_red", "kd", "ks"};
  const char* outName[] = {"rgb"};
  auto out = session.Run(Ort::RunOptions{nullptr}, featSynth ? fs : m4b, in.data(), 4, outName, 1);
  const float* r = out[0].GetTensorData<float>();
  return std::vector<float>(r, r + static_cast<size_t>(B) * 3 * C * C);
}

class RendererTest : public ::testing::Test {
 protected:
  static std::unique_ptr<TempDir> tmp_;
  static std::string m4b_, fs_;

  static void SetUpTestSuite() {
    tmp_ = std::make_unique<TempDir>();
    m4b_ = *tmp_ / "m4b";
    fs_ = *tmp_ / "fs";
    ASSERT_TRUE(ka::test::forge({"bundle", m4b_, "--background", "none"}));
    ASSERT_TRUE(ka::test::forge({"director-into", m4b_, "--batch", "1"}));
    ASSERT_TRUE(ka::test::forge({"director-into", m4b_, "--batch", "4"}));
    ASSERT_TRUE(ka::test::forge({"director-into", m4b_, "--no-patterns", "--variant", "plain"}));
    for (const char* rows : {"22", "20", "-1", "0"})
      ASSERT_TRUE(ka::test::forge({"director-into", m4b_, "--kp-rows", rows, "--variant", std::string("kp") + rows}));
    ASSERT_TRUE(ka::test::forge({"director-into", m4b_, "--free-batch", "--variant", "freebatch"}));
    ASSERT_TRUE(ka::test::forge({"director-into", m4b_, "--family", "featsynth", "--variant", "fs"}));
    ASSERT_TRUE(ka::test::forge({"bundle", fs_, "--background", "none", "--prior", "fsred"}));
    ASSERT_TRUE(ka::test::forge({"director-into", fs_, "--family", "featsynth", "--batch", "1"}));
    ASSERT_TRUE(ka::test::forge({"director-into", fs_, "--family", "featsynth", "--batch", "4"}));
    ASSERT_TRUE(ka::test::forge({"director-into", fs_, "--variant", "m4b"}));
  }
  static void TearDownTestSuite() { tmp_.reset(); }

  // Keypoints of the bundle's driving row i.
  static void driveRow(const std::string& dir, int i, std::vector<float>& ks, std::vector<float>& kd, int& si) {
    auto xs = ka::test::readAs<float>(dir + "/drive/xs.f32"), xd = ka::test::readAs<float>(dir + "/drive/xd.f32");
    auto sis = ka::test::readBytes(dir + "/drive/si.i32");
    std::memcpy(&si, sis.data() + 4 * i, 4);
    ks.assign(xs.begin() + 63 * i, xs.begin() + 63 * (i + 1));
    kd.assign(xd.begin() + 63 * i, xd.begin() + 63 * (i + 1));
  }

  // A renderer on the CPU with its load log swallowed.
  static std::unique_ptr<ka::Renderer> quietRenderer(const ka::Manifest& m, ka::Identity& id, const char* model,
                                                     int threads) {
    testing::internal::CaptureStderr();
    auto r = std::make_unique<ka::Renderer>(m, id, model, threads, "");
    testing::internal::GetCapturedStderr();
    return r;
  }

  std::string quietError(const std::string& dir, const std::string& model, const std::string& ep = "") {
    testing::internal::CaptureStderr();
    std::string e = errorOf([&] {
      ka::Manifest m = ka::loadManifest(dir);
      ka::Identity id(m);
      ka::Renderer r(m, id, model, 1, ep);
    });
    log_ = testing::internal::GetCapturedStderr();
    return e;
  }
  std::string log_;
};

std::unique_ptr<TempDir> RendererTest::tmp_;
std::string RendererTest::m4b_, RendererTest::fs_;

void expectNear(const float* got, const std::vector<float>& want, float tol) {
  size_t bad = 0;
  for (size_t i = 0; i < want.size(); ++i)
    if (!(std::fabs(got[i] - want[i]) <= tol) && bad++ < 5)
      ADD_FAILURE() << "at " << i << ": " << got[i] << " vs " << want[i];
  EXPECT_EQ(bad, 0u);
}

TEST_F(RendererTest, BothFamiliesMatchTheModelRunDirectly) {
  for (const std::string& dir : {m4b_, fs_}) {
    const bool featSynth = dir == fs_;
    ka::Manifest m = ka::loadManifest(dir);
    ka::Identity id(m);
    testing::internal::CaptureStderr();
    ka::Renderer r(m, id, "b4", 1, "");
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(r.batch(), 4);
    EXPECT_EQ(r.featSynth(), featSynth);
    EXPECT_EQ(r.ep(), "cpu");
    EXPECT_TRUE(r.sessionFromBytes());  // the GridSample and blend rewrites applied
    const int C = m.crop;
    std::vector<float> ks, kd;
    int si = 0;
    for (int row : {0, 3, 5}) {
      driveRow(dir, row, ks, kd, si);
      const float* got = r.render(&si, ks.data(), kd.data(), 1);
      auto feat = halves(dir + "/pooled64.f16", size_t(si) * 65536, 65536);
      auto prior = featSynth ? halves(dir + "/fs_red.f16", size_t(si) * 262144, 262144)
                             : halves(dir + "/P.f16", size_t(si) * 3 * C * C, size_t(3) * C * C);
      auto want = ortRun(m.modelPath("b4"), featSynth, 4, C, feat, prior, ks, kd);
      expectNear(got, want, 2e-5f);  // GridSampleFast against ORT's GridSample: round-off only
    }
  }
}

// The threads of this process with the given name, with whether each runs as SCHED_BATCH.
std::vector<bool> poolThreads(const char* name) {
  std::vector<bool> batch;
  DIR* d = opendir("/proc/self/task");
  if (!d) return batch;
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] == '.') continue;
    std::ifstream f(std::string("/proc/self/task/") + e->d_name + "/comm");
    std::string comm;
    std::getline(f, comm);
    if (comm == name) batch.push_back(sched_getscheduler(std::atoi(e->d_name)) == SCHED_BATCH);
  }
  closedir(d);
  return batch;
}

TEST_F(RendererTest, PoolThreadsAreNamedWorkersJoinedWithTheSession) {
  ka::Manifest m = ka::loadManifest(m4b_);
  ka::Identity id(m);
  {
    auto r = quietRenderer(m, id, "b4", 3);
    std::vector<float> ks, kd;
    int si = 0;
    driveRow(m4b_, 0, ks, kd, si);
    ASSERT_TRUE(r->render(&si, ks.data(), kd.data(), 1));
    // Three intra-op threads: the caller and two, scheduled as the thread that opened the model.
    EXPECT_EQ(poolThreads("ka-ort-render"), std::vector<bool>(2, sched_getscheduler(0) == SCHED_BATCH));
  }
  EXPECT_TRUE(poolThreads("ka-ort-render").empty());
}

TEST_F(RendererTest, BatchFillersRepeatTheLastFrame) {
  ka::Manifest m = ka::loadManifest(m4b_);
  ka::Identity id(m);
  auto owned = quietRenderer(m, id, "b4", 2);
  ka::Renderer& r = *owned;
  const size_t img = size_t(3) * m.crop * m.crop;
  std::vector<float> ks(4 * 63), kd(4 * 63);
  int si[4];
  for (int j = 0; j < 4; ++j) {
    std::vector<float> s, d;
    driveRow(m4b_, j, s, d, si[j]);
    std::copy(s.begin(), s.end(), ks.begin() + 63 * j);
    std::copy(d.begin(), d.end(), kd.begin() + 63 * j);
  }
  const float* out = r.render(si, ks.data(), kd.data(), 4);
  for (int j = 1; j < 4; ++j) EXPECT_NE(std::memcmp(out, out + j * img, img * 4), 0) << "frame " << j;
  out = r.render(si, ks.data(), kd.data(), 1);
  for (int j = 1; j < 4; ++j) EXPECT_EQ(std::memcmp(out, out + j * img, img * 4), 0) << "filler " << j;
  EXPECT_EQ(errorOf([&] { r.render(si, ks.data(), kd.data(), 0); }), "render: bad n");
  EXPECT_EQ(errorOf([&] { r.render(si, ks.data(), kd.data(), 5); }), "render: bad n");
  EXPECT_EQ(r.runs(), 2);
}

TEST_F(RendererTest, WithoutRewritesTheSessionComesFromThePath) {
  ka::Manifest m = ka::loadManifest(m4b_);
  ka::Identity id(m);
  testing::internal::CaptureStderr();
  ka::Renderer r(m, id, "b1_plain", 1, "");
  std::string log = testing::internal::GetCapturedStderr();
  EXPECT_FALSE(r.sessionFromBytes());
  EXPECT_EQ(log.find("load-time rewrite"), std::string::npos) << log;
  EXPECT_NE(log.find("[ka] director ep=cpu (ORT CPU EP)\n"), std::string::npos) << log;
}

TEST_F(RendererTest, ComposeAlphaLinesPrecedeTheRewriteLog) {
  {
    ka::Manifest m = ka::loadManifest(m4b_);
    ka::Identity id(m);
    testing::internal::CaptureStderr();
    ka::Renderer r(m, id, "b1", 1, "");
    const std::string log = testing::internal::GetCapturedStderr();
    const size_t ellipse = log.find(
        "[ka] !!! compose alpha: ELLIPSE (b1) \xE2\x80\x94 this bundle carries no "
        "lip_template.v1.json");
    const size_t gs = log.find("[ka] std GridSample -> com.zephrane::GridSampleFast load-time rewrite: 1 node(s) (b1)");
    const size_t blend = log.find("[ka] L3 student blend MatMul -> Gemm load-time normalisation: 1 node(s) (b1)");
    const size_t ep = log.find("[ka] director ep=cpu (ORT CPU EP)");
    ASSERT_NE(ellipse, std::string::npos) << log;
    ASSERT_NE(gs, std::string::npos) << log;
    ASSERT_NE(blend, std::string::npos) << log;
    ASSERT_NE(ep, std::string::npos) << log;
    EXPECT_LT(ellipse, gs);
    EXPECT_LT(gs, blend);
    EXPECT_LT(blend, ep);
  }
  // A bundle with a lip template binds its contour, logged after the other rewrites; a graph
  // without the compose tail says why it serves its ellipse.
  TempDir t;
  ASSERT_TRUE(ka::test::forge({"bundle", t / "b", "--background", "none", "--lip"}));
  ASSERT_TRUE(ka::test::forge({"director-into", t / "b"}));
  ASSERT_TRUE(ka::test::forge({"director-into", t / "b", "--variant", "plain", "--no-patterns"}));
  ka::Manifest m = ka::loadManifest(t / "b");
  ka::Identity id(m);
  testing::internal::CaptureStderr();
  {
    ka::Renderer r(m, id, "b1", 1, "");
    EXPECT_TRUE(r.sessionFromBytes());
    std::vector<float> kp(63);
    for (int k = 0; k < 21; ++k) kp[3 * k] = 0.4f * std::cos(k * 0.3f), kp[3 * k + 1] = 0.4f * std::sin(k * 0.3f);
    const int si = 0;
    const size_t n = 3 * static_cast<size_t>(m.crop) * m.crop;
    std::vector<float> kd = kp;
    kd[3 * 18 + 1] += 0.2f;  // the driving mouth opens: the graph paints a cavity under its alpha
    const float* out = r.render(&si, kp.data(), kd.data(), 1);
    const std::vector<float> withLip(out, out + n);
    // A contour placed away from the mouth (by keypoints 0..3) shuts the cavity the ellipse
    // shows: the frame differs, so the contour is fed every frame.
    ka::Manifest away = m;
    away.lipTemplateJson = R"({"format": "lip-template-v1", "canvas": )" + std::to_string(m.crop) +
                           R"(, "feather_px": 1, "u_canon": [[-1, 0], [0, -1], [1, 0]], "lip_idx": [0, 1, 2, 3]})";
    ka::Renderer e(away, id, "b1", 1, "");
    const float* shut = e.render(&si, kp.data(), kd.data(), 1);
    size_t differ = 0;
    for (size_t i = 0; i < n; ++i) differ += std::fabs(shut[i] - withLip[i]) > 1e-4f;
    EXPECT_GT(differ, 0u);
  }
  std::string log = testing::internal::GetCapturedStderr();
  const size_t bound = log.find(
      "[ka] compose alpha: LIP CONTOUR (b1) \xE2\x80\x94 Min(a, lip_delivery) bound at "
      "load, 24 verts, feather 3.0 px; the graph's ellipse is not reachable in this session\n");
  ASSERT_NE(bound, std::string::npos) << log;
  EXPECT_LT(log.find("[ka] std GridSample -> com.zephrane::GridSampleFast"), bound);
  EXPECT_EQ(log.find("ELLIPSE"), std::string::npos) << log;
  testing::internal::CaptureStderr();
  { ka::Renderer r(m, id, "b1_plain", 1, ""); }
  log = testing::internal::GetCapturedStderr();
  EXPECT_NE(log.find("[ka] !!! lip contour NOT bound to the compose alpha (b1_plain): the graph does not carry the "
                     "unified compose tail \xE2\x80\x94 this session serves the graph's own ELLIPSE\n"),
            std::string::npos)
      << log;
}

TEST_F(RendererTest, KeypointContract) {
  const std::string path = m4b_ + "/model_b1_kp22.onnx";
  EXPECT_EQ(quietError(m4b_, "b1_kp22"),
            "Renderer: HOST KEYPOINT CONTRACT MISMATCH on " + path +
                " \xE2\x80\x94 the graph declares kp_driving with 22 keypoint rows, and this renderer feeds 21 "
                "(ka::kHostKpRows, ka/ka). That is the recipe_v4 / kd_v4 shape: row 21 is the WIDTH ROW (wn, seal, "
                "0), fed from the a2x encoder's second output. This engine has no width feed (see ka_a2x_width / "
                "ka_a2x_pull_wn in ka/ka_a2x, which nothing on this path calls yet), so it cannot drive this "
                "director. REFUSING AT LOAD rather than dying inside ORT at the first Run. This build must not have "
                "been published to a host that links this renderer: training/recipe/host_kp_contract is the "
                "publish gate that exists to prevent it.");
  const std::string e20 = quietError(m4b_, "b1_kp20");
  EXPECT_NE(e20.find("declares kp_driving with 20 keypoint rows"), std::string::npos) << e20;
  EXPECT_EQ(e20.find("WIDTH ROW"), std::string::npos);
  EXPECT_NE(e20.find("REFUSING AT LOAD"), std::string::npos);
  EXPECT_EQ(quietError(m4b_, "b1_kp-1"), "(no error)");
  EXPECT_EQ(quietError(m4b_, "b1_kp0"), "(no error)");
  EXPECT_EQ(quietError(m4b_, "b1_freebatch"), "pooled64 input not found / bad shape");
}

TEST_F(RendererTest, FamilyNeedsItsMembers) {
  EXPECT_EQ(quietError(m4b_, "b1_fs"), "FeatSynth graph but bundle lacks fs_red.f16");
  EXPECT_NE(quietError(fs_, "b1_m4b").find("m4b graph (P_rgb input) but this bundle carries no warp prior"),
            std::string::npos);
  EXPECT_EQ(quietError(m4b_, "b9"), "Renderer: cannot open " + m4b_ + "/model_b9.onnx");
}

TEST_F(RendererTest, ProviderStrings) {
  EXPECT_NE(quietError(m4b_, "b1", "xnnpack").find("Renderer: ep 'xnnpack' is REFUSED."), std::string::npos);
  EXPECT_NE(quietError(m4b_, "b1", "xnnpack:fp16").find("ep 'xnnpack:fp16' is REFUSED"), std::string::npos);
  EXPECT_EQ(quietError(m4b_, "b1", "cpu"), "Renderer: unknown ep 'cpu'");
  for (const char* ep : {"coreml", "coreml:", "coreml:gpu"}) {
    ka::Manifest m = ka::loadManifest(m4b_);
    ka::Identity id(m);
    testing::internal::CaptureStderr();
    ka::Renderer r(m, id, "b1", 1, ep);
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(r.ep(), "cpu") << ep;  // no CoreML on this platform: rebuilt on the CPU provider
    EXPECT_NE(log.find("[ka] CoreML EP session refused: "), std::string::npos) << log;
    EXPECT_NE(log.find("falling back to the ORT CPU EP"), std::string::npos);
  }
  ka::Manifest m = ka::loadManifest(m4b_);
  ka::Identity id(m);
  testing::internal::CaptureStderr();
  ka::Renderer r(m, id, "b1", 1, "neon");
  std::string log = testing::internal::GetCapturedStderr();
  EXPECT_EQ(r.ep(), "cpu");
  EXPECT_EQ(r.backend(), "ort");
  EXPECT_NE(log.find("[ka] fp16 NEON backend requested but unavailable on this build/CPU; using ORT\n"),
            std::string::npos);
}

TEST_F(RendererTest, CoremlCacheDirectoryCarriesTheRuntimeVersion) {
  EXPECT_EQ(ka::coremlCacheDir("/b"), "/b/.coreml_cache/ort" + ka::ortRuntimeVersion());
}

TEST_F(RendererTest, GridSampleSwitches) {
  {
    ka::test::ScopedEnv off("KA_GS_REWRITE", std::string("0"));
    ka::Manifest m = ka::loadManifest(m4b_);
    ka::Identity id(m);
    testing::internal::CaptureStderr();
    ka::Renderer r(m, id, "b1", 1, "");
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("[ka] KA_GS_REWRITE=0: load-time std GridSample -> com.zephrane::GridSampleFast rewrite "
                       "DISABLED (b1)"),
              std::string::npos)
        << log;
    EXPECT_EQ(log.find("std GridSample -> com.zephrane::GridSampleFast load-time rewrite"), std::string::npos);
    EXPECT_TRUE(r.sessionFromBytes());  // the blend normalisation still applied
  }
  // A graph with GridSampleFast baked in cannot load without the custom operators.
  auto bytes = ka::test::readBytes(m4b_ + "/model_b1.onnx");
  ASSERT_EQ(ka::rewriteGridSampleToFast(bytes), 1u);
  ka::test::writeBytes(m4b_ + "/model_b1_baked.onnx", bytes.data(), bytes.size());
  ka::test::ScopedEnv gsOff("KA_GS_FAST", std::string("0"));
  const std::string e = quietError(m4b_, "b1_baked");
  EXPECT_EQ(e.rfind("Renderer: KA_GS_FAST=0 (or ZEPHRANE_NIMBREL2_GRIDSAMPLE_FAST=0, which sets it) was asked for, "
                    "but " +
                        m4b_ + "/model_b1_baked.onnx has com.zephrane::GridSampleFast BAKED INTO THE GRAPH.",
                    0),
            0u)
      << e;
  EXPECT_EQ(quietError(m4b_, "b1"), "(no error)");  // a standard graph runs ORT's own GridSample
}

}  // namespace
