// The utterance session: the real-time pipeline from pushed speech to pulled full-size frames.
//
// Built from pieces that each own their state: the inbox (what the host pushes), the frame ring
// (the delivered frames, the only part host threads touch for frames), the model worker (the
// engine behind a single-slot mailbox, on its own thread), the compositor (paste jobs on the
// paste-stage thread when pipelined, the teeth borrow) and the director (the render loop's
// decisions, without threads). Threads: the render loop, warm-up (creates the audio engine and
// the chunk renderer, renders a few frames so the first real one pays no start-up costs), the
// model worker and, when pipelined, the paste stage. Host calls only take short locks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "ka/ka_utt.h"
#include "session/utt_config.h"

namespace ka {

class Context;
class UttTessera;

class UtteranceSession {
 public:
  // Creates the context's renderer when it has none, then starts the threads. Throws
  // std::runtime_error when the renderer cannot be built.
  UtteranceSession(Context& ctx, const UttConfig& cfg);
  // Stops and joins every thread; the engine goes with the session.
  ~UtteranceSession();
  UtteranceSession(const UtteranceSession&) = delete;
  UtteranceSession& operator=(const UtteranceSession&) = delete;

  // 255 with the failure's message in *msg when a render failure is recorded; else 1 once the
  // engine is published, 0 before.
  int ready(std::string* msg);
  void push(const int16_t* samples, int count);
  void endUtterance();
  void interrupt();
  // ready() waiting up to timeoutMs (< 0: without limit) while it would return 0.
  int waitReady(int timeoutMs, std::string* msg);
  // 1 once a frame waits; 0 when none came within timeoutMs (< 0: without limit); -1 with the
  // message when a fatal failure is recorded and no frame waits.
  int waitFrame(int timeoutMs, std::string* msg);
  // Lends the oldest waiting frame's slot: 1 with *pixels on its bytes (valid until release() or
  // destruction); it leaves the queue and counts as pulled, but no frame is written into the slot
  // until it is released, interrupts included. 0 when none waits; -1 when a slot is already lent.
  int acquire(const uint8_t** pixels, ka_utt_frame_info* info);
  // Returns the lent slot; false when none is lent.
  bool release();
  int available();
  // 1: pulled into dst (info and pose, 63 floats, may be null); 0: nothing waits (or an
  // interrupt dropped the frame while it was being copied); -1: capacity too small.
  int pull(uint8_t* dst, size_t capacity, ka_utt_frame_info* info, float* pose);
  ka_utt_stats stats();
  // -1 with the stage and message when a failure is recorded, else 0 ("" and "").
  int renderStatus(std::string* msg, const char** stage);

  bool pipelined() const;
  bool expressionEngine() const;
  int steadyBatch();  // the chunk renderer's batch once warm-up opened one, else 0
  size_t frameBytes() const;

  // The teeth borrow: attaching replaces any earlier one; tessera() is the one attached (null
  // without). Speech crops pass through it before they are composed.
  void attachTessera(std::shared_ptr<UttTessera> t);
  std::shared_ptr<UttTessera> tessera();
  int crop() const;
  const std::vector<float>& targetRows() const;  // xs_target.bin rows, empty when absent
  const std::string& lipTemplate() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace ka
