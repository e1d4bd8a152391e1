// Where the teeth land. A bank's donor patch is cut around the donor's own mouth centre, so a
// borrowed tooth must appear at the same place relative to the frame's mouth, wherever that mouth
// sits on the canvas: the expectations below come from that geometry (a teeth picture drawn around
// each mouth centre), not from the pass's placement arithmetic. Every shift within the pad is
// tested, given and derived from the mask, with the window flush against each canvas edge at the
// extreme shifts, and K = 4 distinct donors blended per frame.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "tessera/stream_borrow.h"
#include "tessera/teeth_pass.h"

namespace {

using namespace ka::tessera;

// A 24 x 24 window on a 30 x 30 canvas with pad 3: at a shift of +-3 the window touches the
// canvas edge. The canonical mouth centre is the window's centre, (15, 15) on the canvas.
constexpr int kStamp[12] = {30, 30, 3, 3, 24, 24, 3, 9, 17, 4, 20, 2};
constexpr int kCx = 15, kCy = 15, kPad = 3, kN = 6;
// Each donor's mouth centre, off the canonical one by up to the margin.
constexpr int kDonorOff[kN][2] = {{0, 0}, {1, -2}, {-2, 1}, {2, 2}, {-1, -1}, {0, 2}};  // dy, dx

uint32_t mix(uint32_t v) {
  v ^= v >> 16;
  v *= 0x7feb352d;
  v ^= v >> 15;
  v *= 0x846ca68b;
  return v ^ (v >> 16);
}

// The teeth picture at (ry, rx) from a mouth centre: bright, nearly grey and different at every
// position, so a tooth one pixel off shows.
void teeth(int ry, int rx, uint8_t* rgb) {
  const uint32_t h = mix(static_cast<uint32_t>((ry + 100) * 1000 + rx + 100));
  rgb[0] = static_cast<uint8_t>(140 + h % 90);
  rgb[1] = static_cast<uint8_t>(rgb[0] - 8 + (h >> 8) % 16);
  rgb[2] = static_cast<uint8_t>(rgb[0] - 30 + (h >> 16) % 20);
}

struct MouthBank {
  GeometryStamp st = GeometryStamp::fromInts(kStamp);
  BankData bank;
  HeadWeights head;
  ServeConfig cfg;
  int sh = 0, sw = 0;

  // `pictured`: every donor holds the teeth picture around its own mouth centre (cut from the
  // band rectangle of its frame, as a bank is made); otherwise each donor holds its own noise.
  explicit MouthBank(bool pictured) {
    sh = st.band_r1 - st.band_r0 + 2 * st.shift_margin;
    sw = st.band_c1 - st.band_c0 + 2 * st.shift_margin;
    bank.stamp = st;
    bank.n = kN;
    bank.c_canon = {double(kCx), double(kCy)};
    bank.patches.resize(size_t(kN) * sh * sw * 3);
    std::mt19937 rng(7);
    for (int d = 0; d < kN; ++d) {
      const int cy = kCy + kDonorOff[d][0], cx = kCx + kDonorOff[d][1];
      bank.cent.push_back(cx);
      bank.cent.push_back(cy);
      bank.aperture.push_back(0.03);
      for (int r = 0; r < sh; ++r)
        for (int c = 0; c < sw; ++c) {
          uint8_t* p = &bank.patches[((size_t(d) * sh + r) * sw + c) * 3];
          // The patch's pixel (r, c) lay at this canvas position of the donor's frame.
          const int y = st.window_y0 + st.band_r0 - st.shift_margin + r;
          const int x = st.window_x0 + st.band_c0 - st.shift_margin + c;
          if (pictured)
            teeth(y - cy, x - cx, p);
          else
            for (int k = 0; k < 3; ++k) p[k] = static_cast<uint8_t>(rng() % 256);
        }
    }
    std::normal_distribution<float> g(0.0f, 0.25f);
    auto fill = [&](std::vector<float>& v, size_t n) {
      v.resize(n);
      for (float& x : v) x = g(rng);
    };
    fill(head.cand0_w, 16 * 7 * 9), fill(head.cand0_b, 16), fill(head.cand2_w, 16 * 16 * 9);
    fill(head.cand2_b, 16), fill(head.cand4_w, 16 * 9), fill(head.cand4_b, 1);
    cfg.kshort = kN, cfg.cut = kN, cfg.K = 4, cfg.hysteresis = 3, cfg.lookahead = 2;
  }

  size_t px() const { return size_t(st.canvas_w) * st.canvas_h; }
  // The delivery mask of a mouth centred at (cy, cx): a box of 11 x 19 pixels over the band,
  // symmetric about the centre, so the mask's centroid is the centre.
  std::vector<uint8_t> mask(int cy, int cx) const {
    std::vector<uint8_t> m(px(), 0);
    for (int y = cy - 5; y <= cy + 5; ++y)
      for (int x = cx - 9; x <= cx + 9; ++x) m[size_t(y) * st.canvas_w + x] = 255;
    return m;
  }
};

std::vector<std::pair<int, int>> everyShift() {
  std::vector<std::pair<int, int>> s;
  for (int dy = -kPad; dy <= kPad; ++dy)
    for (int dx = -kPad; dx <= kPad; ++dx) s.push_back({dy, dx});
  return s;
}

// Frames walk through every shift; after write-back each canvas must show the teeth picture on the
// band around its own mouth centre and the frame everywhere else.
TEST(TesseraTeethGeometry, TeethLandAroundTheMouthAtEveryShift) {
  const MouthBank s(true);
  const std::vector<std::pair<int, int>> shifts = everyShift();
  for (bool derive : {false, true}) {
    TeethPass pass(s.bank, s.head, s.cfg);
    std::mt19937 rng(3);
    std::vector<std::vector<uint8_t>> frames;
    std::vector<FrameResult> out;
    auto take = [&](bool filled, const FrameResult& r) {
      if (filled) out.push_back(r);
    };
    for (size_t k = 0; k <= shifts.size(); ++k) {
      FrameResult r;
      if (k == shifts.size()) {
        take(pass.flush(&r), r);
        break;
      }
      const auto [dy, dx] = shifts[k];
      std::vector<uint8_t> f(s.px() * 3);
      for (uint8_t& v : f) v = static_cast<uint8_t>(20 + rng() % 60);
      const std::vector<uint8_t> m = s.mask(kCy + dy, kCx + dx);
      const int shift[2] = {dy, dx};
      take(pass.push(int(k), f.data(), m.data(), derive ? nullptr : shift, &r), r);
      frames.push_back(std::move(f));
    }
    ASSERT_EQ(out.size(), shifts.size());
    for (size_t k = 0; k < shifts.size(); ++k) {
      const auto [dy, dx] = shifts[k];
      const FrameResult& r = out[k];
      ASSERT_FALSE(r.skipped) << r.reason;
      EXPECT_EQ(r.candidates, 4);
      EXPECT_EQ(r.dy, dy);
      EXPECT_EQ(r.dx, dx);
      std::vector<uint8_t> rgba(s.px() * 4);
      for (size_t i = 0; i < s.px(); ++i)
        for (int c = 0; c < 3; ++c) rgba[i * 4 + c] = frames[k][i * 3 + c];
      StreamBorrow::writeWindowDeltaRgba(rgba.data(), s.st.canvas_w, r, s.st);
      // The band rectangle, at its canonical distance from this frame's mouth centre.
      const int top = kCy + dy + (s.st.window_y0 + s.st.band_r0 - kCy);
      const int left = kCx + dx + (s.st.window_x0 + s.st.band_c0 - kCx);
      const int bottom = top + s.st.band_r1 - s.st.band_r0, right = left + s.st.band_c1 - s.st.band_c0;
      int wrong = 0, firstY = -1, firstX = -1;
      for (int y = 0; y < s.st.canvas_h; ++y)
        for (int x = 0; x < s.st.canvas_w; ++x) {
          uint8_t want[3];
          const size_t i = size_t(y) * s.st.canvas_w + x;
          if (y >= top && y < bottom && x >= left && x < right)
            teeth(y - (kCy + dy), x - (kCx + dx), want);
          else
            for (int c = 0; c < 3; ++c) want[c] = frames[k][i * 3 + c];
          bool bad = rgba[i * 4 + 3] != 255;
          for (int c = 0; c < 3; ++c) bad |= rgba[i * 4 + c] != want[c];
          if (bad && wrong++ == 0) firstY = y, firstX = x;
        }
      EXPECT_EQ(wrong, 0) << (derive ? "derived" : "given") << " shift (" << dy << ", " << dx
                          << "): first wrong pixel at (" << firstY << ", " << firstX << ")";
    }
  }
}

// The same mouth translated by any shift within the pad, given or derived from its mask, yields
// byte for byte the windows of the mouth centred: four distinct donors of noise, blended by the
// head, over two frames (the first with look-ahead donors, the second with carried ones).
TEST(TesseraTeethGeometry, TranslatedMouthGivesTheCentredWindow) {
  const MouthBank s(false);
  const GeometryStamp& st = s.st;
  constexpr int kFrames = 2;
  std::mt19937 rng(11);
  // The centred frames: noise, the mouth's window a mix of donor 2's patch and noise, and a soft
  // elliptical mask around the canonical centre.
  std::vector<std::vector<uint8_t>> base(kFrames), baseMask(kFrames);
  for (int k = 0; k < kFrames; ++k) {
    base[k].resize(s.px() * 3);
    for (uint8_t& v : base[k]) v = static_cast<uint8_t>(rng() % 256);
    for (int r = 0; r < s.sh; ++r)
      for (int c = 0; c < s.sw; ++c)
        for (int ch = 0; ch < 3; ++ch) {
          const int y = st.window_y0 + st.band_r0 - st.shift_margin + r,
                    x = st.window_x0 + st.band_c0 - st.shift_margin + c;
          const int v = s.bank.patches[((size_t(2 + k) * s.sh + r) * s.sw + c) * 3 + ch] + int(rng() % 17) - 8;
          base[k][(size_t(y) * st.canvas_w + x) * 3 + ch] = static_cast<uint8_t>(std::clamp(v, 0, 255));
        }
    baseMask[k].assign(s.px(), 0);
    for (int y = 0; y < st.canvas_h; ++y)
      for (int x = 0; x < st.canvas_w; ++x) {
        const double e = ((x - kCx) / 10.0) * ((x - kCx) / 10.0) + ((y - kCy) / 6.0) * ((y - kCy) / 6.0);
        baseMask[k][size_t(y) * st.canvas_w + x] = static_cast<uint8_t>(std::clamp((1.4 - e) * 300.0, 0.0, 255.0));
      }
  }
  // Frame content moved by (dy, dx); what comes in from beyond the edge is grey.
  auto moved = [&](const std::vector<uint8_t>& img, int ch, int dy, int dx) {
    std::vector<uint8_t> o(s.px() * ch, ch == 3 ? 128 : 0);
    for (int y = 0; y < st.canvas_h; ++y)
      for (int x = 0; x < st.canvas_w; ++x) {
        const int sy = y - dy, sx = x - dx;
        if (sy < 0 || sx < 0 || sy >= st.canvas_h || sx >= st.canvas_w) continue;
        for (int c = 0; c < ch; ++c)
          o[(size_t(y) * st.canvas_w + x) * ch + c] = img[(size_t(sy) * st.canvas_w + sx) * ch + c];
      }
    return o;
  };
  auto run = [&](int dy, int dx, bool derive) {
    TeethPass pass(s.bank, s.head, s.cfg);
    std::vector<FrameResult> out;
    const int shift[2] = {dy, dx};
    for (int k = 0; k <= kFrames; ++k) {
      FrameResult r;
      const bool filled = k == kFrames ? pass.flush(&r)
                                       : pass.push(k, moved(base[k], 3, dy, dx).data(),
                                                   moved(baseMask[k], 1, dy, dx).data(), derive ? nullptr : shift, &r);
      if (filled) out.push_back(r);
    }
    return out;
  };
  const std::vector<FrameResult> centred = run(0, 0, false);
  ASSERT_EQ(centred.size(), size_t(kFrames));
  for (const FrameResult& r : centred) {
    ASSERT_FALSE(r.skipped);
    EXPECT_EQ(r.candidates, 4);
  }
  for (const auto& [dy, dx] : everyShift())
    for (bool derive : {false, true}) {
      const std::vector<FrameResult> got = run(dy, dx, derive);
      ASSERT_EQ(got.size(), size_t(kFrames));
      for (int k = 0; k < kFrames; ++k) {
        EXPECT_EQ(got[k].dy, dy);
        EXPECT_EQ(got[k].dx, dx);
        EXPECT_EQ(got[k].candidates, 4);
        EXPECT_TRUE(got[k].window == centred[k].window)
            << (derive ? "derived" : "given") << " shift (" << dy << ", " << dx << "), frame " << k;
      }
    }
}

}  // namespace
