#include "session/frame_ring.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <vector>

#include "session/loop_signal.h"

namespace ka {

struct FrameRing::Impl {
  const size_t bytes;
  LoopSignal& signal;

  std::mutex mu;
  std::condition_variable cv;  // producers and host waiters
  struct Slot {
    std::vector<uint8_t> rgb;
    ka_utt_frame_info info{};
    Pose pose{};
  };
  std::array<Slot, kSlots> slots;
  uint64_t wr = 0, rd = 0, seq = 0, gen = 0;
  bool pulling = false;  // the host copies slot pullSlot outside the lock
  uint64_t pullSlot = 0;
  bool lent = false;  // the host holds slot lentSlot until it releases it
  uint64_t lentSlot = 0;
  bool stopped = false, failed = false;
  Shown shown;
  uint64_t framesPulled = 0, speechPulled = 0;

  Impl(size_t b, LoopSignal& s) : bytes(b), signal(s) {}

  bool held(uint64_t slot) const { return (pulling && pullSlot == slot) || (lent && lentSlot == slot); }
  // Under the lock: a frame newer than the ring's generation empties it first.
  void advanceTo(uint64_t g) {
    if (g <= gen) return;
    gen = g;
    rd = wr;
  }
  // The host took the oldest frame (a copy or a lent slot): it leaves the queue and is counted.
  void take(const Slot& slot) {
    shown.kind = slot.info.kind;
    shown.index = slot.info.target;
    shown.pose = slot.pose;
    ++rd;
    ++framesPulled;
    if (slot.info.kind == KA_UTT_SPEECH) ++speechPulled;
  }
};

FrameRing::FrameRing(size_t frameBytes, LoopSignal& signal) : impl_(std::make_unique<Impl>(frameBytes, signal)) {}
FrameRing::~FrameRing() = default;

uint8_t* FrameRing::reserve(uint64_t gen) {
  Impl& s = *impl_;
  std::unique_lock<std::mutex> lk(s.mu);
  s.advanceTo(gen);
  s.cv.wait(lk, [&] { return s.stopped || s.gen != gen || (s.wr - s.rd < kSlots && !s.held(s.wr % kSlots)); });
  if (s.stopped || s.gen != gen) return nullptr;
  Impl::Slot& slot = s.slots[s.wr % kSlots];
  lk.unlock();
  slot.rgb.resize(s.bytes);  // only its producer touches a reserved slot
  return slot.rgb.data();
}

bool FrameRing::publish(const FrameTag& tag) {
  Impl& s = *impl_;
  {
    std::lock_guard<std::mutex> lk(s.mu);
    if (s.stopped || s.gen != tag.gen) return false;
    Impl::Slot& slot = s.slots[s.wr % kSlots];
    slot.info.seq = s.seq++;
    slot.info.kind = tag.kind;
    slot.info.target = tag.index;
    slot.info.speech_frame = tag.kind == KA_UTT_SPEECH ? tag.speechNo : -1;
    slot.pose = tag.pose;
    ++s.wr;
  }
  s.cv.notify_all();
  s.signal.raise();
  return true;
}

int FrameRing::pull(uint8_t* dst, size_t capacity, ka_utt_frame_info* info, float* pose) {
  Impl& s = *impl_;
  std::unique_lock<std::mutex> lk(s.mu);
  s.cv.wait(lk, [&] { return !s.pulling; });
  if (s.wr == s.rd) return 0;
  if (capacity < s.bytes) return -1;
  const uint64_t at = s.rd, g = s.gen;
  Impl::Slot& slot = s.slots[at % kSlots];
  s.pulling = true;
  s.pullSlot = at % kSlots;
  lk.unlock();
  // The slot cannot be rewritten while it is copied: the producer skips a slot being pulled.
  std::memcpy(dst, slot.rgb.data(), s.bytes);
  lk.lock();
  s.pulling = false;
  const bool kept = s.gen == g && s.rd == at;
  if (kept) {
    if (info) *info = slot.info;
    if (pose) std::copy(slot.pose.begin(), slot.pose.end(), pose);
    s.take(slot);
  }
  lk.unlock();
  s.cv.notify_all();
  if (kept) s.signal.raise();
  return kept ? 1 : 0;
}

int FrameRing::acquire(const uint8_t** pixels, ka_utt_frame_info* info) {
  Impl& s = *impl_;
  {
    std::unique_lock<std::mutex> lk(s.mu);
    s.cv.wait(lk, [&] { return !s.pulling; });
    if (s.lent) return -1;
    if (s.wr == s.rd) return 0;
    Impl::Slot& slot = s.slots[s.rd % kSlots];
    s.lent = true;
    s.lentSlot = s.rd % kSlots;
    *pixels = slot.rgb.data();
    if (info) *info = slot.info;
    s.take(slot);
  }
  s.signal.raise();
  return 1;
}

bool FrameRing::release() {
  Impl& s = *impl_;
  {
    std::lock_guard<std::mutex> lk(s.mu);
    if (!s.lent) return false;
    s.lent = false;
  }
  s.cv.notify_all();  // the producer may wait for the slot
  return true;
}

int FrameRing::available() {
  Impl& s = *impl_;
  std::lock_guard<std::mutex> lk(s.mu);
  return static_cast<int>(s.wr - s.rd);
}

int FrameRing::waitFrame(int timeoutMs) {
  Impl& s = *impl_;
  std::unique_lock<std::mutex> lk(s.mu);
  const auto done = [&] { return s.stopped || s.failed || s.wr != s.rd; };
  if (timeoutMs < 0)
    s.cv.wait(lk, done);
  else
    s.cv.wait_for(lk, std::chrono::milliseconds(timeoutMs), done);
  if (s.failed) return -1;
  return s.wr != s.rd ? 1 : 0;
}

void FrameRing::pulledCounts(uint64_t* frames, uint64_t* speech) {
  Impl& s = *impl_;
  std::lock_guard<std::mutex> lk(s.mu);
  *frames = s.framesPulled;
  *speech = s.speechPulled;
}

FrameRing::Shown FrameRing::lastShown() {
  Impl& s = *impl_;
  std::lock_guard<std::mutex> lk(s.mu);
  return s.shown;
}

void FrameRing::interrupt(uint64_t gen) {
  Impl& s = *impl_;
  {
    std::lock_guard<std::mutex> lk(s.mu);
    s.advanceTo(gen);
  }
  s.cv.notify_all();
  s.signal.raise();  // the frames it dropped may have held the loop back
}

void FrameRing::fail() {
  Impl& s = *impl_;
  {
    std::lock_guard<std::mutex> lk(s.mu);
    s.failed = true;
  }
  s.cv.notify_all();
}

void FrameRing::stop() {
  Impl& s = *impl_;
  {
    std::lock_guard<std::mutex> lk(s.mu);
    s.stopped = true;
  }
  s.cv.notify_all();
}

}  // namespace ka
