// The audio-to-motion engine against numpy references of the forged motion directory.
#include <sys/stat.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "audio/mel.h"
#include "audio/motion_pose.h"
#include "common/test_util.h"
#include "ka/ka_motion.h"

namespace {

using ka::test::TempDir;

constexpr int kRow = 1 + 2 * 63;  // index, base row, drive row
constexpr int kNt = 12;

struct Frames {
  std::vector<int> index;
  std::vector<float> base, drive;
  int count() const { return static_cast<int>(index.size()); }
};

struct MotionDeleter {
  void operator()(ka_motion* m) const { ka_motion_destroy(m); }
};
using MotionPtr = std::unique_ptr<ka_motion, MotionDeleter>;

MotionPtr open(const std::string& dir) {
  MotionPtr m(ka_motion_create(dir.c_str(), 1, nullptr));
  EXPECT_TRUE(m) << ka_motion_last_error();
  return m;
}

void drain(ka_motion* m, Frames& out) {
  for (int n; (n = ka_motion_avail(m)) > 0;) {
    std::vector<int> idx(n);
    std::vector<float> b(n * 63), d(n * 63);
    ASSERT_EQ(ka_motion_pull(m, idx.data(), b.data(), d.data(), n), n);
    out.index.insert(out.index.end(), idx.begin(), idx.end());
    out.base.insert(out.base.end(), b.begin(), b.end());
    out.drive.insert(out.drive.end(), d.begin(), d.end());
  }
}

// Pushes `audio` in pieces of the given sizes (cycled), pulling what is ready after each, then
// finishes and drains.
Frames run(ka_motion* m, const std::vector<float>& audio, const std::vector<int>& pieces, Frames* early = nullptr) {
  Frames out;
  size_t at = 0;
  for (size_t k = 0; at < audio.size(); ++k) {
    const int n = static_cast<int>(std::min<size_t>(pieces[k % pieces.size()], audio.size() - at));
    EXPECT_EQ(ka_motion_push(m, audio.data() + at, n), 1);
    at += n;
    drain(m, out);
  }
  if (early) *early = out;
  EXPECT_EQ(ka_motion_finish(m), 1) << ka_motion_last_error();
  drain(m, out);
  return out;
}

// Speech-like audio: voiced bursts of a few harmonics with noise, syllable envelopes, pauses.
std::vector<float> speechLike(int frames, uint32_t seed = 7) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> noise(0.0f, 1.0f);
  std::vector<float> a(static_cast<size_t>(frames) * 640);
  for (size_t i = 0; i < a.size(); ++i) {
    const double t = i / 16000.0;
    const double syl = std::sin(M_PI * std::fmod(t, 0.25) / 0.25);
    const bool pause = std::fmod(t, 1.6) > 1.2;
    const double voice = 0.2 * std::sin(2 * M_PI * 140 * t) + 0.1 * std::sin(2 * M_PI * 420 * t);
    a[i] = pause ? 0.0f : static_cast<float>(syl * syl * (voice + 0.03 * noise(rng)));
  }
  return a;
}

// Frames from the numpy reference of the forged directory (the clip pushed whole).
Frames reference(const TempDir& tmp, const std::string& dir, const std::vector<float>& audio, int start = 0,
                 int direction = 1, int wrap = 1) {
  ka::test::writeAs(tmp / "ref_in.f32", audio);
  Frames f;
  if (!ka::test::forge({"motion-ref", dir, tmp / "ref_in.f32", tmp / "ref_out.f32", "--start", std::to_string(start),
                        "--direction", std::to_string(direction), "--wrap", std::to_string(wrap)}))
    return f;
  const std::vector<float> r = ka::test::readAs<float>(tmp / "ref_out.f32");
  for (size_t i = 0; i + kRow <= r.size(); i += kRow) {
    f.index.push_back(static_cast<int>(r[i]));
    f.base.insert(f.base.end(), r.begin() + i + 1, r.begin() + i + 64);
    f.drive.insert(f.drive.end(), r.begin() + i + 64, r.begin() + i + kRow);
  }
  return f;
}

void expectFramesNear(const Frames& got, const Frames& want, float tol) {
  ASSERT_EQ(got.count(), want.count());
  EXPECT_EQ(got.index, want.index);
  float worstBase = 0, worstDrive = 0;
  for (size_t i = 0; i < got.base.size(); ++i) {
    worstBase = std::max(worstBase, std::fabs(got.base[i] - want.base[i]));
    worstDrive = std::max(worstDrive, std::fabs(got.drive[i] - want.drive[i]));
  }
  EXPECT_LE(worstBase, tol);
  EXPECT_LE(worstDrive, tol);
}

class Motion : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    tmp_ = new TempDir;
    ASSERT_TRUE(ka::test::forge({"motion", dir(), "--nt", std::to_string(kNt), "--s-bridge", "1.5"}));
  }
  static void TearDownTestSuite() {
    delete tmp_;
    tmp_ = nullptr;
  }
  static std::string dir() { return *tmp_ / "motion"; }
  // A copy of the forged directory to damage.
  static std::string copyDir(const TempDir& to) {
    EXPECT_EQ(ka::test::runCommand("cp -r " + ka::test::shellQuote(dir()) + " " + ka::test::shellQuote(to / "m")), 0);
    return to / "m";
  }
  static TempDir* tmp_;
};
TempDir* Motion::tmp_ = nullptr;

// --- the front end ---------------------------------------------------------------------------

TEST_F(Motion, MelOfOneWindowMatchesNumpyRfft) {
  TempDir t;
  const std::vector<float> window = ka::test::readAs<float>(dir() + "/hubert_stft_window.bin");
  const std::vector<float> binmat = ka::test::readAs<float>(dir() + "/hubert_stft_binmat.bin");
  ka::MelFrontEnd mel(window.data(), binmat.data());
  std::vector<float> speech = speechLike(11);
  std::vector<float> in(speech.begin() + 300, speech.begin() + 300 + ka::kMelWindowSamples);
  in[0] = 0.9f;  // the reflected edges must not repeat the end samples
  in[1] = -0.7f;
  in[ka::kMelWindowSamples - 1] = 0.8f;
  std::vector<float> got(ka::kMelFrames * ka::kMelBins);
  mel.compute(in.data(), got.data());
  ka::test::writeAs(t / "in.f32", in);
  const std::string py =
      "import numpy as np, sys\n"
      "d = sys.argv[1]; x = np.fromfile(d + '/in.f32', np.float32).astype(np.float64)\n"
      "w = np.fromfile(sys.argv[2] + '/hubert_stft_window.bin', np.float32).astype(np.float64)\n"
      "m = np.fromfile(sys.argv[2] + '/hubert_stft_binmat.bin', np.float32).astype(np.float64).reshape(257, 80)\n"
      "p = np.pad(x, 256, mode='reflect')\n"
      "f = np.stack([p[320 * j:320 * j + 512] * w for j in range(21)])\n"
      "np.log(np.abs(np.fft.rfft(f, axis=1)) @ m + 1e-8).astype(np.float32).tofile(d + '/ref.f32')\n";
  ka::test::writeString(t / "mel.py", py);
  ASSERT_EQ(ka::test::runCommand(std::string(KA_PYTHON) + " " + t / "mel.py " + t.path() + " " + dir()), 0);
  const std::vector<float> want = ka::test::readAs<float>(t / "ref.f32");
  ASSERT_EQ(want.size(), got.size());
  // Log-mel values of a float32 FFT: within 2e-4 of float64 (values span about -5 .. 3).
  for (size_t i = 0; i < got.size(); ++i) ASSERT_NEAR(got[i], want[i], 2e-4) << "at " << i;
}

TEST_F(Motion, PoseDecodeAndRotationMatchNumpy) {
  TempDir t;
  std::mt19937 rng(3);
  std::normal_distribution<float> n(0.0f, 2.0f);
  std::vector<float> bins(66 * 4), got;
  for (float& b : bins) b = n(rng);
  for (int k = 0; k < 4; ++k) got.push_back(ka::bin66(bins.data() + 66 * k));
  float r[9];
  ka::poseRotation(got[0], got[1], got[2] + 40.0f, r);
  got.insert(got.end(), r, r + 9);
  ka::test::writeAs(t / "bins.f32", bins);
  const std::string py = "import sys; sys.path.insert(0, '" KA_SOURCE_DIR
                         "/tools/forge')\n"
                         "import numpy as np; from ka_forge import motion as M\n"
                         "b = np.fromfile(sys.argv[1] + '/bins.f32', np.float32).reshape(4, 66)\n"
                         "a = [M.bin66(r) for r in b]\n"
                         "R = M.rotation(a[0], a[1], a[2] + 40.0)\n"
                         "np.array(a + list(R.reshape(-1)), np.float32).tofile(sys.argv[1] + '/ref.f32')\n";
  ka::test::writeString(t / "pose.py", py);
  ASSERT_EQ(ka::test::runCommand(std::string(KA_PYTHON) + " " + t / "pose.py " + t.path()), 0);
  const std::vector<float> want = ka::test::readAs<float>(t / "ref.f32");
  ASSERT_EQ(want.size(), got.size());
  for (size_t i = 0; i < got.size(); ++i) EXPECT_NEAR(got[i], want[i], i < 4 ? 1e-4 : 1e-6) << i;
}

// --- frames end to end -----------------------------------------------------------------------

TEST_F(Motion, FramesMatchNumpyReferenceAndPiecesDoNotMatter) {
  TempDir t;
  // 230 frames: four chunks, the last one partly past the audio.
  const std::vector<float> audio = speechLike(230);
  const Frames want = reference(t, dir(), audio);
  ASSERT_EQ(want.count(), 230);
  auto m = open(dir());
  const Frames whole = run(m.get(), audio, {static_cast<int>(audio.size())});
  // Lip gain 1.1, s_bridge 1.5, the seams at 70, 140 and 210: all in the reference.
  expectFramesNear(whole, want, 2e-5f);
  EXPECT_EQ(ka_motion_total(m.get()), 230);
  for (const std::vector<int>& pieces : {std::vector<int>{1, 639, 7777}, std::vector<int>{640}, {3200, 13}}) {
    auto m2 = open(dir());
    const Frames got = run(m2.get(), audio, pieces);
    EXPECT_EQ(got.index, whole.index);
    EXPECT_EQ(got.base, whole.base);
    EXPECT_EQ(got.drive, whole.drive);  // bit for bit
  }
}

TEST_F(Motion, OnlyTheSixLipKeypointsMoveWithSpeech) {
  TempDir t;
  const std::vector<float> audio = speechLike(60);
  auto m = open(dir());
  const Frames f = run(m.get(), audio, {4000});
  ASSERT_EQ(f.count(), 60);
  const bool lip[21] = {0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 1, 0, 1, 0, 0, 1, 0, 1, 1};
  float moved = 0;
  for (int i = 0; i < f.count(); ++i)
    for (int k = 0; k < 63; ++k) {
      const float d = f.drive[i * 63 + k] - f.base[i * 63 + k];
      if (!lip[k / 3]) {
        ASSERT_EQ(d, 0.0f) << "frame " << i << " value " << k;
      }
      moved = std::max(moved, std::fabs(d));
    }
  EXPECT_GT(moved, 0.03f);  // the upper lip opens by several hundredths with speech
}

TEST_F(Motion, WalksForwardBackwardPingPongAndWithOneSource) {
  TempDir t;
  const std::vector<float> audio = speechLike(40);
  struct Case {
    int start, direction, wrap;
  };
  for (Case c : {Case{5, 1, 1}, Case{2, -1, 1}, Case{9, 1, 0}, Case{1, -1, 0}, Case{-4, 1, 0}, Case{99, 1, 1}}) {
    SCOPED_TRACE(std::to_string(c.start) + "," + std::to_string(c.direction) + "," + std::to_string(c.wrap));
    auto m = open(dir());
    EXPECT_EQ(ka_motion_reset(m.get(), c.start, c.direction, c.wrap), c.direction < 0 ? -1 : 1);
    const Frames got = run(m.get(), audio, {2000});
    expectFramesNear(got, reference(t, dir(), audio, c.start, c.direction, c.wrap), 2e-5f);
  }
  // Ping-pong turns at both ends: 9 -> 10, 11, 10, ... and 1 -> 0, 1, 2, ...
  auto m = open(dir());
  ka_motion_reset(m.get(), 10, 1, 0);
  const Frames pp = run(m.get(), audio, {640});
  EXPECT_EQ(std::vector<int>(pp.index.begin(), pp.index.begin() + 4), (std::vector<int>{11, 10, 9, 8}));

  TempDir one;
  ASSERT_TRUE(ka::test::forge({"motion", one / "m", "--nt", "1"}));
  for (int wrap : {0, 1}) {
    auto m1 = open(one / "m");
    ASSERT_EQ(ka_motion_nt(m1.get()), 1);
    ka_motion_reset(m1.get(), 3, -1, wrap);
    const Frames f = run(m1.get(), audio, {5000});
    ASSERT_EQ(f.count(), 40);
    for (int i : f.index) ASSERT_EQ(i, 0);
    expectFramesNear(f, reference(t, one / "m", audio, 3, -1, wrap), 2e-5f);
  }
}

// --- streaming -------------------------------------------------------------------------------

TEST_F(Motion, ReadyFramesStayTenBehindTheMotion) {
  auto m = open(dir());
  const std::vector<float> audio = speechLike(200);
  // 80 feature rows need the window at frame 75: 75 x 640 + 4480 samples.
  ASSERT_EQ(ka_motion_push(m.get(), audio.data(), 52479), 1);
  EXPECT_EQ(ka_motion_avail(m.get()), 0);
  ASSERT_EQ(ka_motion_push(m.get(), audio.data() + 52479, 1), 1);
  EXPECT_EQ(ka_motion_avail(m.get()), 69);  // 80 motion rows, the last 10 provisional, one more for smoothing
  int idx[5];
  float b[5 * 63], d[5 * 63];
  EXPECT_EQ(ka_motion_pull(m.get(), idx, b, d, 5), 5);
  EXPECT_EQ(ka_motion_avail(m.get()), 64);
  ASSERT_EQ(ka_motion_push(m.get(), audio.data() + 52480, 145 * 640 + 4480 - 52480), 1);
  EXPECT_EQ(ka_motion_avail(m.get()), 139 - 5);
  EXPECT_EQ(ka_motion_total(m.get()), -1);
  ASSERT_EQ(ka_motion_finish(m.get()), 1);
  EXPECT_EQ(ka_motion_total(m.get()), (145 * 640 + 4480 + 639) / 640);
  EXPECT_EQ(ka_motion_avail(m.get()), ka_motion_total(m.get()) - 5);
}

TEST_F(Motion, EagerMakesFramesReadySoonerAndLeavesCommittedRowsAlone) {
  const std::vector<float> audio = speechLike(260);
  auto plain = open(dir());
  Frames plainEarly;
  const Frames want = run(plain.get(), audio, {1280}, &plainEarly);

  // Eager, pulling nothing before finish: every advance is later undone, so the frames are those
  // of the run without eager, bit for bit (the provisional condition is undone as well).
  auto quiet = open(dir());
  ka_motion_set_eager(quiet.get(), 1000);
  size_t at = 0;
  int readyEarly = 0;
  for (; at < audio.size(); at += 1280) {
    ka_motion_push(quiet.get(), audio.data() + at, static_cast<int>(std::min<size_t>(1280, audio.size() - at)));
    const int n = ka_motion_avail(quiet.get());
    if (at < 52480 && n > 0) readyEarly = std::max(readyEarly, n);
  }
  EXPECT_GT(readyEarly, 0);  // before the first real chunk could run
  ASSERT_EQ(ka_motion_finish(quiet.get()), 1);
  Frames got;
  drain(quiet.get(), got);
  EXPECT_EQ(got.drive, want.drive);

  // Eager while pulling: frames come sooner (some from provisional rows, which is what eager
  // changes), and the count per utterance stays the audio's frame count.
  auto live = open(dir());
  ka_motion_set_eager(live.get(), 1);
  Frames early;
  const Frames all = run(live.get(), audio, {1280}, &early);
  EXPECT_GT(early.count(), plainEarly.count());
  EXPECT_EQ(all.count(), 260);
  EXPECT_EQ(all.index, want.index);
}

TEST_F(Motion, ResetStartsTheNextUtteranceFromScratch) {
  const std::vector<float> a = speechLike(120, 1), b = speechLike(90, 2);
  auto m = open(dir());
  const Frames first = run(m.get(), a, {3000});
  ASSERT_EQ(first.count(), 120);
  EXPECT_EQ(ka_motion_reset(m.get(), 4, -1, 1), -1);
  EXPECT_EQ(ka_motion_total(m.get()), -1);
  Frames early;
  const Frames second = run(m.get(), b, {3000}, &early);
  EXPECT_GT(early.count(), 0);  // not held back by the first utterance's frames
  ASSERT_EQ(second.count(), 90);
  auto fresh = open(dir());
  ka_motion_reset(fresh.get(), 4, -1, 1);
  const Frames alone = run(fresh.get(), b, {3000});
  EXPECT_EQ(second.index, alone.index);
  EXPECT_EQ(second.base, alone.base);
}

// A generator that loads but fails inside ONNX Runtime: the failed finish leaves no total and no
// frames (total, avail, pull and push report it) until reset starts the next utterance.
TEST_F(Motion, FailedFinishLeavesTheUtteranceFailed) {
  TempDir t;
  ASSERT_TRUE(ka::test::forge({"motion", t / "m", "--nt", "12", "--lmdm-gather-oob"}));
  auto m = open(t / "m");
  const std::vector<float> audio = speechLike(100);  // 4 s
  ASSERT_EQ(ka_motion_push(m.get(), audio.data(), static_cast<int>(audio.size())), 1);
  EXPECT_EQ(ka_motion_finish(m.get()), 0);
  const std::string why = ka_motion_last_error();
  EXPECT_EQ(why.rfind("ka_motion_finish: ", 0), 0u) << why;
  EXPECT_NE(why.find("Gather"), std::string::npos) << why;  // ONNX Runtime's own text
  const std::string failed = "the utterance failed in finish (" + why.substr(18) + "); reset starts the next one";
  EXPECT_EQ(ka_motion_total(m.get()), -2);
  EXPECT_EQ(ka_motion_last_error(), "ka_motion_total: " + failed);
  EXPECT_EQ(ka_motion_avail(m.get()), 0);
  EXPECT_EQ(ka_motion_last_error(), "ka_motion_avail: " + failed);
  int idx[4] = {-7, -7, -7, -7};
  float b[4 * 63], d[4 * 63];
  EXPECT_EQ(ka_motion_pull(m.get(), idx, b, d, 4), 0);
  EXPECT_EQ(ka_motion_last_error(), "ka_motion_pull: " + failed);
  EXPECT_EQ(idx[0], -7);
  EXPECT_EQ(ka_motion_push(m.get(), audio.data(), 640), 0);
  EXPECT_EQ(ka_motion_finish(m.get()), 0);
  EXPECT_EQ(ka_motion_last_error(), "ka_motion_finish: " + failed);
  // Reset: the next utterance starts clean (its windows run; no chunk is due yet).
  ka_motion_reset(m.get(), 0, 1, 1);
  EXPECT_EQ(ka_motion_total(m.get()), -1);
  EXPECT_STREQ(ka_motion_last_error(), "");
  EXPECT_EQ(ka_motion_push(m.get(), audio.data(), 16000), 1);
  EXPECT_EQ(ka_motion_avail(m.get()), 0);
  EXPECT_STREQ(ka_motion_last_error(), "");
}

TEST_F(Motion, DumpsWriteTheirFiles) {
  TempDir t;
  ka::test::ScopedEnv env("KA_MOTION_DUMP", t.path());
  auto m = open(dir());
  const Frames f = run(m.get(), speechLike(30), {30 * 640});
  ASSERT_EQ(f.count(), 30);
  const std::pair<const char*, size_t> files[] = {
      {"mel0.bin", 21 * 80},        {"feat0.bin", 5 * 1103},    {"lmdm0_kp.bin", 265},   {"lmdm0_aud.bin", 80 * 1103},
      {"lmdm0_pred.bin", 80 * 265}, {"res_post.bin", 30 * 265}, {"final.bin", 30 * 265}, {"cond.bin", 265},
      {"xs.bin", 30 * 63},          {"xd.bin", 30 * 63},        {"xsla.bin", 30 * 63},   {"xdla.bin", 30 * 63}};
  for (const auto& [name, floats] : files) EXPECT_EQ(ka::test::readBytes(t / name).size(), floats * 4) << name;
  EXPECT_EQ(ka::test::readAs<float>(t / "xdla.bin"), f.drive);
}

TEST_F(Motion, SpokenTextOpensTheMouth) {
  TempDir t;
  if (ka::test::runCommand("command -v espeak-ng >/dev/null") != 0) GTEST_SKIP() << "espeak-ng is not installed";
  ASSERT_EQ(ka::test::runCommand("espeak-ng -w " + t / "s.wav" +
                                 " 'Hello, and welcome. Let us talk.' && ffmpeg "
                                 "-loglevel error -i " +
                                 t / "s.wav" + " -ar 16000 -ac 1 -f f32le " + t / "s.f32"),
            0);
  std::vector<float> audio(8000, 0.0f);  // a quiet start, as an utterance has
  const std::vector<float> speech = ka::test::readAs<float>(t / "s.f32");
  audio.insert(audio.end(), speech.begin(), speech.end());
  auto m = open(dir());
  const Frames f = run(m.get(), audio, {1600});
  float open = 0;  // upper lip y: drive below base means raised, the mouth opens
  for (int i = 0; i < f.count(); ++i) open = std::max(open, f.base[i * 63 + 52] - f.drive[i * 63 + 52]);
  EXPECT_GT(open, 0.05f);
  EXPECT_NEAR(f.base[52] - f.drive[52], 0.0f, 1e-6f);
}

// --- refusals --------------------------------------------------------------------------------

std::string createError(const std::string& dir, int threads = 1, const char* ep = nullptr) {
  MotionPtr m(ka_motion_create(dir.c_str(), threads, ep));
  return m ? "(created)" : ka_motion_last_error();
}

TEST_F(Motion, TablesOfTheWrongSizeOrWithNaNAreRefused) {
  struct Case {
    const char* file;
    size_t floats;
  };
  for (Case c :
       {Case{"hubert_stft_window.bin", 512}, Case{"hubert_stft_binmat.bin", 257 * 80}, Case{"hubert_fmean.bin", 1024},
        Case{"hubert_fstd.bin", 1024}, Case{"emo.bin", 3 * 8}, Case{"ch_xs_info.bin", 328}, Case{"ch_sc.bin", 63},
        Case{"ch_eye_open.bin", 2}, Case{"ch_eye_ball.bin", 6}, Case{"v_min_max.bin", 530},
        Case{"src_xs_info.bin", kNt * 328}, Case{"xs_target.bin", kNt * 63}}) {
    SCOPED_TRACE(c.file);
    TempDir t;
    const std::string d = copyDir(t), path = d + "/" + c.file;
    const std::vector<uint8_t> good = ka::test::readBytes(path);
    ASSERT_EQ(good.size(), c.floats * 4);
    const std::string want = "ka_motion_create: " + path + ": ";
    std::vector<uint8_t> bytes(good.begin(), good.end() - 4);
    ka::test::writeBytes(path, bytes.data(), bytes.size());
    EXPECT_EQ(createError(d), want + std::to_string(c.floats - 1) + " floats, expected " + std::to_string(c.floats));
    bytes = good;
    bytes.insert(bytes.end(), {1, 2, 3});  // a few bytes past a whole float count
    ka::test::writeBytes(path, bytes.data(), bytes.size());
    EXPECT_EQ(createError(d),
              want + std::to_string(c.floats) + " floats and 3 bytes, expected " + std::to_string(c.floats));
    bytes = good;
    const float nan = std::nanf("");
    std::memcpy(bytes.data() + 4, &nan, 4);
    ka::test::writeBytes(path, bytes.data(), bytes.size());
    EXPECT_EQ(createError(d), want + "value 1 is not finite");
    std::remove(path.c_str());
    EXPECT_EQ(createError(d), "ka_motion_create: cannot open " + path);
  }
}

TEST_F(Motion, MetaFilesThatAreIncompleteOrAbsurdAreRefused) {
  TempDir t;
  const std::string d = copyDir(t);
  const std::pair<const char*, const char*> cases[] = {
      {R"({"n_src": 12, "n_emo": 3})", "meta.json: missing nt"},
      {R"({"nt": 12, "n_src": 12})", "meta.json: missing n_emo"},
      {R"({"nt": 12, "n_src": 12, "n_emo": 0})", "meta.json: bad n_emo"},
      {R"({"nt": -12, "n_src": -12, "n_emo": 3})", "meta.json: bad nt"},
      {R"({"nt": 1e12, "n_src": 1e12, "n_emo": 3})", "meta.json: bad nt"},
      {R"({"nt": 12.5, "n_src": 12, "n_emo": 3})", "meta.json: bad nt"},
      {R"({"nt": "12", "n_src": 12, "n_emo": 3})", "meta.json: bad nt"},
      {R"({"nt": 12, "n_src": 12, "n_emo": 3, "s_bridge": NaN})", "meta.json: bad s_bridge"},
      {R"({"nt": 12, "n_src": 12, "n_emo": 3, "delta_pitch": 1e9})", "meta.json: bad delta_pitch"},
      // Present with a value of the wrong type: bad, required or optional, never missing or absent.
      {R"({"nt": 12, "n_src": 12, "n_emo": [3]})", "meta.json: bad n_emo"},
      {R"({"nt": {"v": 12}, "n_src": 12, "n_emo": 3})", "meta.json: bad nt"},
      {R"({"nt": 12, "n_src": 12, "n_emo": 3, "delta_pitch": [1]})", "meta.json: bad delta_pitch"},
      {R"({"nt": 12, "n_src": 12, "n_emo": 3, "s_bridge": {"v": 1}})", "meta.json: bad s_bridge"},
      {R"({"nt": 12, "n_src": 12, "n_emo": 3, "delta_pitch": null})", "meta.json: bad delta_pitch"},
      {R"({"nt": 12, "n_src": 11, "n_emo": 3})", "ka_motion: n_src != nt unsupported"},
      {R"({"nt": 2000000, "n_src": 2000000, "n_emo": 3})", "meta.json: bad nt"},
      {R"({"nt": 13, "n_src": 13, "n_emo": 3})", ""},  // a count the tables do not have
  };
  for (const auto& [text, want] : cases) {
    SCOPED_TRACE(text);
    ka::test::writeString(d + "/meta.json", text);
    const std::string got = createError(d);
    if (*want)
      EXPECT_EQ(got, std::string("ka_motion_create: ") + want);
    else
      EXPECT_EQ(got, "ka_motion_create: " + d + "/src_xs_info.bin: " + std::to_string(kNt * 328) +
                         " floats, expected " + std::to_string(13 * 328));
  }
  std::remove((d + "/meta.json").c_str());
  EXPECT_EQ(createError(d), "ka_motion_create: cannot open " + d + "/meta.json");
  ASSERT_EQ(mkfifo((d + "/meta.json").c_str(), 0600), 0);  // must not hang the open
  EXPECT_EQ(createError(d), "ka_motion_create: " + d + "/meta.json: not a regular file");
}

TEST_F(Motion, ModelsWithOtherInputsAndBadArgumentsAreRefused) {
  TempDir t;
  ASSERT_TRUE(ka::test::forge({"motion", t / "name", "--nt", "12", "--hubert-input", "audio"}));
  EXPECT_EQ(createError(t / "name"),
            "ka_motion_create: " + t / "name/hubert_student.onnx" + ": no input 'mel' (first input is 'audio')");
  ASSERT_TRUE(ka::test::forge({"motion", t / "shape", "--nt", "12", "--lmdm-shape", "1,80,1000"}));
  EXPECT_EQ(createError(t / "shape"),
            "ka_motion_create: " + t / "shape/lmdm.onnx" + ": input 'chunk' is [1,80,1000], expected [1,80,1103]");
  // Inputs and outputs without a declared shape (unknown rank) are fed the expected shapes.
  ASSERT_TRUE(ka::test::forge({"motion", t / "free", "--nt", "12", "--s-bridge", "1.5", "--unshaped"}));
  {
    auto free = open(t / "free"), shaped = open(dir());
    ASSERT_TRUE(free);
    const std::vector<float> audio = speechLike(90);
    const Frames got = run(free.get(), audio, {4000});
    ASSERT_EQ(got.count(), 90);
    EXPECT_EQ(got.drive, run(shaped.get(), audio, {4000}).drive);
  }
  ASSERT_TRUE(ka::test::forge({"motion", t / "flat", "--nt", "12", "--lmdm-shape", "1,88240"}));
  EXPECT_EQ(createError(t / "flat"), "(created)");  // the same values under another fixed shape
  ka::test::writeString(t / "flat/stitch.onnx", "not a model");
  EXPECT_EQ(createError(t / "flat").rfind("ka_motion_create: " + t / "flat/stitch.onnx: ", 0), 0u);
  std::remove((t / "flat/stitch.onnx").c_str());
  EXPECT_EQ(createError(t / "flat"), "ka_motion_create: cannot open " + t / "flat/stitch.onnx");

  EXPECT_EQ(createError(dir(), 1, "cuda"), "ka_motion_create: ka_motion: unknown ep 'cuda'");
  EXPECT_EQ(createError(dir(), 1000), "ka_motion_create: threads 1000 out of range (at most 64)");
  EXPECT_EQ(createError(dir(), 0, ""), "(created)");
  EXPECT_EQ(ka_motion_create(nullptr, 1, nullptr), nullptr);
  EXPECT_STREQ(ka_motion_last_error(), "ka_motion_create: NULL motion_dir");

  auto m = open(dir());
  float s[4] = {};
  int idx;
  EXPECT_EQ(ka_motion_push(m.get(), nullptr, 4), 0);
  EXPECT_STREQ(ka_motion_last_error(), "ka_motion_push: bad args / already finished");
  EXPECT_EQ(ka_motion_push(m.get(), s, -1), 0);
  EXPECT_EQ(ka_motion_push(nullptr, s, 4), 0);
  s[2] = -INFINITY;  // refused with its index; nothing is appended
  EXPECT_EQ(ka_motion_push(m.get(), s, 4), 0);
  EXPECT_STREQ(ka_motion_last_error(), "ka_motion_push: sample 2 is not finite (-inf)");
  s[2] = 0.0f;
  EXPECT_EQ(ka_motion_push(m.get(), s, 4), 1);
  EXPECT_STREQ(ka_motion_last_error(), "");
  EXPECT_EQ(ka_motion_pull(m.get(), &idx, nullptr, s, 1), 0);
  EXPECT_STREQ(ka_motion_last_error(), "ka_motion_pull: bad args");
  EXPECT_EQ(ka_motion_finish(m.get()), 1);
  EXPECT_EQ(ka_motion_push(m.get(), s, 4), 0);
  EXPECT_STREQ(ka_motion_last_error(), "ka_motion_push: bad args / already finished");
  EXPECT_EQ(ka_motion_total(m.get()), 1);
  EXPECT_EQ(ka_motion_total(nullptr), -1);
  EXPECT_EQ(ka_motion_nt(nullptr), 0);
  EXPECT_EQ(ka_motion_reset(nullptr, 0, 1, 1), 0);
  EXPECT_EQ(ka_motion_avail(nullptr), 0);
  ka_motion_set_eager(nullptr, 1);
  ka_motion_destroy(nullptr);
}

}  // namespace

namespace {

TEST(MotionConcurrent, TwoEnginesOnTwoThreadsGiveTheSameFrames) {
  TempDir t;
  ASSERT_TRUE(ka::test::forge({"motion", t / "m", "--nt", "7"}));
  const std::vector<float> audio = speechLike(100);
  // Opened here, run on two threads at once.
  MotionPtr engines[2] = {open(t / "m"), open(t / "m")};
  ASSERT_TRUE(engines[0] && engines[1]);
  Frames got[2];
  std::string errors[2];
  auto work = [&](int k) {
    ka_motion_push(engines[k].get(), nullptr, 1);  // this thread's own error text
    errors[k] = ka_motion_last_error();
    got[k] = run(engines[k].get(), audio, {1000 + 640 * k});
  };
  std::thread a(work, 0), b(work, 1);
  a.join();
  b.join();
  EXPECT_EQ(errors[0], "ka_motion_push: bad args / already finished");
  EXPECT_EQ(errors[1], errors[0]);
  ASSERT_EQ(got[0].count(), 100);
  EXPECT_EQ(got[0].drive, got[1].drive);
}

}  // namespace
