// The FCA engine on forged models against the numpy reference: frame counts, the quiet baseline on
// silent and long clips, the result codes, and the refusals.
#include <dirent.h>
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/test_util.h"
#include "ka/ka_fca.h"
#include "ops/pool.h"

namespace {

using ka::test::TempDir;

class Fca : public ::testing::Test {
 protected:
  static std::unique_ptr<TempDir> tmp_;
  static std::string w2v_, model_;

  static void SetUpTestSuite() {
    tmp_ = std::make_unique<TempDir>();
    ka::test::runCommand("mkdir -p " + ka::test::shellQuote(*tmp_ / "b"));
    ASSERT_TRUE(ka::test::forge({"a2x", *tmp_ / "b", *tmp_ / "w", "--legacy-only"}));
    w2v_ = *tmp_ / "w/w2v.onnx";
    model_ = *tmp_ / "b/fca_stream.onnx";
  }
  static void TearDownTestSuite() { tmp_.reset(); }

  void SetUp() override {
    f_ = ka_fca_create(w2v_.c_str(), model_.c_str(), 1);
    ASSERT_NE(f_, nullptr) << ka_fca_last_error();
  }
  void TearDown() override { ka_fca_destroy(f_); }

  static std::vector<float> reference(const std::vector<float>& audio) {
    const std::string in = *tmp_ / "in.f32", out = *tmp_ / "out.f32";
    ka::test::writeAs(in, audio);
    EXPECT_TRUE(ka::test::forge({"a2x-ref", "fca", *tmp_ / "b", *tmp_ / "w", in, out}));
    return ka::test::readAs<float>(out);
  }

  void expectReference(const std::vector<float>& audio) {
    const int F = static_cast<int>((audio.size() + 639) / 640);
    std::vector<float> out(size_t(F) * 63 + 1, 12345.0f);
    ASSERT_EQ(ka_fca_deltas(f_, audio.data(), static_cast<int>(audio.size()), out.data(), F), F) << ka_fca_last_error();
    EXPECT_EQ(out.back(), 12345.0f) << "wrote past F rows";
    out.pop_back();
    const std::vector<float> want = reference(audio);
    ASSERT_EQ(want.size(), out.size());
    for (size_t i = 0; i < out.size(); ++i)
      ASSERT_NEAR(out[i], want[i], 2e-4f) << "frame " << i / 63 << " value " << i % 63;
  }

  ka_fca* f_ = nullptr;
};

std::unique_ptr<TempDir> Fca::tmp_;
std::string Fca::w2v_, Fca::model_;

std::vector<float> tone(size_t n, float amp, uint32_t seed) {
  std::vector<float> a(n);
  uint32_t s = seed;
  for (size_t i = 0; i < n; ++i) {
    s = s * 1664525u + 1013904223u;
    // A 220 Hz tone whose loudness swells and fades every 1.3 s, over a little noise.
    const float env = 0.5f + 0.5f * std::sin(float(i) * 6.2831853f / 20800.0f);
    a[i] =
        amp * env * std::sin(float(i) * 6.2831853f * 220.0f / 16000.0f) + 0.01f * (float(s >> 8) / 16777216.0f - 0.5f);
  }
  return a;
}

TEST_F(Fca, FrameCountsAndResultCodes) {
  std::vector<float> a = tone(641, 0.5f, 1);
  std::vector<float> out(3 * 63, 7.0f);
  EXPECT_EQ(ka_fca_deltas(f_, a.data(), 0, out.data(), 3), 0);
  EXPECT_EQ(ka_fca_deltas(f_, a.data(), 1, out.data(), 1), 1);
  EXPECT_EQ(ka_fca_deltas(f_, a.data(), 640, out.data(), 1), 1);
  // 641 samples are two frames: max 1 is too small, without a message, and nothing is written.
  std::fill(out.begin(), out.end(), 7.0f);
  EXPECT_EQ(ka_fca_deltas(f_, a.data(), 641, out.data(), 1), -1);
  EXPECT_STREQ(ka_fca_last_error(), "");
  for (float v : out) ASSERT_EQ(v, 7.0f);
  EXPECT_EQ(ka_fca_deltas(f_, a.data(), 641, out.data(), 2), 2);
  EXPECT_EQ(ka_fca_deltas(nullptr, a.data(), 641, out.data(), 2), -2);
  EXPECT_STREQ(ka_fca_last_error(), "ka_fca_deltas: bad args");
}

TEST_F(Fca, ShortClipsMatchReference) {
  expectReference(tone(1, 0.5f, 2));
  expectReference(tone(641, 0.5f, 3));
}

// A silent clip: no frame is louder than 0, so only frames from 7 on join the quiet set.
TEST_F(Fca, SilentClipMatchesReference) { expectReference(std::vector<float>(16000 * 2, 0.0f)); }

// 9 s: frames from the windows at 0, 100 and 200, the quantile baseline over all of them.
TEST_F(Fca, NineSecondsMatchReference) { expectReference(tone(16000 * 9, 0.4f, 4)); }

// A clip holding a NaN or infinite sample is refused with its index; nothing is written and the
// engine gives the next clip its rows.
TEST_F(Fca, NonFiniteSamplesAreRefused) {
  std::vector<float> a = tone(640 * 5, 0.5f, 6), good(5 * 63), out(5 * 63, 7.0f);
  ASSERT_EQ(ka_fca_deltas(f_, a.data(), int(a.size()), good.data(), 5), 5) << ka_fca_last_error();
  for (float v : {std::nanf(""), INFINITY, -INFINITY}) {
    std::vector<float> bad = a;
    bad[1000] = v;
    EXPECT_LT(ka_fca_deltas(f_, bad.data(), int(bad.size()), out.data(), 5), 0);
    EXPECT_EQ(std::string(ka_fca_last_error()), std::string("ka_fca_deltas: sample 1000 is not finite (") +
                                                    (v != v  ? "nan"
                                                     : v > 0 ? "inf"
                                                             : "-inf") +
                                                    ")");
    for (float o : out) ASSERT_EQ(o, 7.0f);
  }
  ASSERT_EQ(ka_fca_deltas(f_, a.data(), int(a.size()), out.data(), 5), 5) << ka_fca_last_error();
  EXPECT_EQ(out, good);
}

// The threads this process runs now.
int threadsNow() {
  int n = 0;
  if (DIR* d = opendir("/proc/self/task")) {
    while (const dirent* e = readdir(d)) n += e->d_name[0] != '.';
    closedir(d);
  }
  return n;
}

// A thread count above the pool's ceiling is lowered to it, with one line on standard error,
// before ONNX Runtime starts a thread: each of the two models then runs ceiling - 1 intra-op
// threads beside the caller.
TEST_F(Fca, ThreadCountAboveTheCeilingIsLowered) {
  const int ceiling = ka::pool::threadCeiling(), before = threadsNow();
  testing::internal::CaptureStderr();
  ka_fca* f = ka_fca_create(w2v_.c_str(), model_.c_str(), ceiling + 1);
  const std::string said = testing::internal::GetCapturedStderr();
  ASSERT_NE(f, nullptr) << ka_fca_last_error();
  ASSERT_EQ(said, "[ka] ka_fca_create: " + std::to_string(ceiling + 1) + " threads requested, lowered to " +
                      std::to_string(ceiling) + " (4 x " + std::to_string(std::thread::hardware_concurrency()) +
                      " hardware threads)\n");
  EXPECT_LE(threadsNow() - before, 2 * (ceiling - 1));
  ka_fca_destroy(f);
  testing::internal::CaptureStderr();
  f = ka_fca_create(w2v_.c_str(), model_.c_str(), 100000);
  EXPECT_NE(testing::internal::GetCapturedStderr().find(" 100000 threads requested, lowered to "), std::string::npos);
  ASSERT_NE(f, nullptr) << ka_fca_last_error();
  ka_fca_destroy(f);
}

TEST_F(Fca, Refusals) {
  EXPECT_EQ(ka_fca_create(nullptr, model_.c_str(), 1), nullptr);
  EXPECT_STREQ(ka_fca_last_error(), "ka_fca_create: NULL path");
  const std::string missing = *tmp_ / "none.onnx";
  EXPECT_EQ(ka_fca_create(missing.c_str(), model_.c_str(), 1), nullptr);
  EXPECT_EQ(std::string(ka_fca_last_error()), "ka_fca_create: cannot open " + missing);
  // The models swapped: each lacks the other's inputs, and the error names the file.
  EXPECT_EQ(ka_fca_create(model_.c_str(), w2v_.c_str(), 1), nullptr);
  EXPECT_EQ(std::string(ka_fca_last_error()), "ka_fca_create: " + model_ + ": model lacks input \"input_values\"");
  EXPECT_EQ(ka_fca_create(w2v_.c_str(), w2v_.c_str(), 1), nullptr);
  EXPECT_EQ(std::string(ka_fca_last_error()), "ka_fca_create: " + w2v_ + ": model lacks input \"cond\"");
}

}  // namespace
