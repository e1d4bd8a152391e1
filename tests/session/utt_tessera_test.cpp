// The teeth borrow in the utterance session: attach refusals in their order, a live session that
// delivers every speech frame through the borrow and drains it before the frames that follow
// speech (with and without the paste stage), and a session destroyed while the borrow is busy.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/test_util.h"
#include "ka/ka.h"
#include "ka/ka_tessera.h"
#include "ka/ka_utt.h"
#include "tessera/bank_decode.h"
#include "face/unified_pi.h"

namespace {

using Clock = std::chrono::steady_clock;
using ka::test::ScopedEnv;
using ka::test::TempDir;

// A bundle on a 128 canvas (where the corpus pi rows lie more than 3 pixels apart) with its
// director, a motion directory and the teeth-borrow members (drawn teeth). The members' stamp is
// moved to this canvas, its window around the bank's canonical centre.
struct Fixture {
  TempDir tmp;
  std::string bundle = tmp / "bundle";
  std::string motion = tmp / "bundle/motion";
  std::vector<uint8_t> bank;
  ka_tessera_members* m = nullptr;
  double canon[2] = {0, 0};
  int stamp[12] = {};
  Fixture() {
    ka::test::forge({"bundle", bundle, "--size", "medium"});
    ka::test::forge({"director-into", bundle});
    ka::test::forge({"motion", motion, "--nt", "6", "--xs-target", bundle + "/xs_target.bin"});
    ka::test::forge({"tessera", bundle, "--n", "12", "--teeth"});
    char err[512] = "";
    m = ka_tessera_members_open(bundle.c_str(), err, sizeof err);
    EXPECT_TRUE(m) << err;
    const std::vector<uint8_t> track = ka::test::readBytes(ka_tessera_members_bank_track_path(m));
    std::vector<int> order(static_cast<size_t>(ka_tessera_members_n_donors(m)));
    // The members give the bank in track order; the decode puts it into donor order.
    std::vector<uint8_t> trackBank =
        ka::tessera::decodeBankTrack(track.data(), track.size(), ka_tessera_members_band_w(m),
                                     ka_tessera_members_band_h(m), static_cast<int>(order.size()), [&] {
                                       for (size_t i = 0; i < order.size(); ++i) order[i] = static_cast<int>(i);
                                       return order;
                                     }());
    bank.resize(trackBank.size());
    EXPECT_EQ(ka_tessera_members_reorder(m, trackBank.data(), bank.data(), err, sizeof err), 0) << err;
    // The bank's canonical centre: the corpus row "v1" over the bundle's own target rows.
    ka::tessera::UnifiedPi pi = ka::tessera::UnifiedPi::fromManifestJson(ka_tessera_members_manifest_json(m), 128);
    pi.pad_x = 0.05f, pi.pad_y = 0.08f, pi.down = 0.015f;
    const std::vector<float> target = ka::test::readAs<float>(bundle + "/xs_target.bin");
    pi.canonicalCentroid(target.data(), static_cast<int>(target.size() / 63), &canon[0], &canon[1]);
    std::memcpy(stamp, ka_tessera_members_stamp(m), sizeof stamp);
    stamp[0] = stamp[1] = 128;
    stamp[2] = static_cast<int>(canon[0]) - stamp[4] / 2;
    stamp[3] = static_cast<int>(canon[1]) - stamp[5] / 2;
  }
  ~Fixture() { ka_tessera_members_close(m); }
  int attach(ka_utt* u, char* err, int len, const int* stamp = nullptr, int n = -1) const {
    // The sidecar's donor centres sit around (32, 40): moved with the window.
    std::vector<double> cent(ka_tessera_members_cent(m),
                             ka_tessera_members_cent(m) + 2 * ka_tessera_members_n_donors(m));
    for (size_t i = 0; i < cent.size(); i += 2) cent[i] += canon[0] - 32.0, cent[i + 1] += canon[1] - 40.0;
    return ka_utt_tessera_attach(u, bank.data(), n < 0 ? ka_tessera_members_n_donors(m) : n, cent.data(), canon,
                                 ka_tessera_members_aperture(m), stamp ? stamp : this->stamp,
                                 ka_tessera_members_head_pt(m), ka_tessera_members_head_pt_len(m),
                                 ka_tessera_members_head_json(m), ka_tessera_members_manifest_json(m), err, len);
  }
};

Fixture& fx() {
  static Fixture f;
  return f;
}

struct Session {
  ka_ctx* ctx = nullptr;
  ka_utt* u = nullptr;
  Session() {
    ctx = ka_create(fx().bundle.c_str(), "b1", 1, nullptr);
    EXPECT_TRUE(ctx) << ka_last_error();
    ka_utt_opts o{};
    o.motion_dir = fx().motion.c_str();
    o.threads = 1;
    o.steady_model = "-";
    u = ka_utt_create(ctx, &o);
    EXPECT_TRUE(u) << ka_utt_last_error();
  }
  ~Session() {
    ka_utt_destroy(u);
    ka_destroy(ctx);
  }
};

TEST(UttTessera, AttachRefusalsInOrder) {
  Session s;
  char err[512];
  EXPECT_EQ(fx().attach(nullptr, err, sizeof err), 1);
  EXPECT_STREQ(err, "ka_utt_tessera_attach: null session");
  EXPECT_EQ(ka_utt_tessera_attach(s.u, nullptr, 0, nullptr, nullptr, nullptr, nullptr, nullptr, 0, nullptr, nullptr,
                                  err, sizeof err),
            1);
  EXPECT_STREQ(err, "ka_utt_tessera_attach: a required member is null — this ABI has no partial-attach state");
  EXPECT_EQ(fx().attach(s.u, err, sizeof err, nullptr, 0), 1);
  EXPECT_STREQ(err, "ka_utt_tessera_attach: n_donors <= 0");
  int wrong[12];
  std::memcpy(wrong, fx().stamp, sizeof wrong);
  wrong[0] = 96, wrong[1] = 64;
  EXPECT_EQ(fx().attach(s.u, err, sizeof err, wrong), 1);
  EXPECT_STREQ(err, "ka_utt_tessera_attach: bank canvas 96x64 != this bundle's render crop 128");
  wrong[0] = wrong[1] = 128, wrong[6] = 0;  // pad 0
  EXPECT_EQ(fx().attach(s.u, err, sizeof err, wrong), 1);
  EXPECT_EQ(std::string(err).rfind("ka_utt_tessera_attach: teeth: GeometryStamp incoherent:", 0), 0u) << err;
  EXPECT_EQ(fx().attach(s.u, err, 8, nullptr, 0), 1);
  EXPECT_STREQ(err, "ka_utt_");
  uint64_t e = 9, f = 9;
  char msg[64];
  EXPECT_EQ(ka_utt_tessera_stats(s.u, &e, &f, msg, sizeof msg), 0);
  EXPECT_EQ(ka_utt_tessera_geometry(s.u, msg, sizeof msg), 0);
  EXPECT_STREQ(msg, "");
  EXPECT_EQ(ka_utt_tessera_geometry(nullptr, msg, sizeof msg), 0);
}

// Speech through an attached borrow, then idle: every speech frame is delivered once, in order,
// through the borrow, and the crop it held is drained before the frames after speech. With
// reattachAt >= 0 a second borrow replaces the first once that speech frame is pulled: the crop the
// first one holds then is still delivered, in its place.
void liveSession(const char* pipelined, int reattachAt = -1) {
  ScopedEnv env("KA_UTT_PIPELINE_PASTE", std::string(pipelined));
  Session s;
  const auto t0 = Clock::now();
  while (ka_utt_ready(s.u) == 0 && Clock::now() - t0 < std::chrono::seconds(60))
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  ASSERT_EQ(ka_utt_ready(s.u), 1);
  char err[512] = "";
  ASSERT_EQ(fx().attach(s.u, err, sizeof err), 0) << err;
  char geo[256];
  EXPECT_EQ(ka_utt_tessera_geometry(s.u, geo, sizeof geo), 1);
  EXPECT_EQ(std::string(geo).rfind("{canvas_w=128", 0), 0u) << geo;
  const std::vector<int16_t> a = ka::test::speechPcm16(1.0);
  const int F = static_cast<int>((a.size() + 639) / 640);
  for (size_t at = 0; at < a.size(); at += 320) ka_utt_push_audio(s.u, a.data() + at, 320);
  ka_utt_end_utterance(s.u);
  std::vector<ka_utt_frame_info> got;
  std::vector<uint8_t> rgb(static_cast<size_t>(ka_width(s.ctx)) * ka_height(s.ctx) * 3);
  int speechSeen = 0;
  while (Clock::now() - t0 < std::chrono::seconds(120)) {
    ka_utt_frame_info info;
    if (ka_utt_pull_frame(s.u, rgb.data(), rgb.size(), &info) != 1) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      continue;
    }
    got.push_back(info);
    speechSeen += info.kind == KA_UTT_SPEECH;
    if (info.kind == KA_UTT_SPEECH && info.speech_frame == reattachAt) {
      ASSERT_EQ(fx().attach(s.u, err, sizeof err), 0) << err;
    }
    if (speechSeen > 0 && info.kind == KA_UTT_IDLE) break;
  }
  std::vector<int> numbers;
  for (size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i].seq, i);
    if (got[i].kind == KA_UTT_SPEECH) numbers.push_back(got[i].speech_frame);
  }
  ASSERT_EQ(static_cast<int>(numbers.size()), F);
  for (int k = 0; k < F; ++k) EXPECT_EQ(numbers[static_cast<size_t>(k)], k);
  // Speech frames come as one run: the held crop was drained before the ramp.
  const auto firstSpeech = std::find_if(got.begin(), got.end(), [](auto& i) { return i.kind == KA_UTT_SPEECH; });
  for (int k = 0; k < F; ++k) EXPECT_EQ(firstSpeech[k].kind, KA_UTT_SPEECH);
  uint64_t emitted = 0, failures = 0;
  char msg[256];
  EXPECT_EQ(ka_utt_tessera_stats(s.u, &emitted, &failures, msg, sizeof msg), 1) << msg;
  if (reattachAt < 0) {
    EXPECT_EQ(emitted, static_cast<uint64_t>(F));
  }
  EXPECT_EQ(failures, 0u);
  double mean = 0, last = 0;
  uint64_t count = 0;
  EXPECT_EQ(ka_utt_tessera_synth_w(s.u, &mean, &last, &count), 1);
  EXPECT_GT(count, 0u);
  EXPECT_GT(mean, 0.0);
  EXPECT_LE(mean, 1.0);
}

TEST(UttTesseraThreads, LiveSessionSynchronous) { liveSession("0"); }
TEST(UttTesseraThreads, LiveSessionPipelined) { liveSession("1"); }
TEST(UttTesseraThreads, SecondAttachDeliversTheHeldCrop) {
  liveSession("0", 2);
  liveSession("1", 2);
}

TEST(UttTesseraThreads, DestroyWhileTheBorrowIsBusy) {
  for (const char* pipe : {"0", "1"}) {
    ScopedEnv env("KA_UTT_PIPELINE_PASTE", std::string(pipe));
    Session s;
    const auto t0 = Clock::now();
    while (ka_utt_ready(s.u) == 0 && Clock::now() - t0 < std::chrono::seconds(60))
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    char err[512] = "";
    ASSERT_EQ(fx().attach(s.u, err, sizeof err), 0) << err;
    const std::vector<int16_t> a = ka::test::speechPcm16(0.6);
    ka_utt_push_audio(s.u, a.data(), static_cast<int>(a.size()));
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
  }  // destroyed with speech in flight
}

// Host threads push, pull, borrow slots, end, interrupt and attach borrows at random; then the
// session is brought into one state and destroyed there: right after create (warm-up running),
// idle, mid-speech with frames queued, mid-ramp, with a slot lent, with paste jobs in flight.
// Destroy must join everything without a hang, with and without the paste stage.
TEST(UttTesseraConcurrent, RandomCallsWithAttachThenDestroyInEachState) {
  const std::vector<int16_t> a = ka::test::speechPcm16(1.0);
  const auto waitFor = [](const std::function<bool()>& done) {
    const auto t0 = Clock::now();
    bool ok = false;
    while (!(ok = done()) && Clock::now() - t0 < std::chrono::seconds(30))
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return ok;
  };
  for (const char* pipe : {"0", "1"}) {
    ScopedEnv env("KA_UTT_PIPELINE_PASTE", std::string(pipe));
    { Session warming; }
    for (int state = 0; state < 5; ++state) {
      SCOPED_TRACE(std::string("pipe ") + pipe + ", state " + std::to_string(state));
      Session s;
      ASSERT_EQ(ka_utt_wait_ready(s.u, 60000), 1) << ka_utt_last_error();
      std::vector<uint8_t> frame(static_cast<size_t>(ka_width(s.ctx)) * ka_height(s.ctx) * 3);
      std::atomic<bool> stop{false};
      std::vector<std::thread> threads;
      threads.emplace_back([&] {
        std::mt19937 rng(7 + state);
        while (!stop) {
          ka_utt_push_audio(s.u, a.data() + rng() % (a.size() - 640), static_cast<int>(rng() % 640));
          std::this_thread::sleep_for(std::chrono::microseconds(rng() % 4000));
        }
      });
      threads.emplace_back([&] {
        std::mt19937 rng(17 + state);
        std::vector<uint8_t> rgb(frame.size());
        ka_utt_frame_info info;
        while (!stop) {
          const uint8_t* lent = nullptr;
          ka_utt_pull_frame(s.u, rgb.data(), rgb.size(), &info);
          if (ka_utt_wait_frame(s.u, static_cast<int>(rng() % 5)) == 1 &&
              ka_utt_frame_acquire(s.u, &lent, &info) == 1) {
            std::memcpy(rgb.data(), lent, rgb.size());
            ka_utt_frame_release(s.u);
          }
        }
      });
      threads.emplace_back([&] {
        std::mt19937 rng(27 + state);
        char err[512];
        uint64_t e, f;
        while (!stop) {
          switch (rng() % 4) {
            case 0:
              EXPECT_EQ(fx().attach(s.u, err, sizeof err), 0) << err;
              break;
            case 1:
              ka_utt_interrupt(s.u);
              break;
            case 2:
              ka_utt_end_utterance(s.u);
              break;
            default:
              ka_utt_tessera_stats(s.u, &e, &f, err, sizeof err);
          }
          std::this_thread::sleep_for(std::chrono::milliseconds(rng() % 80));
        }
      });
      std::this_thread::sleep_for(std::chrono::milliseconds(400));
      stop = true;
      for (auto& t : threads) t.join();

      ka_utt_interrupt(s.u);
      ka_utt_frame_info info{};
      const auto pull = [&] { return ka_utt_pull_frame(s.u, frame.data(), frame.size(), &info) == 1; };
      const auto mode = [&] {
        ka_utt_stats st{};
        ka_utt_get_stats(s.u, &st);
        return st.mode;
      };
      if (state == 0) {  // idle
        EXPECT_TRUE(waitFor([&] { return (pull() || true) && mode() == 0; }));
        continue;
      }
      ka_utt_push_audio(s.u, a.data(), static_cast<int>(a.size()));
      if (state == 1) {  // speaking, frames waiting
        EXPECT_TRUE(waitFor([&] { return mode() == 2 && ka_utt_frames_available(s.u) >= 2; }));
      } else if (state == 2) {  // ramping
        ka_utt_end_utterance(s.u);
        EXPECT_TRUE(waitFor([&] { return pull() && info.kind == KA_UTT_RAMP; }));
      } else if (state == 3) {  // a slot lent
        const uint8_t* lent = nullptr;
        EXPECT_TRUE(waitFor([&] { return ka_utt_frame_acquire(s.u, &lent, &info) == 1; }));
      } else {  // speech frames on their way to the ring
        EXPECT_TRUE(waitFor([&] { return mode() == 2; }));
      }
    }  // destroyed in that state
  }
}

}  // namespace
