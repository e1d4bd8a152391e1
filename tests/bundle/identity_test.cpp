// Identity members and the driving table: name generations, exact sizes, the warp-prior refusals,
// and the paste transforms' rescale to the output canvas.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "bundle/identity.h"
#include "bundle/manifest.h"
#include "bundle/members.h"
#include "common/test_util.h"

namespace {

using ka::test::errorOf;

using ka::test::exists;
using ka::test::readBytes;
using ka::test::TempDir;

using ka::test::readAs;
using ka::test::writeAs;

TEST(MemberNames, CanonicalNames) {
  EXPECT_EQ(ka::canonicalMember("P.f16"), "source_frames.f16");
  EXPECT_EQ(ka::canonicalMember("P_hevc.mov"), "source_frames.hevc");
  EXPECT_EQ(ka::canonicalMember("a2x_enc_stream.onnx"), "audio_motion_encoder.onnx");
  EXPECT_EQ(ka::canonicalMember("a2x_dec.onnx"), "audio_motion_decoder.onnx");
  EXPECT_EQ(ka::canonicalMember("M.f32"), "paste_transform.f32");
  EXPECT_EQ(ka::canonicalMember("mask_512.u8"), "paste_mask.u8");
  EXPECT_EQ(ka::canonicalMember("pooled64.f16"), "pooled_features.f16");
  EXPECT_EQ(ka::canonicalMember("fs_red.f16"), "feature_synth.f16");
  EXPECT_EQ(ka::canonicalMember("xs_target.bin"), "target_keypoints.bin");
  EXPECT_EQ(ka::canonicalMember("model_b4_fp16.onnx"), "render_model.batch4.fp16.onnx");
  EXPECT_EQ(ka::canonicalMember("model_b1.onnx"), "render_model.batch1.onnx");
  EXPECT_EQ(ka::canonicalMember("model_b1_.onnx"), "render_model.batch1.onnx");
  EXPECT_EQ(ka::canonicalMember("model_b2_a_b.onnx"), "render_model.batch2.a_b.onnx");
  EXPECT_EQ(ka::canonicalMember("model_b.onnx"), "model_b.onnx");  // nothing between the two parts
  EXPECT_EQ(ka::canonicalMember("drive/xs.f32"), "idle_loop/source_keypoints.f32");
  EXPECT_EQ(ka::canonicalMember("drive/xd.f32"), "idle_loop/driven_keypoints.f32");
  EXPECT_EQ(ka::canonicalMember("drive/si.i32"), "idle_loop/source_index.i32");
  EXPECT_EQ(ka::canonicalMember("drive/si"), "idle_loop/source_index");
  EXPECT_EQ(ka::canonicalMember("drive/other.tar.gz"), "idle_loop/other.tar.gz");
  EXPECT_EQ(ka::canonicalMember("lip_template.v1.json"), "lip_template.v1.json");
}

TEST(MemberNames, ResolutionPrefersLegacyThenCanonical) {
  TempDir d;
  EXPECT_EQ(ka::resolveMember(d.path(), "M.f32"), d / "M.f32");  // neither: the legacy path
  ka::test::writeString(d / "paste_transform.f32", "c");
  EXPECT_EQ(ka::resolveMember(d.path(), "M.f32"), d / "paste_transform.f32");
  ka::test::writeString(d / "M.f32", "l");
  EXPECT_EQ(ka::resolveMember(d.path(), "M.f32"), d / "M.f32");
  EXPECT_EQ(ka::resolveMember(d.path(), "lip_template.v1.json"), d / "lip_template.v1.json");
}

class IdentityTest : public ::testing::Test {
 protected:
  TempDir tmp_;
  std::string dir_ = tmp_ / "b";

  bool forgeBundle(std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"bundle", dir_, "--background", "none"};
    args.insert(args.end(), extra.begin(), extra.end());
    return ka::test::forge(args);
  }
  ka::Manifest manifest() { return ka::loadManifest(dir_); }
  std::string identityError() {
    return errorOf([&] { ka::Identity id(manifest()); });
  }
  void editManifest(const std::string& from, const std::string& to) {
    std::string t = ka::test::readString(dir_ + "/manifest.json");
    size_t k = t.find(from);
    ASSERT_NE(k, std::string::npos) << from;
    ka::test::writeString(dir_ + "/manifest.json", t.replace(k, from.size(), to));
  }
};

TEST_F(IdentityTest, MapsMembersAndReadsTheTable) {
  ASSERT_TRUE(forgeBundle());
  ka::Manifest m = manifest();
  ka::Identity id(m);
  EXPECT_EQ(id.NT(), 6);
  EXPECT_EQ(id.crop(), 64);
  EXPECT_TRUE(id.hasP());
  EXPECT_FALSE(id.hasFsRed());
  EXPECT_EQ(id.fsRed(0), nullptr);
  auto pooled = readAs<uint16_t>(dir_ + "/pooled64.f16");
  auto P = readAs<uint16_t>(dir_ + "/P.f16");
  for (int si : {0, 5}) {
    EXPECT_EQ(std::memcmp(id.pooled64(si), pooled.data() + si * 65536, 65536 * 2), 0);
    EXPECT_EQ(std::memcmp(id.P(si), P.data() + si * 64 * 64 * 3, 64 * 64 * 3 * 2), 0);
  }
  auto M = readAs<float>(dir_ + "/M.f32");
  EXPECT_EQ(std::memcmp(id.M(3), M.data() + 18, 24), 0);  // stamp equals canvas: bit-identical
  EXPECT_EQ(id.priorBackend(), "mmap P.f16");
  EXPECT_FALSE(id.playsPriorVideo());
  EXPECT_EQ(id.priorSeeks(), 0u);
  EXPECT_EQ(id.priorResidentBytes(), 0u);
  id.walkP(2);  // nothing to walk

  ka::Drive d = ka::loadDrive(m);
  EXPECT_EQ(d.frames, 8);
  EXPECT_EQ(d.xs, readAs<float>(dir_ + "/drive/xs.f32"));
  EXPECT_EQ(d.xd, readAs<float>(dir_ + "/drive/xd.f32"));
  EXPECT_EQ(d.si, readAs<int32_t>(dir_ + "/drive/si.i32"));
}

TEST_F(IdentityTest, CanonicalNamesOpenTheSame) {
  ASSERT_TRUE(forgeBundle({"--names", "canonical", "--prior", "both"}));
  EXPECT_FALSE(exists(dir_ + "/M.f32"));
  ka::Identity id(manifest());
  EXPECT_TRUE(id.hasP());
  EXPECT_TRUE(id.hasFsRed());
  auto fs = readAs<uint16_t>(dir_ + "/feature_synth.f16");
  EXPECT_EQ(std::memcmp(id.fsRed(2), fs.data() + 2 * 262144, 262144 * 2), 0);
  EXPECT_EQ(ka::loadDrive(manifest()).si, readAs<int32_t>(dir_ + "/idle_loop/source_index.i32"));
}

TEST_F(IdentityTest, BothGenerationsPresentUsesLegacy) {
  ASSERT_TRUE(forgeBundle({"--names", "both"}));
  std::vector<float> other(6 * 6, 9.0f);
  writeAs(dir_ + "/paste_transform.f32", other);
  ka::Identity id(manifest());
  EXPECT_EQ(std::memcmp(id.M(0), readAs<float>(dir_ + "/M.f32").data(), 24), 0);
}

TEST_F(IdentityTest, ExactSizes) {
  ASSERT_TRUE(forgeBundle());
  auto pooled = readBytes(dir_ + "/pooled64.f16");
  ka::test::writeBytes(dir_ + "/pooled64.f16", pooled.data(), pooled.size() - 1);
  EXPECT_EQ(identityError(), "size mismatch " + dir_ + "/pooled64.f16");
  ka::test::writeBytes(dir_ + "/pooled64.f16", pooled.data(), pooled.size());

  auto M = readAs<float>(dir_ + "/M.f32");
  M.push_back(1.0f);
  writeAs(dir_ + "/M.f32", M);
  EXPECT_EQ(identityError(), "size mismatch " + dir_ + "/M.f32");
  M.resize(M.size() - 2);
  writeAs(dir_ + "/M.f32", M);
  EXPECT_EQ(identityError(), "size mismatch " + dir_ + "/M.f32");

  ::unlink((dir_ + "/pooled64.f16").c_str());
  EXPECT_EQ(identityError(), "cannot open " + dir_ + "/pooled64.f16");
}

TEST_F(IdentityTest, SourceIndexRange) {
  ASSERT_TRUE(forgeBundle());
  for (int32_t bad : {6, -1}) {
    auto si = readAs<int32_t>(dir_ + "/drive/si.i32");
    si[3] = bad;
    writeAs(dir_ + "/drive/si.i32", si);
    EXPECT_EQ(errorOf([&] { ka::loadDrive(manifest()); }), "drive: si out of range") << bad;
  }
}

TEST_F(IdentityTest, EmptyAndNegativeTables) {
  ASSERT_TRUE(forgeBundle({"--frames", "0"}));
  ka::Drive d = ka::loadDrive(manifest());
  EXPECT_EQ(d.frames, 0);
  EXPECT_TRUE(d.xs.empty() && d.xd.empty() && d.si.empty());
  editManifest("\"frames\": 0", "\"frames\": -3");
  EXPECT_EQ(errorOf([&] { ka::loadDrive(manifest()); }), "drive: frames -3 is negative");
  ::unlink((dir_ + "/drive/xs.f32").c_str());
  EXPECT_EQ(errorOf([&] { ka::loadDrive(manifest()); }), "cannot open " + dir_ + "/drive/xs.f32");
}

TEST_F(IdentityTest, HugeFrameCountIsASizeMismatchNotAnAllocation) {
  ASSERT_TRUE(forgeBundle());
  editManifest("\"frames\": 8", "\"frames\": 2000000000");
  EXPECT_EQ(errorOf([&] { ka::loadDrive(manifest()); }), "size mismatch " + dir_ + "/drive/xs.f32");
}

TEST_F(IdentityTest, SynthesisFeaturesWithoutRawPrior) {
  ASSERT_TRUE(forgeBundle({"--prior", "fsred"}));
  ka::Identity id(manifest());
  EXPECT_FALSE(id.hasP());
  EXPECT_TRUE(id.hasFsRed());
  EXPECT_TRUE(id.priorPath().empty());
}

TEST_F(IdentityTest, WarpPriorRefusals) {
  ASSERT_TRUE(forgeBundle({"--prior", "fsred"}));
  ::unlink((dir_ + "/fs_red.f16").c_str());
  EXPECT_EQ(identityError(),
            "this bundle carries neither P.f16 nor fs_red.f16, and its manifest names no P_hevc member to play one "
            "from \xE2\x80\x94 the renderer has no warp prior and ka::Identity would hand it a null pointer. "
            "REFUSING to create a session.");

  editManifest("\"agent\"", "\"P_hevc\": \"prior.mov\", \"agent\"");
  EXPECT_EQ(identityError(), "this bundle's manifest names P_hevc 'prior.mov' and the file is not there (" + dir_ +
                                 "/prior.mov) \xE2\x80\x94 the renderer has no warp prior. REFUSING to create a "
                                 "session.");

  ka::test::writeString(dir_ + "/rgb_prior.f16", "x");
  editManifest("\"agent\"", "\"P_rgb\": \"rgb_prior.f16\", \"agent\"");
  EXPECT_EQ(identityError(),
            "this bundle's manifest names its raw warp prior 'rgb_prior.f16' (P_rgb) but ka::Identity maps the "
            "welded name P.f16 and would find nothing \xE2\x80\x94 it maps NOTHING silently and Identity::P(si) is "
            "then an offset from a null pointer. REFUSING rather than rendering off a prior nothing will read.");
}

TEST_F(IdentityTest, PriorVideoIsRecordedWhenNamed) {
  ASSERT_TRUE(forgeBundle({"--prior", "fsred"}));
  ::unlink((dir_ + "/fs_red.f16").c_str());
  ka::test::writeString(dir_ + "/source_frames.hevc", "not decoded here");
  editManifest("\"agent\"", "\"P_hevc\": \"P_hevc.mov\", \"agent\"");
  ka::Identity id(manifest());
  EXPECT_EQ(id.priorPath(), dir_ + "/source_frames.hevc");
  EXPECT_FALSE(id.hasP());
}

TEST_F(IdentityTest, PriorPlaysFromTheVideoMember) {
  ASSERT_TRUE(forgeBundle({"--prior", "hevc"}));
  testing::internal::CaptureStderr();
  ka::Identity id(manifest());
  EXPECT_TRUE(id.playsPriorVideo());
  EXPECT_EQ(id.priorPath(), dir_ + "/P_hevc.mov");
  const std::string backend = id.priorBackend();  // opens the prior cursor
  std::vector<uint16_t> f3(id.P(3), id.P(3) + 64 * 64 * 3);
  id.walkP(4);
  const uint16_t* again = id.P(3);
  std::string log = testing::internal::GetCapturedStderr();
  EXPECT_NE(backend, "none");
  EXPECT_NE(backend, "mmap P.f16");
  EXPECT_NE(log.find("played straight from P_hevc.mov"), std::string::npos) << log;
  EXPECT_EQ(std::memcmp(again, f3.data(), f3.size() * 2), 0);  // the same frame, from history
  EXPECT_GT(id.priorResidentBytes(), uint64_t(64) * 64 * 6);
  // Plausible planar prior: every half value is a finite number in [0, 1].
  for (uint16_t h : f3) ASSERT_LE(h, 0x3C00u);
}

TEST_F(IdentityTest, TransformsAreRescaledToTheCanvas) {
  ASSERT_TRUE(forgeBundle());
  // Values chosen so that a float-only product would round differently from the double one.
  std::vector<float> M(6 * 6);
  for (size_t i = 0; i < M.size(); ++i) M[i] = 0.1f * float(i) + 1.0f / 3.0f;
  writeAs(dir_ + "/M.f32", M);

  editManifest("\"M_src_w\": 160", "\"M_src_w\": 80");
  editManifest("\"M_src_h\": 120", "\"M_src_h\": 60");
  {
    ka::Identity id(manifest());
    for (int si = 0; si < 6; ++si)
      for (int k = 0; k < 6; ++k) EXPECT_EQ(id.M(si)[k], M[si * 6 + k] * 2.0f) << si << "," << k;
  }
  editManifest("\"M_src_w\": 80", "\"M_src_w\": 70");
  editManifest("\"M_src_h\": 60", "\"M_src_h\": 90");
  ka::Identity id(manifest());
  for (int si = 0; si < 6; ++si) {
    for (int k = 0; k < 6; ++k) {
      const double r = k < 3 ? 160.0 / 70.0 : 120.0 / 90.0;
      EXPECT_EQ(id.M(si)[k], static_cast<float>(double(M[si * 6 + k]) * r)) << si << "," << k;
    }
  }
}

}  // namespace
