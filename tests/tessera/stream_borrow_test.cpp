// The bank decode against the ffmpeg command line's own decode, its refusals, the stream borrow's
// construction, masks and write-back, and the offline runner against a pass driven directly.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "common/test_util.h"
#include "ka/ka_tessera.h"
#include "tessera/bank_decode.h"
#include "face/json.h"
#include "tessera/members.h"
#include "tessera/stream_borrow.h"
#include "teeth_fixture.h"

namespace {

using ka::test::errorOf;
using ka::test::readAs;
using namespace ka::tessera;

const char* const kStop = " \xE2\x80\x94 refusing to serve";

TEST(TesseraBankDecode, MatchesTheFfmpegCommandLineAndRefuses) {
  ka::test::TempDir t;
  ASSERT_TRUE(ka::test::forge({"tessera", t / "b", "--n", "6"}));
  const ka::TesseraAttachInputs m = ka::loadTesseraMembers(t / "b");
  const std::vector<uint8_t> track = ka::test::readBytes(m.bank_track_path);
  const int w = m.band_w, h = m.band_h, n = m.n_donors;
  const std::vector<uint8_t> got = decodeBankTrack(track.data(), track.size(), w, h, n, m.track_order);
  ASSERT_EQ(
      ka::test::runCommand("ffmpeg -nostdin -v error -i " + ka::test::shellQuote(m.bank_track_path) +
                           " -f rawvideo -pix_fmt rgb24 -sws_flags bilinear " + ka::test::shellQuote(t / "cli.rgb")),
      0);
  const std::vector<uint8_t> cli = ka::test::readBytes(t / "cli.rgb");
  ASSERT_EQ(cli.size(), got.size());
  std::vector<uint8_t> want(cli.size());
  ka::reorderTrackToDonor(m, cli.data(), want.data());
  EXPECT_EQ(got, want);
  EXPECT_EQ(bankDecoderBuild().rfind("libavcodec ", 0), 0u);

  auto err = [&](int sw, int sh, int nn, std::vector<int> order, size_t size = 0) {
    return errorOf([&] { decodeBankTrack(track.data(), size ? size : track.size(), sw, sh, nn, order); });
  };
  std::vector<int> order = m.track_order;
  EXPECT_EQ(errorOf([&] { decodeBankTrack(track.data(), 0, w, h, n, order); }),
            std::string("reference bank track is empty") + kStop);
  EXPECT_EQ(err(0, h, n, order), std::string("reference bank geometry is not positive") + kStop);
  EXPECT_EQ(err(w, h, n, {0, 1}),
            "reference bank sidecar track_order has 2 entries, expected 6 \xE2\x80\x94 "
            "sidecar/track mismatch, refusing to serve");
  EXPECT_EQ(err(w + 2, h, n, order), "reference bank track is " + std::to_string(w) + "x" + std::to_string(h) +
                                         ", the geometry stamp says " + std::to_string(w + 2) + "x" +
                                         std::to_string(h) + " \xE2\x80\x94 geometry mismatch, refusing to serve");
  std::vector<int> dup = order;
  dup[1] = dup[0];
  EXPECT_EQ(err(w, h, n, dup), std::string("reference bank track_order is not a permutation") + kStop);
  dup[1] = n;
  EXPECT_EQ(err(w, h, n, dup), std::string("reference bank track_order is out of range") + kStop);
  EXPECT_EQ(err(w, h, n - 1, {0, 1, 2, 3, 4}),
            "bank track carries more frames than the sidecar's n_donors "
            "\xE2\x80\x94 sidecar/track mismatch, refusing to serve");
  EXPECT_EQ(err(w, h, n + 1, {0, 1, 2, 3, 4, 5, 6}),
            "bank track decoded to 6 frames, expected 7 \xE2\x80\x94 geometry/N mismatch, refusing to serve");
  const std::vector<uint8_t> junk(4000, 0x5a);
  EXPECT_EQ(errorOf([&] { decodeBankTrack(junk.data(), junk.size(), w, h, n, order); }),
            std::string("reference bank track is not a readable container") + kStop);
  // A playlist naming a file is not a bank container: nothing it names is opened.
  const std::string playlist =
      "#EXTM3U\n#EXT-X-TARGETDURATION:1\n#EXTINF:1,\n" + m.bank_track_path + "\n#EXT-X-ENDLIST\n";
  EXPECT_EQ(errorOf([&] {
              decodeBankTrack(reinterpret_cast<const uint8_t*>(playlist.data()), playlist.size(), w, h, n, order);
            }),
            std::string("reference bank track is not a readable container") + kStop);
  // A cut-off track opens but falls short of its frames (or does not open at all).
  const std::string cut = err(w, h, n, order, track.size() / 2);
  EXPECT_TRUE(cut.find("refusing to serve") != std::string::npos) << cut;
}

// Every band width from 1 to 64 pixels decodes into its own donor rows. The scaler's vector stores
// run past a row whose bytes are not a whole vector (a 28-pixel band has 84-byte rows); with the
// track order reversed, a store past one donor's slot lands in the slot decoded before it, and the
// last slot's runs past the end of the bank. FFmpeg's own decode of each track is the reference.
TEST(TesseraBankDecode, EveryBandWidthStaysInItsOwnRows) {
  ka::test::TempDir t;
  ASSERT_TRUE(ka::test::forge({"tessera-widths", t / "w", "--from", "1", "--to", "64", "--height", "6", "--n", "3"}));
  const int h = 6, n = 3;
  const std::vector<int> order = {2, 1, 0};
  for (int w = 1; w <= 64; ++w) {
    const std::string stem = t / ("w/w" + std::to_string(w));
    const std::vector<uint8_t> track = ka::test::readBytes(stem + ".mp4");
    const std::vector<uint8_t> cli = ka::test::readBytes(stem + ".rgb");
    const size_t frame = static_cast<size_t>(w) * h * 3;
    ASSERT_EQ(cli.size(), frame * n) << "width " << w;
    std::vector<uint8_t> want(cli.size());
    for (int k = 0; k < n; ++k) std::memcpy(&want[order[k] * frame], &cli[k * frame], frame);
    const std::vector<uint8_t> got = decodeBankTrack(track.data(), track.size(), w, h, n, order);
    ASSERT_EQ(got.size(), want.size());
    const auto at = std::mismatch(got.begin(), got.end(), want.begin()).first - got.begin();
    EXPECT_EQ(at, static_cast<ptrdiff_t>(got.size())) << "width " << w << ": first wrong byte " << at;
  }
}

struct Seq {
  BankData bank;
  std::vector<uint8_t> frames, masks, pt;
  std::vector<int32_t> shifts;
  std::string cfg;
  int count = 0;
};

// The teeth pass reference's forged bank and frames, with a head weights file from the forge.
Seq forgedSequence(const ka::test::TempDir& tmp) {
  const ka::tessera::test::Forged f = ka::tessera::test::forgeReference(tmp, 5);
  Seq s;
  s.bank = f.bank;
  s.frames = f.frames;
  s.masks = f.masks;
  s.shifts = f.shifts;
  s.count = f.count;
  EXPECT_TRUE(ka::test::forge({"tessera-head", tmp / "h.pt", "--arch", "cand"}));
  s.pt = ka::test::readBytes(tmp / "h.pt");
  s.cfg =
      R"({"retrieval": {"kshort": 8, "aperture_tol": 0.3, "cut": 6, "K": 4}, "temporal": {"hysteresis": 3, "lookahead": 2}})";
  return s;
}

TEST(TesseraOfflineRun, MatchesThePassAndReportsMissingResults) {
  ka::test::TempDir tmp;
  const Seq s = forgedSequence(tmp);
  const GeometryStamp& st = s.bank.stamp;
  int stamp[12];
  st.toInts(stamp);
  const size_t px = static_cast<size_t>(st.canvas_w) * st.canvas_h,
               win = static_cast<size_t>(st.window_w) * st.window_h * 3;
  std::vector<uint8_t> out(win * s.count, 7);
  std::vector<int> skipped(s.count, -1);
  char err[256] = "x";
  ASSERT_EQ(ka_tessera_run_shift(s.bank.patches.data(), s.bank.n, s.bank.cent.data(), s.bank.c_canon.data(),
                                 s.bank.aperture.data(), stamp, s.pt.data(), static_cast<int>(s.pt.size()),
                                 s.cfg.c_str(), s.frames.data(), s.masks.data(), s.shifts.data(), s.count, out.data(),
                                 skipped.data(), err, sizeof err),
            0)
      << err;
  TeethPass pass(s.bank, loadHeadPt(s.pt), ServeConfig::fromHeadMemberJson(s.cfg));
  std::vector<FrameResult> want;
  for (int k = 0; k < s.count; ++k) {
    FrameResult r;
    const int* sh = s.shifts[2 * k] == -10000 ? nullptr : &s.shifts[2 * k];
    if (pass.push(k, &s.frames[k * px * 3], &s.masks[k * px], sh, &r)) want.push_back(r);
  }
  want.emplace_back();
  ASSERT_TRUE(pass.flush(&want.back()));
  for (int k = 0; k < s.count; ++k) {
    EXPECT_EQ(skipped[k], want[k].skipped ? 1 : 0) << k;
    if (want[k].skipped)
      EXPECT_EQ(out[k * win], 7);  // a skipped window is left alone
    else
      EXPECT_EQ(0, std::memcmp(&out[k * win], want[k].window.data(), win)) << k;
  }
  EXPECT_EQ(skipped[2], 1);  // the empty mask
  // Without the given shifts every frame derives its own from its mask (frame 5's sits 5 rows down,
  // beyond the pad, either way).
  ASSERT_EQ(ka_tessera_run(s.bank.patches.data(), s.bank.n, s.bank.cent.data(), s.bank.c_canon.data(),
                           s.bank.aperture.data(), stamp, s.pt.data(), static_cast<int>(s.pt.size()), s.cfg.c_str(),
                           s.frames.data(), s.masks.data(), s.count, out.data(), skipped.data(), err, sizeof err),
            0);
  EXPECT_EQ(skipped, (std::vector<int>{0, 0, 1, 0, 0, 1, 0}));
  EXPECT_EQ(ka_tessera_run(s.bank.patches.data(), 0, s.bank.cent.data(), s.bank.c_canon.data(), s.bank.aperture.data(),
                           stamp, s.pt.data(), static_cast<int>(s.pt.size()), s.cfg.c_str(), s.frames.data(),
                           s.masks.data(), s.count, out.data(), skipped.data(), err, 12),
            1);
  EXPECT_STREQ(err, "teeth: bank");
}

TEST(TesseraStreamBorrow, ConstructsPushesAndWritesBack) {
  ka::test::TempDir tmp;
  const Seq s = forgedSequence(tmp);
  const HeadWeights hw = loadHeadPt(s.pt);
  const ServeConfig cfg = ServeConfig::fromHeadMemberJson(s.cfg);
  const std::string man =
      R"({"unified": {"pi": {"mode": "prop", "prop_gate_scale": 1.0, "lip_idx": [15, 16, 17, 18], "lip_geom_params": [0.1, 0.08, 0.074]}}})";
  const UnifiedPi pi = UnifiedPi::fromManifestJson(man, 64);
  testing::internal::CaptureStderr();
  StreamBorrow b(s.bank, hw, cfg, pi, "");
  std::string log = testing::internal::GetCapturedStderr();
  EXPECT_EQ(log,
            "[borrow] !!! delivery mask: ELLIPSE \xE2\x80\x94 this bundle carries no lip_template.v1.json, so it "
            "serves the over-covering elliptical mask the contour replaces. BACKFILL IT: "
            "models/nimbrel-2/tools/bake_lip_templates\n");
  EXPECT_EQ(b.backend(), "cpu");
  EXPECT_FALSE(b.hostSplit());
  EXPECT_EQ(errorOf([&] { StreamBorrow x(s.bank, hw, cfg, UnifiedPi::fromManifestJson(man, 32), ""); }),
            "teeth stream: manifest pi canvas 32 != bank compose canvas 64 \xE2\x80\x94 refusing to compose a mouth "
            "on a canvas the stamp does not name");
  BankData wide = s.bank;
  wide.stamp.canvas_w = 80;
  EXPECT_EQ(errorOf([&] { StreamBorrow x(wide, hw, cfg, pi, ""); }),
            "teeth stream: non-square compose canvas 80x64 \xE2\x80\x94 ka_core renders a square crop");
  const std::string tmpl =
      R"({"format": "lip-template-v1", "canvas": 64, "feather_px": 2.0, "u_canon": [[-1, 0], [0, -1], [1, 0], [0, 1]], "lip_idx": [15, 16, 17, 18]})";
  testing::internal::CaptureStderr();
  StreamBorrow lip(s.bank, hw, cfg, pi, tmpl);
  log = testing::internal::GetCapturedStderr();
  EXPECT_EQ(log,
            "[borrow] delivery mask: LIP CONTOUR (4 verts, feather 2.0 px) \xE2\x80\x94 the ellipse is not "
            "reachable in this session\n");
  EXPECT_TRUE(lip.contourMask());

  // Frames one behind; a frame the pass leaves alone keeps its sub-byte detail on write-back.
  std::vector<float> kp(63, 0.0f);
  const float mouth[4][2] = {{-0.2f, 0.25f}, {0.2f, 0.25f}, {0.0f, 0.2f}, {0.0f, 0.33f}};
  for (int r = 0; r < 4; ++r) kp[3 * (15 + r)] = mouth[r][0], kp[3 * (15 + r) + 1] = mouth[r][1];
  const size_t px = 64 * 64;
  std::vector<float> planes(3 * px);
  for (size_t i = 0; i < planes.size(); ++i) planes[i] = 0.3f + 0.4f * std::fabs(std::sin(i * 0.37f)) + 0.0004f;
  FrameResult r;
  EXPECT_FALSE(lip.push(planes.data(), kp.data(), &r));
  EXPECT_TRUE(lip.push(planes.data(), kp.data(), &r));
  EXPECT_EQ(r.frameIndex, 0);
  ASSERT_FALSE(r.skipped) << r.reason;
  EXPECT_TRUE(lip.flush(&r));
  EXPECT_EQ(lip.pushed(), 2);
  const GeometryStamp& st = s.bank.stamp;
  FrameResult same = r;
  for (int j = 0; j < st.window_h; ++j)
    for (int m = 0; m < st.window_w; ++m)
      for (int c = 0; c < 3; ++c) {
        const float u = planes[c * px + static_cast<size_t>(st.window_y0 + r.dy + j) * 64 + st.window_x0 + r.dx + m];
        same.window[(static_cast<size_t>(j) * st.window_w + m) * 3 + c] =
            static_cast<uint8_t>(std::nearbyint(u * 255.0f));
      }
  std::vector<float> host = planes;
  StreamBorrow::writeWindowDelta(host.data(), 64, same, st);
  EXPECT_EQ(host, planes);
  StreamBorrow::writeWindowDelta(host.data(), 64, r, st);
  const size_t at = static_cast<size_t>(st.window_y0 + r.dy) * 64 + st.window_x0 + r.dx;
  const float moved = host[at] - planes[at];
  EXPECT_NEAR(moved, r.window[0] / 255.0f - std::nearbyint(planes[at] * 255.0f) / 255.0f, 1e-6f);
  std::vector<uint8_t> rgba(px * 4, 9);
  StreamBorrow::writeWindowDeltaRgba(rgba.data(), 64, r, st);
  EXPECT_EQ(rgba[3], 255);
  EXPECT_EQ(rgba[at * 4], r.window[0]);
  FrameResult small = r;
  small.window.resize(10);
  EXPECT_EQ(errorOf([&] { StreamBorrow::writeWindowDelta(host.data(), 64, small, st); }),
            "teeth stream: window 10 bytes does not match the stamp window 32x16 \xE2\x80\x94 refusing to write back");
}

}  // namespace
