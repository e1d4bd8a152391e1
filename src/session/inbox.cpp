#include "session/inbox.h"

#include <cstddef>
#include <mutex>

#include "session/loop_signal.h"

namespace ka {

struct Inbox::Impl {
  LoopSignal& signal;
  std::mutex mu;
  std::vector<float> audio;
  double lastPushMs = -1.0, firstPushMs = -1.0;
  bool end = false;
  uint64_t gen = 0;
  explicit Impl(LoopSignal& s) : signal(s) {}
};

Inbox::Inbox(LoopSignal& signal) : impl_(std::make_unique<Impl>(signal)) {}
Inbox::~Inbox() = default;

void Inbox::push(const int16_t* samples, int count, double nowMs) {
  Impl& s = *impl_;
  {
    // Converted straight into the inbox: a 20 ms chunk takes well under a microsecond.
    std::lock_guard<std::mutex> lk(s.mu);
    const size_t at = s.audio.size();
    s.audio.resize(at + static_cast<size_t>(count));
    for (int i = 0; i < count; ++i)
      s.audio[at + static_cast<size_t>(i)] = static_cast<float>(samples[i]) * (1.0f / 32768.0f);
    s.lastPushMs = nowMs;
    if (count > 0 && s.firstPushMs < 0) s.firstPushMs = nowMs;
  }
  s.signal.raise();
}

void Inbox::end() {
  {
    std::lock_guard<std::mutex> lk(impl_->mu);
    impl_->end = true;
  }
  impl_->signal.raise();
}

uint64_t Inbox::interrupt() {
  Impl& s = *impl_;
  uint64_t g;
  {
    std::lock_guard<std::mutex> lk(s.mu);
    s.audio.clear();
    s.firstPushMs = -1.0;
    s.end = false;
    g = ++s.gen;
  }
  s.signal.raise();
  return g;
}

uint64_t Inbox::generation() {
  std::lock_guard<std::mutex> lk(impl_->mu);
  return impl_->gen;
}

Inbox::Taken Inbox::take(bool takeAudio, uint64_t gen) {
  Impl& s = *impl_;
  Taken t;
  std::lock_guard<std::mutex> lk(s.mu);
  t.gen = s.gen;
  if (s.gen != gen) return t;
  if (takeAudio) {
    if (!s.audio.empty()) {
      t.audio.swap(s.audio);
      t.firstPushMs = s.firstPushMs;
      s.firstPushMs = -1.0;
    }
    t.end = s.end;
    s.end = false;
  }
  t.lastPushMs = s.lastPushMs;
  return t;
}

}  // namespace ka
