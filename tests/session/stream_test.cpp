// The offline stream: frames and pixels against the FCA engine and the core interface, the skip
// and frame-count edges, the refusals, and a render failure in the middle of a run.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/test_util.h"
#include "ka/ka.h"
#include "ka/ka_fca.h"
#include "ka/ka_stream.h"
#include "ops/pool.h"
#include "session/offline_stream.h"

namespace {

using ka::test::TempDir;

constexpr int kKp = 63;

// A small bundle (6 source frames) with the offline stream's director "model_render.onnx", the
// forged audio models and an FCA model.
struct StreamFixture {
  TempDir tmp;
  std::string bundle = tmp / "bundle";
  std::string w2v = tmp / "w2v/w2v.onnx";
  std::vector<float> target;
  StreamFixture() {
    ka::test::forge({"bundle", bundle});
    ka::test::forge({"director-steady", bundle, "--render-key"});
    ka::test::forge({"a2x", bundle, tmp / "w2v", "--legacy-only"});
    target = ka::test::readAs<float>(bundle + "/xs_target.bin");
  }
};

StreamFixture& fx() {
  static StreamFixture f;  // forged once per process, removed at exit
  return f;
}

std::vector<float> tone(int samples) {
  std::vector<float> a(static_cast<size_t>(samples));
  for (size_t i = 0; i < a.size(); ++i)
    a[i] = 0.4f * static_cast<float>(std::sin(2 * M_PI * 180.0 * i / 16000.0) * std::sin(M_PI * i / 4000.0));
  return a;
}

struct Collected {
  bool slow = false;  // a callback slower than rendering, so crops wait in the ring
  std::vector<int> numbers;
  std::vector<std::vector<uint8_t>> frames;
  int w = 0, h = 0;
};

void collect(void* user, int n, const unsigned char* rgb, int w, int h) {
  auto& c = *static_cast<Collected*>(user);
  if (c.slow) std::this_thread::sleep_for(std::chrono::milliseconds(150));
  c.numbers.push_back(n);
  c.frames.emplace_back(rgb, rgb + static_cast<size_t>(w) * h * 3);
  c.w = w;
  c.h = h;
}

TEST(Stream, FramesEqualRenderAndPasteOfFcaDeltas) {
  const int skip = 2;
  const float scale = 0.75f;
  ka_stream* s = ka_stream_create(fx().bundle.c_str(), fx().w2v.c_str(), 1, skip, scale);
  ASSERT_TRUE(s) << ka_stream_last_error();
  const std::vector<float> a = tone(16000 + 100);
  const int F = (static_cast<int>(a.size()) + 639) / 640;
  Collected c;
  EXPECT_EQ(ka_stream_run(s, a.data(), static_cast<int>(a.size()), collect, &c), F - skip);
  EXPECT_STREQ(ka_stream_last_error(), "");
  EXPECT_EQ(c.w, ka_stream_width(s));
  EXPECT_EQ(c.h, ka_stream_height(s));
  ka_stream_destroy(s);
  ASSERT_EQ(static_cast<int>(c.frames.size()), F - skip);

  // The same frames through the FCA engine and the core interface, one after the other.
  ka_fca* f = ka_fca_create(fx().w2v.c_str(), (fx().bundle + "/fca_stream.onnx").c_str(), 1);
  ASSERT_TRUE(f) << ka_fca_last_error();
  std::vector<float> deltas(static_cast<size_t>(F) * kKp);
  ASSERT_EQ(ka_fca_deltas(f, a.data(), static_cast<int>(a.size()), deltas.data(), F), F);
  ka_fca_destroy(f);
  ka_ctx* ctx = ka_create(fx().bundle.c_str(), "render", 1, "");
  ASSERT_TRUE(ctx) << ka_last_error();
  const int nt = ka_nt(ctx);
  std::vector<uint8_t> rgb(c.frames[0].size());
  std::vector<float> drive(kKp);
  for (int j = 0; j < F - skip; ++j) {
    EXPECT_EQ(c.numbers[static_cast<size_t>(j)], j);
    const int i = j + skip, si = i % nt;
    const float* base = fx().target.data() + static_cast<size_t>(si) * kKp;
    for (int k = 0; k < kKp; ++k)
      drive[static_cast<size_t>(k)] = base[k] + scale * deltas[static_cast<size_t>(i) * kKp + k];
    const float* crop = ka_render_kp_crop(ctx, si, base, drive.data());
    ASSERT_TRUE(crop) << ka_last_error();
    ASSERT_EQ(ka_paste_crop(ctx, si, crop, rgb.data(), rgb.size()), 1);
    EXPECT_EQ(0, std::memcmp(rgb.data(), c.frames[static_cast<size_t>(j)].data(), rgb.size())) << "frame " << j;
  }
  ka_destroy(ctx);
}

TEST(Stream, FrameCountEdges) {
  ka_stream* s = ka_stream_create(fx().bundle.c_str(), fx().w2v.c_str(), 1, 3, 1.0f);
  ASSERT_TRUE(s) << ka_stream_last_error();
  const std::vector<float> a = tone(641 * 4);
  Collected c;
  // Shorter than the skip: nothing delivered.
  EXPECT_EQ(ka_stream_run(s, a.data(), 640 * 3, collect, &c), 0);
  EXPECT_EQ(ka_stream_run(s, a.data(), 0, collect, &c), 0);
  EXPECT_TRUE(c.frames.empty());
  // 641 samples beyond the three skipped frames make two more frames.
  EXPECT_EQ(ka_stream_run(s, a.data(), 640 * 3 + 641, collect, &c), 2);
  EXPECT_EQ(ka_stream_run(s, a.data(), 640 * 3 + 641, nullptr, nullptr), 2);
  EXPECT_EQ(ka_stream_run(s, nullptr, 10, collect, &c), -1);
  EXPECT_STREQ(ka_stream_last_error(), "ka_stream_run: bad args");
  EXPECT_EQ(ka_stream_run(nullptr, a.data(), 10, collect, &c), -1);
  ka_stream_destroy(s);
  ka_stream_destroy(nullptr);
  EXPECT_EQ(ka_stream_width(nullptr), 0);
}

// A clip holding a NaN or infinite sample is refused with its index before any frame; the stream
// runs the next clip as usual. A thread count above the pool's ceiling is lowered once, with one
// line, for the context and the FCA engine alike.
TEST(Stream, NonFiniteSamplesAndThreadCountsAreBounded) {
  const int ceiling = ka::pool::threadCeiling();
  testing::internal::CaptureStderr();
  ka_stream* s = ka_stream_create(fx().bundle.c_str(), fx().w2v.c_str(), ceiling + 1, 0, 1.0f);
  const std::string said = testing::internal::GetCapturedStderr();
  ASSERT_TRUE(s) << ka_stream_last_error();
  const std::string line = "[ka] ka_stream_create: " + std::to_string(ceiling + 1) + " threads requested, lowered to " +
                           std::to_string(ceiling) + " (4 x " + std::to_string(std::thread::hardware_concurrency()) +
                           " hardware threads)\n";
  EXPECT_EQ(said.find(line), 0u) << said;
  EXPECT_EQ(said.find("threads requested", line.size()), std::string::npos) << said;
  std::vector<float> a = tone(640 * 3);
  a[700] = std::nanf("");
  Collected c;
  EXPECT_EQ(ka_stream_run(s, a.data(), static_cast<int>(a.size()), collect, &c), -1);
  EXPECT_STREQ(ka_stream_last_error(), "ka_stream_run: sample 700 is not finite (nan)");
  EXPECT_TRUE(c.frames.empty());
  a[700] = 0.0f;
  EXPECT_EQ(ka_stream_run(s, a.data(), static_cast<int>(a.size()), collect, &c), 3);
  EXPECT_STREQ(ka_stream_last_error(), "");
  ka_stream_destroy(s);
}

TEST(Stream, Refusals) {
  EXPECT_EQ(ka_stream_create(nullptr, "w", 1, 0, 1.0f), nullptr);
  EXPECT_EQ(ka_stream_create((fx().tmp / "none").c_str(), fx().w2v.c_str(), 1, 0, 1.0f), nullptr);
  EXPECT_EQ(std::string(ka_stream_last_error()).rfind("ka_stream_create: ka_create: ", 0), 0u)
      << ka_stream_last_error();
  EXPECT_EQ(ka_stream_create(fx().bundle.c_str(), (fx().tmp / "none.onnx").c_str(), 1, 0, 1.0f), nullptr);
  EXPECT_EQ(std::string(ka_stream_last_error()).rfind("ka_stream_create: ka_fca_create: ", 0), 0u)
      << ka_stream_last_error();
  EXPECT_EQ(ka_stream_create(fx().bundle.c_str(), fx().w2v.c_str(), 1, -1, 1.0f), nullptr);

  TempDir t;
  const std::string b = t / "b";
  ka::test::forge({"bundle", b});
  ka::test::forge({"director-steady", b, "--render-key"});
  ka::test::forge({"a2x", b, t / "w2v", "--legacy-only"});
  ka::test::writeString(b + "/xs_target.bin", "short");
  EXPECT_EQ(ka_stream_create(b.c_str(), (t / "w2v/w2v.onnx").c_str(), 1, 0, 1.0f), nullptr);
  EXPECT_STREQ(ka_stream_last_error(), "ka_stream_create: cannot read xs_target.bin (NT*63 f32)");
}

// A render failure in the middle of a run: the crops rendered before it (waiting in the ring while
// a slow consumer works) are still delivered, then the failure is reported. A delivery failure
// stops the render side too.
TEST(StreamThreads, RenderFailureDeliversTheCropsBeforeIt) {
  const size_t elems = 3 * 8 * 8;
  std::vector<float> crop(elems);
  std::atomic<int> rendered{0};
  auto render = [&](int j) -> const float* {
    if (j == 6) return nullptr;
    std::fill(crop.begin(), crop.end(), static_cast<float>(j));
    ++rendered;
    return crop.data();
  };
  std::vector<int> got;
  bool failed = false;
  const int n = ka::overlapRenderDeliver(
      10, elems, render,
      [&](int j, const float* c) {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        EXPECT_EQ(c[0], static_cast<float>(j));
        EXPECT_EQ(c[elems - 1], static_cast<float>(j));
        got.push_back(j);
        return true;
      },
      &failed);
  EXPECT_EQ(n, 6);
  EXPECT_TRUE(failed);
  EXPECT_EQ(got, (std::vector<int>{0, 1, 2, 3, 4, 5}));

  got.clear();
  rendered = 0;
  EXPECT_EQ(ka::overlapRenderDeliver(
                50, elems, render,
                [&](int j, const float*) {
                  got.push_back(j);
                  return j < 2;
                },
                &failed),
            2);
  EXPECT_TRUE(failed);
  EXPECT_LE(rendered.load(), 2 + 1 + 4);  // the ring holds four; rendering stopped soon after
  EXPECT_EQ(ka::overlapRenderDeliver(
                0, elems, render, [](int, const float*) { return true; }, &failed),
            0);
  EXPECT_FALSE(failed);
}

// The command-line tool end to end: any audio FFmpeg reads (here 44.1 kHz stereo WAV) resampled
// to 16 kHz mono, every frame in the MP4 beside an AAC track; a missing file is refused.
TEST(StreamTool, SpeakAndLiveWriteTalkingMp4) {
  const std::string ka = std::string(KA_BINARY_DIR) + "/tools/ka";
  if (!ka::test::exists(ka)) GTEST_SKIP() << "the ka tool is not built";
  TempDir t;
  const auto q = ka::test::shellQuote;
  ASSERT_EQ(ka::test::runCommand("ffmpeg -v error -y -f lavfi -i sine=frequency=220:sample_rate=44100:duration=1.0 "
                                 "-ac 2 " +
                                 q(t / "a.wav")),
            0);
  const std::string log = " > " + q(t / "log.txt") + " 2>&1";
  ASSERT_EQ(ka::test::runCommand(q(ka) + " speak " + q(fx().bundle) + " " + q(t / "a.wav") + " --w2v " + q(fx().w2v) +
                                 " --out " + q(t / "speak.mp4") + " --skip 2" + log),
            0)
      << ka::test::readString(t / "log.txt");
  ka::test::ScopedEnv w2v("W2V_ONNX", fx().w2v);
  ASSERT_EQ(
      ka::test::runCommand(q(ka) + " live " + q(fx().bundle) + " " + q(t / "a.wav") + " --motion " + q(fx().bundle) +
                           " --out " + q(t / "live.mp4") + " --model render --lead 2 --tail 3" + log),
      0)
      << ka::test::readString(t / "log.txt");
  auto probe = [&](const std::string& mp4) {
    const std::string out = t / "probe.txt";
    EXPECT_EQ(ka::test::runCommand("ffprobe -v error -count_frames -show_entries "
                                   "stream=codec_name,nb_read_frames,sample_rate,channels -of compact " +
                                   q(mp4) + " > " + q(out)),
              0);
    return ka::test::readString(out);
  };
  const std::string speak = probe(t / "speak.mp4");
  EXPECT_NE(speak.find("codec_name=h264|nb_read_frames=23"), std::string::npos) << speak;  // 25 frames, 2 skipped
  EXPECT_NE(speak.find("codec_name=aac|sample_rate=16000|channels=1"), std::string::npos) << speak;
  const std::string live = probe(t / "live.mp4");
  EXPECT_NE(live.find("codec_name=aac|sample_rate=16000|channels=1"), std::string::npos) << live;
  EXPECT_NE(ka::test::readString(t / "log.txt").find("speech 25, ramp 6"), std::string::npos)
      << ka::test::readString(t / "log.txt");

  EXPECT_EQ(ka::test::runCommand(q(ka) + " speak " + q(fx().bundle) + " " + q(t / "none.wav") + " --w2v " +
                                 q(fx().w2v) + " --out " + q(t / "x.mp4") + log),
            1);
  EXPECT_NE(ka::test::readString(t / "log.txt").find("none.wav: cannot open (No such file or directory)"),
            std::string::npos);
}

}  // namespace
