// The teeth borrow inside the utterance session: a StreamBorrow attached to a running session,
// through which every speech crop passes before it is composed. The borrow answers one frame
// behind, so the session holds one crop back and delivers it, completed with its window delta,
// when the borrow releases it; before any other frame the held crop is drained.
//
// The borrow is driven by one thread at a time: the render loop without the paste stage, the paste
// stage with it. Counters and the message are read by the host under this object's own lock.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "session/frame_tag.h"
#include "tessera/stream_borrow.h"

namespace ka {

class UttTessera {
 public:
  // Composes one crop (3 planes of crop x crop floats) with the session's tag for it; false when
  // the session dropped it.
  using Deliver = std::function<bool(const float* crop, const FrameTag& tag)>;

  UttTessera(std::unique_ptr<tessera::StreamBorrow> borrow, int crop, bool pipelined);

  // A speech crop with its tag (and pose): the crop is held; a crop the borrow releases is
  // delivered first. After a failure, crops pass through uncomposed.
  void push(const float* crop, const FrameTag& tag, const Deliver& deliver);
  // Before a frame that is not speech: the held crop, completed, is delivered.
  void drain(const Deliver& deliver);

  bool pipelined() const { return pipelined_; }
  // 1 with the counters and the last message, 255 once the borrow has failed.
  int stats(uint64_t* emitted, uint64_t* failures, std::string* msg);
  bool synthW(double* mean, double* last, uint64_t* count);
  const std::string& geometry() const { return stampText_; }

 private:
  void fail(const std::string& msg);
  void deliverHeld(const tessera::FrameResult* r, const Deliver& deliver);

  std::unique_ptr<tessera::StreamBorrow> borrow_;
  const int crop_;
  const bool pipelined_;
  const std::string stampText_;
  std::vector<float> held_;
  FrameTag heldTag_;
  bool hasHeld_ = false;

  std::mutex mu_;  // guards what follows
  uint64_t emitted_ = 0, failures_ = 0, synthCount_ = 0;
  double synthSum_ = 0.0, synthLast_ = 0.0;
  std::string msg_;
  bool failed_ = false;
};

// The borrow built from the attach arguments for a session whose crop is `crop`, whose target rows
// are `targetRows` (frames x 63 floats; empty when the bundle has none) and whose lip template is
// `lipTemplate`. Throws std::runtime_error with the attach refusal texts.
std::unique_ptr<tessera::StreamBorrow> buildSessionBorrow(const uint8_t* bank, int n_donors, const double* cent,
                                                          const double* c_canon, const double* aperture,
                                                          const int* stamp, const uint8_t* head_pt, int head_pt_len,
                                                          const char* head_json, const char* manifest_json, int crop,
                                                          const std::vector<float>& targetRows,
                                                          const std::string& lipTemplate);

class UtteranceSession;
// Attaches to `session` the borrow of the tessera members of the bundle at `bundleDir`, the
// reference bank decoded from its track. Throws std::runtime_error with the refusal.
void attachBundleBorrow(UtteranceSession& session, const std::string& bundleDir);

}  // namespace ka
