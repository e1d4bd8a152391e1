// The render loop's wake-up: every piece of the session raises it on an event that can change one
// of the loop's decisions (audio, an end, an interrupt, a reply, a frame taken or published, a
// failure, shut-down). The loop notes the count before it looks and sleeps only while the count
// has not moved, until its next deadline.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace ka {

class LoopSignal {
 public:
  void raise() {
    {
      std::lock_guard<std::mutex> lk(mu_);
      ++count_;
    }
    cv_.notify_all();
  }
  uint64_t count() {
    std::lock_guard<std::mutex> lk(mu_);
    return count_;
  }
  // Until the count differs from `seen` or the steady clock reaches deadlineMs (< 0: no deadline).
  void waitPast(uint64_t seen, double deadlineMs) {
    std::unique_lock<std::mutex> lk(mu_);
    if (deadlineMs < 0) {
      cv_.wait(lk, [&] { return count_ != seen; });
      return;
    }
    const auto until =
        std::chrono::steady_clock::time_point(std::chrono::duration_cast<std::chrono::steady_clock::duration>(
            std::chrono::duration<double, std::milli>(deadlineMs)));
    cv_.wait_until(lk, until, [&] { return count_ != seen; });
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  uint64_t count_ = 0;
};

inline double steadyNowMs() {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

}  // namespace ka
