// The teeth pass against an independent numpy reference of its arithmetic on a forged bank
// (tests/tessera/teeth_pass_ref.py): retrieval scores, look-ahead, carried set, shifts given and
// derived from masks, skips and the composed windows byte for byte.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "common/test_util.h"
#include "face/json.h"
#include "teeth_fixture.h"
#include "tessera/teeth_pass.h"

namespace {

using ka::test::errorOf;
using ka::test::readAs;
using namespace ka::tessera;

TEST(TesseraTeethPass, MatchesTheNumpyReferenceByteForByte) {
  for (int seed : {5, 11}) {
    ka::test::TempDir tmp;
    const ka::tessera::test::Forged f = ka::tessera::test::forgeReference(tmp, seed);
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

// Two passes driven from two threads at once (each fanning out over its own pool workers) give
// the results one pass gives alone.
TEST(TesseraTeethPassThreads, TwoPassesOnTwoThreads) {
  ka::test::TempDir tmp;
  const ka::tessera::test::Forged f = ka::tessera::test::forgeReference(tmp, 5);
  const size_t canvas = static_cast<size_t>(f.bank.stamp.canvas_w) * f.bank.stamp.canvas_h;
  auto run = [&](std::vector<std::vector<uint8_t>>* out) {
    TeethPass pass(f.bank, f.head, f.cfg);
    FrameResult r;
    for (int k = 0; k < f.count; ++k)
      if (pass.push(k, &f.frames[k * canvas * 3], &f.masks[k * canvas], nullptr, &r)) out->push_back(r.window);
    if (pass.flush(&r)) out->push_back(r.window);
  };
  std::vector<std::vector<uint8_t>> alone, a, b;
  run(&alone);
  std::thread ta(run, &a), tb(run, &b);
  ta.join();
  tb.join();
  EXPECT_EQ(a, alone);
  EXPECT_EQ(b, alone);
  EXPECT_EQ(alone.size(), static_cast<size_t>(f.count));
}

TEST(TesseraTeethPass, ConstructionRefusals) {
  ka::test::TempDir tmp;
  const ka::tessera::test::Forged f = ka::tessera::test::forgeReference(tmp, 5);
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
