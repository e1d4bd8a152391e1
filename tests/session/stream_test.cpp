// The offline stream: frames and pixels against the FCA engine and the core interface, the skip
// and frame-count edges, the refusals, and a render failure in the middle of a run.
#include <unistd.h>

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

// A failure on the run's render thread reaches the host with its cause: the director, removed
// after the stream was opened, cannot be loaded when the first face is rendered.
TEST(Stream, RenderThreadFailureNamesItsCause) {
  TempDir t;
  const std::string b = t / "b";
  ASSERT_EQ(ka::test::runCommand("cp -r " + ka::test::shellQuote(fx().bundle) + " " + ka::test::shellQuote(b)), 0);
  ka_stream* s = ka_stream_create(b.c_str(), fx().w2v.c_str(), 1, 0, 1.0f);
  ASSERT_TRUE(s) << ka_stream_last_error();
  ka::test::writeString(b + "/model_render.onnx", "not a model");
  const std::vector<float> a = tone(3 * 640);
  Collected c;
  EXPECT_EQ(ka_stream_run(s, a.data(), static_cast<int>(a.size()), collect, &c), 0);
  const std::string err = ka_stream_last_error();
  const std::string head = "ka_stream_run: render/paste failed: ";
  EXPECT_EQ(err.rfind(head, 0), 0u) << err;
  EXPECT_GT(err.size(), head.size()) << err;
  EXPECT_TRUE(c.numbers.empty());
  ka_stream_destroy(s);
}

// A render failure in the middle of a run: the crops rendered before it (waiting in the ring while
// a slow consumer works) are still delivered, then the failure is reported. A delivery failure
// stops the render side too.
TEST(StreamThreads, RenderFailureDeliversTheCropsBeforeIt) {
  const size_t elems = 3 * 8 * 8;
  std::atomic<int> rendered{0};
  auto render = [&](int j, float* into) {
    if (j == 6) return false;
    std::fill(into, into + elems, static_cast<float>(j));
    ++rendered;
    return true;
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

// The command-line tool of this build and a scratch directory; skipped when the tool is not built.
class StreamTool : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!ka::test::exists(ka)) GTEST_SKIP() << "the ka tool is not built";
  }
  static std::string q(const std::string& s) { return ka::test::shellQuote(s); }
  const std::string ka = std::string(KA_BINARY_DIR) + "/tools/ka";
  TempDir t;
};

// Interleaved float samples of a file's first audio stream, as FFmpeg's own decoder gives them.
std::vector<float> decodeAudio(const std::string& path, const std::string& scratch) {
  const auto q = ka::test::shellQuote;
  EXPECT_EQ(ka::test::runCommand("ffmpeg -v error -y -i " + q(path) + " -map 0:a:0 -f f32le " + q(scratch)), 0);
  return ka::test::readAs<float>(scratch);
}

// The best normalised correlation of an MP4's stereo track with its stereo source over whole-frame
// (1764-sample) offsets o, the track's sample i matched with the source's i + o: {o, left, right}.
std::vector<double> bestMatch(const std::vector<float>& got, const std::vector<float>& src) {
  const int64_t n = 15000, frame = 1764;
  std::vector<double> best = {0, -1, -1};
  // The live tool shows idle frames for as long as the engine needs before speech: on a loaded
  // machine that can be many, so every frame of the output is a candidate start.
  const int64_t back = static_cast<int64_t>(got.size()) / 2 / frame;
  for (int64_t o = -back * frame; o <= 40 * frame; o += frame) {
    const int64_t a = std::max<int64_t>(2000, 2000 - o);
    if (2 * (a + n) > static_cast<int64_t>(got.size()) || 2 * (a + o + n) > static_cast<int64_t>(src.size())) continue;
    double r[2];
    for (int c = 0; c < 2; ++c) {
      double gg = 0, ss = 0, gs = 0;
      for (int64_t i = a; i < a + n; ++i) {
        const double g = got[static_cast<size_t>(2 * i + c)], v = src[static_cast<size_t>(2 * (i + o) + c)];
        gg += g * g;
        ss += v * v;
        gs += g * v;
      }
      r[c] = gs / std::sqrt(gg * ss + 1e-30);
    }
    if (r[0] + r[1] > best[1] + best[2]) best = {double(o), r[0], r[1]};
  }
  return best;
}

// The command-line tool end to end: any audio FFmpeg reads (here a 44.1 kHz stereo WAV: a chirp
// from 200 Hz to 8.2 kHz on the left, 440 Hz on the right) is resampled to 16 kHz mono for the
// models, while the MP4's AAC track keeps the source's rate and channels: FFmpeg's decode of it
// matches the source, channel by channel, at the frames shown; through a pipe (read once) the
// track is what the models heard. A missing file is refused.
TEST_F(StreamTool, SpeakAndLiveWriteTalkingMp4) {
  ASSERT_EQ(ka::test::runCommand("ffmpeg -v error -y -f lavfi -i "
                                 "'aevalsrc=0.5*sin(2*PI*(200+4000*t)*t)|0.4*sin(2*PI*440*t):s=44100:d=1' " +
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
  EXPECT_NE(speak.find("codec_name=aac|sample_rate=44100|channels=2"), std::string::npos) << speak;
  const std::string live = probe(t / "live.mp4");
  EXPECT_NE(live.find("codec_name=aac|sample_rate=44100|channels=2"), std::string::npos) << live;
  EXPECT_NE(ka::test::readString(t / "log.txt").find("speech 25, ramp 6"), std::string::npos)
      << ka::test::readString(t / "log.txt");

  // A pipe reads once: its track is the 16 kHz mono the models heard.
  ASSERT_EQ(ka::test::runCommand("mkfifo " + q(t / "pipe.wav")), 0);
  ASSERT_EQ(ka::test::runCommand("(timeout 120 cat " + q(t / "a.wav") + " > " + q(t / "pipe.wav") +
                                 " &); timeout 120 " + q(ka) + " speak " + q(fx().bundle) + " " + q(t / "pipe.wav") +
                                 " --w2v " + q(fx().w2v) + " --out " + q(t / "pipe.mp4") + log),
            0)
      << ka::test::readString(t / "log.txt");
  EXPECT_NE(probe(t / "pipe.mp4").find("codec_name=aac|sample_rate=16000|channels=1"), std::string::npos);

  const std::vector<float> src = decodeAudio(t / "a.wav", t / "src.f32");
  const std::vector<double> s = bestMatch(decodeAudio(t / "speak.mp4", t / "speak.f32"), src);
  EXPECT_EQ(s[0], 2 * 1764);  // the first frame shown is the clip's third
  EXPECT_GT(s[1], 0.95);
  EXPECT_GT(s[2], 0.95);
  const std::vector<double> l = bestMatch(decodeAudio(t / "live.mp4", t / "live.f32"), src);
  EXPECT_LE(l[0], -2 * 1764);  // the speech comes after the lead-in
  EXPECT_GT(l[1], 0.95);
  EXPECT_GT(l[2], 0.95);

  EXPECT_EQ(ka::test::runCommand(q(ka) + " speak " + q(fx().bundle) + " " + q(t / "none.wav") + " --w2v " +
                                 q(fx().w2v) + " --out " + q(t / "x.mp4") + log),
            1);
  EXPECT_NE(ka::test::readString(t / "log.txt").find("none.wav: cannot open (No such file or directory)"),
            std::string::npos);
}

// Every numeric option is read whole, finite and within its range; anything else is refused with
// the option's name and the text given, before a file is opened.
TEST_F(StreamTool, RefusesMalformedNumbers) {
  const std::string speak = " speak b a.wav --w2v w.onnx --out o.mp4 ";
  const std::string live = " live b a.wav --motion m --out o.mp4 ";
  const std::string render = " render b --drive --out o.mp4 ";
  const std::vector<std::vector<std::string>> cases = {
      {speak, "--skip", "abc"},
      {speak, "--skip", "-1"},
      {speak, "--skip", "3x"},
      {speak, "--skip", ""},
      {speak, "--skip", "99999999999"},
      {speak, "--scale", "abc"},
      {speak, "--scale", "inf"},
      {speak, "--scale", "nan"},
      {speak, "--scale", "1e999"},
      {speak, "--threads", "2.5"},
      {live, "--lead", "abc"},
      {live, "--lead", "-3"},
      {live, "--interrupt-at", "abc"},
      {live, "--interrupt-at", "nan"},
      {live, "--interrupt-at", "-1"},
      {live, "--tail", "7x"},
      {live, "--tail", "0"},
      {live, "--threads", " 4"},
      {render, "--frames", "abc"},
      {render, "--threads", "1e3"},
  };
  for (const auto& c : cases) {
    const std::string what = c[1] + " '" + c[2] + "'";
    EXPECT_EQ(
        ka::test::runCommand("cd " + q(t.path()) + " && " + q(ka) + c[0] + c[1] + " " + q(c[2]) + " > log.txt 2>&1"), 2)
        << what;
    const std::string log = ka::test::readString(t / "log.txt");
    EXPECT_NE(log.find(c[1]), std::string::npos) << what << ": " << log;
    EXPECT_NE(log.find("'" + c[2] + "'"), std::string::npos) << what << ": " << log;
  }
}

// 16-bit mono PCM WAV header at `rate` whose data chunk declares `dataBytes`.
std::string wavHeader(uint32_t rate, uint32_t dataBytes) {
  std::string h;
  auto u32 = [&](uint32_t v) {
    for (int k = 0; k < 4; ++k) h += static_cast<char>((v >> (8 * k)) & 0xff);
  };
  auto u16 = [&](uint16_t v) {
    h += static_cast<char>(v & 0xff);
    h += static_cast<char>(v >> 8);
  };
  h += "RIFF";
  u32(dataBytes + 36 < dataBytes ? 0xffffffffu : dataBytes + 36);
  h += "WAVEfmt ";
  u32(16);
  u16(1);
  u16(1);
  u32(rate);
  u32(rate * 2);
  u16(2);
  u16(16);
  h += "data";
  u32(dataBytes);
  return h;
}

// An audio file is refused by its length while it is read, never expanded whole first: a 32 KB
// WAV declaring 1 Hz (16000 s), a sparse file declaring 4 GiB (134217.7 s), and the same 1 Hz
// samples streamed through a pipe, whose length nothing declares (each 1 Hz sample is 16000 once
// resampled), cut off once they pass the hour. Outside the sanitizers the tool runs within 1 GiB
// of address space.
TEST_F(StreamTool, RefusesOverlongAudioWhileReadingIt) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  const std::string limit = "";
#else
  const std::string limit = "ulimit -v 1048576; ";
#endif
  ka::test::writeString(t / "one_hz.wav", wavHeader(1, 32000) + std::string(32000, '\x10'));
  ka::test::writeString(t / "one_hz_stream.wav", wavHeader(1, 0xffffffffu) + std::string(32000, '\x10'));
  ka::test::writeString(t / "sparse.wav", wavHeader(16000, 0xfffffff0u));
  ASSERT_EQ(truncate((t / "sparse.wav").c_str(), off_t{1} << 32), 0);
  ASSERT_EQ(ka::test::runCommand("mkfifo " + q(t / "pipe.wav")), 0);
  struct Case {
    std::string command, file, length;
  };
  const std::string speak = " speak b " + q(t / "%") + " --w2v w.onnx --out " + q(t / "o.mp4");
  const std::string live = " live b " + q(t / "%") + " --motion m --out " + q(t / "o.mp4");
  const std::vector<Case> cases = {
      {speak, "one_hz.wav", "16000.0 s"}, {live, "sparse.wav", "134217.7 s"}, {speak, "pipe.wav", "more than 3600 s"}};
  for (const Case& c : cases) {
    std::string cmd = c.command;
    cmd.replace(cmd.find('%'), 1, c.file);
    std::string feed;
    if (c.file == "pipe.wav")
      feed = "(timeout 120 cat " + q(t / "one_hz_stream.wav") + " > " + q(t / c.file) + " &) ; ";
    const int rc =
        ka::test::runCommand(feed + "(" + limit + "timeout 120 " + q(ka) + cmd + ") > " + q(t / "log.txt") + " 2>&1");
    const std::string log = ka::test::readString(t / "log.txt");
    EXPECT_EQ(rc, 1) << c.file << ": " << log;
    EXPECT_NE(log.find(c.file + ": " + c.length + " of audio, longer than the 3600 s the tool takes"),
              std::string::npos)
        << log;
  }
}

}  // namespace
