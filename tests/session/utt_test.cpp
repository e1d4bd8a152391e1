// The utterance session: frame structure (idle walk, speech, ramps, interrupt, silence), the
// pixels it delivers against the core interface, bad arguments, failures and a concurrent stress.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "api/handles.h"
#include "common/test_util.h"
#include "ka/ka.h"
#include "ka/ka_a2x.h"
#include "ka/ka_motion.h"
#include "ka/ka_utt.h"
#include "session/utt_config.h"
#include "session/utterance.h"

namespace {

using Clock = std::chrono::steady_clock;
using ka::test::ScopedEnv;
using ka::test::TempDir;

constexpr int kKp = 63;

// A small bundle (crop 64, 160 x 120, 6 source frames) with its batch-1 and batch-24 directors
// and a forged motion directory walking the same target rows.
struct Fixture {
  TempDir tmp;
  std::string bundle = tmp / "bundle";
  std::string motion = tmp / "bundle/motion";  // the audio-to-motion engine's directory
  std::string w2vDir = tmp / "w2v";            // the bundle itself carries the expression engine
  int nt = 6;
  std::vector<float> target;
  Fixture() {
    ka::test::forge({"bundle", bundle});
    ka::test::forge({"director-into", bundle});
    ka::test::forge({"director-steady", bundle});
    ka::test::forge({"motion", motion, "--nt", std::to_string(nt), "--xs-target", bundle + "/xs_target.bin"});
    ka::test::forge({"a2x", bundle, w2vDir, "--legacy-only"});
    target = ka::test::readAs<float>(bundle + "/xs_target.bin");
  }
};

Fixture& fx() {
  static Fixture f;  // forged once per process, removed at exit
  return f;
}

struct CtxDeleter {
  void operator()(ka_ctx* c) const { ka_destroy(c); }
};
using CtxPtr = std::unique_ptr<ka_ctx, CtxDeleter>;

CtxPtr openCtx() {
  CtxPtr c(ka_create(fx().bundle.c_str(), "b1", 1, nullptr));
  EXPECT_TRUE(c) << ka_last_error();
  return c;
}

ka_utt_opts options(const std::string& dir, const char* steady = "-") {
  ka_utt_opts o{};
  o.motion_dir = dir.c_str();
  o.threads = 1;
  o.steady_model = steady;
  return o;
}

// Speech-like audio: voiced syllables (a few harmonics under an envelope) with a little noise.
std::vector<int16_t> speech(double seconds, uint32_t seed = 5) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> noise(0.0f, 300.0f);
  std::vector<int16_t> a(static_cast<size_t>(seconds * 16000));
  for (size_t i = 0; i < a.size(); ++i) {
    const double t = i / 16000.0;
    const double env = std::sin(M_PI * std::fmod(t, 0.25) / 0.25);
    const double v = env * (6000 * std::sin(2 * M_PI * 140 * t) + 3000 * std::sin(2 * M_PI * 280 * t)) + noise(rng);
    a[i] = static_cast<int16_t>(std::clamp(v, -32768.0, 32767.0));
  }
  return a;
}

struct Pulled {
  ka_utt_frame_info info;
  std::vector<uint8_t> rgb;
  std::vector<float> pose;
};

// Waits for `ready` to leave 0; returns its last value.
int waitReady(ka_utt* u, double seconds = 60) {
  const auto t0 = Clock::now();
  int r = 0;
  while ((r = ka_utt_ready(u)) == 0 && Clock::now() - t0 < std::chrono::duration<double>(seconds))
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  return r;
}

int waitReady(ka::UtteranceSession& s) {
  const auto t0 = Clock::now();
  int r = 0;
  while ((r = s.ready(nullptr)) == 0 && Clock::now() - t0 < std::chrono::seconds(60))
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  return r;
}

// Pulls through the C++ session (which also hands out the pose) until `stop` says so or the
// deadline passes.
template <class Stop>
std::vector<Pulled> pullUntil(ka::UtteranceSession& s, Stop stop, double seconds = 60) {
  std::vector<Pulled> out;
  const auto t0 = Clock::now();
  while (Clock::now() - t0 < std::chrono::duration<double>(seconds)) {
    Pulled p;
    p.rgb.resize(s.frameBytes());
    p.pose.resize(kKp);
    const int r = s.pull(p.rgb.data(), p.rgb.size(), &p.info, p.pose.data());
    if (r != 1) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      continue;
    }
    out.push_back(std::move(p));
    if (stop(out)) break;
  }
  return out;
}

// Index of the first frame of `kind` at or after `from`, or -1.
int firstOf(const std::vector<Pulled>& f, int kind, size_t from = 0) {
  for (size_t i = from; i < f.size(); ++i)
    if (f[i].info.kind == kind) return static_cast<int>(i);
  return -1;
}

int countOf(const std::vector<Pulled>& f, int kind) {
  return static_cast<int>(std::count_if(f.begin(), f.end(), [&](const Pulled& p) { return p.info.kind == kind; }));
}

// Idle again after something else was shown.
bool idleAfterSpeech(const std::vector<Pulled>& f) {
  return f.size() > 1 && firstOf(f, KA_UTT_SPEECH) >= 0 && f.back().info.kind == KA_UTT_IDLE;
}

void pushAll(ka::UtteranceSession& s, const std::vector<int16_t>& a, int chunk = 320) {
  for (size_t at = 0; at < a.size(); at += static_cast<size_t>(chunk))
    s.push(a.data() + at, static_cast<int>(std::min<size_t>(static_cast<size_t>(chunk), a.size() - at)));
}

// The engines' own rows for `a`, walked from `start`.
struct Rows {
  std::vector<int> index;
  std::vector<float> base, drive;
};
// Pushes `a` whole into a fresh engine, finishes it and pulls every row.
template <class Engine, class Ops>
Rows drained(Engine* m, const std::vector<int16_t>& a, int start, Ops ops) {
  Rows r;
  if (!m) return r;
  ops.reset(m, start, 1, 1);
  std::vector<float> f(a.size());
  for (size_t i = 0; i < a.size(); ++i) f[i] = a[i] * (1.0f / 32768.0f);
  ops.push(m, f.data(), static_cast<int>(f.size()));
  ops.finish(m);
  const int n = ops.avail(m);
  r.index.resize(static_cast<size_t>(n));
  r.base.resize(static_cast<size_t>(n) * kKp);
  r.drive.resize(static_cast<size_t>(n) * kKp);
  EXPECT_EQ(ops.pull(m, r.index.data(), r.base.data(), r.drive.data(), n), n);
  ops.destroy(m);
  return r;
}

struct A2xOps {
  decltype(&ka_a2x_reset) reset = ka_a2x_reset;
  decltype(&ka_a2x_push) push = ka_a2x_push;
  decltype(&ka_a2x_finish) finish = ka_a2x_finish;
  decltype(&ka_a2x_avail) avail = ka_a2x_avail;
  decltype(&ka_a2x_pull) pull = ka_a2x_pull;
  decltype(&ka_a2x_destroy) destroy = ka_a2x_destroy;
};
struct MotionOps {
  decltype(&ka_motion_reset) reset = ka_motion_reset;
  decltype(&ka_motion_push) push = ka_motion_push;
  decltype(&ka_motion_finish) finish = ka_motion_finish;
  decltype(&ka_motion_avail) avail = ka_motion_avail;
  decltype(&ka_motion_pull) pull = ka_motion_pull;
  decltype(&ka_motion_destroy) destroy = ka_motion_destroy;
};

Rows expressionRows(const std::vector<int16_t>& a, int start) {
  ka_a2x* m = ka_a2x_create(fx().bundle.c_str(), 1);
  EXPECT_TRUE(m) << ka_a2x_last_error();
  return drained(m, a, start, A2xOps());
}

Rows engineRows(const std::vector<int16_t>& a, int start) {
  ka_motion* m = ka_motion_create(fx().motion.c_str(), 1, nullptr);
  EXPECT_TRUE(m) << ka_motion_last_error();
  return drained(m, a, start, MotionOps());
}

// Speech frames first .. first + F - 1 show exactly the engine's rows `r`: same targets, the drive
// row as pose, and the bytes of the core interface's render and paste of those rows.
void expectSpeechPixels(ka_ctx* ctx, const std::vector<Pulled>& frames, int first, const Rows& r) {
  const int F = static_cast<int>(r.index.size());
  ASSERT_GE(static_cast<int>(frames.size()), first + F);
  const size_t bytes = frames[0].rgb.size();
  std::vector<unsigned char> ref(bytes);
  for (int k = 0; k < F; ++k) {
    const Pulled& p = frames[static_cast<size_t>(first + k)];
    const size_t row = static_cast<size_t>(k) * kKp;
    ASSERT_EQ(p.info.kind, KA_UTT_SPEECH);
    ASSERT_EQ(p.info.target, r.index[static_cast<size_t>(k)]);
    ASSERT_EQ(0, std::memcmp(p.pose.data(), r.drive.data() + row, kKp * sizeof(float))) << k;
    const float* crop = ka_render_kp_crop(ctx, p.info.target, r.base.data() + row, r.drive.data() + row);
    ASSERT_TRUE(crop) << ka_last_error();
    ASSERT_EQ(ka_paste_crop(ctx, p.info.target, crop, ref.data(), bytes), 1) << ka_last_error();
    EXPECT_EQ(0, std::memcmp(ref.data(), p.rgb.data(), bytes)) << "speech frame " << k;
  }
}

// ---------------------------------------------------------------------------------------------

TEST(UttOptions, DefaultsAndEnvironment) {
  ScopedEnv steady("KA_STEADY_MODEL", std::nullopt);
  ScopedEnv hyb("KA_UTT_HYBRID", std::nullopt);
  ka_utt_opts o{};
  o.motion_dir = "m";
  ka::UttConfig c = ka::resolveUttConfig(o, 3);
  EXPECT_EQ(c.threads, 3);
  EXPECT_EQ(c.steadyModel, "b24_fp32");
  EXPECT_FALSE(c.hybrid);
  EXPECT_EQ(c.silenceMs, 600.0);
  EXPECT_EQ(c.endRamp, 6);
  EXPECT_EQ(c.interruptRamp, 4);
  o.silence_timeout_s = -1;
  o.hybrid = 5;
  o.steady_model = "-";
  c = ka::resolveUttConfig(o, 3);
  EXPECT_LT(c.silenceMs, 0);
  EXPECT_FALSE(c.hybrid);
  EXPECT_EQ(c.fixedEager, 5);
  EXPECT_EQ(c.steadyModel, "");
  o.hybrid = -2;
  EXPECT_TRUE(ka::resolveUttConfig(o, 3).hybrid);
  {
    ScopedEnv e("KA_STEADY_MODEL", std::string("b8"));
    EXPECT_EQ(ka::resolveUttConfig(o, 3).steadyModel, "b8");
  }
  for (auto [text, on] : std::vector<std::pair<const char*, bool>>{
           {"", false}, {"0", false}, {"00", true}, {"01", true}, {"1", true}, {"7x", true}, {"x", false}})
    EXPECT_EQ(ka::hybridFromEnv(text), on) << text;
  EXPECT_FALSE(ka::hybridFromEnv(nullptr));
  o.hybrid = 0;
  ScopedEnv e("KA_UTT_HYBRID", std::string("1"));
  EXPECT_TRUE(ka::resolveUttConfig(o, 3).hybrid);
}

TEST(UttArgs, FixedTexts) {
  EXPECT_EQ(ka_utt_create(nullptr, nullptr), nullptr);
  EXPECT_STREQ(ka_utt_last_error(), "ka_utt_create: NULL ctx/opts");
  EXPECT_EQ(ka_utt_open(nullptr, "x"), nullptr);
  EXPECT_STREQ(ka_utt_last_error(), "ka_utt_create: NULL ctx/opts");
  CtxPtr ctx = openCtx();
  ka_utt_opts o{};
  EXPECT_EQ(ka_utt_create(ctx.get(), &o), nullptr);
  EXPECT_STREQ(ka_utt_last_error(), "ka_utt_create: opts.motion_dir required");
  int16_t s[4] = {0};
  EXPECT_EQ(ka_utt_push_audio(nullptr, s, 4), 0);
  EXPECT_STREQ(ka_utt_last_error(), "ka_utt_push_audio: bad args");
  unsigned char b[4];
  EXPECT_EQ(ka_utt_pull_frame(nullptr, b, 4, nullptr), 0);
  EXPECT_STREQ(ka_utt_last_error(), "ka_utt_pull_frame: bad args");
  EXPECT_EQ(ka_utt_ready(nullptr), -1);
  EXPECT_EQ(ka_utt_frames_available(nullptr), 0);
  EXPECT_EQ(ka_utt_end_utterance(nullptr), 0);
  EXPECT_EQ(ka_utt_interrupt(nullptr), 0);
  EXPECT_EQ(ka_utt_get_stats(nullptr, nullptr), 0);
  EXPECT_EQ(ka_utt_render_status(nullptr, nullptr, 0, nullptr), 0);
  ka_utt_destroy(nullptr);

  ka_utt_opts ok = options(fx().motion);
  ka_utt* u = ka_utt_create(ctx.get(), &ok);
  ASSERT_TRUE(u) << ka_utt_last_error();
  const int warming = ka_utt_ready(u);  // 0 while warm-up runs (1 if it already finished)
  EXPECT_TRUE(warming == 0 || warming == 1) << warming;
  EXPECT_EQ(ka_utt_push_audio(u, nullptr, 4), 0);
  EXPECT_STREQ(ka_utt_last_error(), "ka_utt_push_audio: bad args");
  EXPECT_EQ(ka_utt_push_audio(u, s, -1), 0);
  EXPECT_STREQ(ka_utt_last_error(), "ka_utt_push_audio: bad args");
  EXPECT_EQ(ka_utt_pull_frame(u, nullptr, 100, nullptr), 0);
  EXPECT_STREQ(ka_utt_last_error(), "ka_utt_pull_frame: bad args");

  // A buffer one byte short keeps the frame queued.
  const size_t bytes = static_cast<size_t>(ka_width(ctx.get())) * ka_height(ctx.get()) * 3;
  std::vector<unsigned char> rgb(bytes);
  const auto t0 = Clock::now();
  while (ka_utt_frames_available(u) == 0 && Clock::now() - t0 < std::chrono::seconds(30))
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_GT(ka_utt_frames_available(u), 0);
  ka_utt_frame_info info{};
  EXPECT_EQ(ka_utt_pull_frame(u, rgb.data(), bytes - 1, &info), 0);
  EXPECT_STREQ(ka_utt_last_error(), "ka_utt_pull_frame: buffer too small");
  EXPECT_EQ(ka_utt_pull_frame(u, rgb.data(), bytes, &info), 1);
  EXPECT_STREQ(ka_utt_last_error(), "");
  EXPECT_EQ(info.seq, 0u);
  EXPECT_EQ(info.kind, KA_UTT_IDLE);
  EXPECT_EQ(info.speech_frame, -1);
  EXPECT_EQ(waitReady(u), 1);
  char msg[8];
  const char* stage = nullptr;
  EXPECT_EQ(ka_utt_render_status(u, msg, sizeof msg, &stage), 0);
  EXPECT_STREQ(stage, "");
  EXPECT_STREQ(msg, "");
  ka_utt_destroy(u);
}

// With no audio every frame is idle and walks the source frames; each is the background frame.
TEST(UttThreads, IdleFramesWalkTheSourceFrames) {
  CtxPtr ctx = openCtx();
  std::vector<Pulled> frames;
  {
    ka::UtteranceSession s(*ctx->context, ka::resolveUttConfig(options(fx().motion), 1));
    frames = pullUntil(s, [](const std::vector<Pulled>& f) { return f.size() >= 14; });
  }
  ASSERT_EQ(frames.size(), 14u);
  for (size_t i = 0; i < frames.size(); ++i) {
    EXPECT_EQ(frames[i].info.seq, i);
    EXPECT_EQ(frames[i].info.kind, KA_UTT_IDLE);
    EXPECT_EQ(frames[i].info.target, static_cast<int>(i) % fx().nt);
    EXPECT_EQ(frames[i].info.speech_frame, -1);
  }
  for (int i = 0; i < fx().nt; ++i) {
    const unsigned char* bg = ka_target_frame(ctx.get(), i);
    ASSERT_TRUE(bg) << ka_last_error();
    EXPECT_EQ(std::memcmp(bg, frames[static_cast<size_t>(i)].rgb.data(), frames[0].rgb.size()), 0) << i;
  }
}

// Speech frames follow a push, number 0..F-1, equal the core interface's render and paste of the
// engine's rows, and a 6-frame ramp weights the offset 5/6 ... 0.
TEST(UttThreads, SpeechFramesAndEndRamp) {
  CtxPtr ctx = openCtx();
  const std::vector<int16_t> a = speech(1.3);
  const int F = static_cast<int>((a.size() + 639) / 640);
  std::vector<Pulled> frames;
  ka_utt_stats st{};
  {
    ka::UtteranceSession s(*ctx->context, ka::resolveUttConfig(options(fx().motion), 1));
    ASSERT_EQ(waitReady(s), 1);
    frames = pullUntil(s, [](const std::vector<Pulled>& f) { return f.size() >= 3; });
    pushAll(s, a);
    s.endUtterance();
    auto more = pullUntil(s, idleAfterSpeech);
    frames.insert(frames.end(), std::make_move_iterator(more.begin()), std::make_move_iterator(more.end()));
    st = s.stats();
  }
  const int first = firstOf(frames, KA_UTT_SPEECH);
  ASSERT_GE(first, 3);
  ASSERT_EQ(countOf(frames, KA_UTT_SPEECH), F);
  for (int k = 0; k < F; ++k) {
    const auto& i = frames[static_cast<size_t>(first + k)].info;
    ASSERT_EQ(i.kind, KA_UTT_SPEECH);
    EXPECT_EQ(i.speech_frame, k);
  }
  for (size_t i = 0; i < frames.size(); ++i) EXPECT_EQ(frames[i].info.seq, i);

  // The engine's own rows, walked from the phase the utterance started on: the index after the
  // last idle frame.
  expectSpeechPixels(ctx.get(), frames, first,
                     engineRows(a, (frames[static_cast<size_t>(first - 1)].info.target + 1) % fx().nt));

  // The end ramp: six frames from the last speech pose back to the target rows.
  const int ramp = first + F;
  const Pulled& last = frames[static_cast<size_t>(ramp - 1)];
  const float* lastTarget = fx().target.data() + static_cast<size_t>(last.info.target) * kKp;
  for (int k = 0; k < 6; ++k) {
    const Pulled& p = frames[static_cast<size_t>(ramp + k)];
    ASSERT_EQ(p.info.kind, KA_UTT_RAMP) << k;
    EXPECT_EQ(p.info.target, (last.info.target + 1 + k) % fx().nt);
    const float w = 1.0f - static_cast<float>(k + 1) / 6.0f;
    const float* t = fx().target.data() + static_cast<size_t>(p.info.target) * kKp;
    for (int c = 0; c < kKp; ++c) {
      const float offset = last.pose[static_cast<size_t>(c)] - lastTarget[c];
      ASSERT_EQ(p.pose[static_cast<size_t>(c)], t[c] + w * offset) << k << " " << c;
    }
  }
  EXPECT_EQ(frames[static_cast<size_t>(ramp + 6)].info.kind, KA_UTT_IDLE);
  EXPECT_EQ(frames[static_cast<size_t>(ramp + 6)].info.target, (last.info.target + 7) % fx().nt);

  EXPECT_EQ(st.frames_pulled, frames.size());
  EXPECT_EQ(st.speech_frames_pulled, static_cast<uint64_t>(F));
  EXPECT_EQ(st.utterances, 1u);
  EXPECT_GT(st.first_frame_latency_ms, 0.0);
  EXPECT_GT(st.render_ms, 0.0);
  EXPECT_EQ(st.mode, 0);
}

// The audio-to-expression engine (the bundle carries its models): the paste stage runs on its own
// thread, and the frames are still the core interface's render and paste of the engine's rows.
TEST(UttThreads, ExpressionEngineThroughThePasteStage) {
  ScopedEnv w2v("W2V_ONNX", fx().w2vDir + "/w2v.onnx");
  CtxPtr ctx = openCtx();
  // More frames than the engine decodes per call, all pushed at once: the session must keep
  // asking while the engine steps through them. Hybrid on (replies collected while rendering,
  // the eager hysteresis) must deliver the same frames.
  const std::vector<int16_t> a = speech(3.2, 3);
  const int F = static_cast<int>((a.size() + 639) / 640);
  for (int hybrid : {0, -2}) {
    SCOPED_TRACE(hybrid);
    std::vector<Pulled> frames;
    {
      ka_utt_opts o = options(fx().bundle);
      o.hybrid = hybrid;
      ka::UtteranceSession s(*ctx->context, ka::resolveUttConfig(o, 1));
      EXPECT_TRUE(s.expressionEngine());
      EXPECT_TRUE(s.pipelined());
      ASSERT_EQ(waitReady(s), 1);
      frames = pullUntil(s, [](const std::vector<Pulled>& f) { return f.size() >= 2; });
      pushAll(s, a, static_cast<int>(a.size()));
      s.endUtterance();
      auto more = pullUntil(s, idleAfterSpeech);
      frames.insert(frames.end(), std::make_move_iterator(more.begin()), std::make_move_iterator(more.end()));
    }
    const int first = firstOf(frames, KA_UTT_SPEECH);
    ASSERT_GE(first, 2);
    ASSERT_EQ(countOf(frames, KA_UTT_SPEECH), F);
    EXPECT_EQ(countOf(frames, KA_UTT_RAMP), 6);
    expectSpeechPixels(ctx.get(), frames, first,
                       expressionRows(a, (frames[static_cast<size_t>(first - 1)].info.target + 1) % fx().nt));
  }
}

// The batch-24 chunk renderer serves when a whole chunk is pending; its frames match the
// per-frame path to round-off of the director.
TEST(UttThreads, SteadyChunkRenderer) {
  CtxPtr ctx = openCtx();
  const std::vector<int16_t> a = speech(2.2, 9);
  const int F = static_cast<int>((a.size() + 639) / 640);
  std::vector<Pulled> frames;
  {
    ka::UtteranceSession s(*ctx->context, ka::resolveUttConfig(options(fx().motion, nullptr), 1));
    ASSERT_EQ(waitReady(s), 1);
    EXPECT_EQ(s.steadyBatch(), 24);
    pushAll(s, a, 16000);
    s.endUtterance();
    frames = pullUntil(s, idleAfterSpeech);
  }
  const int first = firstOf(frames, KA_UTT_SPEECH);
  ASSERT_GE(first, 0);
  ASSERT_EQ(countOf(frames, KA_UTT_SPEECH), F);
  ASSERT_GE(first, 1);
  const Rows r = engineRows(a, (frames[static_cast<size_t>(first - 1)].info.target + 1) % fx().nt);
  ASSERT_EQ(static_cast<int>(r.index.size()), F);
  const size_t bytes = frames[0].rgb.size();
  std::vector<unsigned char> ref(bytes);
  int worst = 0;
  for (int k = 0; k < F; ++k) {
    const Pulled& p = frames[static_cast<size_t>(first + k)];
    const size_t row = static_cast<size_t>(k) * kKp;
    ASSERT_EQ(p.info.target, r.index[static_cast<size_t>(k)]);
    const float* crop = ka_render_kp_crop(ctx.get(), p.info.target, r.base.data() + row, r.drive.data() + row);
    ASSERT_TRUE(crop);
    ASSERT_EQ(ka_paste_crop(ctx.get(), p.info.target, crop, ref.data(), bytes), 1);
    for (size_t i = 0; i < bytes; ++i) worst = std::max(worst, std::abs(int(ref[i]) - int(p.rgb[i])));
  }
  EXPECT_LE(worst, 1);
}

// An interrupt empties the ring at once; a 4-frame ramp follows from the last pulled speech frame.
TEST(UttThreads, InterruptRampsFromLastPulledFrame) {
  CtxPtr ctx = openCtx();
  ka_utt_opts o = options(fx().motion);
  o.silence_timeout_s = -1;
  std::vector<Pulled> frames;
  int availableAfter = -1;
  {
    ka::UtteranceSession s(*ctx->context, ka::resolveUttConfig(o, 1));
    pushAll(s, speech(4.0));
    s.endUtterance();
    frames = pullUntil(s, [](const std::vector<Pulled>& f) { return countOf(f, KA_UTT_SPEECH) >= 10; });
    const auto t0 = Clock::now();
    while (s.available() < 3 && Clock::now() - t0 < std::chrono::seconds(20))
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    s.interrupt();
    availableAfter = s.available();
    auto more = pullUntil(s, [](const std::vector<Pulled>& f) { return f.size() >= 6; });
    frames.insert(frames.end(), std::make_move_iterator(more.begin()), std::make_move_iterator(more.end()));
  }
  EXPECT_EQ(availableAfter, 0);
  const size_t cut = frames.size() - 6;
  const Pulled& last = frames[cut - 1];
  ASSERT_EQ(last.info.kind, KA_UTT_SPEECH);
  const float* lastTarget = fx().target.data() + static_cast<size_t>(last.info.target) * kKp;
  for (int k = 0; k < 4; ++k) {
    const Pulled& p = frames[cut + static_cast<size_t>(k)];
    ASSERT_EQ(p.info.kind, KA_UTT_RAMP) << k;
    EXPECT_EQ(p.info.target, (last.info.target + 1 + k) % fx().nt);
    const float w = 1.0f - static_cast<float>(k + 1) / 4.0f;
    const float* t = fx().target.data() + static_cast<size_t>(p.info.target) * kKp;
    for (int c = 0; c < kKp; ++c)
      ASSERT_EQ(p.pose[static_cast<size_t>(c)], t[c] + w * (last.pose[static_cast<size_t>(c)] - lastTarget[c]));
  }
  EXPECT_EQ(frames[cut + 4].info.kind, KA_UTT_IDLE);
  EXPECT_EQ(frames[cut + 5].info.kind, KA_UTT_IDLE);
  // Sequence numbers keep counting delivered frames; the dropped ones were never delivered.
  EXPECT_GT(frames[cut].info.seq, last.info.seq);
}

// Without ka_utt_end_utterance an utterance ends 600 ms after the last push; zero-sample pushes
// keep it open.
TEST(UttThreads, SilenceEndsTheUtterance) {
  CtxPtr ctx = openCtx();
  const std::vector<int16_t> a = speech(0.6);
  ka::UtteranceSession s(*ctx->context, ka::resolveUttConfig(options(fx().motion), 1));
  ASSERT_EQ(waitReady(s), 1);
  auto idle = pullUntil(s, [](const std::vector<Pulled>& f) { return f.size() >= 2; });
  pushAll(s, a);
  // Keep the speaker "talking" with empty pushes for 1 s: the engine is never finished, so no
  // speech frame can appear (the forged engine holds frames back until the audio ends).
  const auto t0 = Clock::now();
  int16_t none = 0;
  while (Clock::now() - t0 < std::chrono::milliseconds(1000)) {
    s.push(&none, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  s.push(&none, 0);
  auto frames = pullUntil(s, idleAfterSpeech);
  const int first = firstOf(frames, KA_UTT_SPEECH);
  ASSERT_GE(first, 0);
  EXPECT_EQ(countOf(frames, KA_UTT_SPEECH), static_cast<int>((a.size() + 639) / 640));
  EXPECT_EQ(countOf(frames, KA_UTT_RAMP), 6);
  const ka_utt_stats st = s.stats();
  // The first speech frame is composed only after the timeout ran out.
  const double sinceFirstPush = st.first_frame_latency_ms;
  EXPECT_GE(sinceFirstPush, 1000.0 + 600.0);
  EXPECT_LT(sinceFirstPush, 1000.0 + 600.0 + 2500.0);  // and it does end then (generous for sanitizers)
}

// A motion directory that does not exist, or holds a broken model: a recorded failure, ready 255
// with the message, idle frames still delivered, pushes harmless.
TEST(UttThreads, BrokenMotionDirectoryIsRecorded) {
  CtxPtr ctx = openCtx();
  TempDir broken;
  for (const char* f :
       {"meta.json", "hubert_stft_window.bin", "hubert_stft_binmat.bin", "hubert_fmean.bin", "hubert_fstd.bin",
        "emo.bin", "ch_xs_info.bin", "ch_sc.bin", "ch_eye_open.bin", "ch_eye_ball.bin", "v_min_max.bin",
        "src_xs_info.bin", "xs_target.bin", "lmdm.onnx", "stitch.onnx"})
    ka::test::writeBytes(broken / f, ka::test::readBytes(fx().motion + "/" + f).data(),
                         ka::test::readBytes(fx().motion + "/" + f).size());
  ka::test::writeString(broken / "hubert_student.onnx", "not a model");
  for (const std::string& dir : {fx().tmp / "no/such/dir", broken.path()}) {
    ka_utt_opts o = options(dir);
    ka_utt* u = ka_utt_create(ctx.get(), &o);
    ASSERT_TRUE(u) << ka_utt_last_error();
    EXPECT_EQ(waitReady(u), 255) << dir;
    EXPECT_NE(std::string(ka_utt_last_error()).find("ka_motion_create"), std::string::npos) << ka_utt_last_error();
    char msg[16];
    const char* stage = nullptr;
    EXPECT_EQ(ka_utt_render_status(u, msg, sizeof msg, &stage), -1);
    EXPECT_STREQ(stage, "engine load");
    EXPECT_EQ(std::strlen(msg), sizeof msg - 1);
    const std::vector<int16_t> a = speech(0.3);
    EXPECT_EQ(ka_utt_push_audio(u, a.data(), static_cast<int>(a.size())), 1);
    ka_utt_end_utterance(u);
    std::vector<unsigned char> rgb(static_cast<size_t>(ka_width(ctx.get())) * ka_height(ctx.get()) * 3);
    int idle = 0;
    ka_utt_frame_info info{};
    const auto t0 = Clock::now();
    while (idle < 10 && Clock::now() - t0 < std::chrono::seconds(20))
      if (ka_utt_pull_frame(u, rgb.data(), rgb.size(), &info) == 1) {
        EXPECT_EQ(info.kind, KA_UTT_IDLE);
        ++idle;
      }
    EXPECT_EQ(idle, 10);
    ka_utt_destroy(u);
  }
}

// A motion generator that loads but fails inside ONNX Runtime: each utterance's failure is
// recorded at stage "engine" with the runtime's text, no speech frame is made up, and the
// session goes on delivering idle frames.
TEST(UttThreads, EngineFailingInsideItsModelIsRecorded) {
  TempDir t;
  ka::test::forge({"motion", t / "m", "--nt", std::to_string(fx().nt), "--xs-target", fx().bundle + "/xs_target.bin",
                   "--lmdm-gather-oob"});
  CtxPtr ctx = openCtx();
  ka::UtteranceSession s(*ctx->context, ka::resolveUttConfig(options(t / "m"), 1));
  ASSERT_EQ(waitReady(s), 1);
  for (int utterance = 0; utterance < 2; ++utterance) {
    pushAll(s, speech(1.0));
    s.endUtterance();
    const auto frames = pullUntil(s, [](const std::vector<Pulled>& f) { return f.size() >= 40; });
    EXPECT_EQ(countOf(frames, KA_UTT_SPEECH), 0);
    EXPECT_EQ(countOf(frames, KA_UTT_IDLE), 40);
    std::string msg;
    const char* stage = nullptr;
    EXPECT_EQ(s.renderStatus(&msg, &stage), -1);
    EXPECT_STREQ(stage, "engine");
    EXPECT_NE(msg.find("Gather"), std::string::npos) << msg;
  }
}

// An engine walking more source frames than the bundle has: its rows for frames the bundle lacks
// are refused (recorded), the others still play, and no end ramp is possible without target rows.
TEST(UttThreads, EngineRowsOutsideTheBundleAreRefused) {
  TempDir t;
  ka::test::forge({"motion", t / "m", "--nt", "8"});
  CtxPtr ctx = openCtx();
  std::vector<Pulled> frames;
  std::string msg;
  {
    ka::UtteranceSession s(*ctx->context, ka::resolveUttConfig(options(t / "m"), 1));
    ASSERT_EQ(waitReady(s), 1);
    pushAll(s, speech(1.0));
    s.endUtterance();
    frames = pullUntil(s, idleAfterSpeech);
    EXPECT_EQ(s.ready(&msg), 255);
  }
  EXPECT_NE(msg.find("outside this bundle's 0..5"), std::string::npos) << msg;
  const int first = firstOf(frames, KA_UTT_SPEECH);
  ASSERT_GE(first, 0);
  for (const Pulled& p : frames) EXPECT_LT(p.info.target, fx().nt);
  EXPECT_EQ(countOf(frames, KA_UTT_RAMP), 0);
  EXPECT_LT(countOf(frames, KA_UTT_SPEECH), 25);
}

TEST(UttThreads, StageReportLines) {
  CtxPtr ctx = openCtx();
  for (const char* pipe : {"0", "1"}) {
    ScopedEnv rep("KA_UTT_STAGE_REPORT", std::string("1"));
    ScopedEnv p("KA_UTT_PIPELINE_PASTE", std::string(pipe));
    testing::internal::CaptureStderr();
    {
      ka::UtteranceSession s(*ctx->context, ka::resolveUttConfig(options(fx().motion), 1));
      EXPECT_EQ(s.pipelined(), pipe[0] == '1');
      pushAll(s, speech(0.3));
      s.endUtterance();
      pullUntil(s, idleAfterSpeech);
    }
    const std::string err = testing::internal::GetCapturedStderr();
    if (pipe[0] == '0')
      EXPECT_NE(err.find("[ka_utt-stage] MEASURED NOTHING"), std::string::npos) << err;
    else
      EXPECT_NE(err.find("[ka_utt-stage] pipe=1 jobsB="), std::string::npos) << err;
  }
}

// Several threads push, pull, end and interrupt at random; destroy must then join everything.
// Sessions destroyed while warm-up still runs must not hang either.
TEST(UttConcurrent, RandomHostCallsThenDestroy) {
  CtxPtr ctx = openCtx();
  for (int k = 0; k < 3; ++k) {
    ka_utt_opts o = options(fx().motion, k == 2 ? nullptr : "-");
    ka_utt* u = ka_utt_create(ctx.get(), &o);
    ASSERT_TRUE(u);
    if (k == 1) {
      const int16_t s[320] = {100};
      ka_utt_push_audio(u, s, 320);
    }
    ka_utt_destroy(u);
  }
  for (const char* pipe : {"0", "1"}) {
    ScopedEnv p("KA_UTT_PIPELINE_PASTE", std::string(pipe));
    ka_utt_opts o = options(fx().motion, nullptr);
    o.hybrid = -2;
    ka_utt* u = ka_utt_create(ctx.get(), &o);
    ASSERT_TRUE(u);
    const std::vector<int16_t> a = speech(2.0);
    const size_t bytes = static_cast<size_t>(ka_width(ctx.get())) * ka_height(ctx.get()) * 3;
    std::atomic<bool> stop{false};
    std::atomic<int> pulled{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t)
      threads.emplace_back([&, t] {
        std::mt19937 rng(11 + t);
        while (!stop) {
          const size_t at = rng() % (a.size() - 800);
          ka_utt_push_audio(u, a.data() + at, static_cast<int>(rng() % 800));
          std::this_thread::sleep_for(std::chrono::microseconds(rng() % 3000));
        }
      });
    for (int t = 0; t < 2; ++t)
      threads.emplace_back([&, t] {
        std::mt19937 rng(23 + t);
        std::vector<unsigned char> rgb(bytes);
        ka_utt_frame_info info;
        while (!stop) {
          const unsigned char* lent = nullptr;
          if (ka_utt_pull_frame(u, rgb.data(), rgb.size(), &info) == 1) ++pulled;
          ka_utt_frames_available(u);
          if (ka_utt_wait_frame(u, static_cast<int>(rng() % 5)) == 1 && ka_utt_frame_acquire(u, &lent, &info) == 1) {
            ++pulled;
            std::memcpy(rgb.data(), lent, rgb.size());  // the lent bytes, read while producers run
            std::this_thread::sleep_for(std::chrono::microseconds(rng() % 2000));
            ka_utt_frame_release(u);
          }
          std::this_thread::sleep_for(std::chrono::microseconds(rng() % 2000));
        }
      });
    threads.emplace_back([&] {
      std::mt19937 rng(42);
      ka_utt_stats st;
      while (!stop) {
        switch (rng() % 4) {
          case 0:
            ka_utt_interrupt(u);
            break;
          case 1:
            ka_utt_end_utterance(u);
            break;
          case 2:
            ka_utt_get_stats(u, &st);
            break;
          default:
            ka_utt_ready(u);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(rng() % 60));
      }
    });
    std::this_thread::sleep_for(std::chrono::seconds(3));
    stop = true;
    for (auto& t : threads) t.join();
    ka_utt_destroy(u);
    EXPECT_GT(pulled.load(), 0);
  }
}

}  // namespace

// ---- a host at real time, the waits and the lent slot -----------------------------------------

namespace {

size_t frameBytes(ka_ctx* ctx) { return static_cast<size_t>(ka_width(ctx)) * ka_height(ctx) * 3; }

struct Timed {
  double ms;  // since the first push
  ka_utt_frame_info info;
};

// A real-time host: 20 ms pushes of `a` on one thread from 0.5 s on, a frame taken every 40 ms
// (waited for when none is there) on this one, until the tenth speech frame.
std::vector<Timed> realTimeHost(ka_utt* u, size_t bytes, const std::vector<int16_t>& a) {
  std::vector<Timed> out;
  std::vector<unsigned char> rgb(bytes);
  const auto t0 = Clock::now() + std::chrono::milliseconds(500);
  std::thread pusher([&] {
    auto t = t0;
    for (size_t at = 0; at < a.size(); at += 320) {
      std::this_thread::sleep_until(t);
      ka_utt_push_audio(u, a.data() + at, static_cast<int>(std::min<size_t>(320, a.size() - at)));
      t += std::chrono::milliseconds(20);
    }
    ka_utt_end_utterance(u);
  });
  auto tick = Clock::now();
  int speech = 0;
  while (speech < 10 && Clock::now() - t0 < std::chrono::seconds(30)) {
    std::this_thread::sleep_until(tick);
    ka_utt_frame_info info{};
    if (ka_utt_wait_frame(u, 2000) != 1 || ka_utt_pull_frame(u, rgb.data(), rgb.size(), &info) != 1) continue;
    const auto now = Clock::now();
    out.push_back({std::chrono::duration<double, std::milli>(now - t0).count(), info});
    if (info.kind == KA_UTT_SPEECH) ++speech;
    tick = std::max(tick + std::chrono::milliseconds(40), now);
  }
  pusher.join();
  return out;
}

}  // namespace

// Speech pushed as it is spoken: idle frames go on while the engine's look-ahead fills (no frozen
// second at the utterance's start), and the first speech frame continues the background walk.
// With the whole utterance pushed at once, speech follows at once.
TEST(UttRealTime, IdleFramesBridgeTheLookAheadAndSpeechContinuesTheWalk) {
  ScopedEnv w2v("W2V_ONNX", fx().w2vDir + "/w2v.onnx");
  CtxPtr ctx = openCtx();
  const std::vector<int16_t> a = speech(1.6, 9);
  for (const std::string& dir : {fx().motion, fx().bundle}) {
    SCOPED_TRACE(dir);
    ka_utt_opts o = options(dir);
    ka_utt* u = ka_utt_create(ctx.get(), &o);
    ASSERT_TRUE(u) << ka_utt_last_error();
    ASSERT_EQ(ka_utt_wait_ready(u, 60000), 1) << ka_utt_last_error();
    const std::vector<Timed> f = realTimeHost(u, frameBytes(ctx.get()), a);
    int first = -1;
    for (size_t i = 0; i < f.size() && first < 0; ++i)
      if (f[i].info.kind == KA_UTT_SPEECH) first = static_cast<int>(i);
    ASSERT_GT(first, 0);
    double gap = 0.0;
    for (int i = 1; i <= first; ++i)
      if (f[static_cast<size_t>(i)].ms > 0.0)
        gap = std::max(gap, f[static_cast<size_t>(i)].ms - f[static_cast<size_t>(i - 1)].ms);
    EXPECT_LT(gap, 200.0) << "longest time without a frame up to the first speech frame (ms)";
    // Idle frames walk on, and speech shows the engine's own walk from the next index.
    for (int i = 1; i < first + 5 && i < static_cast<int>(f.size()); ++i) {
      if (i == first) continue;
      EXPECT_EQ(f[static_cast<size_t>(i)].info.target, (f[static_cast<size_t>(i - 1)].info.target + 1) % fx().nt)
          << "frame " << i << " of kind " << f[static_cast<size_t>(i)].info.kind << "; speech from " << first;
    }
    const int from = (f[static_cast<size_t>(first - 1)].info.target + 1) % fx().nt;
    const Rows own = dir == fx().motion ? engineRows(a, from) : expressionRows(a, from);
    ASSERT_FALSE(own.index.empty());
    EXPECT_EQ(f[static_cast<size_t>(first)].info.target, own.index[0]);

    // A whole utterance in one push and its end (a text-to-speech host), after the interrupt's
    // ramp: speech follows the idle frame already made.
    ka_utt_interrupt(u);
    std::vector<unsigned char> rgb(frameBytes(ctx.get()));
    ka_utt_frame_info info{}, prev{};
    while (ka_utt_wait_frame(u, 2000) == 1 && ka_utt_pull_frame(u, rgb.data(), rgb.size(), &info) == 1 &&
           info.kind != KA_UTT_IDLE) {
    }
    ASSERT_EQ(ka_utt_push_audio(u, a.data(), static_cast<int>(a.size())), 1);
    ka_utt_end_utterance(u);
    int idle = 0;
    const auto t0 = Clock::now();
    do {
      prev = info;
      std::this_thread::sleep_for(std::chrono::milliseconds(40));
    } while (Clock::now() - t0 < std::chrono::seconds(30) && ka_utt_wait_frame(u, 2000) == 1 &&
             ka_utt_pull_frame(u, rgb.data(), rgb.size(), &info) == 1 && info.kind != KA_UTT_SPEECH && ++idle);
    EXPECT_EQ(info.kind, KA_UTT_SPEECH);
    EXPECT_LE(idle, 3);
    const int next = (prev.target + 1) % fx().nt;
    EXPECT_EQ(info.target, (dir == fx().motion ? engineRows(a, next) : expressionRows(a, next)).index.at(0));
    ka_utt_destroy(u);
  }
}

// The waits: ready, a frame, a timeout while the only free slot is lent, a wake on release; a
// failed session answers -1 with its text.
TEST(UttThreads, WaitsWakeAndTimeOut) {
  CtxPtr ctx = openCtx();
  EXPECT_EQ(ka_utt_wait_ready(nullptr, 0), -1);
  EXPECT_EQ(ka_utt_wait_frame(nullptr, 0), -1);
  ka_utt_opts o = options(fx().motion);
  ka_utt* u = ka_utt_create(ctx.get(), &o);
  ASSERT_TRUE(u);
  ASSERT_EQ(ka_utt_wait_ready(u, -1), 1);
  ASSERT_EQ(ka_utt_wait_frame(u, -1), 1);
  const unsigned char* lent = nullptr;
  ka_utt_frame_info info{};
  ASSERT_EQ(ka_utt_frame_acquire(u, &lent, &info), 1) << ka_utt_last_error();
  // Idle frames fill the seven other slots as they are pulled; the eighth would be the lent one.
  std::vector<unsigned char> rgb(frameBytes(ctx.get()));
  for (int i = 0; i < 7; ++i) {
    ASSERT_EQ(ka_utt_wait_frame(u, 10000), 1) << i;
    ASSERT_EQ(ka_utt_pull_frame(u, rgb.data(), rgb.size(), nullptr), 1);
  }
  const auto t0 = Clock::now();
  EXPECT_EQ(ka_utt_wait_frame(u, 100), 0);
  EXPECT_GE(Clock::now() - t0, std::chrono::milliseconds(100));
  EXPECT_EQ(ka_utt_wait_frame(u, 0), 0);
  int woke = -2;
  std::thread waiter([&] { woke = ka_utt_wait_frame(u, 20000); });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  const auto t1 = Clock::now();
  ASSERT_EQ(ka_utt_frame_release(u), 1);
  waiter.join();
  EXPECT_EQ(woke, 1);
  EXPECT_LT(Clock::now() - t1, std::chrono::seconds(10));
  ka_utt_destroy(u);

  TempDir none;
  const std::string nowhere = none / "no/such/dir";
  ka_utt_opts b = options(nowhere);
  u = ka_utt_create(ctx.get(), &b);
  ASSERT_TRUE(u);
  EXPECT_EQ(ka_utt_wait_ready(u, 60000), 255);
  EXPECT_NE(std::string(ka_utt_last_error()).find("ka_motion_create"), std::string::npos) << ka_utt_last_error();
  EXPECT_EQ(ka_utt_wait_frame(u, 1000), -1);
  EXPECT_NE(std::string(ka_utt_last_error()).find("ka_utt_wait_frame: the session failed: ka_motion_create"),
            std::string::npos)
      << ka_utt_last_error();
  ka_utt_destroy(u);
}

// The lent slot: its bytes stay the frame's through later frames and an interrupt, one slot at a
// time, counted as pulled, and a session destroyed with a slot lent goes cleanly.
TEST(UttThreads, LentSlotSurvivesFramesAndInterrupt) {
  CtxPtr ctx = openCtx();
  const size_t bytes = frameBytes(ctx.get());
  std::vector<std::vector<unsigned char>> bg;  // the background frames, read before the session
  for (int i = 0; i < fx().nt; ++i) {
    const unsigned char* p = ka_target_frame(ctx.get(), i);
    ASSERT_TRUE(p) << ka_last_error();
    bg.emplace_back(p, p + bytes);
  }
  ka_utt_opts o = options(fx().motion);
  ka_utt* u = ka_utt_create(ctx.get(), &o);
  ASSERT_TRUE(u);
  ASSERT_EQ(ka_utt_wait_ready(u, 60000), 1);
  const unsigned char* lent = nullptr;
  ka_utt_frame_info info{};
  EXPECT_EQ(ka_utt_frame_acquire(nullptr, &lent, &info), 0);
  EXPECT_STREQ(ka_utt_last_error(), "ka_utt_frame_acquire: bad args");
  EXPECT_EQ(ka_utt_frame_release(u), 0);
  EXPECT_STREQ(ka_utt_last_error(), "ka_utt_frame_release: no frame is lent");
  ASSERT_EQ(ka_utt_wait_frame(u, 10000), 1);
  ASSERT_EQ(ka_utt_frame_acquire(u, &lent, &info), 1);
  ASSERT_TRUE(lent);
  EXPECT_EQ(info.kind, KA_UTT_IDLE);
  EXPECT_EQ(std::memcmp(lent, bg[static_cast<size_t>(info.target)].data(), bytes), 0);
  ka_utt_stats st{};
  ka_utt_get_stats(u, &st);
  const uint64_t pulled = st.frames_pulled;
  const unsigned char* again = nullptr;
  EXPECT_EQ(ka_utt_frame_acquire(u, &again, nullptr), 0);
  EXPECT_EQ(again, nullptr);
  EXPECT_STREQ(ka_utt_last_error(), "ka_utt_frame_acquire: a frame is already lent; release it first");

  // Frames go on around it, an interrupt drops the others, and frames go on again: the seven free
  // slots turn over several times while the lent one keeps its bytes.
  std::vector<unsigned char> rgb(bytes);
  ka_utt_frame_info next{};
  for (int i = 0; i < 20; ++i) {
    if (i == 5) ka_utt_interrupt(u);
    if (ka_utt_wait_frame(u, 200) == 1) ka_utt_pull_frame(u, rgb.data(), rgb.size(), &next);
    if (i % 6 == 5) {
      ASSERT_EQ(std::memcmp(lent, bg[static_cast<size_t>(info.target)].data(), bytes), 0) << i;
      ASSERT_EQ(ka_utt_frame_release(u), 1);
      ASSERT_EQ(ka_utt_wait_frame(u, 10000), 1);
      const uint64_t seq = info.seq;
      ASSERT_EQ(ka_utt_frame_acquire(u, &lent, &info), 1);
      EXPECT_GT(info.seq, seq);
      ASSERT_EQ(std::memcmp(lent, bg[static_cast<size_t>(info.target)].data(), bytes), 0) << i;
    }
  }
  EXPECT_GT(next.seq, 0u);
  ka_utt_get_stats(u, &st);
  EXPECT_GE(st.frames_pulled, pulled + 3) << "a lent frame counts as pulled";
  ka_utt_destroy(u);  // with a slot lent
}
