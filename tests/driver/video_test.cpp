// Video members through FFmpeg, checked against the ffmpeg CLI's own decode of the same file: raw
// YUV converted here with the integer formulas (BT.601 limited range), so every byte must match.
// Also the refusals for members that disagree with the manifest, damaged members, and the
// hardware-decoder fallback. The cursor's look-ahead thread runs in all of them.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "common/test_util.h"
#include "driver/cursor.h"
#include "driver/ff_source.h"
#include "driver/image.h"
#include "driver/video_ref.h"

// FFmpeg's frame-threaded decoders hand frames between their threads through atomics inside
// libavcodec/libavutil, which are not instrumented; ThreadSanitizer cannot see that ordering and
// reports the later free of a decoded frame as a race. Only those libraries' own accesses are
// silenced: everything in this library and its tests stays checked.
extern "C" const char* __tsan_default_suppressions() {
  return "called_from_lib:libavcodec.so\n"
         "called_from_lib:libavutil.so\n";
}

namespace {

using namespace ka::test;

// Members forged once for the whole suite.
class VideoConcurrent : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TempDir();
    const std::string d = dir_->path();
    ASSERT_TRUE(
        forge({"video-h264", d + "/drv.mp4", "--frames", "12", "--width", "64", "--height", "48", "--gop", "5"}));
    ASSERT_TRUE(forge({"video-h264", d + "/one.mp4", "--frames", "1", "--width", "64", "--height", "48"}));
    ASSERT_TRUE(forge(
        {"video-h264", d + "/drv444.mp4", "--frames", "4", "--width", "64", "--height", "48", "--pix-fmt", "yuv444p"}));
    ASSERT_TRUE(forge(
        {"video-h264", d + "/short.mkv", "--frames", "8", "--width", "64", "--height", "48", "--container", "mkv"}));
    ASSERT_TRUE(forge({"video-h264", d + "/fast.mp4", "--frames", "12", "--width", "64", "--height", "48", "--gop", "4",
                       "--faststart"}));
    ASSERT_TRUE(forge({"video-damage", d + "/fast.mp4", d + "/truncated.mp4", "--mode", "truncate", "--keep", "0.6"}));
    ASSERT_TRUE(forge({"video-damage", d + "/fast.mp4", d + "/garbled.mp4", "--mode", "garble"}));
    ASSERT_TRUE(forge({"video-damage", d + "/drv.mp4", d + "/headless.mp4", "--mode", "truncate", "--keep", "0.5"}));
    ASSERT_TRUE(forge({"video-prior", d + "/prior.mov", "--frames", "6", "--side", "32"}));
    ASSERT_TRUE(forge({"video-prior", d + "/prior420.mov", "--frames", "3", "--side", "32", "--pix-fmt", "yuv420p"}));
    ka::test::writeString(d + "/not_a_video.mp4", "this is not a container\n");
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }
  static std::string path(const std::string& name) { return dir_->path() + "/" + name; }
  static TempDir* dir_;
};
TempDir* VideoConcurrent::dir_ = nullptr;

TEST_F(VideoConcurrent, DriverFramesMatchFfmpegDecodeExactly) {
  ScopedEnv hw("KA_DRIVER_HWDEC", std::string("0"));
  const auto want = rgbFromYuv420(cliDecode(path("drv.mp4"), "yuv420p", path("drv.yuv")), 64, 48);
  ASSERT_EQ(want.size(), 12u);
  auto cursor = ka::DriverCursor::over(ka::driver::openMp4(path("drv.mp4"), 12, 64, 48), 2, 3);
  EXPECT_EQ(cursor->name, "mp4/libavcodec " + kLavc + " h264");
  EXPECT_EQ(cursor->frameBytes, 64u * 48 * 3);
  std::vector<uint8_t> buf(cursor->frameBytes);
  // Two loops (the wrap is a rewind, not a seek) ...
  for (int k = 0; k < 24; ++k) {
    ASSERT_EQ(cursor->pull(buf.data()), k % 12);
    ASSERT_EQ(buf, want[k % 12]) << "frame " << k % 12;
  }
  EXPECT_EQ(cursor->seeks(), 0u);
  // ... then random access, forward and backward across GOPs.
  std::mt19937 rng(5);
  for (int k = 0; k < 30; ++k) {
    const int i = int(rng() % 12);
    ASSERT_EQ(cursor->pullAt(i, buf.data()), i);
    ASSERT_EQ(buf, want[i]) << "frame " << i;
  }
  EXPECT_GT(cursor->seeks(), 0u);
  EXPECT_GT(cursor->residentBytes(), 6u * cursor->frameBytes);
}

TEST_F(VideoConcurrent, SingleFrameVideoLoopsOnItsOnlyFrame) {
  ScopedEnv hw("KA_DRIVER_HWDEC", std::string("0"));
  const auto want = rgbFromYuv420(cliDecode(path("one.mp4"), "yuv420p", path("one.yuv")), 64, 48);
  ASSERT_EQ(want.size(), 1u);
  auto cursor = ka::DriverCursor::over(ka::driver::openMp4(path("one.mp4"), 1, 64, 48), 2, 11);
  std::vector<uint8_t> buf(cursor->frameBytes);
  for (int k = 0; k < 5; ++k) {
    ASSERT_EQ(cursor->pull(buf.data()), 0);
    ASSERT_EQ(buf, want[0]);
  }
  EXPECT_EQ(cursor->pullAt(0, buf.data()), 0);
  EXPECT_EQ(buf, want[0]);
  EXPECT_EQ(cursor->seeks(), 0u);
}

TEST_F(VideoConcurrent, SourceSeeksLandOnTheRightFrame) {
  ScopedEnv hw("KA_DRIVER_HWDEC", std::string("0"));
  const auto want = rgbFromYuv420(cliDecode(path("drv.mp4"), "yuv420p", path("drv2.yuv")), 64, 48);
  auto src = ka::driver::openMp4(path("drv.mp4"), 12, 64, 48);
  std::vector<uint8_t> buf(src->frameBytes());
  for (int i : {5, 6, 6, 2, 11, 0, 7}) {  // 6 twice: seeking to the decoded count decodes nothing
    src->seek(i);
    ASSERT_TRUE(src->next(buf.data()));
    ASSERT_EQ(buf, want[i]) << "after seek(" << i << ")";
    if (i == 6) src->seek(7);
  }
  EXPECT_FALSE(src->next(buf.data()) && src->next(buf.data()) && src->next(buf.data()) && src->next(buf.data()) &&
               src->next(buf.data()));  // 8..11, then the end
  EXPECT_EQ(thrown([&] { src->seek(12); }), "ka_driver: seek outside the member");
  src->rewind();
  ASSERT_TRUE(src->next(buf.data()));
  EXPECT_EQ(buf, want[0]);
}

TEST_F(VideoConcurrent, PriorRowsExactInHalfPrecision) {
  const auto want = halfFromYuv444(cliDecode(path("prior.mov"), "yuv444p", path("prior.yuv")), 32);
  ASSERT_EQ(want.size(), 6u);
  const auto yuv = readBytes(path("prior.yuv"));
  // Pixel (0, 0) of every frame is black, (1, 0) white: (16, 128, 128) and (235, 128, 128).
  ASSERT_EQ(yuv[0], 16);
  ASSERT_EQ(yuv[1], 235);
  ASSERT_EQ(yuv[1024], 128);
  ASSERT_EQ(yuv[2048 + 1], 128);
  auto cursor = ka::DriverCursor::over(ka::driver::openPriorHevc(path("prior.mov"), 6, 32), 2, 11);
  EXPECT_EQ(cursor->name, "hevc444/libavcodec " + kLavc + " hevc");
  EXPECT_EQ(cursor->frameBytes, 32u * 32 * 3 * 2);
  std::vector<uint16_t> row(32 * 32 * 3);
  for (int i : {0, 1, 2, 3, 4, 5, 0, 3, 1, 5}) {
    ASSERT_EQ(cursor->pullAt(i, reinterpret_cast<uint8_t*>(row.data())), i);
    ASSERT_EQ(row, want[i]) << "frame " << i;
    for (int p = 0; p < 3; ++p) {
      EXPECT_EQ(row[p * 1024 + 0], 0x0000);
      EXPECT_EQ(row[p * 1024 + 1], 0x3C00);
    }
  }
  EXPECT_EQ(ka::f32ToF16(1.0f), 0x3C00);
  EXPECT_EQ(ka::f32ToF16(128.0f / 255.0f), halfBits(128.0f / 255.0f));
}

TEST_F(VideoConcurrent, MembersThatDisagreeWithTheManifestAreRefused) {
  ScopedEnv hw("KA_DRIVER_HWDEC", std::string("0"));
  const std::string drv = path("drv.mp4");
  EXPECT_EQ(thrown([&] { ka::driver::openMp4(drv, 12, 32, 48); }),
            "ka_driver: " + drv + " is 64x48, the manifest says 32x48 " + kDash + " refusing to rescale the driver");
  EXPECT_EQ(thrown([&] { ka::driver::openMp4(drv, 11, 64, 48); }), "ka_driver: " + drv +
                                                                       " carries 12 frames, the manifest says NT=11 " +
                                                                       kDash + " member/manifest mismatch, refusing");
  const std::string junk = path("not_a_video.mp4");
  EXPECT_EQ(thrown([&] { ka::driver::openMp4(junk, 12, 64, 48); }),
            "ka_driver: " + junk + " is not a readable container");
  EXPECT_EQ(thrown([&] { ka::driver::openPriorHevc(path("missing.mov"), 6, 32); }),
            "ka_driver: " + path("missing.mov") + " is not a readable container");
  // A FIFO under the member's name is refused at once instead of blocking the open.
  const std::string fifo = path("fifo.mp4");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(thrown([&] { ka::driver::openMp4(fifo, 12, 64, 48); }),
            "ka_driver: " + fifo + " is not a readable container");
  EXPECT_EQ(thrown([&] {
              int w, h;
              ka::loadImageRGB(fifo, w, h);
            }),
            "decode failed: " + fifo);

  // Pixel formats are checked on the first decoded frame, so the refusal comes through the cursor.
  const std::string p444 = path("drv444.mp4");
  auto c1 = ka::DriverCursor::over(ka::driver::openMp4(p444, 4, 64, 48), 2, 2);
  int index;
  const std::string want444 = "ka_driver: ka_driver: " + p444 +
                              " decoded to yuv444p, not the 4:2:0 layout the canvas conversion is written for "
                              "(yuv420p / nv12) " +
                              kDash + " refusing rather than pasting onto a different pixel domain";
  EXPECT_EQ(thrown([&] { c1->pull(index); }), want444);
  EXPECT_EQ(thrown([&] { c1->pull(index); }), want444);
  const std::string p420 = path("prior420.mov");
  auto c2 = ka::DriverCursor::over(ka::driver::openPriorHevc(p420, 3, 32), 2, 2);
  EXPECT_EQ(thrown([&] { c2->pullAt(0, index); }),
            "ka_driver: ka_driver: " + p420 + " decoded to yuv420p, not the yuv444p a warp prior is authored in " +
                kDash + " a subsampled prior is a different mouth, refusing");
}

TEST_F(VideoConcurrent, ShortVideoRefusedAtTheFirstPullPastItsEnd) {
  ScopedEnv hw("KA_DRIVER_HWDEC", std::string("0"));
  // Matroska declares no frame count, so the member opens and runs out at frame 8 of 10.
  auto cursor = ka::DriverCursor::over(ka::driver::openMp4(path("short.mkv"), 10, 64, 48), 2, 11);
  const std::string text = "ka_driver: mp4/libavcodec " + kLavc +
                           " h264 ended after 8 frames, the manifest says NT=10 " + kDash +
                           " a short driver is a session that stops part way through the loop, refusing";
  std::vector<uint8_t> buf(cursor->frameBytes);
  for (int k = 0; k < 8; ++k) ASSERT_EQ(cursor->pull(buf.data()), k);
  EXPECT_EQ(thrown([&] { cursor->pull(buf.data()); }), text);
  EXPECT_EQ(thrown([&] { cursor->pull(buf.data()); }), text);
  EXPECT_EQ(thrown([&] { cursor->pullAt(3, buf.data()); }), text);
}

TEST_F(VideoConcurrent, DamagedMembersFailWithTextNeverACrash) {
  ScopedEnv hw("KA_DRIVER_HWDEC", std::string("0"));
  // Index at the end of the file and the file cut in half: it does not open.
  EXPECT_EQ(thrown([&] { ka::driver::openMp4(path("headless.mp4"), 12, 64, 48); }).rfind("ka_driver: ", 0), 0u);
  for (const char* name : {"truncated.mp4", "garbled.mp4"}) {
    std::string failure;
    try {
      auto cursor = ka::DriverCursor::over(ka::driver::openMp4(path(name), 12, 64, 48), 2, 3);
      std::vector<uint8_t> buf(cursor->frameBytes);
      for (int k = 0; k < 30; ++k) cursor->pull(buf.data());
    } catch (const std::exception& e) {
      failure = e.what();
    }
    EXPECT_EQ(failure.rfind("ka_driver: ", 0), 0u) << name << ": " << failure;
    std::printf("%s: %s\n", name, failure.c_str());
  }
}

TEST_F(VideoConcurrent, HardwareDecoderFallbackIsLogged) {
  {
    ScopedEnv hw("KA_DRIVER_HWDEC", std::nullopt);
    testing::internal::CaptureStderr();
    auto src = ka::driver::openMp4(path("drv.mp4"), 12, 64, 48);
    const std::string log = testing::internal::GetCapturedStderr();
    const std::string fallback = "[ka-driver] h264_cuvid refused " + path("drv.mp4") + " " + kDash +
                                 " falling back to the software h264 decoder (same samples, more CPU)\n";
    if (src->name() == "mp4/libavcodec " + kLavc + " h264")
      EXPECT_NE(log.find(fallback), std::string::npos) << log;
    else
      EXPECT_EQ(src->name(), "mp4/libavcodec " + kLavc + " h264_cuvid");  // a machine with the GPU decoder
    // The prior never tries the hardware decoder.
    testing::internal::CaptureStderr();
    auto prior = ka::driver::openPriorHevc(path("prior.mov"), 6, 32);
    EXPECT_EQ(testing::internal::GetCapturedStderr().find("h264_cuvid"), std::string::npos);
  }
  {
    ScopedEnv hw("KA_DRIVER_HWDEC", std::string("0"));
    testing::internal::CaptureStderr();
    auto src = ka::driver::openMp4(path("drv.mp4"), 12, 64, 48);
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(log,
              "[ka-driver] KA_DRIVER_HWDEC=0 " + kDash +
                  " h264_cuvid not attempted; the software decoder is the one decoder on this fleet (same samples)\n");
    EXPECT_EQ(src->name(), "mp4/libavcodec " + kLavc + " h264");
  }
}

TEST(DecoderBuild, NamesTheLibavcodecBuiltAgainst) {
  const std::string s = ka::movieDecoderBuild();
  EXPECT_EQ(s.rfind("libavcodec " + kLavc + " / ", 0), 0u) << s;
  EXPECT_GT(s.size(), ("libavcodec " + kLavc + " / ").size());
}

}  // namespace
