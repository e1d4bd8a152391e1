// The delivered ring: the finished full-size frames waiting for the host, the only part of the
// session that host threads touch for frames. One producer (the render loop, or the paste stage
// when it runs) reserves the next slot, fills it outside the lock and publishes it; the host copies
// the oldest frame out or borrows its slot until it gives it back. An interrupt empties the ring
// and makes every frame of an older generation be dropped instead of published.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "ka/ka_utt.h"
#include "session/frame_tag.h"

namespace ka {

class LoopSignal;

class FrameRing {
 public:
  static constexpr int kSlots = 8;

  // The last frame the host took (kind -1 before the first).
  struct Shown {
    int kind = -1, index = -1;
    Pose pose{};
  };

  // frameBytes: one frame (width x height x 3); `signal` is raised whenever a frame is taken or
  // published.
  FrameRing(size_t frameBytes, LoopSignal& signal);
  ~FrameRing();
  FrameRing(const FrameRing&) = delete;
  FrameRing& operator=(const FrameRing&) = delete;

  // Producer: waits for a free slot that the host neither copies nor holds and returns its bytes;
  // null once stopped or when an interrupt newer than `gen` came.
  uint8_t* reserve(uint64_t gen);
  // Producer: publishes the reserved slot as `tag`; false when it was dropped (stopped, or an
  // interrupt came while it was filled).
  bool publish(const FrameTag& tag);

  // Host: see UtteranceSession.
  int pull(uint8_t* dst, size_t capacity, ka_utt_frame_info* info, float* pose);
  int acquire(const uint8_t** pixels, ka_utt_frame_info* info);
  bool release();
  int available();
  // 1 once a frame waits, 0 on timeout (timeoutMs < 0: none), -1 once the ring failed.
  int waitFrame(int timeoutMs);
  void pulledCounts(uint64_t* frames, uint64_t* speech);
  Shown lastShown();

  // Empties the ring for generation `gen` (nothing happens when it is not newer than the last).
  void interrupt(uint64_t gen);
  // No frame will ever come: waiters for frames return -1.
  void fail();
  // Shut-down: a waiting producer gets no slot.
  void stop();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace ka
