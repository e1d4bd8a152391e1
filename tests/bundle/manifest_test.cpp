// The manifest's key scan, its choice among occurrences, and every refusal of the loader.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <clocale>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>

#include "bundle/manifest.h"
#include "common/test_util.h"

namespace {

using ka::test::errorOf;

using ka::manifest_key::kAbsent;
using ka::manifest_key::keyHits;
using ka::manifest_key::scalarValuePos;

// ---- key scan ----------------------------------------------------------------------------------

TEST(ManifestKeyScan, DepthPositionAndScalarFlag) {
  const std::string t = R"({"NT": 10, "blk": {"NT" :  [1], "x": {"NT":5}}})";
  auto hits = keyHits(t, "NT");
  ASSERT_EQ(hits.size(), 3u);
  EXPECT_EQ(hits[0].depth, 1);
  EXPECT_EQ(hits[0].pos, t.find("10"));
  EXPECT_TRUE(hits[0].scalar);
  EXPECT_EQ(hits[1].depth, 2);
  EXPECT_EQ(hits[1].pos, t.find("[1]"));
  EXPECT_FALSE(hits[1].scalar);
  EXPECT_EQ(hits[2].depth, 3);
  EXPECT_EQ(hits[2].pos, t.find("5}"));
  EXPECT_EQ(scalarValuePos(t, "NT"), t.find("10"));
}

TEST(ManifestKeyScan, KeysInsideStringsAreNotKeys) {
  // The key's text with escaped quotes and a colon inside another string value.
  const std::string t = R"({"note": "say \"NT\": 99 {[", "NT": 7, "tail": "a\\", "W": 3})";
  auto hits = keyHits(t, "NT");
  ASSERT_EQ(hits.size(), 1u);
  EXPECT_EQ(hits[0].pos, t.find("7,"));
  EXPECT_EQ(hits[0].depth, 1);  // the brackets inside the string were not counted
  // An escaped backslash right before the closing quote ends the string there.
  ASSERT_EQ(keyHits(t, "W").size(), 1u);
  EXPECT_EQ(keyHits(t, "W")[0].depth, 1);
}

TEST(ManifestKeyScan, ExactBytesCaseAndLength) {
  const std::string t = R"({"NTX": 1, "nt": 2, "N": 3, "NT": 4})";
  auto hits = keyHits(t, "NT");
  ASSERT_EQ(hits.size(), 1u);
  EXPECT_EQ(hits[0].pos, t.find("4}"));
  // No unescaping: a key written with an escape does not match its unescaped text.
  EXPECT_TRUE(keyHits(R"({"N\u0054": 1})", "NT").empty());
}

TEST(ManifestKeyScan, UnterminatedStringAndValueAtEnd) {
  // A string that never closes ends the scan: nothing after it is a key.
  EXPECT_EQ(keyHits(R"({"NT": 3, "x": "never closes, \"NT\": 4)", "NT").size(), 1u);
  EXPECT_TRUE(keyHits(R"({"x": "open, NT: 4)", "NT").empty());
  auto hits = keyHits("{\"NT\":   ", "NT");
  ASSERT_EQ(hits.size(), 1u);
  EXPECT_FALSE(hits[0].scalar);  // a value position at the end of the text is not scalar
  EXPECT_EQ(scalarValuePos("{\"NT\":", "NT"), kAbsent);
}

TEST(ManifestKeyScan, NullKeyIsAProgrammingError) { EXPECT_THROW(keyHits("{}", nullptr), std::logic_error); }

TEST(ManifestKeyScan, TopLevelWinsOverNested) {
  const std::string t = R"({"blk": {"NT": 5}, "NT": 10})";
  EXPECT_EQ(scalarValuePos(t, "NT"), t.find("10"));
}

TEST(ManifestKeyScan, SingleNestedOccurrenceIsUsed) {
  const std::string t = R"({"blk": {"NT": 5}, "NT": [1, 2]})";
  EXPECT_EQ(scalarValuePos(t, "NT"), t.find("5}"));
}

TEST(ManifestKeyScan, AmbiguousTopLevelListsByteOffsets) {
  const std::string t = "{\"NT\": 10,\n \"NT\": 11}";
  const std::string msg = errorOf([&] { scalarValuePos(t, "NT"); });
  const std::string expected =
      "manifest: key \"NT\" is AMBIGUOUS \xE2\x80\x94 2 scalar occurrences (byte 7, byte 18). A loader that picks "
      "one silently installs a number nobody checks. Rename the colliding key (a nested block must not reuse a name "
      "the bundle loader reads: NT/frame_count, H, W, crop/crop_size, amount, sigma, ksize, frames, "
      "M_src_w/paste_source_width, M_src_h/paste_source_height), or produce the bundle with the legacy manifest "
      "layout.";
  EXPECT_EQ(msg, expected);
  ASSERT_EQ(t.substr(7, 2), "10");
  ASSERT_EQ(t.substr(18, 2), "11");
}

TEST(ManifestKeyScan, AmbiguousNestedListsAllNested) {
  const std::string t = R"({"a": {"NT": 1}, "b": {"NT": 2}, "c": {"NT": 3}})";
  const std::string msg = errorOf([&] { scalarValuePos(t, "NT"); });
  const std::string list = "3 scalar occurrences (byte " + std::to_string(t.find("1}")) + ", byte " +
                           std::to_string(t.find("2}")) + ", byte " + std::to_string(t.find("3}")) + ")";
  EXPECT_NE(msg.find(list), std::string::npos) << msg;
}

// ---- loading -------------------------------------------------------------------------------------

class ManifestLoad : public ::testing::Test {
 protected:
  // A complete, valid manifest; tests edit the text.
  std::string base_ = R"({"format": "ka-bundle-v0", "agent": "ada", "NT": 6, "W": 160, "H": 120, "crop": 64,)"
                      R"( "amount": 1.5, "sigma": 2.25, "ksize": 9, "frames": 8, "M_src_w": 80, "M_src_h": 60})";
  ka::test::TempDir dir_;
  ka::test::ScopedEnv noOverride_{"NIMBREL2_MSRC_MISSING_OK", std::nullopt};

  ka::Manifest load(const std::string& text) {
    ka::test::writeString(dir_ / "manifest.json", text);
    return ka::loadManifest(dir_.path());
  }
  std::string loadError(const std::string& text) {
    return errorOf([&] { load(text); });
  }
  static std::string replace(std::string s, const std::string& from, const std::string& to) {
    size_t k = s.find(from);
    EXPECT_NE(k, std::string::npos) << from;
    return s.replace(k, from.size(), to);
  }
};

TEST_F(ManifestLoad, ReadsEveryField) {
  ka::Manifest m = load(base_);
  EXPECT_EQ(m.dir, dir_.path());
  EXPECT_EQ(m.agent, "ada");
  EXPECT_EQ(m.NT, 6);
  EXPECT_EQ(m.W, 160);
  EXPECT_EQ(m.H, 120);
  EXPECT_EQ(m.crop, 64);
  EXPECT_EQ(m.amount, 1.5f);
  EXPECT_EQ(m.sigma, 2.25f);
  EXPECT_EQ(m.ksize, 9);
  EXPECT_EQ(m.frames, 8);
  EXPECT_EQ(m.mSrcW, 80);
  EXPECT_EQ(m.mSrcH, 60);
  EXPECT_TRUE(m.lipTemplateJson.empty());
}

TEST_F(ManifestLoad, AliasesAndTruncation) {
  std::string t = replace(base_, R"("NT": 6)", R"("frame_count": 6.9)");
  t = replace(t, R"("crop": 64)", R"("crop_size": 100.7)");
  t = replace(t, R"("M_src_w": 80, "M_src_h": 60)", R"("paste_source_width": 81.5, "paste_source_height": 61)");
  ka::Manifest m = load(t);
  EXPECT_EQ(m.NT, 6);
  EXPECT_EQ(m.crop, 100);
  EXPECT_EQ(m.mSrcW, 81);
  EXPECT_EQ(m.mSrcH, 61);
}

TEST_F(ManifestLoad, NestedDuplicateBesideTopLevelIsFine) {
  ka::Manifest m = load(replace(base_, R"("agent": "ada",)", R"("agent": "ada", "tessera": {"NT": 5, "W": 1},)"));
  EXPECT_EQ(m.NT, 6);
  EXPECT_EQ(m.W, 160);
}

TEST_F(ManifestLoad, TwoTopLevelScalarsAreRefused) {
  std::string msg = loadError(replace(base_, R"("NT": 6,)", R"("NT": 6, "NT": 7,)"));
  EXPECT_EQ(msg.rfind("manifest: key \"NT\" is AMBIGUOUS", 0), 0u) << msg;
}

TEST_F(ManifestLoad, EveryLookupAppliesTheAmbiguityRule) {
  for (const char* key : {"format", "agent"}) {
    std::string t = replace(base_, "{", std::string("{\"") + key + "\": \"x\", ");
    EXPECT_NE(loadError(t).find(std::string("key \"") + key + "\" is AMBIGUOUS"), std::string::npos) << key;
  }
}

TEST_F(ManifestLoad, ArrayValueCountsAsAbsent) {
  std::string t = replace(base_, R"("NT": 6)", R"("NT": [6], "frame_count": 4)");
  EXPECT_EQ(load(t).NT, 4);
  EXPECT_EQ(loadError(replace(base_, R"("NT": 6)", R"("NT": [6])")), "manifest: missing key NT/frame_count");
  EXPECT_EQ(loadError(replace(base_, R"("crop": 64)", R"("crop": {"v": 1})")), "manifest: missing key crop/crop_size");
}

TEST_F(ManifestLoad, AbsentMarkerValueFallsBackToAlias) {
  EXPECT_EQ(load(replace(base_, R"("NT": 6)", R"("NT": -1e300, "frame_count": 3)")).NT, 3);
}

TEST_F(ManifestLoad, MissingKeys) {
  for (const char* key : {"agent", "H", "W", "amount", "sigma", "ksize", "frames", "format"}) {
    std::string t = base_;
    size_t k = t.find(std::string("\"") + key + "\"");
    ASSERT_NE(k, std::string::npos);
    t[k + 1] = 'Z';  // rename the key
    EXPECT_EQ(loadError(t), std::string("manifest: missing key ") + key) << key;
  }
}

TEST_F(ManifestLoad, FormatAndStrings) {
  EXPECT_EQ(loadError(replace(base_, "ka-bundle-v0", "ka-bundle-v1")), "not an ka-bundle-v0: " + dir_.path());
  // A value that is no string and no quote follows it before the end.
  std::string t = replace(base_, R"("agent": "ada", )", "");
  t = replace(t, "}", R"(, "agent": 7})");
  EXPECT_EQ(loadError(t), "manifest: bad string agent");
  // An opening quote that never closes.
  EXPECT_EQ(loadError(replace(t, R"("agent": 7})", R"("agent": "ada)")), "manifest: bad string agent");
}

TEST_F(ManifestLoad, BadDims) {
  EXPECT_EQ(loadError(replace(base_, R"("crop": 64)", R"("crop": "64")")), "manifest: bad dims");
  EXPECT_EQ(loadError(replace(base_, R"("W": 160)", R"("W": 0.99)")), "manifest: bad dims");
  EXPECT_EQ(loadError(replace(base_, R"("NT": 6)", R"("NT": -2)")), "manifest: bad dims");
  EXPECT_EQ(loadError(replace(base_, R"("H": 120)", R"("H": true)")), "manifest: bad dims");
}

TEST_F(ManifestLoad, ValuesNoInt32HoldsAreRefusedByName) {
  EXPECT_EQ(loadError(replace(base_, R"("NT": 6)", R"("NT": 1e20)")), "manifest: value of NT is not a 32-bit integer");
  EXPECT_EQ(loadError(replace(base_, R"("frames": 8)", R"("frames": nan)")),
            "manifest: value of frames is not a 32-bit integer");
  EXPECT_EQ(load(replace(base_, R"("frames": 8)", R"("frames": -2147483648)")).frames, INT32_MIN);
}

TEST_F(ManifestLoad, MissingStampIsRefused) {
  const std::string noStamp = replace(base_, R"(, "M_src_w": 80, "M_src_h": 60)", "");
  EXPECT_EQ(loadError(noStamp),
            dir_.path() +
                "/manifest.json declares no paste-space stamp (M_src_w/M_src_h, aka paste_source_width/height) "
                "\xE2\x80\x94 the canvas is 160x120, so M cannot be placed: absence is not evidence that M was "
                "authored at that size. Re-stamp the bundle (models/nimbrel-2/inference/backfill_msrc), or set "
                "NIMBREL2_MSRC_MISSING_OK=1 to restore the legacy assumption.");
  // Half a stamp is no stamp.
  std::string half = replace(base_, R"(, "M_src_h": 60)", "");
  EXPECT_NE(loadError(half).find("declares no paste-space stamp"), std::string::npos);
  for (const char* v : {"yes", "1x", "", "01"}) {
    ka::test::ScopedEnv env("NIMBREL2_MSRC_MISSING_OK", std::string(v));
    EXPECT_NE(loadError(noStamp).find("declares no paste-space stamp"), std::string::npos) << v;
  }
}

TEST_F(ManifestLoad, StampOverrideAssumesTheCanvas) {
  const std::string noStamp = replace(base_, R"(, "M_src_w": 80, "M_src_h": 60)", "");
  ka::test::ScopedEnv env("NIMBREL2_MSRC_MISSING_OK", std::string("1"));
  testing::internal::CaptureStderr();
  ka::Manifest m = load(noStamp);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(m.mSrcW, 160);
  EXPECT_EQ(m.mSrcH, 120);
  EXPECT_EQ(err, "[ka] WARNING NIMBREL2_MSRC_MISSING_OK=1: " + dir_.path() +
                     "/manifest.json carries no paste-space stamp; ASSUMING M was authored on this 160x120 canvas. "
                     "If it was not, the face pastes off-target (zp#144) and nothing will say so.\n");
}

TEST_F(ManifestLoad, StampMustBePositive) {
  EXPECT_EQ(loadError(replace(base_, R"("M_src_w": 80)", R"("M_src_w": 0.5)")),
            "manifest: bad paste-space stamp (M_src_w/M_src_h must be > 0)");
  EXPECT_EQ(loadError(replace(base_, R"("M_src_h": 60)", R"("M_src_h": -3)")),
            "manifest: bad paste-space stamp (M_src_w/M_src_h must be > 0)");
}

TEST_F(ManifestLoad, LipTemplateUnderEitherName) {
  ka::test::writeString(dir_ / "lip_template.v1.json", "{\"v\": 1}\n");
  EXPECT_EQ(load(base_).lipTemplateJson, "{\"v\": 1}\n");
}

TEST_F(ManifestLoad, UnreadableManifest) {
  EXPECT_EQ(errorOf([&] { ka::loadManifest(dir_.path()); }), "cannot open " + dir_.path() + "/manifest.json");
  // A directory in the manifest's place is not a manifest (and must not read as a huge file).
  ASSERT_EQ(::mkdir((dir_ / "manifest.json").c_str(), 0755), 0);
  EXPECT_EQ(errorOf([&] { ka::loadManifest(dir_.path()); }), "cannot open " + dir_.path() + "/manifest.json");
}

TEST_F(ManifestLoad, NumbersIgnoreTheHostLocale) {
  // Whatever the host's numeric locale, a full stop is the decimal separator.
  const char* old = std::setlocale(LC_NUMERIC, nullptr);
  std::string saved = old ? old : "C";
  bool switched = std::setlocale(LC_NUMERIC, "de_DE.UTF-8") || std::setlocale(LC_NUMERIC, "fr_FR.UTF-8");
  ka::Manifest m = load(base_);
  std::setlocale(LC_NUMERIC, saved.c_str());
  EXPECT_EQ(m.amount, 1.5f);
  EXPECT_EQ(m.sigma, 2.25f);
  if (!switched) GTEST_SKIP() << "no comma-decimal locale installed; parsed under C only";
}

}  // namespace
