// Composing frames into the delivered ring: the driver frame at the target index with the face
// crop pasted in (or the identity walked for a frame without one). With the paste stage on, the
// render loop hands crops over as paste jobs and a thread of this object composes them while the
// loop renders the next; without it the loop composes itself. A teeth borrow, when attached, sees
// every speech crop first; a borrow that replaces another is driven only after the crop the other
// holds has been delivered. Also keeps the session's stage timings.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ka/ka_utt.h"
#include "session/frame_tag.h"

namespace ka {

class Context;
class FrameRing;
class LoopSignal;
class UttTessera;

class Compositor {
 public:
  using OnFail = std::function<void(const char* stage, const std::string& msg)>;

  // pipelined: compose on a thread of this object. `signal` is raised when a job is done.
  Compositor(Context& ctx, FrameRing& ring, bool pipelined, LoopSignal& signal, OnFail onFail);
  // Stops and joins the paste stage.
  ~Compositor();
  Compositor(const Compositor&) = delete;
  Compositor& operator=(const Compositor&) = delete;

  bool pipelined() const;
  // A frame for the ring with its crop (crop x crop x 3 floats; null: none). Queued with a copy of
  // the crop when pipelined, else composed now (through the borrow when one is attached). false
  // when dropped: an interrupt newer than tag.gen, shut-down or a failure.
  bool submit(const FrameTag& tag, const float* crop);
  // The same with a crop rendered straight into a buffer from cropBuffer(): queued as it is (no
  // copy) when pipelined, else composed now; the buffer comes back to the spares once composed or
  // dropped.
  bool submit(const FrameTag& tag, std::vector<float>&& crop);
  // A buffer of crop x crop x 3 floats for submit: a spare one when there is one.
  std::vector<float> cropBuffer();
  // Frames queued or being composed.
  int inFlight();
  // Drops the queued jobs of generations before `gen`.
  void interrupt(uint64_t gen);
  // Stops and joins the paste stage; later frames are dropped.
  void stop();

  void attach(std::shared_ptr<UttTessera> borrow);
  std::shared_ptr<UttTessera> tessera();

  // One speech frame rendered: its work and its wait to be handed over, in ms.
  void noteRender(double workMs, double waitMs);
  // Fills utterances, first_frame_latency_ms and render_ms.
  void fillStats(ka_utt_stats* st);
  // The stage report line (when $KA_UTT_STAGE_REPORT is set).
  void report();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace ka
