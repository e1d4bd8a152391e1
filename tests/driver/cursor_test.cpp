// The driver cursor over a scripted frame source: ring hits and misses, loop wrap, pins, failures
// and shutdown. Every test here runs the look-ahead thread, hence the suite name (the TSan run
// picks it up).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "driver/cursor.h"
#include "driver/video_ref.h"

namespace {

using ka::test::thrown;

constexpr int kW = 4, kH = 2;

struct Counters {
  std::atomic<int> nexts{0}, seeks{0}, rewinds{0};
};

// Frame i is kW x kH x 3 bytes, byte b = (i * 7 + b) & 0xff. Optionally ends early (next() false
// from frame `shortAt` on), throws at frame `failAt`, or waits `delayMs` per frame.
class ScriptedSource : public ka::driver::Source {
 public:
  ScriptedSource(int nt, Counters& c) : nt_(nt), c_(c) {}
  int shortAt = -1, failAt = -1, failSeekAt = -1, delayMs = 0;

  int NT() const override { return nt_; }
  int W() const override { return kW; }
  int H() const override { return kH; }
  bool next(uint8_t* dst) override {
    if (delayMs) std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
    if (next_ >= nt_ || next_ == shortAt) return false;
    if (next_ == failAt) throw std::runtime_error("scripted decode fault at " + std::to_string(next_));
    fill(next_, dst);
    ++next_;
    ++c_.nexts;
    return true;
  }
  void rewind() override {
    next_ = 0;
    ++c_.rewinds;
  }
  void seek(int i) override {
    if (i == failSeekAt) throw std::runtime_error("scripted seek fault");
    if (i < 0 || i >= nt_) throw std::runtime_error("ka_driver: seek outside the member");
    next_ = i;
    ++c_.seeks;
  }
  std::string name() const override { return "scripted"; }
  uint64_t residentBytes() const override { return 1000; }

  static void fill(int i, uint8_t* dst) {
    for (int b = 0; b < kW * kH * 3; ++b) dst[b] = uint8_t((i * 7 + b) & 0xff);
  }
  static std::vector<uint8_t> frame(int i) {
    std::vector<uint8_t> f(kW * kH * 3);
    fill(i, f.data());
    return f;
  }

 private:
  int nt_;
  Counters& c_;
  int next_ = 0;
};

struct Rig {
  Counters counters;
  std::unique_ptr<ka::DriverCursor> cursor;
  Rig(int nt, int lookahead, int history, void (*tweak)(ScriptedSource&) = nullptr) {
    auto src = std::make_unique<ScriptedSource>(nt, counters);
    if (tweak) tweak(*src);
    cursor = ka::DriverCursor::over(std::move(src), lookahead, history);
  }
};

std::vector<uint8_t> pullFrame(ka::DriverCursor& c, int& index) {
  std::vector<uint8_t> buf(c.frameBytes);
  index = c.pull(buf.data());
  return buf;
}

TEST(CursorConcurrent, SequentialPlaybackWrapsWithoutSeeking) {
  Rig r(5, 2, 3);
  EXPECT_EQ(r.cursor->NT, 5);
  EXPECT_EQ(r.cursor->frameBytes, uint64_t(kW * kH * 3));
  EXPECT_EQ(r.cursor->name, "scripted");
  for (int k = 0; k < 13; ++k) {
    int index = -1;
    const auto f = pullFrame(*r.cursor, index);
    ASSERT_EQ(index, k % 5);
    ASSERT_EQ(f, ScriptedSource::frame(k % 5));
    EXPECT_EQ(r.cursor->position(), (k + 1) % 5);
  }
  EXPECT_EQ(r.cursor->seeks(), 0u);
  EXPECT_EQ(r.counters.seeks.load(), 0);
  EXPECT_GE(r.counters.rewinds.load(), 2);  // the wrap from frame 4 to frame 0 is a rewind
}

TEST(CursorConcurrent, SingleFrameMemberRewindsBeforeEveryDecode) {
  Rig r(1, 2, 3);
  for (int k = 0; k < 6; ++k) {
    int index = -1;
    ASSERT_EQ(pullFrame(*r.cursor, index), ScriptedSource::frame(0));
    ASSERT_EQ(index, 0);
  }
  EXPECT_EQ(r.cursor->seeks(), 0u);
  EXPECT_GE(r.counters.rewinds.load(), 5);
}

TEST(CursorConcurrent, HistoryAndLookAheadServedFromTheRing) {
  Rig r(30, 2, 11);
  const uint8_t* held[8];
  for (int k = 0; k < 8; ++k) {
    int index;
    held[k] = r.cursor->pull(index);
    ASSERT_EQ(index, k);
  }
  // Back into the history, then on: no source seek.
  std::vector<uint8_t> buf(r.cursor->frameBytes);
  EXPECT_EQ(r.cursor->pullAt(3, buf.data()), 3);
  EXPECT_EQ(buf, ScriptedSource::frame(3));
  int index;
  r.cursor->pull(index);
  EXPECT_EQ(index, 4);
  EXPECT_EQ(r.cursor->pullAt(0, buf.data()), 0);
  EXPECT_EQ(buf, ScriptedSource::frame(0));
  EXPECT_EQ(r.cursor->seeks(), 0u);
  // Pointers handed out earlier still hold their frames (fewer than `history` pulls since).
  for (int k = 0; k < 8; ++k)
    EXPECT_EQ(0, std::memcmp(held[k], ScriptedSource::frame(k).data(), r.cursor->frameBytes)) << k;
}

TEST(CursorConcurrent, PinnedFrameForcesRealSeek) {
  Rig r(30, 2, 11);
  int index;
  for (int k = 0; k < 3; ++k) r.cursor->pull(index);
  uint8_t* mut = r.cursor->pullMut(index);
  ASSERT_EQ(index, 3);
  std::memset(mut, 0xEE, r.cursor->frameBytes);  // the consumer paints on it
  for (int k = 0; k < 3; ++k) r.cursor->pull(index);
  EXPECT_EQ(r.cursor->seeks(), 0u);
  std::vector<uint8_t> buf(r.cursor->frameBytes);
  EXPECT_EQ(r.cursor->pullAt(3, buf.data()), 3);
  EXPECT_EQ(buf, ScriptedSource::frame(3));  // decoded again, not the painted buffer
  EXPECT_EQ(r.cursor->seeks(), 1u);
  // Frames before the pin are not served from the ring either.
  EXPECT_EQ(r.cursor->pullAt(1, buf.data()), 1);
  EXPECT_EQ(r.cursor->seeks(), 2u);
  // pullMutAt pins too.
  uint8_t* m2 = r.cursor->pullMutAt(10, index);
  ASSERT_EQ(index, 10);
  m2[0] ^= 0xFF;
  r.cursor->pull(index);
  EXPECT_EQ(r.cursor->pullAt(10, buf.data()), 10);
  EXPECT_EQ(buf, ScriptedSource::frame(10));
}

// A loop that fits the ring is decoded once when reuse is on; a frame a consumer painted on is
// decoded again, and a source left behind by copies is moved to the frame it must decode next.
TEST(CursorConcurrent, ReuseDecodesAShortLoopOnceAndNeverCopiesAPaintedFrame) {
  Rig r(5, 2, 11);
  r.cursor->reuseHeldFrames(true);
  int index = -1;
  for (int k = 0; k < 15; ++k) {
    const auto f = pullFrame(*r.cursor, index);
    ASSERT_EQ(index, k % 5);
    ASSERT_EQ(f, ScriptedSource::frame(k % 5)) << k;
  }
  EXPECT_EQ(r.counters.nexts.load(), 5) << "frames decoded again";
  EXPECT_EQ(r.cursor->seeks(), 0u);
  uint8_t* mut = r.cursor->pullMut(index);
  ASSERT_EQ(index, 0);
  std::memset(mut, 0xEE, r.cursor->frameBytes);
  for (int k = 1; k < 11; ++k) {
    const auto f = pullFrame(*r.cursor, index);
    ASSERT_EQ(index, k % 5);
    ASSERT_EQ(f, ScriptedSource::frame(k % 5)) << k;
  }
  EXPECT_GT(r.counters.nexts.load(), 5) << "the frames after the pin were not decoded";
  // Off: every frame is decoded, the wrap is a rewind.
  Rig plain(5, 2, 11);
  for (int k = 0; k < 15; ++k) pullFrame(*plain.cursor, index);
  EXPECT_GE(plain.counters.nexts.load(), 15);
  EXPECT_GE(plain.counters.rewinds.load(), 2);
}

TEST(CursorConcurrent, RandomAccessDeliversExactFrames) {
  Rig r(40, 2, 11);
  std::mt19937 rng(3);
  std::vector<uint8_t> buf(r.cursor->frameBytes);
  for (int k = 0; k < 200; ++k) {
    const int i = int(rng() % 40);
    ASSERT_EQ(r.cursor->pullAt(i, buf.data()), i);
    ASSERT_EQ(buf, ScriptedSource::frame(i)) << i;
  }
  EXPECT_GT(r.cursor->seeks(), 0u);
  EXPECT_EQ(uint64_t(r.counters.seeks.load()), r.cursor->seeks());
  // A short loop with reuse on: frames move between ring positions while random seeks land on
  // them, and a frame handed out by pointer keeps its bytes while the look-ahead moves on.
  Rig loop(6, 2, 11);
  loop.cursor->reuseHeldFrames(true);
  for (int k = 0; k < 300; ++k) {
    const int i = k % 3 == 0 ? int(rng() % 6) : (k / 3) % 6;
    ASSERT_EQ(loop.cursor->pullAt(i, buf.data()), i);
    ASSERT_EQ(buf, ScriptedSource::frame(i)) << k;
    if (k % 50 == 0) {
      int index = -1;
      const uint8_t* held = loop.cursor->pull(index);
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      ASSERT_EQ(std::vector<uint8_t>(held, held + loop.cursor->frameBytes), ScriptedSource::frame(index)) << k;
    }
  }
}

TEST(CursorConcurrent, SeekMovesPosition) {
  Rig r(12, 2, 4);
  r.cursor->seek(9);
  EXPECT_EQ(r.cursor->position(), 9);
  int index;
  r.cursor->pull(index);
  EXPECT_EQ(index, 9);
  r.cursor->pull(index);
  r.cursor->pull(index);
  r.cursor->pull(index);
  EXPECT_EQ(index, 0);
  EXPECT_EQ(thrown([&] { r.cursor->seek(12); }), "ka_driver: seek(12) outside [0,12)");
  EXPECT_EQ(thrown([&] { r.cursor->pullAt(-1, index); }), "ka_driver: seek(-1) outside [0,12)");
}

TEST(CursorConcurrent, RingSizeFollowsLookAheadAndHistory) {
  const uint64_t fb = kW * kH * 3;
  EXPECT_EQ(Rig(5, 0, 11).cursor->residentBytes(), (1 + 11 + 1) * fb + 1000);
  EXPECT_EQ(Rig(5, -3, -5).cursor->residentBytes(), (1 + 0 + 1) * fb + 1000);
  EXPECT_EQ(Rig(5, 2, 11).cursor->residentBytes(), (2 + 11 + 1) * fb + 1000);
}

TEST(CursorConcurrent, ShortMemberFailsAtTheFirstPullPastItsEnd) {
  const std::string text =
      "ka_driver: scripted ended after 7 frames, the manifest says NT=10 \xE2\x80\x94 a short driver is a "
      "session that stops part way through the loop, refusing";
  Rig r(10, 2, 11, [](ScriptedSource& s) { s.shortAt = 7; });
  int index;
  for (int k = 0; k < 7; ++k) {
    // Give the look-ahead thread time to run into the end: the frames before it still arrive.
    std::this_thread::sleep_for(std::chrono::milliseconds(k == 5 ? 50 : 0));
    ASSERT_EQ(pullFrame(*r.cursor, index), ScriptedSource::frame(k));
  }
  EXPECT_EQ(thrown([&] { r.cursor->pull(index); }), text);
  EXPECT_EQ(thrown([&] { r.cursor->pull(index); }), text);
  EXPECT_EQ(thrown([&] { r.cursor->pullAt(2, index); }), text);
  EXPECT_EQ(thrown([&] { r.cursor->seek(0); }), text);
}

TEST(CursorConcurrent, DecodeAndSeekFailuresCarryTheSourceText) {
  {
    Rig r(10, 2, 3, [](ScriptedSource& s) { s.failAt = 2; });
    int index;
    r.cursor->pull(index);
    r.cursor->pull(index);
    EXPECT_EQ(thrown([&] { r.cursor->pull(index); }), "ka_driver: scripted decode fault at 2");
    EXPECT_EQ(thrown([&] { r.cursor->pull(index); }), "ka_driver: scripted decode fault at 2");
  }
  {
    Rig r(10, 2, 3, [](ScriptedSource& s) { s.failSeekAt = 8; });
    int index;
    EXPECT_EQ(thrown([&] { r.cursor->pullAt(8, index); }), "ka_driver: seek failed: scripted seek fault");
    EXPECT_EQ(thrown([&] { r.cursor->pullAt(1, index); }), "ka_driver: seek failed: scripted seek fault");
  }
}

TEST(CursorConcurrent, DestroyReturnsPromptlyWhenIdleFailedOrSlow) {
  using clock = std::chrono::steady_clock;
  auto timeDestroy = [](Rig& r) {
    const auto t0 = clock::now();
    r.cursor.reset();
    return std::chrono::duration<double>(clock::now() - t0).count();
  };
  {
    Rig r(10, 3, 2);  // ring full, thread waiting for the consumer
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_LT(timeDestroy(r), 1.0);
  }
  {
    Rig r(10, 3, 2, [](ScriptedSource& s) { s.failAt = 0; });  // thread already ended
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_LT(timeDestroy(r), 1.0);
  }
  {
    Rig r(10, 3, 2, [](ScriptedSource& s) { s.delayMs = 100; });  // mid-decode: waits one frame at most
    EXPECT_LT(timeDestroy(r), 1.0);
  }
}

TEST(CursorConcurrent, ConsumersOnSeveralThreadsGetExactFrames) {
  Rig r(25, 2, 5);
  std::atomic<int> bad{0};
  std::atomic<bool> done{false};
  auto consumer = [&](uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> buf(r.cursor->frameBytes);
    for (int k = 0; k < 150; ++k) {
      if (k % 3 == 0) {
        const int i = int(rng() % 25);
        if (r.cursor->pullAt(i, buf.data()) != i || buf != ScriptedSource::frame(i)) ++bad;
      } else {
        const int i = r.cursor->pull(buf.data());
        if (buf != ScriptedSource::frame(i)) ++bad;
      }
    }
  };
  std::thread observer([&] {
    while (!done) {
      (void)r.cursor->position();
      (void)r.cursor->seeks();
      (void)r.cursor->residentBytes();
      std::this_thread::yield();
    }
  });
  std::thread a(consumer, 1), b(consumer, 2);
  a.join();
  b.join();
  done = true;
  observer.join();
  EXPECT_EQ(bad.load(), 0);
}

TEST(CursorConcurrent, NullSourceOrEmptyMemberRefused) {
  EXPECT_EQ(thrown([] { ka::DriverCursor::over(nullptr, 2, 2); }), "ka_driver: no frame source");
  Counters c;
  EXPECT_NE(thrown([&] { ka::DriverCursor::over(std::make_unique<ScriptedSource>(0, c), 2, 2); }), "(no exception)");
}

}  // namespace
