// Which member a bundle's cursors play, their log lines and refusals, the JPEG directory source,
// and the warp prior rows C interface.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "bundle/driving.h"
#include "bundle/manifest.h"
#include "common/test_util.h"
#include "driver/cursor.h"
#include "driver/image.h"
#include "driver/source.h"
#include "driver/video_ref.h"
#include "ka/ka.h"
#include "ka/ka_prior.h"

namespace {

using namespace ka::test;

constexpr int kNT = 6, kW = 64, kH = 48, kCrop = 32;

void writeManifest(const std::string& dir, const std::string& extra = "") {
  writeString(dir + "/manifest.json",
              "{\n  \"format\": \"ka-bundle-v0\",\n  \"agent\": \"test\",\n  \"NT\": " + std::to_string(kNT) +
                  ",\n  \"H\": " + std::to_string(kH) + ",\n  \"W\": " + std::to_string(kW) +
                  ",\n  \"crop\": " + std::to_string(kCrop) +
                  ",\n  \"amount\": 1.3,\n  \"sigma\": 2.0,\n  \"ksize\": 13,\n  \"frames\": 0,\n"
                  "  \"M_src_w\": 64,\n  \"M_src_h\": 48" +
                  extra + "\n}\n");
}

ka::Manifest manifestFor(const std::string& dir) {
  ka::Manifest m;
  m.dir = dir;
  m.NT = kNT;
  m.W = kW;
  m.H = kH;
  m.mSrcW = kW;
  m.mSrcH = kH;
  m.crop = kCrop;
  return m;
}

// Runs `fn` with standard error captured; returns what was written.
std::string stderrOf(const std::function<void()>& fn) {
  testing::internal::CaptureStderr();
  try {
    fn();
  } catch (...) {
    testing::internal::GetCapturedStderr();
    throw;
  }
  return testing::internal::GetCapturedStderr();
}

class BundleConcurrent : public ::testing::Test {
 protected:
  void SetUp() override {
    hw_ = std::make_unique<ScopedEnv>("KA_DRIVER_HWDEC", std::string("0"));
    prefer_ = std::make_unique<ScopedEnv>("KA_DRIVER_PREFER_MP4", std::nullopt);
    writeManifest(dir_.path());
  }
  std::string jpgDir() { return dir_.path() + "/target_frames"; }
  void addJpegs() {
    ASSERT_TRUE(forge({"video-jpeg-dir", jpgDir(), "--frames", std::to_string(kNT), "--width", std::to_string(kW),
                       "--height", std::to_string(kH)}));
  }
  void addVideo(const std::string& name = "target_frames_mp4") {
    ASSERT_TRUE(forge({"video-h264", dir_.path() + "/" + name, "--frames", std::to_string(kNT), "--width",
                       std::to_string(kW), "--height", std::to_string(kH)}));
  }
  void addPrior(const std::string& name = "P_hevc.mov") {
    ASSERT_TRUE(forge(
        {"video-prior", dir_.path() + "/" + name, "--frames", std::to_string(kNT), "--side", std::to_string(kCrop)}));
  }
  TempDir dir_;
  std::unique_ptr<ScopedEnv> hw_, prefer_;
};

TEST_F(BundleConcurrent, JpegDirectoryIsPlayedWhenPopulated) {
  addJpegs();
  addVideo();
  std::unique_ptr<ka::DriverCursor> c;
  const std::string log =
      stderrOf([&] { c = ka::DriverCursor::open(ka::drivingVideo(manifestFor(dir_.path())), 2, 11); });
  EXPECT_EQ(log, "[ka-driver] target_frames/ (raw jpg, 6 frames) " + kDash + " read one frame per pull\n");
  EXPECT_EQ(c->name, "jpg/stb");
  EXPECT_EQ(c->residentBytes(), 14u * kW * kH * 3);
  // Each frame is the JPEG decoded; compare with ffmpeg's decode of the same file (a different
  // decoder and colour conversion, so only close).
  std::vector<uint8_t> buf(c->frameBytes);
  for (int k = 0; k < kNT + 2; ++k) {
    ASSERT_EQ(c->pull(buf.data()), k % kNT);
    char name[32];
    std::snprintf(name, sizeof name, "/frame_%06d.jpg", k % kNT);
    int w, h;
    EXPECT_EQ(buf, ka::loadImageRGB(jpgDir() + name, w, h));
    if (k >= 2) continue;
    const std::string raw = dir_.path() + "/ref.rgb";
    ASSERT_EQ(runCommand("ffmpeg -nostdin -v error -y -i " + shellQuote(jpgDir() + name) +
                         " -f rawvideo -pix_fmt rgb24 " + shellQuote(raw)),
              0);
    const auto ref = readBytes(raw);
    ASSERT_EQ(ref.size(), buf.size());
    double sum = 0;
    for (size_t i = 0; i < buf.size(); ++i) sum += std::abs(int(buf[i]) - int(ref[i]));
    EXPECT_LT(sum / buf.size(), 2.0);
  }
}

TEST_F(BundleConcurrent, PreferMp4OnlyForExactlyOne) {
  addJpegs();
  addVideo();
  for (const char* v : {"1 ", "true", "0"}) {
    ScopedEnv p("KA_DRIVER_PREFER_MP4", std::string(v));
    std::unique_ptr<ka::DriverCursor> c;
    stderrOf([&] { c = ka::DriverCursor::open(ka::drivingVideo(manifestFor(dir_.path())), 2, 11); });
    EXPECT_EQ(c->name, "jpg/stb") << v;
  }
  ScopedEnv p("KA_DRIVER_PREFER_MP4", std::string("1"));
  std::unique_ptr<ka::DriverCursor> c;
  const std::string log =
      stderrOf([&] { c = ka::DriverCursor::open(ka::drivingVideo(manifestFor(dir_.path())), 0, -4); });
  const std::string name = "mp4/libavcodec " + kLavc + " h264";
  EXPECT_EQ(c->name, name);
  EXPECT_NE(
      log.find("[ka-driver] KA_DRIVER_PREFER_MP4=1 " + kDash +
               " target_frames/ is populated and NOT used; target_frames_mp4 is the member this consumer reads\n"),
      std::string::npos)
      << log;
  EXPECT_NE(log.find("[ka-driver] target_frames_mp4 decoded IN PLACE (" + name +
                     ", 6 frames 64x48, look-ahead 1, history 0) " + kDash +
                     " no frame of the driver is expanded ahead of the paste\n"),
            std::string::npos)
      << log;
}

TEST_F(BundleConcurrent, ManifestNamesTheMembers) {
  writeManifest(dir_.path(), ",\n  \"target_frames\": \"bg_jpg\",\n  \"target_frames_mp4\": \"bg.mp4\"");
  addVideo("bg.mp4");
  std::unique_ptr<ka::DriverCursor> c;
  const std::string log =
      stderrOf([&] { c = ka::DriverCursor::open(ka::drivingVideo(manifestFor(dir_.path())), 2, 11); });
  EXPECT_NE(log.find("[ka-driver] bg.mp4 decoded IN PLACE"), std::string::npos) << log;
  int index;
  c->pull(index);
  EXPECT_EQ(index, 0);
  // Neither member: the refusal names both and the resolved path.
  writeManifest(dir_.path(), ",\n  \"target_frames\": \"bg_jpg\",\n  \"target_frames_mp4\": \"other.mp4\"");
  EXPECT_EQ(thrown([&] { ka::DriverCursor::open(ka::drivingVideo(manifestFor(dir_.path())), 2, 11); }),
            "this bundle carries neither a populated bg_jpg/ nor other.mp4 (" + dir_.path() + "/other.mp4) " + kDash +
                " there is no driver video to play. REFUSING to create a session.");
}

TEST_F(BundleConcurrent, EmptyMemberNameKeepsTheDefault) {
  writeManifest(dir_.path(), ",\n  \"target_frames\": \"\",\n  \"target_frames_mp4\": \"\"");
  addJpegs();
  std::unique_ptr<ka::DriverCursor> c;
  stderrOf([&] { c = ka::DriverCursor::open(ka::drivingVideo(manifestFor(dir_.path())), 2, 11); });
  EXPECT_EQ(c->name, "jpg/stb");
  std::string out = "keep";
  EXPECT_FALSE(ka::driving::optStr("{\"k\": \"\"}", "k", out));
  EXPECT_EQ(out, "keep");
  EXPECT_TRUE(ka::driving::optStr("{\"k\": \"v\"}", "k", out));
  EXPECT_EQ(out, "v");
  EXPECT_EQ(ka::driving::readText(dir_.path() + "/nothing_here"), "");
}

TEST_F(BundleConcurrent, BadJpegsSurfaceOnTheConsumersCall) {
  addJpegs();
  // Frame 2 another size, frame 4 not a JPEG at all.
  TempDir other;
  ASSERT_TRUE(forge({"video-jpeg-dir", other.path(), "--frames", "1", "--width", "32", "--height", "24"}));
  ka::test::writeBytes(jpgDir() + "/frame_000002.jpg", readBytes(other.path() + "/frame_000000.jpg").data(),
                       readBytes(other.path() + "/frame_000000.jpg").size());
  writeString(jpgDir() + "/frame_000004.jpg", "garbage, not a JPEG");
  std::unique_ptr<ka::DriverCursor> c;
  stderrOf([&] { c = ka::DriverCursor::open(ka::drivingVideo(manifestFor(dir_.path())), 2, 11); });
  std::vector<uint8_t> buf(c->frameBytes);
  EXPECT_EQ(c->pull(buf.data()), 0);
  EXPECT_EQ(c->pull(buf.data()), 1);
  const std::string sizeText =
      "ka_driver: " + jpgDir() + "/frame_000002.jpg is 32x24, the manifest says 64x48 " + kDash + " refusing";
  EXPECT_EQ(thrown([&] { c->pull(buf.data()); }), sizeText);
  EXPECT_EQ(thrown([&] { c->pull(buf.data()); }), sizeText);
  c.reset();  // a failed cursor goes away promptly

  stderrOf([&] { c = ka::DriverCursor::open(ka::drivingVideo(manifestFor(dir_.path())), 2, 11); });
  EXPECT_EQ(thrown([&] { c->pullAt(4, buf.data()); }), "ka_driver: decode failed: " + jpgDir() + "/frame_000004.jpg");
  EXPECT_EQ(thrown([] { ka::driver::openJpgDir("/nonexistent", 3, 4, 4)->seek(3); }),
            "ka_driver: seek outside the member");
}

TEST_F(BundleConcurrent, PriorMemberResolutionAndRefusal) {
  EXPECT_EQ(thrown([&] { ka::DriverCursor::openPrior(ka::priorVideo(manifestFor(dir_.path())), 2, 11); }),
            "this bundle carries neither a raw P.f16 nor P_hevc.mov (" + dir_.path() + "/P_hevc.mov) " + kDash +
                " there is no warp prior to play. REFUSING to create a session.");
  addPrior("source_frames.hevc");  // the canonical name is found too
  std::unique_ptr<ka::DriverCursor> c;
  const std::string log =
      stderrOf([&] { c = ka::DriverCursor::openPrior(ka::priorVideo(manifestFor(dir_.path())), 2, 11); });
  EXPECT_NE(log.find("Zephrane: identity source ready " + kDash +
                     " 6 frames 32x32, played straight from P_hevc.mov (hevc444/libavcodec " + kLavc +
                     " hevc); nothing is unpacked to disk\n"),
            std::string::npos)
      << log;
  writeManifest(dir_.path(), ",\n  \"P_hevc\": \"prior_b.mov\"");
  EXPECT_NE(thrown([&] {
              ka::DriverCursor::openPrior(ka::priorVideo(manifestFor(dir_.path())), 2, 11);
            }).find("nor prior_b.mov ("),
            std::string::npos);
}

TEST_F(BundleConcurrent, PriorRowsInterface) {
  EXPECT_EQ(ka_prior_open(nullptr, 2, 11), nullptr);
  EXPECT_STREQ(ka_last_error(), "ka_prior_open: NULL bundle_dir");
  ka_prior* none = nullptr;
  stderrOf([&] { none = ka_prior_open(dir_.path().c_str(), 2, 11); });
  EXPECT_EQ(none, nullptr);
  EXPECT_EQ(
      std::string(ka_last_error()).rfind("ka_prior_open: this bundle carries neither a raw P.f16 nor P_hevc.mov", 0),
      0u);

  addPrior();
  ka_prior* p = nullptr;
  stderrOf([&] { p = ka_prior_open(dir_.path().c_str(), 0, -5); });
  ASSERT_NE(p, nullptr) << ka_last_error();
  EXPECT_STREQ(ka_last_error(), "");
  const uint64_t rb = ka_prior_row_bytes(p);
  EXPECT_EQ(rb, uint64_t(kCrop) * kCrop * 3 * 2);
  EXPECT_EQ(std::string(ka_prior_backend(p)), "hevc444/libavcodec " + kLavc + " hevc");

  const auto want = halfFromYuv444(cliDecode(dir_.path() + "/P_hevc.mov", "yuv444p", dir_.path() + "/p.yuv"), kCrop);
  ASSERT_EQ(want.size(), size_t(kNT));
  std::vector<uint16_t> row(rb / 2);
  for (int si : {0, 1, 2, 3, 4, 5, 2, 0, 5}) {
    ASSERT_EQ(ka_prior_row(p, si, row.data(), rb), 1) << ka_last_error();
    EXPECT_EQ(row, want[si]) << si;
  }
  std::vector<uint16_t> big(rb);
  EXPECT_EQ(ka_prior_row(p, 1, big.data(), rb * 2), 1);
  EXPECT_EQ(ka_prior_row(p, 1, row.data(), rb - 1), 0);
  EXPECT_EQ(std::string(ka_last_error()),
            "ka_prior_row: cap " + std::to_string(rb - 1) + " < row bytes " + std::to_string(rb));
  EXPECT_EQ(ka_prior_row(p, 5, row.data(), rb), 1);
  EXPECT_EQ(ka_prior_row(p, kNT, row.data(), rb), 0);
  EXPECT_EQ(std::string(ka_last_error()), "ka_prior_row: ka_driver: seek(6) outside [0,6)");
  EXPECT_EQ(ka_prior_row(nullptr, 0, row.data(), rb), 0);
  EXPECT_STREQ(ka_last_error(), "ka_prior_row: NULL prior/out");
  EXPECT_EQ(ka_prior_row(p, 0, nullptr, rb), 0);
  EXPECT_STREQ(ka_last_error(), "ka_prior_row: NULL prior/out");
  EXPECT_EQ(ka_prior_row(p, 0, row.data(), rb), 1);
  EXPECT_STREQ(ka_last_error(), "");

  // Two host threads on one handle: each row still exact.
  std::atomic<int> bad{0};
  auto reader = [&](int start) {
    std::vector<uint16_t> r(rb / 2);
    for (int k = 0; k < 40; ++k) {
      const int si = (start + 5 * k) % kNT;
      if (ka_prior_row(p, si, r.data(), rb) != 1 || r != want[si]) ++bad;
    }
  };
  std::thread a(reader, 0), b(reader, 3);
  a.join();
  b.join();
  EXPECT_EQ(bad.load(), 0);

  ka_prior_close(p);
  EXPECT_EQ(ka_prior_row_bytes(nullptr), 0u);
  EXPECT_STREQ(ka_prior_backend(nullptr), "");
  ka_prior_close(nullptr);
}

}  // namespace
