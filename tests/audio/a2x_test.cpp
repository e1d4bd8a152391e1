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
#include <thread>
#include <vector>

#include "api/handles.h"
#include "audio/a2x.h"
#include "audio/a2x_meta.h"
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
    env_.reset();
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
    EXPECT_LE(worst, tol) << "at frame " << at / kKp << " value " << at % kKp << ": " << got[at] << " vs " << want[at];
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
void pushSizes(size_t samples, const std::function<Rows(size_t)>& run) {
  const Rows whole = run(samples);
  ASSERT_EQ(whole.frames(), (samples + 639) / 640);
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
  pushSizes(speech_.size(), run);
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
  pushSizes(audio.size(), run);
  const Rows r = run(7000);
  expectClose(r.deltas(), reference("legacy", "bw", audio), 2e-4f);
  ka_a2x_destroy(s);
}

// The mouth follows the speech: open while it is spoken, exactly shut in pure silence.
TEST_F(A2x, SpeechOpensTheMouthAndSilenceClosesIt) {
  frontEnd("w2v_short");
  ka_a2x* s = open("b");
  ASSERT_TRUE(s);
  const Rows speech = stream(s, speech_, [] { return size_t(3200); });
  float lower = 0.0f;
  for (size_t f = 0; f < speech.frames(); ++f) lower = std::max(lower, speech.deltas()[f * kKp + 55]);
  EXPECT_GT(lower, 0.08f) << "the lower lip (keypoint 18) opens";
  ka_a2x_reset(s, 0, 1, 1);
  const Rows quiet = stream(s, std::vector<float>(16000 * 2, 0.0f), [] { return size_t(3200); });
  ASSERT_EQ(quiet.frames(), 50u);
  const std::vector<float> d = quiet.deltas();
  for (size_t f = 0; f < quiet.frames(); ++f)
    for (int k : {45, 48, 52, 55}) ASSERT_EQ(d[f * kKp + k], 0.0f) << "frame " << f << " value " << k;
  ka_a2x_destroy(s);
}

// The two front ends give close rows for the same speech (their windows are normalised over 2 s
// and 8 s of audio, so they are not equal).
TEST_F(A2x, FrontEndsAgree) {
  frontEnd("w2v_short");
  ka_a2x* s = open("b");
  ASSERT_TRUE(s);
  const Rows a = stream(s, speech_, [] { return size_t(16000); });
  ka_a2x_destroy(s);
  frontEnd("w2v_legacy");
  s = open("b");
  ASSERT_TRUE(s);
  EXPECT_NE(log_.find("NOT DEPLOYED"), std::string::npos);
  const Rows b = stream(s, speech_, [] { return size_t(16000); });
  ka_a2x_destroy(s);
  expectClose(a.deltas(), b.deltas(), 0.03f);
}

// Before finish, frames wait for both look-aheads (encoder 2 x 3 frames, audio 12 + 8 frames on
// the short-window front end); after finish every frame comes out.
TEST_F(A2x, ReadyRuleAndTotal) {
  frontEnd("w2v_short");
  ka_a2x* s = open("b");
  ASSERT_TRUE(s);
  std::vector<float> audio(20480, 0.1f);
  ka_a2x_push(s, audio.data(), 16640);  // 26 frames, 3 whole blocks
  EXPECT_EQ(ka_a2x_avail(s), 0);
  EXPECT_EQ(ka_a2x_total(s), -1);
  ka_a2x_push(s, audio.data(), 19841 - 16640);  // the fourth block less 639 samples counts
  EXPECT_EQ(ka_a2x_avail(s), 32 - 26);
  ka_a2x_finish(s);
  EXPECT_EQ(ka_a2x_total(s), 32);
  Rows r;
  pullAll(s, r);
  EXPECT_EQ(r.frames(), 32u);
  ka_a2x_destroy(s);

  frontEnd("w2v_legacy");
  s = open("b");
  ASSERT_TRUE(s);
  ka_a2x_push(s, audio.data(), 20479);  // three whole blocks: 24 frames, 6 + 12 held back
  EXPECT_EQ(ka_a2x_avail(s), 24 - 18);
  ka_a2x_destroy(s);
}

TEST_F(A2x, TargetWalk) {
  frontEnd("w2v_short");
  for (int nt : {1, 4}) {
    const std::string b = dir("b") + "_nt" + std::to_string(nt);
    ka::test::runCommand("rm -rf " + b + " && cp -r " + dir("b") + " " + b);
    std::vector<float> target(size_t(nt) * kKp);
    for (size_t i = 0; i < target.size(); ++i) target[i] = float(i / kKp) + 0.25f;
    ka::test::writeAs(b + "/xs_target.bin", target);
  }
  ka_a2x* s = open("b_nt4");
  ASSERT_TRUE(s);
  EXPECT_EQ(ka_a2x_nt(s), 4);
  const std::vector<float> quiet(640 * 9, 0.0f);
  struct Case {
    int phase, direction, wrap;
    std::vector<int> want;
  } cases[] = {{0, 1, 0, {0, 1, 2, 3, 2, 1, 0, 1, 2}},
               {0, -1, 1, {0, 3, 2, 1, 0, 3, 2, 1, 0}},
               {2, -1, 0, {2, 1, 0, 1, 2, 3, 2, 1, 0}},
               {5, 1, 1, {1, 2, 3, 0, 1, 2, 3, 0, 1}}};
  for (const Case& c : cases) {
    EXPECT_EQ(ka_a2x_reset(s, c.phase, c.direction, c.wrap), c.direction < 0 ? -1 : 1);
    const Rows r = stream(s, quiet, [] { return size_t(640); });
    EXPECT_EQ(r.idx, c.want) << c.phase << " " << c.direction << " " << c.wrap;
    for (size_t f = 0; f < r.frames(); ++f) ASSERT_EQ(r.base[f * kKp], float(r.idx[f]) + 0.25f);
  }
  // A negative phase continues the walk: after 0, 1, 2, 3, 2, 1, 0, 1, 2 the next frame is 3.
  ka_a2x_reset(s, 0, 1, 0);
  stream(s, quiet, [] { return size_t(640); });
  ka_a2x_reset(s, -1, 1, 0);
  EXPECT_EQ(stream(s, quiet, [] { return size_t(640); }).idx, (std::vector<int>{3, 2, 1, 0, 1, 2, 3, 2, 1}));
  ka_a2x_destroy(s);

  s = open("b_nt1");
  ASSERT_TRUE(s);
  ka_a2x_reset(s, 3, -1, 0);
  EXPECT_EQ(stream(s, quiet, [] { return size_t(640); }).idx, std::vector<int>(9, 0));
  ka_a2x_destroy(s);
}

// Whole-clip deltas follow the legacy windows; positions cycle through the second half of a
// 40-row table; the width output comes along. The streaming state is untouched.
TEST_F(A2x, WholeClipDeltas) {
  frontEnd("w2v_short");
  ka_a2x* s = open("bw");
  ASSERT_TRUE(s);
  ASSERT_EQ(ka_a2x_width(s), 1);
  const int F = static_cast<int>((speech_.size() + 639) / 640);
  std::vector<float> out(size_t(F) * kKp, 9.0f), wn(size_t(F), 9.0f);
  EXPECT_EQ(ka_a2x_deltas(s, speech_.data(), int(speech_.size()), out.data(), F - 1), -2);
  for (float v : out) ASSERT_EQ(v, 9.0f);
  EXPECT_EQ(ka_a2x_deltas(s, speech_.data(), 0, out.data(), F), 0);
  ASSERT_EQ(ka_a2x_deltas_wn(s, speech_.data(), int(speech_.size()), out.data(), wn.data(), F), F)
      << ka_a2x_last_error();
  expectClose(out, reference("clip", "bw", speech_), 2e-4f);
  const std::vector<float> wantWn = ka::test::readAs<float>(dir("ref_out.wn.f32"));
  ASSERT_EQ(wantWn.size(), wn.size());
  for (size_t i = 0; i < wn.size(); ++i) ASSERT_NEAR(wn[i], wantWn[i], 2e-4f) << i;
  // 13 s: frames from the windows at 0, 100 and 200.
  std::vector<float> longer = speech_;
  while (longer.size() < 16000u * 13) longer.insert(longer.end(), speech_.begin(), speech_.end());
  const int G = static_cast<int>((longer.size() + 639) / 640);
  out.assign(size_t(G) * kKp, 0.0f);
  ASSERT_EQ(ka_a2x_deltas(s, longer.data(), int(longer.size()), out.data(), G), G) << ka_a2x_last_error();
  expectClose(out, reference("clip", "bw", longer), 2e-4f);
  ka_a2x_destroy(s);

  s = open("b");
  ASSERT_TRUE(s);
  EXPECT_EQ(ka_a2x_deltas_wn(s, speech_.data(), int(speech_.size()), out.data(), wn.data(), F), -3);
  EXPECT_STREQ(ka_a2x_last_error(), "ka_a2x_deltas_wn: encoder declares no wn output");
  ka_a2x_destroy(s);
}

// A push or a clip holding a NaN or infinite sample is refused with its index and leaves nothing
// behind: the stream goes on as if it had never come, and the next clip gives its own rows.
TEST_F(A2x, NonFiniteSamplesAreRefused) {
  frontEnd("w2v_short");
  ka_a2x* s = open("bw");
  ASSERT_TRUE(s);
  const std::vector<float> clip(speech_.begin(), speech_.begin() + 32000);
  const Rows want = stream(s, clip, [] { return size_t(4000); });
  ka_a2x_reset(s, 0, 1, 1);
  std::vector<float> bad(clip.begin(), clip.begin() + 4000);
  Rows got;
  for (size_t at = 0; at < clip.size(); at += 4000) {
    for (float v : {std::nanf(""), INFINITY, -INFINITY}) {
      bad[17] = v;
      EXPECT_EQ(ka_a2x_push(s, bad.data(), 4000), 0);
      EXPECT_EQ(std::string(ka_a2x_last_error()), std::string("ka_a2x_push: sample 17 is not finite (") +
                                                      (v != v  ? "nan"
                                                       : v > 0 ? "inf"
                                                               : "-inf") +
                                                      ")");
    }
    ASSERT_EQ(ka_a2x_push(s, clip.data() + at, 4000), 1);
    pullAll(s, got);
  }
  ka_a2x_finish(s);
  pullAll(s, got);
  expectSameRows(got, want, "after refused pushes");

  const int F = static_cast<int>((clip.size() + 639) / 640);
  std::vector<float> good(size_t(F) * kKp), out(size_t(F) * kKp, 9.0f);
  ASSERT_EQ(ka_a2x_deltas(s, clip.data(), int(clip.size()), good.data(), F), F) << ka_a2x_last_error();
  std::vector<float> badClip = clip;
  badClip.back() = std::nanf("");
  EXPECT_EQ(ka_a2x_deltas(s, badClip.data(), int(badClip.size()), out.data(), F), -1);
  EXPECT_EQ(std::string(ka_a2x_last_error()), "ka_a2x_deltas: sample 31999 is not finite (nan)");
  for (float v : out) ASSERT_EQ(v, 9.0f);
  ASSERT_EQ(ka_a2x_deltas(s, clip.data(), int(clip.size()), out.data(), F), F) << ka_a2x_last_error();
  EXPECT_EQ(out, good);
  ka_a2x_destroy(s);
}

// A legacy stream of fewer than two whole blocks sees each window whole, as whole-clip deltas do:
// the rows are the same, bit for bit.
TEST_F(A2x, ShortLegacyClipEqualsWholeClipDeltas) {
  frontEnd("w2v_legacy");
  ka_a2x* s = open("bw");
  ASSERT_TRUE(s);
  const std::vector<float> clip(speech_.begin() + 8000, speech_.begin() + 8000 + 10000);
  const Rows r = stream(s, clip, [] { return size_t(1000); });
  std::vector<float> out(16 * kKp), wn(16);
  ASSERT_EQ(ka_a2x_deltas_wn(s, clip.data(), int(clip.size()), out.data(), wn.data(), 16), 16);
  ASSERT_EQ(r.frames(), 16u);
  for (size_t i = 0; i < out.size(); ++i) ASSERT_EQ(r.drive[i], r.base[i] + out[i]) << i;
  EXPECT_EQ(r.width, wn);
  ka_a2x_destroy(s);
}

// Silence priming starts the decoder from its state after N frames of silence.
TEST_F(A2x, SilencePriming) {
  frontEnd("w2v_short");
  ScopedEnv prime("KA_A2X_SILENCE_PRIME", "5");
  ka_a2x* s = open("bw");
  ASSERT_TRUE(s);
  EXPECT_NE(log_.find("[ka_a2x] silence-primed AR state cached (5 frames)"), std::string::npos) << log_;
  const int F = static_cast<int>((speech_.size() + 639) / 640);
  std::vector<float> out(size_t(F) * kKp);
  ASSERT_EQ(ka_a2x_deltas(s, speech_.data(), int(speech_.size()), out.data(), F), F);
  expectClose(out, reference("clip", "bw", speech_, {"--prime", "5"}), 2e-4f);
  ka_a2x_destroy(s);
}

// The block look-ahead comes from KA_A2X_W2V_RIGHT; one so large that the block's frames fall
// before the trunk's window is reported by avail, and the stream keeps what it had.
TEST_F(A2x, BlockLookAhead) {
  frontEnd("w2v_short");
  {
    ScopedEnv right("KA_A2X_W2V_RIGHT", "4");
    ka_a2x* s = open("b");
    ASSERT_TRUE(s);
    expectClose(stream(s, speech_, [] { return size_t(5000); }).deltas(),
                reference("short", "b", speech_, {"--right", "4"}), 2e-4f);
    ka_a2x_destroy(s);
  }
  ScopedEnv right("KA_A2X_W2V_RIGHT", "60");
  ka_a2x* s = open("b");
  ASSERT_TRUE(s);
  ka_a2x_push(s, speech_.data(), int(speech_.size()));
  ka_a2x_finish(s);
  EXPECT_EQ(ka_a2x_avail(s), 0);
  EXPECT_STREQ(ka_a2x_last_error(), "ka_a2x extend: w2v_win: trunk pos out of range");
  ka_a2x_destroy(s);
}

// A trunk that does not declare its step count is measured on its first run; the older pair names
// are found too.
TEST_F(A2x, TrunkStepsFromFirstRun) {
  ASSERT_TRUE(forge({"a2x", dir("b_free"), dir("w2v_free"), "--window", "3", "--free-lt", "--pair", "legacy32"}));
  frontEnd("w2v_free");
  ka_a2x* s = open("b_free");
  ASSERT_TRUE(s);
  EXPECT_NE(
      log_.find("short-window w2v frontend loaded (LT=from-first-run) trunk=" + dir("w2v_free") + "/w2v_trunk32.onnx"),
      std::string::npos)
      << log_;
  expectClose(stream(s, speech_, [] { return size_t(5000); }).deltas(), reference("short", "b", speech_), 2e-4f);
  ka_a2x_destroy(s);
}

TEST_F(A2x, Refusals) {
  frontEnd("w2v_short");
  auto variant = [&](const char* name, const std::string& edit) {
    const std::string b = dir(name);
    EXPECT_EQ(ka::test::runCommand("rm -rf " + b + " && cp -r " + dir("b") + " " + b + " && cd " + b + " && " + edit),
              0);
    return b;
  };
  auto refusal = [&](const std::string& b) {
    testing::internal::CaptureStderr();
    ka_a2x* s = ka_a2x_create(b.c_str(), 1);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(s, nullptr);
    ka_a2x_destroy(s);
    return std::string(ka_a2x_last_error());
  };
  std::string b = variant("r_meta", "rm a2x_meta.json");
  EXPECT_EQ(refusal(b), "ka_a2x_create: a2x_meta.json missing in " + b);
  b = variant("r_empty", ": > a2x_meta.json");
  EXPECT_EQ(refusal(b), "ka_a2x_create: a2x_meta.json missing in " + b);
  const char* causal = "ka_a2x_create: meta lacks causal window/left (not a streaming a2x)";
  EXPECT_EQ(refusal(variant("r_window", "echo '{\"h\": 16, \"left\": 4}' > a2x_meta.json")), causal);
  EXPECT_EQ(refusal(variant("r_left", "echo '{\"h\": 16, \"window\": 1, \"left\": -2}' > a2x_meta.json")), causal);
  const char* reads = "ka_a2x_create: pos/norm/xs_target read failed";
  EXPECT_EQ(refusal(variant("r_pos", "head -c 124 a2x_pos.f32 > p && mv p a2x_pos.f32")), reads);  // < 2 x 16 floats
  EXPECT_EQ(refusal(variant("r_norm", "head -c 503 a2x_norm.f32 > p && mv p a2x_norm.f32")), reads);
  EXPECT_EQ(refusal(variant("r_target", ": > xs_target.bin")), reads);
  b = variant("r_fifo", "rm a2x_pos.f32 && mkfifo a2x_pos.f32");
  EXPECT_EQ(refusal(b), "ka_a2x_create: " + b + "/a2x_pos.f32: not a regular file");
  b = variant("r_enc", "cp a2x_dec.onnx a2x_enc_stream.onnx");
  EXPECT_EQ(refusal(b), "ka_a2x_create: " + b + "/a2x_enc_stream.onnx: model lacks input \"feat\"");
  b = variant("r_dec", "rm a2x_dec.onnx");
  EXPECT_EQ(refusal(b), "ka_a2x_create: cannot open " + b + "/a2x_dec.onnx");
  {
    ScopedEnv unset("W2V_ONNX", std::nullopt);
    EXPECT_EQ(refusal(dir("b")), "ka_a2x_create: $W2V_ONNX not set");
  }
  // A legacy encoder with a misnamed input and no short-window pair beside it.
  ASSERT_TRUE(forge({"bad-w2v", dir("bad/w2v.onnx")}));
  frontEnd("bad");
  EXPECT_EQ(refusal(dir("b")),
            "ka_a2x_create: shared w2v load failed: " + dir("bad/w2v.onnx") + ": model lacks input \"input_values\"");
  EXPECT_EQ(ka_a2x_preload_w2v(nullptr), 0);
  EXPECT_EQ(std::string(ka_a2x_last_error()),
            "ka_a2x_preload_w2v: " + dir("bad/w2v.onnx") + ": model lacks input \"input_values\"");
  {
    ScopedEnv unset("W2V_ONNX", std::nullopt);
    EXPECT_EQ(ka_a2x_preload_w2v(""), 0);
    EXPECT_STREQ(ka_a2x_last_error(), "ka_a2x_preload_w2v: no path and $W2V_ONNX unset");
  }
  // The short-window pair beside the broken legacy encoder: streams open, but whatever needs the
  // legacy encoder (silence priming, whole-clip deltas) says that it did not load.
  ASSERT_EQ(ka::test::runCommand("cp " + dir("w2v_short") + "/audio_encoder_fp16_window_* " + dir("bad")), 0);
  frontEnd("bad");
  {
    ScopedEnv prime("KA_A2X_SILENCE_PRIME", "3");
    EXPECT_EQ(refusal(dir("b")), "ka_a2x_create: shared w2v load failed (silence_prime): " + dir("bad/w2v.onnx") +
                                     ": model lacks input \"input_values\"");
  }
  ka_a2x* s = open("b");
  ASSERT_TRUE(s);
  std::vector<float> out(kKp * 2);
  EXPECT_EQ(ka_a2x_deltas(s, speech_.data(), 1000, out.data(), 2), -1);
  EXPECT_EQ(std::string(ka_a2x_last_error()),
            "ka_a2x_deltas: the shared 8 s w2v encoder did not load ($W2V_ONNX=" + dir("bad/w2v.onnx") + ")");
  ka_a2x_destroy(s);
  // A pair that does not load leaves the legacy path.
  ASSERT_EQ(ka::test::runCommand("cp " + dir("w2v_short") + "/audio_encoder_fp16_window_trunk.onnx " + dir("bad") +
                                 "/audio_encoder_fp16_window_head.onnx && cp " + dir("w2v_short") + "/w2v.onnx " +
                                 dir("bad")),
            0);
  frontEnd("bad");
  s = open("b");
  ASSERT_TRUE(s);
  EXPECT_NE(log_.find("[ka_a2x] short-window w2v load FAILED (" + dir("bad") +
                      "/audio_encoder_fp16_window_head.onnx: model lacks input \"x\") \xE2\x80\x94 legacy 8s path"),
            std::string::npos)
      << log_;
  EXPECT_FALSE(ka::a2xStream(s).shortWindow());
  ka_a2x_destroy(s);
  // A legacy encoder that takes 2 s instead of 8 s: each run fails, naming the file and input.
  ASSERT_TRUE(forge({"bad-w2v", dir("small/w2v.onnx"), "--samples", "32000"}));
  frontEnd("small");
  s = open("b");
  ASSERT_TRUE(s);
  EXPECT_EQ(ka_a2x_deltas(s, speech_.data(), 1000, out.data(), 2), -1);
  const std::string sizeError = ka_a2x_last_error();
  EXPECT_EQ(sizeError.rfind("ka_a2x_deltas: " + dir("small/w2v.onnx") + ": ", 0), 0u) << sizeError;
  EXPECT_NE(sizeError.find("input_values"), std::string::npos) << sizeError;
  ka_a2x_push(s, speech_.data(), int(speech_.size()));
  ka_a2x_finish(s);
  EXPECT_EQ(ka_a2x_avail(s), 0);
  EXPECT_EQ(std::string(ka_a2x_last_error()).rfind("ka_a2x extend: " + dir("small/w2v.onnx") + ": ", 0), 0u);
  ka_a2x_destroy(s);
  EXPECT_EQ(ka_a2x_preload_w2v((dir("w2v_short") + "/w2v.onnx").c_str()), 1);
  EXPECT_EQ(ka_a2x_create(nullptr, 1), nullptr);
  EXPECT_STREQ(ka_a2x_last_error(), "ka_a2x_create: NULL bundle");
  EXPECT_EQ(ka_a2x_w2v8_lazy(), 1);
  EXPECT_EQ(ka_a2x_nt(nullptr), 0);
  EXPECT_EQ(ka_a2x_total(nullptr), -1);
}

// Features seen through a probe encoder and decoder that pass them through exactly: every value is
// rounded to half precision, and each matches the numpy reference of its front end (window
// normalisation, trunk positions, legacy window schedule) to within one half-precision step.
TEST_F(A2x, FeaturesThroughProbe) {
  ASSERT_TRUE(forge({"a2x", dir("probe"), dir("w2v_probe"), "--probe", "--window", "0", "--left", "0"}));
  ka::test::writeAs(dir("probe/xs_target.bin"), std::vector<float>(kKp, 0.0f));  // drive rows = deltas, exactly
  std::vector<float> audio = speech_;
  while (audio.size() < 16000u * 11) audio.insert(audio.end(), speech_.begin(), speech_.end());
  const size_t F = (audio.size() + 639) / 640;
  auto check = [&](const std::vector<float>& rows, const char* mode) {
    const std::vector<float> want = reference(mode, "probe", audio);
    ASSERT_EQ(rows.size(), F * kKp) << mode;
    ASSERT_EQ(want.size(), F * 12 * 768) << mode;
    size_t exact = 0;
    for (size_t f = 0; f < F; ++f)
      for (int k = 0; k < 16; ++k) {
        const float got = rows[f * kKp + k], ref = want[f * 12 * 768 + k];
        float round = got;
        ka::w2v::roundF16(&round, 1);
        ASSERT_EQ(round, got) << mode << " frame " << f << " not rounded to half precision";
        ASSERT_LE(std::fabs(got - ref), std::fabs(ref) * 0x1p-10f + 1e-7f) << mode << " frame " << f << " value " << k;
        exact += got == ref;
      }
    EXPECT_GT(exact, F * 16 * 99 / 100) << mode;
  };
  frontEnd("w2v_probe");
  ka_a2x* s = open("probe");
  ASSERT_TRUE(s);
  check(stream(s, audio, [] { return size_t(3000); }).deltas(), "features-short");
  std::vector<float> clip(F * kKp);
  ASSERT_EQ(ka_a2x_deltas(s, audio.data(), int(audio.size()), clip.data(), int(F)), int(F));
  check(clip, "features-clip");
  ka_a2x_destroy(s);
  frontEnd("w2v_legacy");
  s = open("probe");
  ASSERT_TRUE(s);
  check(stream(s, audio, [] { return size_t(3000); }).deltas(), "features-legacy");
  ka_a2x_destroy(s);
}

// The graph decides whether there is a width output; a meta that disagrees is reported.
TEST_F(A2x, MetaWidthDisagreesWithGraph) {
  ASSERT_TRUE(forge({"a2x", dir("b_mw"), dir("w2v_mw"), "--meta-width", "true"}));
  frontEnd("w2v_short");
  ka_a2x* s = open("b_mw");
  ASSERT_TRUE(s);
  EXPECT_NE(log_.find("[ka_a2x] WARNING: a2x_meta width=1 but the encoder declares 1 output(s) \xE2\x80\x94 serving "
                      "the GRAPH (width=0). Repackage this bundle.\n"),
            std::string::npos)
      << log_;
  EXPECT_EQ(ka_a2x_width(s), 0);
  ka_a2x_destroy(s);
}

// The meta file is read by text search, not parsed as JSON.
TEST(A2xMeta, TextSearch) {
  ka::A2xMeta m = ka::parseA2xMeta("{\"window\" :  3,\"left\":\t-2, \"width\": true, \"h\":\"x\"}");
  EXPECT_EQ(m.window, 3);
  EXPECT_EQ(m.left, -2);
  EXPECT_EQ(m.width, 1);
  EXPECT_EQ(m.h, 256);  // not a number: the default
  EXPECT_EQ(m.layers, 6);
  EXPECT_EQ(ka::parseA2xMeta("\"width\":\tfalse").width, 0);
  EXPECT_EQ(ka::parseA2xMeta("\"width\": 7").width, 7);
  EXPECT_EQ(ka::parseA2xMeta("\"width\"").width, 0);
  EXPECT_EQ(ka::parseA2xMeta("\"h\": 99999999999999").h, 2147483647);
  EXPECT_EQ(ka::metaInt("\"silence_prime\": 12}", "silence_prime", 0), 12);
}

// Memory stays bounded: only what later steps read is kept.
TEST_F(A2x, MemoryStaysBounded) {
  frontEnd("w2v_short");
  ka_a2x* s = open("b");
  ASSERT_TRUE(s);
  std::vector<float> chunk(16000);
  size_t most = 0;
  int frames = 0;
  for (int sec = 0; sec < 90; ++sec) {
    for (size_t i = 0; i < chunk.size(); ++i) chunk[i] = speech_[(size_t(sec) * 16000 + i) % speech_.size()];
    ka_a2x_push(s, chunk.data(), int(chunk.size()));
    Rows r;
    pullAll(s, r);
    frames += int(r.frames());
    most = std::max(most, ka::a2xStream(s).heldBytes());
  }
  EXPECT_GT(frames, 90 * 25 - 40);
  EXPECT_LT(most, size_t(8) << 20);
  ka_a2x_destroy(s);
}

// Streams on two threads share the encoder sessions and give the rows one stream gives alone.
TEST_F(A2x, ConcurrentStreams) {
  frontEnd("w2v_short");
  ka_a2x* s = open("b");
  ASSERT_TRUE(s);
  const Rows alone = stream(s, speech_, [] { return size_t(2000); });
  ka_a2x* t = open("b");
  ASSERT_TRUE(t);
  Rows a, b;
  std::thread other([&] { b = stream(t, speech_, [] { return size_t(3000); }); });
  ka_a2x_reset(s, 0, 1, 1);
  a = stream(s, speech_, [] { return size_t(1000); });
  other.join();
  expectSameRows(a, alone, "first thread");
  expectSameRows(b, alone, "second thread");
  ka_a2x_destroy(s);
  ka_a2x_destroy(t);
}

// KA_A2X_CUDA=1 on this CPU-only build: the encoder sessions fall back to the CPU and say so.
TEST_F(A2x, CudaFallsBackToCpu) {
  frontEnd("w2v_short");
  ScopedEnv cuda("KA_A2X_CUDA", "1");
  ka_a2x* s = open("b");
  ASSERT_TRUE(s);
  EXPECT_NE(log_.find("[ka_a2x] CUDA EP append failed (w2v): "), std::string::npos) << log_;
  EXPECT_NE(log_.find(" -- falling back to CPU"), std::string::npos);
  EXPECT_EQ(log_.find("(enc/dec)"), std::string::npos) << "the encoder and decoder stay on the CPU";
  EXPECT_EQ(stream(s, speech_, [] { return size_t(16000); }).frames(), (speech_.size() + 639) / 640);
  ka_a2x_destroy(s);
}

}  // namespace
