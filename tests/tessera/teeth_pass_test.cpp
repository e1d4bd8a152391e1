// The teeth pass against an independent numpy reference of its arithmetic on a forged bank
// (tests/tessera/teeth_pass_ref.py): retrieval scores, look-ahead, carried set, shifts given and
// derived from masks, skips and the composed windows byte for byte.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/test_util.h"
#include "tessera/json.h"
#include "tessera/teeth_pass.h"

namespace {

using ka::test::errorOf;
using ka::test::readAs;
using namespace ka::tessera;

struct Forged {
  BankData bank;
  HeadWeights head;
  ServeConfig cfg;
  std::vector<uint8_t> frames, masks, want;
  std::vector<int32_t> shifts, skipped;
  std::vector<float> scores;
  int count = 0, retrievals = 0;
};

Forged forge(const ka::test::TempDir& tmp, int seed) {
  Forged f;
  EXPECT_EQ(ka::test::runCommand(std::string(KA_PYTHON) + " " + KA_SOURCE_DIR + "/tests/tessera/teeth_pass_ref.py " +
                                 tmp.path() + " " + std::to_string(seed)),
            0);
  const json::JVal c = json::parseText(ka::test::readString(tmp / "cfg.json"));
  int st[12];
  for (int i = 0; i < 12; ++i) st[i] = static_cast<int>(c.get("stamp")->arr[i].num);
  f.bank.stamp = GeometryStamp::fromInts(st);
  f.bank.n = static_cast<int>(c.get("n")->num);
  f.bank.patches = ka::test::readBytes(tmp / "bank.u8");
  f.bank.cent = readAs<double>(tmp / "cent.f64");
  f.bank.aperture = readAs<double>(tmp / "aperture.f64");
  f.bank.c_canon = {c.get("c_canon")->arr[0].num, c.get("c_canon")->arr[1].num};
  const std::vector<float> w = readAs<float>(tmp / "head.f32");
  size_t at = 0;
  for (auto* v : {&f.head.cand0_w, &f.head.cand0_b, &f.head.cand2_w, &f.head.cand2_b, &f.head.cand4_w, &f.head.cand4_b}) {
    const size_t n = v == &f.head.cand0_w ? 1008 : v == &f.head.cand2_w ? 2304 : v == &f.head.cand4_w ? 144
                     : v == &f.head.cand4_b ? 1 : 16;
    v->assign(w.begin() + at, w.begin() + at + n);
    at += n;
  }
  EXPECT_EQ(at, w.size());
  f.cfg.kshort = static_cast<int>(c.get("kshort")->num);
  f.cfg.aperture_tol = c.get("aperture_tol")->num;
  f.cfg.cut = static_cast<int>(c.get("cut")->num);
  f.cfg.K = static_cast<int>(c.get("K")->num);
  f.cfg.hysteresis = static_cast<int>(c.get("hysteresis")->num);
  f.cfg.lookahead = static_cast<int>(c.get("lookahead")->num);
  f.frames = ka::test::readBytes(tmp / "frames.u8");
  f.masks = ka::test::readBytes(tmp / "masks.u8");
  f.want = ka::test::readBytes(tmp / "want.u8");
  f.shifts = readAs<int32_t>(tmp / "shifts.i32");
  f.skipped = readAs<int32_t>(tmp / "skipped.i32");
  f.scores = readAs<float>(tmp / "scores.f32");
  f.count = static_cast<int>(c.get("frames")->num);
  f.retrievals = static_cast<int>(c.get("retrievals")->num);
  return f;
}

TEST(TesseraTeethPass, MatchesTheNumpyReferenceByteForByte) {
  for (int seed : {5, 11}) {
    ka::test::TempDir tmp;
    const Forged f = forge(tmp, seed);
    ASSERT_EQ(f.count, 7);
    TeethPass pass(f.bank, f.head, f.cfg);
    const GeometryStamp& st = f.bank.stamp;
    const size_t canvas = static_cast<size_t>(st.canvas_w) * st.canvas_h;
    const size_t win = static_cast<size_t>(st.window_w) * st.window_h * 3;
    std::vector<FrameResult> got;
    size_t scoreAt = 0;
    for (int k = 0; k < f.count; ++k) {
      FrameResult r;
      const int* shift = f.shifts[2 * k] == -10000 ? nullptr : &f.shifts[2 * k];
      const size_t before = pass.lastCoarse().size() ? scoreAt : 0;
      (void)before;
      if (pass.push(k, &f.frames[k * canvas * 3], &f.masks[k * canvas], shift, &r)) got.push_back(r);
      // A frame that retrieved leaves its scores: compare them with the reference's, bit for bit.
      if (f.skipped[k] == 0 && scoreAt < f.scores.size()) {
        const auto& co = pass.lastCoarse();
        const auto& ex = pass.lastExact();
        ASSERT_LE(scoreAt + co.size() + ex.size(), f.scores.size());
        EXPECT_EQ(0, std::memcmp(co.data(), &f.scores[scoreAt], co.size() * sizeof(float))) << "coarse, frame " << k;
        EXPECT_EQ(0, std::memcmp(ex.data(), &f.scores[scoreAt + co.size()], ex.size() * sizeof(float)))
            << "exact, frame " << k;
        scoreAt += co.size() + ex.size();
      }
    }
    FrameResult last;
    ASSERT_TRUE(pass.flush(&last));
    got.push_back(last);
    EXPECT_FALSE(pass.flush(&last));
    EXPECT_EQ(scoreAt, f.scores.size());
    ASSERT_EQ(got.size(), static_cast<size_t>(f.count));
    for (int k = 0; k < f.count; ++k) {
      EXPECT_EQ(got[k].frameIndex, k);
      EXPECT_EQ(got[k].skipped, f.skipped[k] != 0) << k;
      if (got[k].skipped) {
        EXPECT_EQ(got[k].candidates, 0);
        EXPECT_EQ(got[k].reason, k == 2 ? "empty-pi" : "shift-out-of-range");
        continue;
      }
      EXPECT_GT(got[k].candidates, 0);
      ASSERT_EQ(got[k].window.size(), win);
      int diff = 0;
      for (size_t i = 0; i < win; ++i) diff += got[k].window[i] != f.want[k * win + i];
      EXPECT_EQ(diff, 0) << "seed " << seed << " frame " << k;
    }
    // The vectorised exact score equals the plain loop over the difference table.
    const std::vector<float> vec = pass.exactScoresVector(), sca = pass.exactScoresScalar();
    ASSERT_EQ(vec.size(), sca.size());
    EXPECT_EQ(0, std::memcmp(vec.data(), sca.data(), vec.size() * sizeof(float)));
  }
}

TEST(TesseraTeethPass, ConstructionRefusals) {
  ka::test::TempDir tmp;
  const Forged f = forge(tmp, 5);
  BankData b = f.bank;
  b.patches.pop_back();
  const size_t need = f.bank.patches.size();
  EXPECT_EQ(errorOf([&] { TeethPass p(b, f.head, f.cfg); }),
            "teeth: reference track is " + std::to_string(need - 1) + " bytes, the stamp requires " +
                std::to_string(need) +
                " (n * stored_h * stored_w * 3) — a decoder that delivered a different pixel format would land here");
  b = f.bank;
  b.aperture.pop_back();
  EXPECT_EQ(errorOf([&] { TeethPass p(b, f.head, f.cfg); }), "teeth: bank sidecar arrays disagree with n_donors");
  b = f.bank;
  b.stamp.pad = 0;
  EXPECT_EQ(errorOf([&] { TeethPass p(b, f.head, f.cfg); }).rfind("teeth: GeometryStamp incoherent:", 0), 0u);
  // The difference table: symmetric, zero on the diagonal, half-precision steps of 1/255.
  const float* D = TeethPass::dTable();
  EXPECT_EQ(D[0], 0.0f);
  EXPECT_EQ(D[255], 1.0f);
  EXPECT_EQ(D[7 * 256 + 200], D[200 * 256 + 7]);
}

}  // namespace
