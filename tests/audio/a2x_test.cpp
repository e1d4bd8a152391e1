// The audio-to-expression stream on forged models: push-size invariance on both front ends, rows
// against numpy references of the forged models, the ready rule, the target walk, reset, whole-clip
// deltas, the refusals, and bounded memory.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "audio/a2x.h"
#include "audio/w2v.h"
#include "common/test_util.h"
#include "ka/ka_a2x.h"

namespace {

using ka::test::forge;
using ka::test::ScopedEnv;
using ka::test::TempDir;

constexpr int kKp = 63;

struct Rows {
  std::vector<int> idx;
  std::vector<float> base, drive, width;
  size_t frames() const { return idx.size(); }
  std::vector<float> deltas() const {
    std::vector<float> d(drive.size());
    for (size_t i = 0; i < d.size(); ++i) d[i] = drive[i] - base[i];
    return d;
  }
};

class A2x : public ::testing::Test {
 protected:
  static std::unique_ptr<TempDir> tmp_;
  static std::vector<float> speech_;

  static std::string dir(const char* name) { return *tmp_ / name; }

  static void SetUpTestSuite() {
    tmp_ = std::make_unique<TempDir>();
    for (const char* d : {"b", "bw"}) ka::test::runCommand("mkdir -p " + ka::test::shellQuote(dir(d)));
    ASSERT_TRUE(forge({"a2x", dir("b"), dir("w2v_short"), "--window", "3", "--layers", "2"}));
    ASSERT_TRUE(forge({"a2x", dir("bw"), dir("w2v_legacy"), "--legacy-only", "--width", "--pos-rows", "40"}));
    // Half a second of silence, spoken English, half a second of silence, at 16 kHz.
    const std::string wav = dir("s.wav"), raw = dir("s.f32");
    ASSERT_EQ(ka::test::runCommand("espeak-ng -w " + wav +
                                   " 'Speech opens the mouth, and silence closes it again. Loud and soft.'"),
              0);
    ASSERT_EQ(ka::test::runCommand("ffmpeg -v error -y -i " + wav +
                                   " -af adelay=500,apad=pad_dur=0.5 -ar 16000 -ac 1 -f f32le " + raw),
              0);
    speech_ = ka::test::readAs<float>(raw);
    ASSERT_GT(speech_.size(), 16000u * 3);
  }
  static void TearDownTestSuite() {
    ka::w2v::forgetShared();
    tmp_.reset();
  }

  // Makes the next stream load the front end of `w2vDir` (the process-wide choice is forgotten).
  void frontEnd(const char* w2vDir) {
    ka::w2v::forgetShared();
    env_ = std::make_unique<ScopedEnv>("W2V_ONNX", dir(w2vDir) + "/w2v.onnx");
  }
  ka_a2x* open(const char* bundle) {
    testing::internal::CaptureStderr();
    ka_a2x* s = ka_a2x_create(dir(bundle).c_str(), 1);
    log_ = testing::internal::GetCapturedStderr();
    EXPECT_NE(s, nullptr) << ka_a2x_last_error();
    return s;
  }

  static void pullAll(ka_a2x* s, Rows& r) {
    for (;;) {
      const int n = ka_a2x_avail(s);
      // A frame is ready only when everything it reads is final: no run ever comes up short.
      ASSERT_STREQ(ka_a2x_last_error(), "");
      if (n <= 0) break;
      const size_t at = r.idx.size();
      r.idx.resize(at + n);
      r.base.resize((at + n) * kKp);
      r.drive.resize((at + n) * kKp);
      r.width.resize(at + n);
      const int got = ka_a2x_pull_wn(s, &r.idx[at], &r.base[at * kKp], &r.drive[at * kKp], &r.width[at], n);
      r.idx.resize(at + got);
      r.base.resize((at + got) * kKp);
      r.drive.resize((at + got) * kKp);
      r.width.resize(at + got);
      if (got <= 0) break;
    }
  }

  // Pushes `audio` in chunks of the sizes `next` returns, with avail and pull between pushes, then
  // finishes and drains.
  static Rows stream(ka_a2x* s, const std::vector<float>& audio, const std::function<size_t()>& next) {
    Rows r;
    for (size_t at = 0; at < audio.size();) {
      const size_t n = std::min(next(), audio.size() - at);
      EXPECT_EQ(ka_a2x_push(s, audio.data() + at, static_cast<int>(n)), 1);
      at += n;
      pullAll(s, r);
    }
    ka_a2x_finish(s);
    pullAll(s, r);
    return r;
  }

  static std::vector<float> reference(const char* mode, const char* bundle, const std::vector<float>& audio,
                                      std::vector<std::string> extra = {}) {
    const std::string in = dir("ref_in.f32"), out = dir("ref_out.f32");
    ka::test::writeAs(in, audio);
    std::vector<std::string> args{"a2x-ref", mode, dir(bundle), dir("w2v_short"), in, out};
    args.insert(args.end(), extra.begin(), extra.end());
    EXPECT_TRUE(forge(args));
    return ka::test::readAs<float>(out);
  }

  static void expectClose(const std::vector<float>& got, const std::vector<float>& want, float tol) {
    ASSERT_EQ(got.size(), want.size());
    float worst = 0.0f;
    size_t at = 0;
    for (size_t i = 0; i < got.size(); ++i) {
      const float d = std::fabs(got[i] - want[i]);
      if (!(d <= worst)) {
        worst = d;
        at = i;
      }
    }
    EXPECT_LE(worst, tol) << "at frame " << at / kKp << " value " << at % kKp << ": " << got[at] << " vs "
                          << want[at];
  }

  std::unique_ptr<ScopedEnv> env_;
  std::string log_;
};

std::unique_ptr<TempDir> A2x::tmp_;
std::vector<float> A2x::speech_;

void expectSameRows(const Rows& a, const Rows& b, const char* what) {
  ASSERT_EQ(a.frames(), b.frames()) << what;
  EXPECT_EQ(a.idx, b.idx) << what;
  EXPECT_EQ(0, std::memcmp(a.drive.data(), b.drive.data(), a.drive.size() * sizeof(float))) << what;
  EXPECT_EQ(0, std::memcmp(a.width.data(), b.width.data(), a.width.size() * sizeof(float))) << what;
}

// Pulled rows are bit-identical for pushes of 1, 640, 16 000 and random sizes on either front end.
void pushSizes(A2x* t, ka_a2x* s, const std::vector<float>& audio, const std::function<Rows(size_t)>& run) {
  (void)t;
  (void)s;
  (void)audio;
  const Rows whole = run(audio.size());
  ASSERT_EQ(whole.frames(), (audio.size() + 639) / 640);
  expectSameRows(run(1), whole, "1-sample pushes");
  expectSameRows(run(640), whole, "640-sample pushes");
  expectSameRows(run(16000), whole, "16000-sample pushes");
  expectSameRows(run(0), whole, "random pushes");
}

TEST_F(A2x, ShortWindowPushSizeInvariant) {
  frontEnd("w2v_short");
  ka_a2x* s = open("b");
  ASSERT_TRUE(s);
  EXPECT_NE(log_.find("short-window w2v frontend loaded (LT=400)"), std::string::npos) << log_;
  auto run = [&](size_t chunk) {
    std::mt19937 rng(5);
    ka_a2x_reset(s, 0, 1, 1);
    return stream(s, speech_, [&] { return chunk ? chunk : size_t(1 + rng() % 9000); });
  };
  pushSizes(this, s, speech_, run);
  // The rows match the numpy reference of the forged models.
  const Rows r = run(4000);
  expectClose(r.deltas(), reference("short", "b", speech_), 2e-4f);
  ka_a2x_destroy(s);
}

TEST_F(A2x, LegacyPushSizeInvariant) {
  frontEnd("w2v_legacy");
  ka_a2x* s = open("bw");
  ASSERT_TRUE(s);
  EXPECT_NE(log_.find("short-window audio frontend NOT DEPLOYED"), std::string::npos) << log_;
  // Past one 8 s window, so that window re-runs and the second window both count.
  std::vector<float> audio = speech_;
  while (audio.size() < 16000u * 11) audio.insert(audio.end(), speech_.begin(), speech_.end());
  auto run = [&](size_t chunk) {
    std::mt19937 rng(9);
    ka_a2x_reset(s, 0, 1, 1);
    return stream(s, audio, [&] { return chunk ? chunk : size_t(1 + rng() % 20000); });
  };
  pushSizes(this, s, audio, run);
  const Rows r = run(7000);
  expectClose(r.deltas(), reference("legacy", "bw", audio), 2e-4f);
  ka_a2x_destroy(s);
}

}  // namespace
