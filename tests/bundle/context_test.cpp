// The core C interface end to end on a forged bundle: creation and its refusals, rendering from
// keypoints and from the driving table, pasting, RGBA output, and the last-error convention.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/test_util.h"
#include "ka/ka.h"
#include "ops/pool.h"

namespace {

using ka::test::TempDir;

class Context : public ::testing::Test {
 protected:
  static std::unique_ptr<TempDir> tmp_;
  static std::string dir_;

  static void SetUpTestSuite() {
    tmp_ = std::make_unique<TempDir>();
    dir_ = *tmp_ / "b";
    ASSERT_TRUE(ka::test::forge({"bundle", dir_, "--background", "jpeg"}));
    ASSERT_TRUE(ka::test::forge({"director-into", dir_, "--batch", "1"}));
  }
  static void TearDownTestSuite() { tmp_.reset(); }

  void SetUp() override {
    testing::internal::CaptureStderr();
    ctx_ = ka_create(dir_.c_str(), "b1", 1, nullptr);
    log_ = testing::internal::GetCapturedStderr();
    ASSERT_NE(ctx_, nullptr) << ka_last_error();
    W_ = ka_width(ctx_);
    H_ = ka_height(ctx_);
  }
  void TearDown() override { ka_destroy(ctx_); }

  const float* quietRender(int i) {
    testing::internal::CaptureStderr();
    const float* c = ka_render_drive_crop(ctx_, i);
    log_ = testing::internal::GetCapturedStderr();
    return c;
  }

  ka_ctx* ctx_ = nullptr;
  int W_ = 0, H_ = 0;
  std::string log_;
};

std::unique_ptr<TempDir> Context::tmp_;
std::string Context::dir_;

TEST_F(Context, SizeQueries) {
  EXPECT_EQ(ka_host_kp_rows(), 21);
  EXPECT_EQ(ka_nt(ctx_), 6);
  EXPECT_EQ(W_, 160);
  EXPECT_EQ(H_, 120);
  EXPECT_EQ(ka_crop(ctx_), 64);
  EXPECT_EQ(ka_drive_frames(ctx_), 8);
  EXPECT_EQ(ka_nt(nullptr), 0);
  EXPECT_EQ(ka_width(nullptr), 0);
  EXPECT_EQ(ka_height(nullptr), 0);
  EXPECT_EQ(ka_crop(nullptr), 0);
  EXPECT_EQ(ka_drive_frames(nullptr), 0);
  ka_destroy(nullptr);
}

TEST_F(Context, CreationRefusals) {
  EXPECT_EQ(ka_create(dir_.c_str(), nullptr, 0, nullptr), nullptr);
  EXPECT_STREQ(ka_last_error(), "ka_create: NULL bundle_dir/model_key");
  EXPECT_EQ(ka_create(nullptr, "b1", 0, nullptr), nullptr);
  EXPECT_STREQ(ka_last_error(), "ka_create: NULL bundle_dir/model_key");
  EXPECT_EQ(ka_create((*tmp_ / "nowhere").c_str(), "b1", 0, nullptr), nullptr);
  EXPECT_EQ(std::string(ka_last_error()), "ka_create: cannot open " + *tmp_ / "nowhere/manifest.json");

  // A short mask fails creation.
  TempDir t;
  const std::string b = t / "b";
  ASSERT_TRUE(ka::test::forge({"bundle", b, "--background", "jpeg"}));
  auto mask = ka::test::readBytes(b + "/mask_512.u8");
  ka::test::writeBytes(b + "/mask_512.u8", mask.data(), mask.size() - 1);
  EXPECT_EQ(ka_create(b.c_str(), "b1", 0, nullptr), nullptr);
  EXPECT_STREQ(ka_last_error(), "ka_create: mask read failed");
  // Extra mask bytes are ignored; the canonical name serves too; a success empties the text.
  mask.push_back(7);
  ::unlink((b + "/mask_512.u8").c_str());
  ka::test::writeBytes(b + "/paste_mask.u8", mask.data(), mask.size());
  testing::internal::CaptureStderr();
  ka_ctx* c = ka_create(b.c_str(), "b1", 0, nullptr);
  testing::internal::GetCapturedStderr();
  EXPECT_NE(c, nullptr) << ka_last_error();
  EXPECT_STREQ(ka_last_error(), "");
  ka_destroy(c);
  // No background to play.
  ka::test::removeTree(b + "/target_frames");
  EXPECT_EQ(ka_create(b.c_str(), "b1", 0, nullptr), nullptr);
  EXPECT_NE(std::string(ka_last_error()).find("ka_create: this bundle carries neither a populated target_frames/"),
            std::string::npos)
      << ka_last_error();
}

TEST_F(Context, IntraOpLineWhenTheCallerDidNotChoose) {
  testing::internal::CaptureStderr();
  ka_ctx* c = ka_create(dir_.c_str(), "b1", 0, nullptr);
  ASSERT_NE(c, nullptr);
  ASSERT_NE(ka_render_drive_crop(c, 0), nullptr) << ka_last_error();
  std::string log = testing::internal::GetCapturedStderr();
  const int pool = ka::pool::threads();
  const std::string line = "[ka] director intra-op " + std::to_string(std::min(pool, 2)) + " of pool " +
                           std::to_string(pool) +
                           ": the caller did not choose, the core sized it for the ka_utt "
                           "pipeline\n";
  EXPECT_NE(log.find(line), std::string::npos) << log;
  ka_destroy(c);
  // An explicit count prints nothing of the kind.
  EXPECT_NE(quietRender(0), nullptr);
  EXPECT_EQ(log_.find("director intra-op"), std::string::npos);
}

TEST_F(Context, RenderArguments) {
  std::vector<float> kp(63, 0.f);
  EXPECT_EQ(ka_render_kp_crop(ctx_, 6, kp.data(), kp.data()), nullptr);
  EXPECT_STREQ(ka_last_error(), "ka_render_kp_crop: bad args");
  EXPECT_EQ(ka_render_kp_crop(ctx_, -1, kp.data(), kp.data()), nullptr);
  EXPECT_EQ(ka_render_kp_crop(ctx_, 0, nullptr, kp.data()), nullptr);
  EXPECT_EQ(ka_render_kp_crop(nullptr, 0, kp.data(), kp.data()), nullptr);
  EXPECT_STREQ(ka_last_error(), "ka_render_kp_crop: bad args");
  EXPECT_EQ(quietRender(8), nullptr);
  EXPECT_STREQ(ka_last_error(), "ka_render_drive_crop: bad frame index");
  EXPECT_EQ(quietRender(-1), nullptr);
  // Nothing rendered yet, so there is no crop to paste.
  EXPECT_EQ(ka_paste_last(ctx_, 0), nullptr);
  EXPECT_STREQ(ka_last_error(), "ka_paste_last: bad args / no prior render");

  const float* crop = quietRender(2);
  ASSERT_NE(crop, nullptr) << ka_last_error();
  EXPECT_STREQ(ka_last_error(), "");
  // A refused render leaves the last crop in place.
  EXPECT_EQ(ka_render_kp_crop(ctx_, 6, kp.data(), kp.data()), nullptr);
  EXPECT_NE(ka_paste_last(ctx_, 1), nullptr) << ka_last_error();
  EXPECT_EQ(ka_paste_last(ctx_, 6), nullptr);
  EXPECT_STREQ(ka_last_error(), "ka_paste_last: bad args / no prior render");
}

TEST_F(Context, PasteTouchesOnlyTheFaceRegion) {
  const float* crop = quietRender(0);
  ASSERT_NE(crop, nullptr) << ka_last_error();
  std::vector<float> keep(crop, crop + 3 * 64 * 64);
  const size_t n = size_t(W_) * H_ * 3;
  std::vector<uint8_t> out(n), bg(n);
  EXPECT_EQ(ka_paste_crop(ctx_, 0, keep.data(), out.data(), n - 1), 0);
  EXPECT_STREQ(ka_last_error(), "ka_paste_crop: bad args / out too small");
  EXPECT_EQ(ka_paste_crop(ctx_, 6, keep.data(), out.data(), n), 0);
  EXPECT_EQ(ka_paste_crop(ctx_, 0, nullptr, out.data(), n), 0);
  ASSERT_EQ(ka_paste_crop(ctx_, 0, keep.data(), out.data(), n), 1) << ka_last_error();
  const unsigned char* t = ka_target_frame(ctx_, 0);
  ASSERT_NE(t, nullptr) << ka_last_error();
  std::memcpy(bg.data(), t, n);
  // The corners lie outside the pasted crop: background exactly. The face centre differs.
  for (size_t px : {size_t(0), size_t(W_ - 1), size_t(W_) * (H_ - 1)})
    for (int ch = 0; ch < 3; ++ch) EXPECT_EQ(out[3 * px + ch], bg[3 * px + ch]) << px;
  size_t changed = 0;
  for (size_t i = 0; i < n; ++i) changed += out[i] != bg[i];
  EXPECT_GT(changed, n / 20);
  // ka_paste_last of the same crop is the same frame.
  const unsigned char* last = ka_paste_last(ctx_, 0);
  ASSERT_NE(last, nullptr);
  EXPECT_EQ(std::memcmp(last, out.data(), n), 0);
  EXPECT_EQ(ka_target_frame(ctx_, 6), nullptr);
  EXPECT_STREQ(ka_last_error(), "ka_target_frame: bad args");
}

TEST_F(Context, RgbaOutput) {
  const size_t px = size_t(W_) * H_;
  std::vector<uint8_t> small(px * 3), rgba(px * 4);
  testing::internal::CaptureStderr();
  EXPECT_EQ(ka_render_drive_rgba(ctx_, 3, small.data(), small.size()), 0);
  testing::internal::GetCapturedStderr();
  EXPECT_STREQ(ka_last_error(), "ka_render_*_rgba: out buffer too small");
  // The crop was rendered and kept, so pasting it still works.
  int si = 3 % 6;
  const unsigned char* rgb = ka_paste_last(ctx_, si);
  ASSERT_NE(rgb, nullptr) << ka_last_error();
  std::vector<uint8_t> want(rgb, rgb + px * 3);
  ASSERT_EQ(ka_render_drive_rgba(ctx_, 3, rgba.data(), rgba.size()), 1) << ka_last_error();
  for (size_t i = 0; i < px; ++i) {
    ASSERT_EQ(rgba[4 * i], want[3 * i]);
    ASSERT_EQ(rgba[4 * i + 1], want[3 * i + 1]);
    ASSERT_EQ(rgba[4 * i + 2], want[3 * i + 2]);
    ASSERT_EQ(rgba[4 * i + 3], 255);
  }
  std::vector<float> kp(63, 0.f);
  EXPECT_EQ(ka_render_kp_rgba(nullptr, 0, kp.data(), kp.data(), rgba.data(), rgba.size()), 0);
  EXPECT_EQ(ka_render_kp_rgba(ctx_, 9, kp.data(), kp.data(), rgba.data(), rgba.size()), 0);
  EXPECT_STREQ(ka_last_error(), "ka_render_kp_crop: bad args");
  EXPECT_EQ(ka_render_kp_rgba(ctx_, 0, kp.data(), kp.data(), nullptr, rgba.size()), 0);
  EXPECT_STREQ(ka_last_error(), "ka_render_*_rgba: out buffer too small");
}

TEST_F(Context, LastErrorIsPerThread) {
  std::vector<float> kp(63, 0.f);
  EXPECT_EQ(ka_render_kp_crop(ctx_, 99, kp.data(), kp.data()), nullptr);
  std::string other = "unset";
  std::thread t([&] {
    other = ka_last_error();  // a new thread starts with an empty text
    ka_target_frame(nullptr, 0);
  });
  t.join();
  EXPECT_EQ(other, "");
  EXPECT_STREQ(ka_last_error(), "ka_render_kp_crop: bad args");
  // Size queries leave the text alone.
  ka_nt(ctx_);
  EXPECT_STREQ(ka_last_error(), "ka_render_kp_crop: bad args");
}

}  // namespace
